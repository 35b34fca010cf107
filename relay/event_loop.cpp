#include "relay/event_loop.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "platform/process.h"
#include "platform/thread.h"

namespace {

// Events taken per wait, and steps a connection runs per turn before the
// others get theirs (a step reads or sends at most 64 KiB each way).
constexpr int kEventsPerWait = 256;
constexpr int kStepsPerTurn = 16;
// A wait that fails for good is retried this often, not in a spin.
constexpr int kWaitFailurePauseMs = 100;
// Clients accepted per round before the loop's connections get their turn.
constexpr int kAcceptsPerRound = 32;
// A failing accept is retried after a pause, not in a spin: out of
// descriptors, closing connections give some back meanwhile.
constexpr std::int64_t kAcceptFailurePauseUs = 100'000;
// A loop hands a client it accepted to the least loaded one only when it
// holds this many connections more: a sequence of short connections stays
// on the loop that accepts it, with no thread switch.
constexpr int kHandOffImbalance = 16;
// The listener's token: no connection's (an address with its side in the low
// bit), nor the poller's own.
constexpr std::uint64_t kListenerToken = platform::Poller::kReservedToken - 1;

// Said once per process on standard error: a wait that keeps failing.
void report_wait_failure(int error) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  std::fprintf(stderr, "Waiting for socket readiness failed: %s (%d); retrying every %d ms\n",
               platform::error_reason(error), error, kWaitFailurePauseMs);
  std::fflush(stderr);
}

}  // namespace

std::unique_ptr<EventLoop> EventLoop::open(const RelayTargets& targets, const EventLoops& family, int* error) {
  std::optional<platform::Poller> poller = platform::Poller::open(error);
  if (!poller) return nullptr;
  return std::unique_ptr<EventLoop>(new EventLoop(targets, family, std::move(*poller)));
}

bool EventLoop::start(int* error) {
  return platform::start_detached_thread(run, this, error);
}

void EventLoop::run(void* self) {
  static_cast<EventLoop*>(self)->serve();
}

// A wake-up is needed only when the list was empty: otherwise one is on
// its way.
void EventLoop::take(AcceptedClient&& client) {
  load_.fetch_add(1, std::memory_order_relaxed);
  bool first = false;
  {
    const std::lock_guard<std::mutex> guard(arrivals_lock_);
    first = arrivals_.empty();
    arrivals_.push_back(std::move(client));
  }
  if (first) poller_.wake();
}

void EventLoop::accept_from(platform::Listener& listener, const ClientIntake& intake) {
  {
    const std::lock_guard<std::mutex> guard(arrivals_lock_);
    offered_ = Listening{&listener, intake};
  }
  poller_.wake();
}

void EventLoop::serve() {
  platform::Poller::Event events[kEventsPerWait];
  for (;;) {
    std::int64_t now_us = platform::monotonic_microseconds();
    take_arrivals(now_us);
    accept_clients(now_us);
    pass_deadlines(now_us);
    run_ready();
    end_finished();
    int error = 0;
    const int count = poller_.wait(events, kEventsPerWait, wait_ms(platform::monotonic_microseconds()), &error);
    if (count < 0) {
      report_wait_failure(error);
      platform::sleep_milliseconds(kWaitFailurePauseMs);
      continue;
    }
    deliver(events, count, platform::monotonic_microseconds());
  }
}

void EventLoop::take_arrivals(std::int64_t now_us) {
  std::vector<AcceptedClient> arrived;
  Listening offered;
  {
    const std::lock_guard<std::mutex> guard(arrivals_lock_);
    arrived.swap(arrivals_);
    std::swap(offered, offered_);
  }
  for (AcceptedClient& client : arrived) adopt(std::move(client), now_us);
  if (offered.listener != nullptr) {
    listening_ = offered;
    watch_listener(now_us);
  }
}

void EventLoop::adopt(AcceptedClient&& client, std::int64_t now_us) {
  auto connection = std::make_unique<RelayConnection>(std::move(client), targets_, poller_);
  RelayConnection* started = connection.get();
  connections_.emplace(started, Owned{std::move(connection)});
  started->start(now_us);
  ready_.push_back(started);
  settle(started);
}

// Up to a bounded number of clients a round, until none waits; the ones
// still waiting are taken next round, after the connections had their turn.
void EventLoop::accept_clients(std::int64_t now_us) {
  if (accept_resume_us_ <= now_us) {
    accept_resume_us_ = RelayConnection::kNoDeadline;
    watch_listener(now_us);
  }
  for (int accepted = 0; clients_waiting_ && accepted < kAcceptsPerRound; ++accepted) {
    platform::Endpoint peer;
    int error = 0;
    platform::Socket client = listening_.listener->accept(&peer, &error);
    if (client.is_open()) {
      relay_accepted(listening_.intake.admit(listening_.intake.context, std::move(client), peer), now_us);
    } else if (error != 0) {
      pause_accepting(error, now_us);
    } else {
      clients_waiting_ = false;
      poller_.want_read(listening_.listener->socket(), kListenerToken, true);
    }
  }
}

void EventLoop::relay_accepted(AcceptedClient&& client, std::int64_t now_us) {
  EventLoop& least = family_.least_loaded();
  if (load() - least.load() >= kHandOffImbalance) {
    least.take(std::move(client));
    return;
  }
  load_.fetch_add(1, std::memory_order_relaxed);
  adopt(std::move(client), now_us);
}

