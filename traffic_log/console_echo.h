// The console echo of a log that goes to a file: a copy of the log's lines
// on standard output that never holds up the relay, the log file or the
// accept loop, whatever standard output is (a terminal nobody reads, a full
// pipe, a socket). Lines are queued in a bounded buffer and written by a
// thread of their own; lines that do not fit are left out until the console
// has taken what was queued, and it is then told once how many it missed.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class ConsoleEcho {
 public:
  // Writes all of a text, blocking; false once the console is gone for good.
  using Writer = bool (*)(const char* text, std::size_t length);

  static constexpr std::size_t kDefaultCapacity = 512 * 1024;

  ConsoleEcho() = default;
  ConsoleEcho(const ConsoleEcho&) = delete;
  ConsoleEcho& operator=(const ConsoleEcho&) = delete;
  ~ConsoleEcho();

  // Starts the echo thread. False when it cannot start; nothing is echoed then.
  bool start(Writer writer, std::size_t capacity = kDefaultCapacity);
  // Queues whole lines (each ending in LF); never waits for the console.
  void add(const char* text, std::size_t length);
  // Lines left out so far (for tests and the notice).
  std::uint64_t missed_lines() const;
  // Nothing is queued: the console has taken every line given to it.
  bool drained() const;

 private:
  static void run(void* self);
  void write_queued();
  void append(const char* text, std::size_t length);
  bool append_missed_notice(std::size_t following);

  Writer writer_ = nullptr;
  std::unique_ptr<char[]> ring_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;    // first byte not yet written to the console
  std::size_t queued_ = 0;  // bytes from head_ on, the one being written included
  std::uint64_t missed_ = 0;
  bool running_ = false;
  bool stopping_ = false;
  bool console_gone_ = false;
  mutable std::mutex lock_;
  std::condition_variable changed_;
};
