#include "traffic_log/line_queue.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/thread.h"

std::size_t whole_lines_within(const char* text, std::size_t length, std::size_t room) {
  if (length <= room) return length;
  const std::size_t end = std::string_view(text, room).rfind('\n');
  return end == std::string_view::npos ? room : end + 1;
}

namespace {

// A gather ends once this much waits: enough for one write to be cheap per
// byte, and more than a few replies, so that even large replies wake the
// thread only once in a while.
constexpr std::size_t kEnoughToHandOn = 1 << 20;

}  // namespace

// What the thread shares with its LineQueue. The thread holds a reference of
// its own, so one left behind in a hand-off that never returns outlives the
// LineQueue without using freed memory.
struct LineQueue::State {
  std::shared_ptr<Output> output;
  std::unique_ptr<char[]> ring;
  std::size_t capacity = 0;
  std::size_t piece_size = 0;
  std::chrono::microseconds gather{0};
  std::size_t enough = 0;  // what ends a gather early
  std::size_t head = 0;    // first byte not yet handed on
  std::size_t queued = 0;  // bytes from head on, the ones being handed on included
  std::uint64_t passed = 0;  // bytes handed on or dropped so far, for flush
  unsigned flushing = 0;     // callers of flush waiting
  bool running = false;
  bool stopping = false;
  bool output_gone = false;
  std::mutex lock;
  std::condition_variable arrived;  // to the thread: lines, or a stop
  std::condition_variable handed;   // from the thread: room, or its end

  static void run(void* reference);
  void hand_on();
  void let_lines_gather(std::unique_lock<std::mutex>& guard);
  bool hurried() const { return stopping || flushing > 0 || queued >= enough; }
  bool accepting() const { return running && !stopping && !output_gone; }
  void append(const char* text, std::size_t length);
  void drop_front(std::size_t length);
  std::string_view front_lines(std::string* scratch) const;
  std::size_t first_line_length() const;
};

LineQueue::~LineQueue() {
  stop(std::chrono::steady_clock::now());
}

bool LineQueue::start(std::shared_ptr<Output> output, std::size_t capacity, std::size_t piece_size,
                      std::chrono::microseconds gather) {
  auto state = std::make_shared<State>();
  state->output = std::move(output);
  state->capacity = capacity;
  state->piece_size = piece_size;
  state->gather = gather;
  state->enough = std::min(piece_size, kEnoughToHandOn);
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

LineQueue::Added LineQueue::try_add(const char* text, std::size_t length) {
  if (!state_) return Added::kClosed;
  State& state = *state_;
  const std::lock_guard<std::mutex> guard(state.lock);
  if (!state.accepting()) return Added::kClosed;
  if (state.capacity - state.queued < length) return Added::kNoRoom;
  state.append(text, length);
  return Added::kQueued;
}

LineQueue::Added LineQueue::add(const char* text, std::size_t length) {
  if (!state_) return Added::kClosed;
  State& state = *state_;
  std::unique_lock<std::mutex> guard(state.lock);
  while (length > 0) {
    const std::size_t piece = whole_lines_within(text, length, state.capacity);
    state.handed.wait(guard, [&] { return state.capacity - state.queued >= piece || !state.accepting(); });
    if (!state.accepting()) return Added::kClosed;
    state.append(text, piece);
    text += piece;
    length -= piece;
  }
  return Added::kQueued;
}

bool LineQueue::drained() const {
  if (!state_) return true;
  const std::lock_guard<std::mutex> guard(state_->lock);
  return state_->queued == 0;
}

bool LineQueue::flush(Deadline deadline) {
  if (!state_) return true;
  State& state = *state_;
  std::unique_lock<std::mutex> guard(state.lock);
  const std::uint64_t target = state.passed + state.queued;
  const auto done = [&] { return state.passed >= target || !state.running; };
  ++state.flushing;
  state.arrived.notify_all();  // the thread stops gathering
  if (deadline == kNoDeadline) {
    state.handed.wait(guard, done);
  } else {
    state.handed.wait_until(guard, deadline, done);
  }
  --state.flushing;
  return state.passed >= target;
}

void LineQueue::stop(Deadline deadline) {
  if (!state_) return;
  State& state = *state_;
  std::unique_lock<std::mutex> guard(state.lock);
  state.stopping = true;
  state.arrived.notify_all();
  state.handed.notify_all();  // whoever waits for room gives up
  state.handed.wait_until(guard, deadline, [&state] { return !state.running; });
}

void LineQueue::State::append(const char* text, std::size_t length) {
  const bool was_empty = queued == 0;
  const std::size_t tail = (head + queued) % capacity;
  const std::size_t first = std::min(length, capacity - tail);
  std::memcpy(ring.get() + tail, text, first);
  std::memcpy(ring.get(), text + first, length - first);
  queued += length;
  const bool became_enough = queued >= enough && queued - length < enough;
  if (was_empty || became_enough) arrived.notify_one();
}

// An empty queue starts again at the start of the ring: only as many of its
// pages take memory as the most that ever waited at once, and lines seldom
// wrap around its end.
void LineQueue::State::drop_front(std::size_t length) {
  queued -= length;
  passed += length;
  head = queued == 0 ? 0 : (head + length) % capacity;
}

// The next hand-off: the whole lines at the front that fit in piece_size and
// end before the ring does, read in place (the queue keeps them until they
// are handed on); else the first line alone, copied into *scratch.
std::string_view LineQueue::State::front_lines(std::string* scratch) const {
  const std::size_t in_place = std::min({queued, piece_size, capacity - head});
  const std::string_view front(ring.get() + head, in_place);
  const std::size_t end = front.rfind('\n');
  if (end != std::string_view::npos) return front.substr(0, end + 1);
  const std::size_t length = first_line_length();
  const std::size_t first = std::min(length, capacity - head);
  scratch->assign(ring.get() + head, first);
  scratch->append(ring.get(), length - first);
  return *scratch;
}

// All that is queued when no line end is (a line longer than the queue).
std::size_t LineQueue::State::first_line_length() const {
  for (std::size_t offset = 0; offset < queued; ++offset) {
    if (ring[(head + offset) % capacity] == '\n') return offset + 1;
  }
  return queued;
}

void LineQueue::State::let_lines_gather(std::unique_lock<std::mutex>& guard) {
  if (gather.count() == 0) return;
  arrived.wait_for(guard, gather, [this] { return hurried(); });
}

void LineQueue::State::run(void* reference) {
  const std::unique_ptr<std::shared_ptr<State>> owned(static_cast<std::shared_ptr<State>*>(reference));
  (*owned)->hand_on();
}

// The thread: hands on what is queued, whole lines at a time, outside the
// lock; once stopping, it starts no other hand-off.
void LineQueue::State::hand_on() {
  std::string scratch;
  std::unique_lock<std::mutex> guard(lock);
  // Lines that find the thread idle (or just started) gather; lines queued
  // during a hand-off go out right after it.
  for (bool idle = true;; idle = false) {
    if (queued == 0 && !stopping) {
      arrived.wait(guard, [this] { return queued > 0 || stopping; });
      idle = true;
    }
    if (idle) let_lines_gather(guard);
    if (stopping) break;
    const std::string_view lines = front_lines(&scratch);
    guard.unlock();
    const bool taken = output->take(lines.data(), lines.size());
    guard.lock();
    if (!taken) output_gone = true;
    drop_front(output_gone ? queued : lines.size());
    handed.notify_all();
  }
  // Before its end is seen: an output that holds a file is closed by its
  // other owner then (Windows deletes no file that is open).
  output.reset();
  running = false;
  handed.notify_all();
}