// Clients may be waiting already: the listener reports only new ones.
void EventLoop::watch_listener(std::int64_t now_us) {
  int error = 0;
  if (!poller_.add_listener(*listening_.listener, kListenerToken, &error)) {
    pause_accepting(error, now_us);
    return;
  }
  clients_waiting_ = true;
}

// The listener is left alone until the pause is over: a failing accept
// would report it again at once.
void EventLoop::pause_accepting(int error, std::int64_t now_us) {
  listening_.intake.accept_failed(listening_.intake.context, error);
  poller_.remove(listening_.listener->socket());
  clients_waiting_ = false;
  accept_resume_us_ = now_us + kAcceptFailurePauseUs;
}

// A token whose connection ended in this round is not looked at: its
// sockets were closed, and the poller no longer watches them.
void EventLoop::deliver(const platform::Poller::Event* events, int count, std::int64_t now_us) {
  for (int index = 0; index < count; ++index) {
    if (events[index].token == kListenerToken) {
      clients_waiting_ = true;
      continue;
    }
    RelayConnection* connection = RelayConnection::of_token(events[index].token);
    if (connections_.find(connection) == connections_.end() || connection->done()) continue;
    connection->notify(RelayConnection::which_of_token(events[index].token), events[index].readiness, now_us);
    ready_.push_back(connection);
    settle(connection);
  }
}

void EventLoop::pass_deadlines(std::int64_t now_us) {
  while (!deadlines_.empty() && deadlines_.begin()->first <= now_us) {
    RelayConnection* connection = deadlines_.begin()->second;
    deadlines_.erase(deadlines_.begin());
    connections_.at(connection).filed_deadline = RelayConnection::kNoDeadline;
    connection->deadline_passed(now_us);
    ready_.push_back(connection);
    settle(connection);
  }
}

// Each connection named this round runs once, in the order it was named;
// the busy ones of the last round after them.
void EventLoop::run_ready() {
  ready_.insert(ready_.end(), busy_.begin(), busy_.end());
  busy_.clear();
  std::sort(ready_.begin(), ready_.end());
  ready_.erase(std::unique(ready_.begin(), ready_.end()), ready_.end());
  for (RelayConnection* connection : ready_) {
    if (connection->done()) continue;
    if (connection->run(kStepsPerTurn)) busy_.push_back(connection);
    settle(connection);
  }
  ready_.clear();
}

// After anything happened to a connection: its deadline is filed again if
// it moved, and an ended one is let go.
void EventLoop::settle(RelayConnection* connection) {
  Owned& owned = connections_.at(connection);
  if (connection->done()) {
    if (owned.filed_deadline != RelayConnection::kNoDeadline) {
      deadlines_.erase({owned.filed_deadline, connection});
      owned.filed_deadline = RelayConnection::kNoDeadline;
    }
    if (std::find(finished_.begin(), finished_.end(), connection) == finished_.end()) finished_.push_back(connection);
    return;
  }
  if (owned.filed_deadline == connection->deadline()) return;
  if (owned.filed_deadline != RelayConnection::kNoDeadline) deadlines_.erase({owned.filed_deadline, connection});
  owned.filed_deadline = connection->deadline();
  if (owned.filed_deadline != RelayConnection::kNoDeadline) deadlines_.insert({owned.filed_deadline, connection});
}

void EventLoop::end_finished() {
  for (RelayConnection* connection : finished_) {
    busy_.erase(std::remove(busy_.begin(), busy_.end(), connection), busy_.end());
    connections_.erase(connection);
    load_.fetch_sub(1, std::memory_order_relaxed);
  }
  finished_.clear();
}

// Busy connections and clients not yet taken or accepted mean no sleep;
// otherwise until the next deadline (the end of an accept pause is one), or
// until woken.
int EventLoop::wait_ms(std::int64_t now_us) const {
  if (!busy_.empty() || !ready_.empty() || clients_waiting_) return 0;
  const std::int64_t next_us =
      std::min(deadlines_.empty() ? RelayConnection::kNoDeadline : deadlines_.begin()->first, accept_resume_us_);
  if (next_us == RelayConnection::kNoDeadline) return -1;
  const std::int64_t left_us = next_us - now_us;
  if (left_us <= 0) return 0;
  return static_cast<int>(std::min<std::int64_t>((left_us + 999) / 1000, 60'000));
}

bool EventLoops::start(const RelayTargets& targets, int count, int* error) {
  for (int index = 0; index < count; ++index) {
    std::unique_ptr<EventLoop> loop = EventLoop::open(targets, *this, error);
    if (!loop || !loop->start(error)) return false;
    loops_.push_back(std::move(loop));
  }
  return true;
}

void EventLoops::accept_from(platform::Listener& listener, const ClientIntake& intake) {
  for (const std::unique_ptr<EventLoop>& loop : loops_) loop->accept_from(listener, intake);
}

EventLoop& EventLoops::least_loaded() const {
  EventLoop* least = loops_.front().get();
  for (const std::unique_ptr<EventLoop>& loop : loops_) {
    if (loop->load() < least->load()) least = loop.get();
  }
  return *least;
}
