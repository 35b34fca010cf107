#include "traffic_log/console_echo.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/thread.h"

namespace {

// A pipe takes a write of up to this many bytes (PIPE_BUF) whole or not at
// all: lines written in pieces of this size never reach a pipe cut, even
// when the process ends in the middle of a write.
constexpr std::size_t kWriteSize = 4096;
constexpr auto kStopWait = std::chrono::seconds(1);

std::uint64_t count_lines(const char* text, std::size_t length) {
  return static_cast<std::uint64_t>(std::count(text, text + length, '\n'));
}

}  // namespace

// What the echo thread shares with its ConsoleEcho. The thread holds a
// reference of its own, so one left behind on a console that never drains
// outlives the ConsoleEcho without using freed memory.
struct ConsoleEcho::State {
  Writer writer = nullptr;
  std::unique_ptr<char[]> ring;
  std::size_t capacity = 0;
  std::size_t head = 0;    // first byte not yet written to the console
  std::size_t queued = 0;  // bytes from head on, the ones being written included
  std::uint64_t missed = 0;
  bool running = false;
  bool stopping = false;
  bool console_gone = false;
  std::mutex lock;
  std::condition_variable changed;

  static void run(void* reference);
  void write_queued();
  void append(const char* text, std::size_t length);
  bool append_missed_notice(std::size_t following);
  std::size_t copy_front_lines(std::string* lines) const;
  void copy_front(std::size_t length, std::string* text) const;
};

ConsoleEcho::~ConsoleEcho() {
  stop();
}

bool ConsoleEcho::start(Writer writer, std::size_t capacity) {
  auto state = std::make_shared<State>();
  state->writer = writer;
  state->capacity = capacity;
  state->ring = std::make_unique<char[]>(capacity);
  state->running = true;
  auto* reference = new std::shared_ptr<State>(state);
  if (!platform::start_detached_thread(State::run, reference)) {
    delete reference;
    return false;
  }
  state_ = std::move(state);
  return true;
}

void ConsoleEcho::add(const char* text, std::size_t length) {
  if (!state_) return;
  State& state = *state_;
  const std::lock_guard<std::mutex> guard(state.lock);
  if (!state.running || state.stopping || state.console_gone) return;
  const bool was_empty = state.queued == 0;
  if (!state.append_missed_notice(length) || state.capacity - state.queued < length) {
    state.missed += count_lines(text, length);
    return;
  }
  state.append(text, length);
  if (was_empty) state.changed.notify_all();
}

std::uint64_t ConsoleEcho::missed_lines() const {
  if (!state_) return 0;
  const std::lock_guard<std::mutex> guard(state_->lock);
  return state_->missed;
}

bool ConsoleEcho::drained() const {
  if (!state_) return true;
  const std::lock_guard<std::mutex> guard(state_->lock);
  return state_->queued == 0;
}

void ConsoleEcho::stop() {
  if (!state_) return;
  State& state = *state_;
  std::unique_lock<std::mutex> guard(state.lock);
  state.stopping = true;
  state.changed.notify_all();
  state.changed.wait_for(guard, kStopWait, [&state] { return !state.running; });
}

// Once lines were left out, nothing more is queued until the console has
// taken all that was: then it is told, once, how many it did not get, in
// front of the lines that follow.
bool ConsoleEcho::State::append_missed_notice(std::size_t following) {
  if (missed == 0) return true;
  if (queued > 0) return false;
  char notice[96];
  const int length =
      std::snprintf(notice, sizeof notice, "Console echo missed %llu lines (the log file has them)\n",
                    static_cast<unsigned long long>(missed));
  if (length <= 0 || capacity - queued < static_cast<std::size_t>(length) + following) return false;
  append(notice, static_cast<std::size_t>(length));
  missed = 0;
  return true;
}

void ConsoleEcho::State::append(const char* text, std::size_t length) {
  const std::size_t tail = (head + queued) % capacity;
  const std::size_t first = std::min(length, capacity - tail);
  std::memcpy(ring.get() + tail, text, first);
  std::memcpy(ring.get(), text + first, length - first);
  queued += length;
}

void ConsoleEcho::State::copy_front(std::size_t length, std::string* text) const {
  const std::size_t first = std::min(length, capacity - head);
  text->assign(ring.get() + head, first);
  text->append(ring.get(), length - first);
}

// The next write: the whole lines at the front of the queue that fit in
// kWriteSize, or the first line alone when it is longer. They stay queued
// until written. Returns their length.
std::size_t ConsoleEcho::State::copy_front_lines(std::string* lines) const {
  copy_front(std::min(queued, kWriteSize), lines);
  std::size_t end = lines->rfind('\n');
  if (end == std::string::npos) {
    copy_front(queued, lines);
    end = lines->find('\n');
  }
  if (end != std::string::npos) lines->resize(end + 1);
  return lines->size();
}

void ConsoleEcho::State::run(void* reference) {
  const std::unique_ptr<std::shared_ptr<State>> owned(static_cast<std::shared_ptr<State>*>(reference));
  (*owned)->write_queued();
}

// The echo thread: writes what is queued, whole lines at a time, outside the
// lock; once stopping, it starts no other write.
void ConsoleEcho::State::write_queued() {
  std::string lines;
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    changed.wait(guard, [this] { return queued > 0 || stopping; });
    if (stopping) break;
    const std::size_t piece = copy_front_lines(&lines);
    guard.unlock();
    const bool written = writer(lines.data(), piece);
    guard.lock();
    head = (head + piece) % capacity;
    queued -= piece;
    if (!written) {
      console_gone = true;
      queued = 0;
    }
  }
  running = false;
  changed.notify_all();
}
