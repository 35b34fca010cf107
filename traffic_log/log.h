// The log: every line from every thread goes through one Log, which owns the
// log file (or standard output), the console echo and the accounting of
// lines that could not be written. Each line reaches the file whole or not at
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
#include "traffic_log/console_echo.h"

// A connection's number in log annotations; 0 for lines of no connection.
using ConnectionNumber = std::uint64_t;

class Log {
 public:
  // Room for the annotation that starts every line with -a.
  static constexpr std::size_t kAnnotationSize = 64;

  Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;
  ~Log();

  // Opens the log at path: the file is truncated, then appended to; "-" is
  // standard output. A log file gets a console echo unless standard output
  // is the null device or that file itself. On failure returns false with
  // *error set.
  bool open(const char* path, int* error);
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
  // Formats one event line, annotated for the connection (0: none) with the
  // time it is written at.
  void event(ConnectionNumber connection, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Writes the annotation for a line of the connection ("time #N ", or the
  // time alone for 0) into buffer; returns its length (0 without -a).
  std::size_t annotation(ConnectionNumber connection, std::int64_t time_us, char* buffer,
                         std::size_t size) const;

  // One connection's turn at the log, for the lines of one read or one
  // event. With -a the log is held for the whole turn and its time taken
  // once it is held, so that the file shows every thread's lines in the
  // order of their times; without -a only each write holds it.
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
