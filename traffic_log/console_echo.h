// The console echo of a log that goes to a file: a copy of the log's lines
// on standard output that never holds up the relay, the log file or the
// accept loop, whatever standard output is (a terminal nobody reads, a full
// pipe, a socket). Lines are queued in a bounded buffer and written by a
// thread of their own; lines that do not fit are left out until the console
// has taken what was queued, and it is then told once how many it missed.
// Every write to the console holds whole lines only, so that a process that
// stops between two writes leaves the console on a whole line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "traffic_log/line_queue.h"

class ConsoleEcho {
 public:
  // Writes all of a text, blocking; false once the console is gone for good.
  using Writer = bool (*)(const char* text, std::size_t length);

  static constexpr std::size_t kDefaultCapacity = 512 * 1024;

  ConsoleEcho() = default;
  ConsoleEcho(const ConsoleEcho&) = delete;
  ConsoleEcho& operator=(const ConsoleEcho&) = delete;
  // Stops the echo (see stop).
  ~ConsoleEcho();

  // Starts the echo thread. False when it cannot start; nothing is echoed then.
  bool start(Writer writer, std::size_t capacity = kDefaultCapacity);
  // Queues whole lines (each ending in LF); never waits for the console.
  // Of a text larger than the room left, the lines before a cut are queued.
  void add(const char* text, std::size_t length);
  // Lines left out so far (for tests and the notice).
  std::uint64_t missed_lines() const;
  // Nothing is queued: the console has taken every line given to it.
  bool drained() const;
  // Ends the echo: the write under way may finish, waited for at most about
  // a second, and no other starts. A thread stuck on a console that never
  // drains is left behind; it keeps what it uses alive on its own.
  void stop();

 private:
  LineQueue::Added add_after_missed(const char* text, std::size_t length);

  LineQueue queue_;
  // Held by add, so that the missed notice and the lines after it go in
  // together.
  mutable std::mutex lock_;
  std::uint64_t missed_ = 0;
};
