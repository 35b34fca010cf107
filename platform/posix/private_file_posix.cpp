// POSIX backend of platform/private_file.h.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/write_fully.h"
#include "platform/private_file.h"

namespace platform {
namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
constexpr mode_t kOthersAccess = S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;

// Reads to the end, or fails once more than the limit arrived.
bool read_to_end(int descriptor, std::string* contents, int* error) {
  char chunk[16384];
  while (true) {
    const ssize_t count = read(descriptor, chunk, sizeof chunk);
    if (count == 0) return true;
    if (count < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    if (contents->size() + static_cast<std::size_t>(count) > kMostPrivateFileBytes) {
      *error = EFBIG;
      return false;
    }
    contents->append(chunk, static_cast<std::size_t>(count));
  }
}

}  // namespace

bool read_whole_file(const char* path, std::string* contents, bool* open_to_others, int* error) {
  const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    *error = errno;
    return false;
  }
  struct stat status;
  bool read = fstat(descriptor, &status) == 0;
  if (!read) *error = errno;
  contents->clear();
  read = read && read_to_end(descriptor, contents, error);
  if (read) *open_to_others = (status.st_mode & kOthersAccess) != 0;
  close(descriptor);
  return read;
}

bool create_private_file(const char* path, const char* data, std::size_t length, int* error) {
  const int descriptor = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
  if (descriptor < 0) {
    *error = errno;
    return false;
  }
  bool whole = write_fully(descriptor, data, length, error) == length;
  if (close(descriptor) != 0 && whole) {
    *error = errno;
    whole = false;
  }
  if (!whole) unlink(path);
  return whole;
}

FileHandle open_private_for_append(const char* path, int* error) {
  const int descriptor = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kOwnerOnly);
  if (descriptor < 0) {
    *error = errno;
    return kNoFile;
  }
  return descriptor;
}

}  // namespace platform
