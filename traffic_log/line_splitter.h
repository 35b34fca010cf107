// Turns one direction's relayed bytes into log lines behind a prefix (">>>"
// from the client, "<<<" from the server). A line ends at CR or LF, or after
// 256 characters; lines may arrive split over many reads, so the unfinished
// tail waits in `pending` for the next feed. Unprintable bytes become dots in
// the log only; the data fed is never changed. No allocation: the buffer is
// part of the object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "traffic_log/line_sink.h"

class LineSplitter {
 public:
  // A line longer than this is logged in pieces of this many characters.
  static constexpr std::size_t kLineCut = 256;

  explicit LineSplitter(const char* line_prefix) : prefix_(line_prefix) {}

  // Logs every line that the bytes complete; any amount of data at a time.
  void feed(const char* data, std::size_t n, LineSink& sink);

  // Logs the unfinished line held back as a line of its own, so that it
  // stands before the other direction's next line or the closing line. The
  // rest of that line, when it comes, starts a new line; a line end that
  // comes next only ends the line already logged.
  void flush_held(LineSink& sink);

  bool holds_text() const { return pending_len_ > 0; }
  const char* prefix() const { return prefix_; }
  // Line feeds met at the front since the last byte that was neither CR nor
  // LF: decides when an empty line logs the prefix alone.
  int blank_run() const { return blank_run_; }
  std::size_t pending_length() const { return pending_len_; }
  const char* pending_text() const { return pending_; }

 private:
  void take_line_end(char line_end, LineSink& sink);
  std::size_t take_whole_lines(const char* data, std::size_t n, LineSink& sink);
  std::size_t take_text(const char* data, std::size_t n, LineSink& sink);
  void log_pending(LineSink& sink);

  const char* prefix_;
  // The unfinished line, already shown as the log shows it (dots for
  // unprintable bytes); never holds CR or LF, and never more than a line.
  char pending_[kLineCut] = {};
  std::size_t pending_len_ = 0;
  int blank_run_ = 0;
  // A held line was logged by flush_held and its end has not come yet.
  bool held_line_open_ = false;
};

// Copies n bytes, showing every byte outside 0x20..0x7E as '.'; stops early
// at CR or LF. Returns how many bytes it copied; `to` must have room for n,
// as bytes behind a line end may be written there too.
std::size_t copy_shown(const char* from, std::size_t n, char* to);
