// Whole lines queued in a bounded buffer and handed on, in order, to an
// output by a thread of the queue's own, so that whoever queues lines never
// waits for the output itself: the log file and the console echo each have
// one. Each hand-off holds whole lines only, so that a process that stops
// between two of them leaves the output on a whole line.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

class LineQueue {
 public:
  class Output {
   public:
    virtual ~Output() = default;
    // Takes whole lines, blocking; false once it takes no more for good
    // (what is queued is dropped then, and nothing more is queued).
    virtual bool take(const char* lines, std::size_t length) = 0;
  };

  enum class Added {
    kQueued,
    kNoRoom,  // try_add only: the queue is too full for the text
    kClosed,  // not started, stopped, or the output is gone: dropped
  };

  using Deadline = std::chrono::steady_clock::time_point;
  static constexpr Deadline kNoDeadline = Deadline::max();

  LineQueue() = default;
  LineQueue(const LineQueue&) = delete;
  LineQueue& operator=(const LineQueue&) = delete;
  // Stops the thread without waiting for it.
  ~LineQueue();

  // Starts the thread that hands the queued lines on to output: each time
  // the whole lines at the front that fit in piece_size (fewer where they
  // wrap around the end of the buffer; the first line alone when it is
  // longer). Woken by lines, the thread first lets more gather for up to
  // `gather` (until a piece's worth or a megabyte waits, or a flush or stop
  // asks), so that lines that come one at a time wake it once per batch,
  // not once each. False when the thread cannot start: nothing is queued
  // then.
  bool start(std::shared_ptr<Output> output, std::size_t capacity, std::size_t piece_size,
             std::chrono::microseconds gather = std::chrono::microseconds(0));
  bool started() const { return state_ != nullptr; }

  // Queues whole lines (each ending in LF) when they fit; never waits.
  Added try_add(const char* text, std::size_t length);
  // Queues whole lines, waiting while the queue has no room for them. A text
  // longer than the whole queue goes in as many whole lines at a time as fit.
  Added add(const char* text, std::size_t length);
  // Nothing is queued: the output has taken every line given to it.
  bool drained() const;
  // Returns true once the lines queued so far have been handed on, false at
  // the deadline or when the thread has ended first.
  bool flush(Deadline deadline = kNoDeadline);
  // Ends the thread: the hand-off under way may finish, waited for until the
  // deadline, and no other starts; what is still queued is dropped. A thread
  // that has ended holds the output no more; one stuck in a hand-off is left
  // behind, and keeps what it uses (the output too) alive on its own.
  void stop(Deadline deadline);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The length of the whole lines at the start of text that fit in room; when
// not even one does, room itself (a line longer than room).
std::size_t whole_lines_within(const char* text, std::size_t length, std::size_t room);
