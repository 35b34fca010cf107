// Windows backend of platform/console.h. A console or pipe there is written
// through the runtime; the standard handles always exist.
#include <stdio.h>

#include "platform/console.h"

namespace platform {

void reserve_standard_streams() {}

bool prepare_echo(std::FILE*) { return true; }

void write_echo(std::FILE* stream, const char* text, std::size_t length) {
  fwrite(text, 1, length, stream);
  fflush(stream);
}

}  // namespace platform
