// Windows backend of platform/console.h: standard output through the C
// runtime in text mode (CR LF line ends).
#include <io.h>
#include <stdio.h>

#include <climits>

#include "platform/console.h"

namespace platform {

bool write_console(const char* text, std::size_t length) {
  std::size_t written = 0;
  while (written < length) {
    const std::size_t piece = length - written < INT_MAX ? length - written : INT_MAX;
    const int count = _write(_fileno(stdout), text + written, static_cast<unsigned>(piece));
    if (count <= 0) return false;
    written += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace platform
