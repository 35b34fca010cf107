// One relayed connection from start to end, driven by its event loop: the
// server connection opened to the first target address that answers, and
// the bytes moved both ways until both directions are finished or a peer has
// failed. A peer's close is passed on once everything it sent was delivered;
// a peer that fails (a reset) takes the connection down at once, and the
// other peer gets a reset too. What happens is told to its events, the
// summary last, once both sockets are closed.
//
// Nothing here waits: the connect is started and its end reported by the
// loop's poller, its time limit and the client's grace are deadlines the
// loop keeps, and the relay's rules run on the readiness the loop delivers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/endpoint.h"
#include "platform/net.h"
#include "platform/poller.h"
#include "relay/connection_registry.h"
#include "relay/relay_io.h"
#include "relay/relay_loop.h"
#include "traffic_log/connection_events.h"

namespace tls {
class Interception;
}
#if defined(QORVAND_HAS_TLS)
class TlsIo;
#endif

// A client as the program hands it to the relay: its socket, its place in
// the registry, taken at accept so that a stop resets the client however far
// it got, when it was accepted (monotonic microseconds), and the events its
// log and capture are told.
struct AcceptedClient {
  platform::Socket socket;
  ConnectionRegistry::Registration registration;
  std::int64_t accepted_us = 0;
  std::unique_ptr<ConnectionEvents> events;
};

// What every connection is relayed to: targets carry their port, in the
// order they are tried. With an interception (--tls, where TLS is built), a
// client's TLS is intercepted.
struct RelayTargets {
  std::vector<platform::Endpoint> targets;
  const tls::Interception* interception = nullptr;
};

class RelayConnection final : public RelayIo {
 public:
  // No time limit pending.
  static constexpr std::int64_t kNoDeadline = INT64_MAX;

  RelayConnection(AcceptedClient&& client, const RelayTargets& targets, platform::Poller& poller);
  RelayConnection(const RelayConnection&) = delete;
  RelayConnection& operator=(const RelayConnection&) = delete;
  ~RelayConnection();

  // Takes the client on and starts the first connect.
  void start(std::int64_t now_us);
  // What the poller reported for the client (kClient) or the server.
  void notify(int which, const platform::SocketReadiness& readiness, std::int64_t now_us);
  // The deadline has passed.
  void deadline_passed(std::int64_t now_us);
  // Runs the relay's rules for at most budget steps. True while it could go
  // on without news from the poller (the loop gives it another turn).
  bool run(int budget);

  bool done() const { return stage_ == Stage::kDone; }
  std::int64_t deadline() const { return deadline_us_; }
  // The token the poller gives back with a socket's events.
  std::uint64_t token(int which) const { return reinterpret_cast<std::uintptr_t>(this) | static_cast<unsigned>(which); }
  static RelayConnection* of_token(std::uint64_t token) {
    return reinterpret_cast<RelayConnection*>(static_cast<std::uintptr_t>(token & ~std::uint64_t{1}));
  }
  static int which_of_token(std::uint64_t token) { return static_cast<int>(token & 1); }

  // The relay's I/O on the two sockets, with readiness as the loop delivered it.
  WaitResult wait(bool forever, int* error) override;
  platform::SocketReadiness collect(int which) override;
  bool watch_writable(int which, bool watch, int* error) override;
  platform::IoResult receive(int which, char* buffer, std::size_t capacity) override;
  platform::IoResult send(int which, const char* data, std::size_t count) override {
    return socket(which).send(data, count);
  }
  void shutdown_sending(int which) override { socket(which).shutdown_sending(); }
  bool nothing_to_read(int which) override { return socket(which).nothing_to_read(); }
  void reset_on_close(int which) override { platform::reset_on_close(socket(which).get()); }

 private:
  enum class Stage { kConnecting, kRelaying, kDone };

  platform::Socket& socket(int which) { return which == kClient ? client_ : server_; }
  void connect_next(std::int64_t now_us);
  void connect_ended(platform::Connecting outcome, int error, std::int64_t now_us);
  void client_noticed_while_connecting(const platform::SocketReadiness& readiness, std::int64_t now_us);
  void start_relay();
  RelayIo& relay_io();
  void finish_relay();
  void close_server();
  void end(Ending ending);

  ConnectionEvents& events() { return *events_; }

  const RelayTargets& targets_;
  platform::Poller& poller_;
  std::unique_ptr<ConnectionEvents> events_;
  std::int64_t accepted_us_;
  // Sockets before the registration: it goes first, so that a stop never
  // touches a closed socket.
  platform::Socket client_;
  platform::Socket server_;
  ConnectionRegistry::Registration registration_;
  Stage stage_ = Stage::kConnecting;

  // The connect under way: which address, since when, and whether the
  // client closed meanwhile (a close counts as leaving once the grace is over).
  std::size_t target_index_ = 0;
  std::int64_t connect_started_us_ = 0;
  std::int64_t deadline_us_ = kNoDeadline;
  bool client_closed_ = false;
  Ending connect_ending_ = Ending::kConnectFailed;

  // What the poller reported and the relay has not collected yet.
  platform::SocketReadiness recorded_[2];
#if defined(QORVAND_HAS_TLS)
  std::unique_ptr<TlsIo> tls_;
#endif
  std::optional<RelayLoop> relay_;
};
