// The log: every line from every thread goes through log_message, which
// writes it to log_stream and echoes it to the console. Each line reaches
// each stream whole, in one write, and is flushed at once: the process only
// ever ends by being killed.
#pragma once

#include <cstddef>
#include <cstdio>

// The log's stream: standard output until start-up opens the log file.
extern std::FILE* log_stream;
// Where the echo goes when log_stream is a file: standard output (a test may
// point it elsewhere).
extern std::FILE* log_console;

// Formats one log line and writes it to the log and its echo. Returns the
// character count of the formatted text.
int log_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes already formatted, whole lines to the log and its echo, as one write
// per stream.
void log_text(const char* text, std::size_t length);

// Opens the log file (truncated) as log_stream, unless path is "-". On
// failure returns false and leaves log_stream as it was.
bool open_log_file(const char* path);
