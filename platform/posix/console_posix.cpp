// POSIX backend of platform/console.h.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/console.h"

namespace platform {
namespace {

// What standard output turned out to be at start-up. The flags of its open
// file are never changed: another process, or our own standard error after
// 2>&1, may share them.
enum class EchoKind { kPlain, kPipe, kSocket };
EchoKind echo_kind = EchoKind::kPlain;
// Keeps the room check and the write of a pipe echo together, so that a
// second thread cannot take the room the first one saw.
pthread_mutex_t pipe_echo_lock = PTHREAD_MUTEX_INITIALIZER;

bool is_null_device(const struct stat& status) {
  struct stat null_device;
  return S_ISCHR(status.st_mode) && stat("/dev/null", &null_device) == 0 &&
         status.st_rdev == null_device.st_rdev;
}

bool pipe_has_room(int descriptor) {
  pollfd query{descriptor, POLLOUT, 0};
  return poll(&query, 1, 0) == 1 && (query.revents & POLLOUT) != 0;
}

// A pipe that reports room takes a write of up to PIPE_BUF bytes whole and
// at once; one that has none is not waited for.
void write_to_pipe(int descriptor, const char* text, std::size_t length) {
  pthread_mutex_lock(&pipe_echo_lock);
  if (pipe_has_room(descriptor)) {
    ssize_t written;
    do {
      written = write(descriptor, text, length);
    } while (written < 0 && errno == EINTR);
  }
  pthread_mutex_unlock(&pipe_echo_lock);
}

}  // namespace

void reserve_standard_streams() {
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    // open() returns the lowest free number, which is this one.
    if (opened >= 0 && opened != descriptor) close(opened);
  }
}

bool prepare_echo(std::FILE* stream) {
  const int descriptor = fileno(stream);
  struct stat status;
  if (descriptor < 0 || fstat(descriptor, &status) != 0) return true;
  if (is_null_device(status)) return false;
  if (S_ISFIFO(status.st_mode)) echo_kind = EchoKind::kPipe;
  if (S_ISSOCK(status.st_mode)) echo_kind = EchoKind::kSocket;
  return true;
}

void write_echo(std::FILE* stream, const char* text, std::size_t length) {
  const int descriptor = fileno(stream);
  if (descriptor < 0) return;
  if (echo_kind == EchoKind::kPipe) return write_to_pipe(descriptor, text, length);
  ssize_t written;
  do {
    written = echo_kind == EchoKind::kSocket ? send(descriptor, text, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                                             : write(descriptor, text, length);
  } while (written < 0 && errno == EINTR);
}

}  // namespace platform
