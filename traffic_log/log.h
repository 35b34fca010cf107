// The log: every line from every thread goes through one Log. A turn only
// queues its lines; a writer thread of the log's own appends whole lines to
// the log file (or standard output), everything queued in one write where it
// can, hands them on to the console echo that start-up wires in, and keeps
// the accounting of lines that could not be written. So a slow or stalled
// log file holds up no one until the queue is full; then turns wait for
// room, and no line is lost. Each line reaches the file whole or not at all,
// and the echo shows the file's lines in the file's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/file.h"
#include "platform/process.h"
#include "traffic_log/annotation.h"
#include "traffic_log/console_echo.h"
#include "traffic_log/line_queue.h"

class Log {
 public:
  // Until open or attach, lines are written to standard output at once.
  Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;
  // Once what is queued is written (waiting at most about a second).
  ~Log();

  // Opens the log at path (once): the file is truncated, then appended to;
  // "-" is standard output. Starts the writer thread (without one, each
  // line is written at once). On failure returns false with *error set.
  bool open(const char* path, int* error);
  // Standard output is the log itself ("-", or a log file that is standard
  // output by another name): an echo would show every line twice.
  bool writes_to_standard_output() const;
  // As open, with a file handle already open, and without an echo (tests).
  void attach(platform::FileHandle file);
  // The settings below are made after open and before the first line.
  // Every line written from now on is echoed too.
  void set_echo(std::unique_ptr<ConsoleEcho> echo);
  // Starts every line with the local time and the connection's number.
  void set_annotate(bool annotate);
  bool annotate() const;
  // Where annotations take the time from (tests: a clock of their own).
  using Clock = std::int64_t (*)();
  void set_clock(Clock clock);

  // Queues whole lines (each ending in LF), to be written in one write,
  // waiting only while the queue has no room for them.
  void write(const char* text, std::size_t length);
  // Returns once every line queued so far is written or counted as lost.
  void flush();

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
  // writes that follow go to the new one (it waits for a write under way).
  // When it cannot be opened, the log goes on in the old file and standard
  // error says so. Nothing with "-".
  void reopen();

  // Holds the log for good, once what is queued is written (waiting at most
  // about a second in all, for a turn under way and for a write stuck on a
  // stalled disk or console), and ends the echo once its write under way is
  // done (as long again at most), so that a stopping process ends both with
  // whole lines.
  void hold_for_stop();

 private:
  class File;

  void start_writer();
  void queue(const char* text, std::size_t length);
  void finish_writing(LineQueue::Deadline deadline);

  // Held for each write, or with -a for each turn, and for good once the
  // process stops: a turn's lines go into the queue together.
  std::timed_mutex lock_;
  std::shared_ptr<File> file_;
  LineQueue queue_;
};
