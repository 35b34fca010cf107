// The process's standard streams as the log uses them.
#pragma once

#include <cstddef>
#include <cstdio>

namespace platform {

// Opens the null device on any standard stream that is closed at start, so
// that no socket or log file ever takes its number (an echo of the log would
// otherwise be written into a peer's connection or into the log itself).
void reserve_standard_streams();

// The console echo must never hold up the relay: when standard output is a
// pipe or socket that is not being read, a line that does not fit at once is
// left out of the echo (the log file keeps it). Returns false when the stream
// is the null device, where an echo would only cost a system call.
bool prepare_echo(std::FILE* stream);

// Writes whole lines to the stream's descriptor in one call, bypassing its
// buffer. Lines that cannot be written at once are dropped.
void write_echo(std::FILE* stream, const char* text, std::size_t length);

}  // namespace platform
