// POSIX backend of platform/console.h.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/console.h"

namespace platform {

void reserve_standard_streams() {
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    // open() returns the lowest free number, which is this one.
    if (opened >= 0 && opened != descriptor) close(opened);
  }
}

namespace {

bool is_null_device(const struct stat& status) {
  struct stat null_device;
  return S_ISCHR(status.st_mode) && stat("/dev/null", &null_device) == 0 && status.st_rdev == null_device.st_rdev;
}

}  // namespace

bool prepare_echo(std::FILE* stream) {
  const int descriptor = fileno(stream);
  struct stat status;
  if (descriptor < 0 || fstat(descriptor, &status) != 0) return true;
  if (is_null_device(status)) return false;
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags >= 0) fcntl(descriptor, F_SETFL, flags | O_NONBLOCK);
  }
  return true;
}

void write_echo(std::FILE* stream, const char* text, std::size_t length) {
  const int descriptor = fileno(stream);
  if (descriptor < 0) return;
  // Up to PIPE_BUF bytes reach a pipe whole or not at all; the log writes
  // less than that per call.
  ssize_t written;
  do {
    written = write(descriptor, text, length);
  } while (written < 0 && errno == EINTR);
}

}  // namespace platform
