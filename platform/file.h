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

void close_file(FileHandle file);

// Standard output, for a log that goes there.
FileHandle standard_output();

// Appends all of data, or none of it: when the system takes only part (a
// full disk), the part is cut off again where the file allows it (a regular
// file; not a pipe or a terminal). False with *error set when not all of it
// was written.
bool append_whole(FileHandle file, const char* data, std::size_t length, int* error);

// True when standard output is the null device: an echo there would only
// cost system calls.
bool standard_output_is_null_device();

// True when the file is standard output itself by identity, whatever its
// name (/dev/stdout, the terminal's own device): an echo there would show
// every line twice. False where that cannot be told.
bool is_standard_output(FileHandle file);

}  // namespace platform
