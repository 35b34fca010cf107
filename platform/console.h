// The console echo's one service: a blocking write to standard output. Only
// the echo's own thread calls it, so a console that is not read (a terminal,
// a full pipe, a paused console window) holds up nothing but that thread, on
// both platforms. On Windows standard output is in text mode: each LF is
// written as CR LF.
#pragma once

#include <cstddef>

namespace platform {

// Writes all of text to standard output. False when standard output is
// gone for good (closed, or a pipe whose reader has left).
bool write_console(const char* text, std::size_t length);

}  // namespace platform
