// The log: every line from every thread goes through one Log, which appends
// whole lines to the log file (or standard output) and hands them on to the
// console echo that start-up wires in, and keeps the accounting of lines
// that could not be written. Each line reaches the file whole or not at
// all, and the echo shows the file's lines in the file's order.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/file.h"
#include "platform/process.h"
#include "traffic_log/annotation.h"
#include "traffic_log/console_echo.h"

class Log {
 public:
  Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;
  ~Log();

  // Opens the log at path: the file is truncated, then appended to; "-" is
  // standard output. On failure returns false with *error set.
  bool open(const char* path, int* error);
  // Standard output is the log itself ("-", or a log file that is standard
  // output by another name): an echo would show every line twice.
  bool writes_to_standard_output() const;
  // Every line written from now on is echoed too.
  void set_echo(std::unique_ptr<ConsoleEcho> echo) { echo_ = std::move(echo); }
  // Writes to an open file handle without an echo (tests).
  void attach(platform::FileHandle file);
  // Starts every line with the local time and the connection's number.
  void set_annotate(bool annotate) { annotate_ = annotate; }
  bool annotate() const { return annotate_; }
  // Where annotations take the time from (tests: a clock of their own).
  using Clock = std::int64_t (*)();
  void set_clock(Clock clock) { clock_ = clock; }

  // Writes whole lines (each ending in LF) in one write, then echoes them.
  void write(const char* text, std::size_t length);

  // The one road of every line to the log: a turn, for the lines of one
  // read or one event. With -a the log is held for the whole turn and its
  // time taken once it is held, so that the file shows every thread's lines
  // in the order of their times; without -a only each write holds it.
  class Turn {
   public:
    explicit Turn(Log& log);
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn();
    // The moment of this turn (0 without -a).
    std::int64_t now_us() const { return now_us_; }
    void write(const char* text, std::size_t length);

   private:
    Log& log_;
    bool held_;
    std::int64_t now_us_ = 0;
  };

  // Reopens the log file by its path, for appending (created if missing),
  // after a rotation has renamed it: the renamed file keeps what it has, the
  // lines that follow go to the new one. When it cannot be opened, the log
  // goes on in the old file and standard error says so. Nothing with "-".
  void reopen();

  // Holds the log for good, once any write under way is done (waiting at most
  // about a second for one stuck on a console), and ends the echo once its
  // write under way is done (as long again at most), so that a stopping
  // process ends both with whole lines.
  void hold_for_stop();

 private:
  void write_held(const char* text, std::size_t length);
  void write_after_loss(const char* text, std::size_t length);
  void note_failure(const char* text, std::size_t length, platform::Appended appended, int error);

  std::timed_mutex lock_;
  platform::FileHandle file_ = platform::kNoFile;
  std::string path_;
  std::unique_ptr<ConsoleEcho> echo_;
  bool annotate_ = false;
  Clock clock_ = platform::wall_clock_microseconds;
  // Lines that could not be written since the last one that could, and why.
  std::uint64_t lost_lines_ = 0;
  int lost_error_ = 0;
  // The file ends in part of a line that could not be cut off.
  bool fragment_left_ = false;
};
