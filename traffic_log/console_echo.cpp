#include "traffic_log/console_echo.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/thread.h"

namespace {

std::uint64_t count_lines(const char* text, std::size_t length) {
  return static_cast<std::uint64_t>(std::count(text, text + length, '\n'));
}

}  // namespace

ConsoleEcho::~ConsoleEcho() {
  std::unique_lock<std::mutex> guard(lock_);
  stopping_ = true;
  changed_.notify_all();
  changed_.wait(guard, [this] { return !running_; });
}

bool ConsoleEcho::start(Writer writer, std::size_t capacity) {
  writer_ = writer;
  capacity_ = capacity;
  ring_ = std::make_unique<char[]>(capacity);
  {
    const std::lock_guard<std::mutex> guard(lock_);
    running_ = true;
  }
  if (platform::start_detached_thread(run, this)) return true;
  const std::lock_guard<std::mutex> guard(lock_);
  running_ = false;
  return false;
}

void ConsoleEcho::add(const char* text, std::size_t length) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (!running_ || console_gone_) return;
  const bool was_empty = queued_ == 0;
  if (!append_missed_notice(length) || capacity_ - queued_ < length) {
    missed_ += count_lines(text, length);
    return;
  }
  append(text, length);
  if (was_empty) changed_.notify_all();
}

std::uint64_t ConsoleEcho::missed_lines() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return missed_;
}

// Once lines were left out, nothing more is queued until the console has
// taken all that was: then it is told, once, how many it did not get, in
// front of the lines that follow.
bool ConsoleEcho::append_missed_notice(std::size_t following) {
  if (missed_ == 0) return true;
  if (queued_ > 0) return false;
  char notice[96];
  const int length =
      std::snprintf(notice, sizeof notice, "Console echo missed %llu lines (the log file has them)\n",
                    static_cast<unsigned long long>(missed_));
  if (length <= 0 || capacity_ - queued_ < static_cast<std::size_t>(length) + following) return false;
  append(notice, static_cast<std::size_t>(length));
  missed_ = 0;
  return true;
}

void ConsoleEcho::append(const char* text, std::size_t length) {
  const std::size_t tail = (head_ + queued_) % capacity_;
  const std::size_t first = std::min(length, capacity_ - tail);
  std::memcpy(ring_.get() + tail, text, first);
  std::memcpy(ring_.get(), text + first, length - first);
  queued_ += length;
}

bool ConsoleEcho::drained() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return queued_ == 0;
}

void ConsoleEcho::run(void* self) {
  static_cast<ConsoleEcho*>(self)->write_queued();
}

// The echo thread: writes what is queued, outside the lock, as one piece up
// to the end of the ring at a time.
void ConsoleEcho::write_queued() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    changed_.wait(guard, [this] { return queued_ > 0 || stopping_; });
    if (stopping_) break;
    const std::size_t piece = std::min(queued_, capacity_ - head_);
    const char* start = ring_.get() + head_;
    guard.unlock();
    const bool written = writer_(start, piece);
    guard.lock();
    head_ = (head_ + piece) % capacity_;
    queued_ -= piece;
    if (!written) {
      console_gone_ = true;
      queued_ = 0;
    }
  }
  running_ = false;
  changed_.notify_all();
}
