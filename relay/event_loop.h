// The relay's event loops: a few threads (one per processor), each owning
// many connections. Every loop watches the listening socket too and accepts
// the clients it is woken for, so that a new client's connect to the target
// starts on the thread that accepted it. A loop waits on all its sockets at
// once and runs the relay's rules of each connection its poller names; a
// connection that could go on without news gets another turn after the
// others, so that a busy one never starves the rest. Time limits (a pending
// connect's) are deadlines the loop keeps: with nothing to do and no
// deadline a loop sleeps until a socket or a new client wakes it.
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

class EventLoops;

// What becomes of a client a loop accepted, told from that loop's thread
// (so from every loop's at once): the program registers, numbers and logs
// it, and reports accepts that fail. Plain functions, not virtual ones: a
// failed accept is told when no descriptor is left, where the sanitizers'
// first check of a virtual call cannot be made.
struct ClientIntake {
  // The client made ready to be relayed.
  AcceptedClient (*admit)(void* context, platform::Socket client, const platform::Endpoint& peer);
  // An accept failed (out of descriptors...): the loop tries again after a pause.
  void (*accept_failed)(void* context, int error);
  void* context;
};

class EventLoop {
 public:
  // Makes the loop's poller; empty with *error set when the system has none
  // to give. A loop hands a client on to the least loaded of its family.
  static std::unique_ptr<EventLoop> open(const RelayTargets& targets, const EventLoops& family, int* error);
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Starts the loop's thread, which runs for the rest of the process.
  bool start(int* error);
  // From another thread: the client becomes this loop's.
  void take(AcceptedClient&& client);
  // From another thread: the loop accepts the listener's clients from now on.
  void accept_from(platform::Listener& listener, const ClientIntake& intake);
  // Connections handed to this loop and not yet ended.
  int load() const { return load_.load(std::memory_order_relaxed); }

 private:
  // Per connection: the deadline it is filed under in deadlines_.
  struct Owned {
    std::unique_ptr<RelayConnection> connection;
    std::int64_t filed_deadline = RelayConnection::kNoDeadline;
  };

  // The listener a loop accepts from, and who takes its clients.
  struct Listening {
    platform::Listener* listener = nullptr;
    ClientIntake intake{};
  };

  EventLoop(const RelayTargets& targets, const EventLoops& family, platform::Poller&& poller)
      : targets_(targets), family_(family), poller_(std::move(poller)) {}
  static void run(void* self);
  void serve();
  void take_arrivals(std::int64_t now_us);
  void adopt(AcceptedClient&& client, std::int64_t now_us);
  void accept_clients(std::int64_t now_us);
  void relay_accepted(AcceptedClient&& client, std::int64_t now_us);
  void watch_listener(std::int64_t now_us);
  void pause_accepting(int error, std::int64_t now_us);
  void deliver(const platform::Poller::Event* events, int count, std::int64_t now_us);
  void pass_deadlines(std::int64_t now_us);
  void run_ready();
  void settle(RelayConnection* connection);
  void end_finished();
  int wait_ms(std::int64_t now_us) const;

  const RelayTargets& targets_;
  const EventLoops& family_;
  platform::Poller poller_;
  std::atomic<int> load_{0};

  std::mutex arrivals_lock_;
  std::vector<AcceptedClient> arrivals_;
  Listening offered_;  // by accept_from, until the loop takes it

  // The loop thread's own: the listener, whether it may have clients waiting
  // (it reported some and no accept has met would-block since), and, after
  // an accept failed, when to watch it again.
  Listening listening_;
  bool clients_waiting_ = false;
  std::int64_t accept_resume_us_ = RelayConnection::kNoDeadline;

  // The loop thread's own.
  std::unordered_map<RelayConnection*, Owned> connections_;
  std::set<std::pair<std::int64_t, RelayConnection*>> deadlines_;
  std::vector<RelayConnection*> ready_;     // to run in this round
  std::vector<RelayConnection*> busy_;      // could go on without news: run next round
  std::vector<RelayConnection*> finished_;  // ended: destroyed at the end of the round
};

// The loops of the process.
class EventLoops {
 public:
  // Starts count loops. False with *error set when one cannot be made.
  bool start(const RelayTargets& targets, int count, int* error);
  // Every loop accepts the listener's clients from now on.
  void accept_from(platform::Listener& listener, const ClientIntake& intake);
  // The loop with the fewest connections.
  EventLoop& least_loaded() const;

 private:
  std::vector<std::unique_ptr<EventLoop>> loops_;
};
