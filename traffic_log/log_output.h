// The log: every line from every thread goes through here, to log_stream and
// echoed to the console. Each line reaches each stream whole, in one write,
// and is flushed at once: the process only ever ends by being killed.
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

// Gathers the traffic lines of one block of relayed bytes so that they reach
// each stream in one write. Written out when full and when it goes out of
// scope, so every line is in the log before the block is relayed on.
class LogBatch {
 public:
  LogBatch() = default;
  LogBatch(const LogBatch&) = delete;
  LogBatch& operator=(const LogBatch&) = delete;
  ~LogBatch() { flush(); }

  // Adds "prefix text\n", or "prefix\n" when length is 0.
  void add_line(const char* prefix, const char* text, std::size_t length);
  void flush();

 private:
  // Stays within the size a pipe takes whole in one write.
  static constexpr std::size_t kCapacity = 4096;
  char buffer_[kCapacity];
  std::size_t used_ = 0;
};
