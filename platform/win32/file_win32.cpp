// Windows backend of platform/file.h: the C runtime's files in text mode,
// so that the log has CR LF line ends.
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

#include <climits>

#include "platform/file.h"

namespace platform {
namespace {

// A file's identity: its volume and its index there. Pipes and consoles
// have none.
bool identify(HANDLE handle, BY_HANDLE_FILE_INFORMATION* identity) {
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetFileInformationByHandle(handle, identity);
}

// Cuts the file back to where a write that could not be finished started,
// so that it never ends in part of a line: only when the file still ends
// where the write left the position. Otherwise it was truncated or written
// to since, and the cut would extend it or take someone else's bytes.
Appended take_back(int descriptor, __int64 start, std::size_t written) {
  if (written == 0) return Appended::kNone;
  const __int64 end = _lseeki64(descriptor, 0, SEEK_CUR);
  if (start < 0 || end < start || _filelengthi64(descriptor) != end || _chsize_s(descriptor, start) != 0)
    return Appended::kPart;
  return Appended::kNone;
}

// Opens the file for appending in the mode given (_O_TEXT or _O_BINARY).
FileHandle open_appending(const char* path, int mode, int* error) {
  const int descriptor = _open(path, _O_WRONLY | _O_CREAT | _O_APPEND | mode | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (descriptor < 0) {
    *error = errno;
    return kNoFile;
  }
  return descriptor;
}

// Creates or truncates the file, then opens it for appending in the mode
// given (_O_TEXT or _O_BINARY).
FileHandle open_truncated(const char* path, int mode, int* error) {
  const int truncated = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | mode | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (truncated < 0) {
    *error = errno;
    return kNoFile;
  }
  _close(truncated);
  return open_appending(path, mode, error);
}

}  // namespace

FileHandle open_log_file(const char* path, int* error) {
  return open_truncated(path, _O_TEXT, error);
}

FileHandle open_binary_file(const char* path, int* error) {
  return open_truncated(path, _O_BINARY, error);
}

FileHandle open_for_append(const char* path, int* error) {
  return open_appending(path, _O_TEXT, error);
}

void close_file(FileHandle file) {
  _close(static_cast<int>(file));
}

FileHandle standard_output() {
  return _fileno(stdout);
}

Appended append_whole(FileHandle file, const char* data, std::size_t length, int* error) {
  const int descriptor = static_cast<int>(file);
  // Where this write starts, to cut a part of it off again; -1 for a pipe or
  // a console, which cannot be cut.
  const __int64 start = _lseeki64(descriptor, 0, SEEK_END);
  std::size_t written = 0;
  while (written < length) {
    const std::size_t piece = length - written < INT_MAX ? length - written : INT_MAX;
    const int count = _write(descriptor, data + written, static_cast<unsigned>(piece));
    if (count <= 0) {
      *error = count < 0 ? errno : ENOSPC;
      return take_back(descriptor, start, written);
    }
    written += static_cast<std::size_t>(count);
  }
  return Appended::kAll;
}

bool standard_output_is_null_device() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  // A character device that is not a console is the null device.
  return output != INVALID_HANDLE_VALUE && GetFileType(output) == FILE_TYPE_CHAR &&
         !GetConsoleMode(output, &mode);
}

bool is_standard_output(FileHandle file) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(static_cast<int>(file)));
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  BY_HANDLE_FILE_INFORMATION identity;
  BY_HANDLE_FILE_INFORMATION output_identity;
  if (handle == output && handle != INVALID_HANDLE_VALUE) return true;
  return identify(handle, &identity) && identify(output, &output_identity) &&
         identity.dwVolumeSerialNumber == output_identity.dwVolumeSerialNumber &&
         identity.nFileIndexHigh == output_identity.nFileIndexHigh &&
         identity.nFileIndexLow == output_identity.nFileIndexLow;
}

}  // namespace platform
