// Writes all of a text to a descriptor, for the POSIX backend's log file and
// console. Included by backend files only.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstddef>

namespace platform {

// Returns how much was written: all of it, or less with *error set.
inline std::size_t write_fully(int descriptor, const char* data, std::size_t length, int* error) {
  std::size_t written = 0;
  while (written < length) {
    const ssize_t count = write(descriptor, data + written, length - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else if (count < 0 && errno == EAGAIN) {
      // Someone else made the descriptor non-blocking: wait a little.
      usleep(10000);
    } else {
      *error = count < 0 ? errno : ENOSPC;
      break;
    }
  }
  return written;
}

}  // namespace platform
