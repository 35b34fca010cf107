// POSIX backend of platform/console.h.
#include <errno.h>
#include <unistd.h>

#include "platform/console.h"

namespace platform {

bool write_console(const char* text, std::size_t length) {
  std::size_t written = 0;
  while (written < length) {
    const ssize_t count = write(STDOUT_FILENO, text + written, length - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else if (count < 0 && errno == EAGAIN) {
      // Someone else made standard output non-blocking: wait a little.
      usleep(10000);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace platform
