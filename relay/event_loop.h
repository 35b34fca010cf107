// The relay's event loops: a few threads (one per processor), each owning
// many connections. A loop waits on all its sockets at once and runs the
// relay's rules of each connection its poller names; a connection that
// could go on without news gets another turn after the others, so that a
// busy one never starves the rest. Time limits (a pending connect's) are
// deadlines the loop keeps: with nothing to do and no deadline a loop
// sleeps until a socket or a new client wakes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <set>
#include <utility>
#include <vector>

#include "platform/poller.h"
#include "relay/relay_connection.h"

class EventLoop {
 public:
  // Makes the loop's poller; empty with *error set when the system has none
  // to give.
  static std::unique_ptr<EventLoop> open(const RelayTargets& targets, int* error);
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Starts the loop's thread, which runs for the rest of the process.
  bool start(int* error);
  // From the accept thread: the client becomes this loop's.
  void take(AcceptedClient&& client);
  // Connections handed to this loop and not yet ended.
  int load() const { return load_.load(std::memory_order_relaxed); }

 private:
  // Per connection: the deadline it is filed under in deadlines_.
  struct Owned {
    std::unique_ptr<RelayConnection> connection;
    std::int64_t filed_deadline = RelayConnection::kNoDeadline;
  };

  EventLoop(const RelayTargets& targets, platform::Poller&& poller) : targets_(targets), poller_(std::move(poller)) {}
  static void run(void* self);
  void serve();
  void take_arrivals(std::int64_t now_us);
  void deliver(const platform::Poller::Event* events, int count, std::int64_t now_us);
  void pass_deadlines(std::int64_t now_us);
  void run_ready();
  void settle(RelayConnection* connection);
  void end_finished();
  int wait_ms(std::int64_t now_us) const;

  const RelayTargets& targets_;
  platform::Poller poller_;
  std::atomic<int> load_{0};

  std::mutex arrivals_lock_;
  std::vector<AcceptedClient> arrivals_;

  // The loop thread's own.
  std::unordered_map<RelayConnection*, Owned> connections_;
  std::set<std::pair<std::int64_t, RelayConnection*>> deadlines_;
  std::vector<RelayConnection*> ready_;     // to run in this round
  std::vector<RelayConnection*> busy_;      // could go on without news: run next round
  std::vector<RelayConnection*> finished_;  // ended: destroyed at the end of the round
};

// The loops of the process; a new client goes to the one with the fewest
// connections.
class EventLoops {
 public:
  // Starts count loops. False with *error set when one cannot be made.
  bool start(const RelayTargets& targets, int count, int* error);
  void relay(AcceptedClient&& client);

 private:
  std::vector<std::unique_ptr<EventLoop>> loops_;
};
