// Readiness of many sockets at once, for an event loop that owns them all.
// One Poller per loop: every call but wake() comes from the loop's thread.
// Linux: one edge-triggered epoll instance and an eventfd for wake().
// Windows: WSAPoll over the watched sockets, polled for what each one's
// caller wants news of, and a UDP socket sending to itself for wake()
// (start_networking() must come first).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/net.h"
#include "platform/readiness.h"

namespace platform {

class Poller {
 public:
  // The one token a socket cannot have: the poller's own wake-up uses it.
  static constexpr std::uint64_t kReservedToken = ~std::uint64_t{0};

  // Empty with *error set when the system has no objects to give.
  static std::optional<Poller> open(int* error);
  Poller(Poller&& other) noexcept;
  Poller& operator=(Poller&&) = delete;
  ~Poller();

  // Watches a socket (made non-blocking here) for read, peer-closed and,
  // while asked, write readiness; the token comes back with its events.
  // Read and peer-closed are reported edge-like: once when the condition
  // starts, again only after the caller has met would-block (Windows: after
  // the caller says it wants read news again, with want_read). A peer's
  // close is also readable (the read meets the end of stream); a reset
  // reports all three, so that a read or send is tried and reports it.
  // False with *error set when the socket cannot be watched (or the token is
  // kReservedToken).
  bool add(const Socket& socket, std::uint64_t token, int* error);
  // Watches a listening socket (made non-blocking here): a client waiting to
  // be accepted is reported as readable, edge-like as above (again after an
  // accept met would-block; Windows: after want_read). Linux wakes one of
  // the pollers that watch the same listener per new client, not all of
  // them (EPOLLEXCLUSIVE). Stopped with remove(listener.socket()).
  bool add_listener(const Listener& listener, std::uint64_t token, int* error);
  // Stops watching, before the socket closes. Events of the last wait may
  // still name its token: the caller checks every token it gets.
  void remove(const Socket& socket);
  // Write readiness is reported only while watched: once room is free (at
  // once when it already is), and again after a send met would-block.
  // False with *error set when the socket is not watched here.
  bool watch_writable(const Socket& socket, std::uint64_t token, bool watch, int* error);
  // Whether the caller wants read news: it has not read yet, or its last
  // read met would-block. Windows polls for read only while it does, and a
  // readable report ends the wish until want_read(true) (a socket starts
  // wanting); epoll's edges need none of it.
  void want_read(const Socket& socket, std::uint64_t token, bool want);

  struct Event {
    std::uint64_t token;
    SocketReadiness readiness;
  };
  // Waits up to timeout_ms (-1: forever, 0: a poll) for events or a wake();
  // writes at most capacity events and leaves the rest for the next wait.
  // Returns how many were written: 0 on a timeout, a wake or an interrupted
  // wait (the caller looks at its timers and waits again); -1 with *error
  // set when the wait itself failed. Allocates nothing.
  int wait(Event* events, int capacity, int timeout_ms, int* error);
  // From any thread: makes a wait under way, or else the next one, return
  // at once. Wakes before a wait count as one.
  void wake();

 private:
  struct Backend;  // each backend's own objects
  explicit Poller(std::unique_ptr<Backend> backend);

  std::unique_ptr<Backend> backend_;
};

}  // namespace platform
