// POSIX backend of platform/file.h.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file.h"
#include "platform/posix/write_fully.h"

namespace platform {
namespace {

constexpr mode_t kNewFileMode = 0644;

bool is_null_device(const struct stat& status) {
  struct stat null_device;
  return S_ISCHR(status.st_mode) && stat("/dev/null", &null_device) == 0 &&
         status.st_rdev == null_device.st_rdev;
}

// Cuts off the bytes of a write that could not be finished, so that the file
// never ends in part of a line: only when the file still ends where the
// write left the offset. Otherwise the file was truncated or written to
// since, and the cut would extend it or take someone else's bytes.
Appended take_back(int descriptor, std::size_t written) {
  if (written == 0) return Appended::kNone;
  const off_t end = lseek(descriptor, 0, SEEK_CUR);
  struct stat status;
  if (end < static_cast<off_t>(written) || fstat(descriptor, &status) != 0 || status.st_size != end ||
      ftruncate(descriptor, end - static_cast<off_t>(written)) != 0)
    return Appended::kPart;
  return Appended::kNone;
}

}  // namespace

FileHandle open_log_file(const char* path, int* error) {
  const int truncated = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode);
  if (truncated < 0) {
    *error = errno;
    return kNoFile;
  }
  close(truncated);
  return open_for_append(path, error);
}

// Files have no text mode here.
FileHandle open_binary_file(const char* path, int* error) {
  return open_log_file(path, error);
}

FileHandle open_for_append(const char* path, int* error) {
  const int descriptor = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kNewFileMode);
  if (descriptor < 0) {
    *error = errno;
    return kNoFile;
  }
  return descriptor;
}

void close_file(FileHandle file) {
  close(static_cast<int>(file));
}

FileHandle standard_output() {
  return STDOUT_FILENO;
}

Appended append_whole(FileHandle file, const char* data, std::size_t length, int* error) {
  const int descriptor = static_cast<int>(file);
  const std::size_t written = write_fully(descriptor, data, length, error);
  if (written == length) return Appended::kAll;
  return take_back(descriptor, written);
}

bool standard_output_is_null_device() {
  struct stat status;
  return fstat(STDOUT_FILENO, &status) == 0 && is_null_device(status);
}

bool is_standard_output(FileHandle file) {
  struct stat status;
  struct stat output;
  return fstat(static_cast<int>(file), &status) == 0 && fstat(STDOUT_FILENO, &output) == 0 &&
         status.st_dev == output.st_dev && status.st_ino == output.st_ino;
}

}  // namespace platform
