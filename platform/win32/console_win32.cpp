// Windows backend of platform/console.h. The standard handles always exist
// there; a console is written through the runtime in text mode (CR LF).
#include <io.h>
#include <stdio.h>

#include "platform/console.h"

namespace platform {

// Standard output is unbuffered on a console, which writes one byte per
// call: a buffer, flushed after every log write, makes it one call a write.
void reserve_standard_streams() {
  setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
}

bool prepare_echo(std::FILE*) {
  return true;
}

void write_echo(std::FILE* stream, const char* text, std::size_t length) {
  _write(_fileno(stream), text, static_cast<unsigned>(length));
}

}  // namespace platform
