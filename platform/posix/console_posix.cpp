// POSIX backend of platform/console.h.
#include <unistd.h>

#include "platform/console.h"
#include "platform/posix/write_fully.h"

namespace platform {

bool write_console(const char* text, std::size_t length) {
  int error = 0;
  return write_fully(STDOUT_FILENO, text, length, &error) == length;
}

}  // namespace platform
