// The log file: opened once, written in append mode, so that a rotation that
// truncates it, or a second writer on the same path, never leaves holes or
// overwrites lines.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Creates or truncates the file, then opens it for appending (in text mode
// on Windows: each LF is stored as CR LF). On failure returns kNoFile and
// sets *error to the system's code.
FileHandle open_log_file(const char* path, int* error);

// As open_log_file, but the bytes reach the file as they are on Windows too
// (binary mode): a capture file.
FileHandle open_binary_file(const char* path, int* error);

// Opens the file for appending as open_log_file does, creating it when it is
// missing but keeping what it holds: the log's reopen after a rotation.
FileHandle open_for_append(const char* path, int* error);

void close_file(FileHandle file);

// Standard output, for a log that goes there.
FileHandle standard_output();

// How much of an append reached the file.
enum class Appended {
  kAll,
  kNone,
  // A part stays at the file's end: it could not be cut off (a pipe, a
  // terminal, or a file written after it by someone else).
  kPart,
};

// Appends all of data, or none of it where that can be known: when the
// system takes only part (a full disk), the part is cut off again, but only
// while the file ends exactly where this write ended, so that a rotation or
// a second writer in between is never cut into nor the file extended. With
// kNone or kPart, *error is set.
Appended append_whole(FileHandle file, const char* data, std::size_t length, int* error);

// True when standard output is the null device: an echo there would only
// cost system calls.
bool standard_output_is_null_device();

// True when the file is standard output itself by identity, whatever its
// name (/dev/stdout, the terminal's own device): an echo there would show
// every line twice. False where that cannot be told.
bool is_standard_output(FileHandle file);

}  // namespace platform
