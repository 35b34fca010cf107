// Windows backend of platform/private_file.h: the C runtime's files in
// binary mode. Access on Windows is the folder's ACL, not a mode: a new file
// takes its folder's rules, and no file is reported open to others.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

#include "platform/private_file.h"

namespace platform {
namespace {

bool read_to_end(int descriptor, std::string* contents, int* error) {
  char chunk[16384];
  while (true) {
    const int count = _read(descriptor, chunk, sizeof chunk);
    if (count == 0) return true;
    if (count < 0) {
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

bool write_to_end(int descriptor, const char* data, std::size_t length, int* error) {
  std::size_t written = 0;
  while (written < length) {
    const std::size_t piece = length - written < 65536 ? length - written : 65536;
    const int count = _write(descriptor, data + written, static_cast<unsigned>(piece));
    if (count <= 0) {
      *error = count < 0 ? errno : ENOSPC;
      return false;
    }
    written += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace

bool read_whole_file(const char* path, std::string* contents, bool* open_to_others, int* error) {
  const int descriptor = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (descriptor < 0) {
    *error = errno;
    return false;
  }
  contents->clear();
  const bool read = read_to_end(descriptor, contents, error);
  if (read) *open_to_others = false;
  _close(descriptor);
  return read;
}

bool create_private_file(const char* path, const char* data, std::size_t length, int* error) {
  const int descriptor =
      _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (descriptor < 0) {
    *error = errno;
    return false;
  }
  bool whole = write_to_end(descriptor, data, length, error);
  if (_close(descriptor) != 0 && whole) {
    *error = errno;
    whole = false;
  }
  if (!whole) _unlink(path);
  return whole;
}

FileHandle open_private_for_append(const char* path, int* error) {
  const int descriptor =
      _open(path, _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (descriptor < 0) {
    *error = errno;
    return kNoFile;
  }
  return descriptor;
}

}  // namespace platform
