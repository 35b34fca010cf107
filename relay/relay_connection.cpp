#include "relay/relay_connection.h"

#include <utility>

#include "platform/process.h"
#include "platform/readiness.h"
#include "relay/relay_loop.h"
#include "traffic_log/connection_log.h"
#include "traffic_log/program_lines.h"

namespace {

// How long a target may take to answer a connect (the system's own limit is
// about two minutes), and how long a client may close while it is pending
// before that counts as leaving.
constexpr int kConnectTimeLimitMs = 10000;
constexpr int kClientGraceMs = 1000;

// The relay's I/O on the real sockets of one connection.
class SocketIo final : public RelayIo {
 public:
  platform::Socket sockets[2] = {platform::kNoSocket, platform::kNoSocket};
  platform::ReadinessPair readiness;

  WaitResult wait(bool forever, int* error) override { return readiness.wait(forever, error); }
  platform::SocketReadiness collect(int which) override { return readiness.collect(which); }
  bool watch_writable(int which, bool watch, int* error) override {
    return readiness.watch_writable(which, watch, error);
  }
  platform::IoResult receive(int which, char* buffer, std::size_t capacity) override {
    return platform::receive(sockets[which], buffer, capacity);
  }
  platform::IoResult send(int which, const char* data, std::size_t count) override {
    return platform::send_bytes(sockets[which], data, count);
  }
  void shutdown_sending(int which) override { platform::shutdown_sending(sockets[which]); }
  bool nothing_to_read(int which) override { return platform::nothing_to_read(sockets[which]); }
  void reset_on_close(int which) override { platform::reset_on_close(sockets[which]); }
};

class RelaySession {
 public:
  RelaySession(Runtime& runtime, RelayStart&& start);
  RelaySession(const RelaySession&) = delete;
  RelaySession& operator=(const RelaySession&) = delete;
  ~RelaySession();

  void run();

 private:
  bool connect_to_target();
  platform::ConnectOutcome connect_to(const platform::Endpoint& target, int* error);
  void log_outgoing();
  bool arm();
  void note_connect_failure(platform::ConnectOutcome outcome, int error);
  Ending relayed_ending() const;

  Runtime& runtime_;
  ConnectionLog log_;
  platform::Endpoint target_;  // the address connected to, or tried last
  SocketIo io_;
  RelayLoop loop_{io_, log_};
  std::unique_ptr<ConnectionRegistry::Entry> registered_;  // taken over from the accept loop
  std::int64_t accepted_us_;
  Ending ending_ = Ending::kClosed;
};

RelaySession::RelaySession(Runtime& runtime, RelayStart&& start)
    : runtime_(runtime),
      log_(runtime.log, start.number, TrafficView{runtime.settings.hex, runtime.settings.annotate}),
      target_(runtime.settings.targets.front().with_port(effective_target_port(runtime.settings))),
      registered_(std::move(start.registration)),
      accepted_us_(start.accepted_us) {
  io_.sockets[RelayIo::kClient] = start.client;
}

// The owner closes: taken out of the registry first, so that a stop never
// touches a closed socket.
RelaySession::~RelaySession() {
  runtime_.connections.remove(*registered_);
  io_.readiness.close();
  platform::close_socket(io_.sockets[RelayIo::kClient]);
  platform::close_socket(io_.sockets[RelayIo::kServer]);
}

void RelaySession::run() {
  log_.received();
  if (connect_to_target()) {
    log_outgoing();
    if (arm()) {
      while (loop_.step()) {
      }
    }
    loop_.finish();
    ending_ = relayed_ending();
  }
  log_.summary(loop_.delivered_to_server(), loop_.delivered_to_client(),
               platform::monotonic_microseconds() - accepted_us_, ending_);
}

// The notification objects are made first: when descriptors run out, the
// client is turned away as by a failed connect, before any traffic. A target
// with several addresses is tried in order until one answers; each address
// that does not is logged.
bool RelaySession::connect_to_target() {
  if (!io_.readiness.create()) {
    const int error = platform::last_socket_error();
    log_.connect_failed(target_, error);
    note_connect_failure(platform::ConnectOutcome::kFailed, error);
    return false;
  }
  const std::uint16_t port = effective_target_port(runtime_.settings);
  for (const platform::Endpoint& address : runtime_.settings.targets) {
    target_ = address.with_port(port);
    int error = 0;
    const platform::ConnectOutcome outcome = connect_to(target_, &error);
    if (outcome == platform::ConnectOutcome::kConnected) return true;
    if (outcome == platform::ConnectOutcome::kClientLeft) log_.peer_closed(Side::kClient, true);
    log_.connect_failed(target_, error);
    note_connect_failure(outcome, error);
    if (outcome == platform::ConnectOutcome::kClientLeft) return false;
  }
  return false;
}

// The last address tried decides how the summary says the connect ended.
void RelaySession::note_connect_failure(platform::ConnectOutcome outcome, int error) {
  if (outcome == platform::ConnectOutcome::kClientLeft) {
    ending_ = Ending::kClientLeft;
    return;
  }
  switch (platform::connect_failure_of(error)) {
    case platform::ConnectFailure::kRefused:
      ending_ = Ending::kRefused;
      break;
    case platform::ConnectFailure::kTimedOut:
      ending_ = Ending::kTimedOut;
      break;
    case platform::ConnectFailure::kOther:
      ending_ = Ending::kConnectFailed;
      break;
  }
}

// Once an address has answered, the relay alone decides: the addresses
// that did not answer before it no longer count.
Ending RelaySession::relayed_ending() const {
  if (loop_.first_failed() < 0) return Ending::kClosed;
  return loop_.first_failed() == RelayIo::kClient ? Ending::kClientReset : Ending::kServerReset;
}

platform::ConnectOutcome RelaySession::connect_to(const platform::Endpoint& target, int* error) {
  platform::Socket& server = io_.sockets[RelayIo::kServer];
  if (server != platform::kNoSocket) {
    runtime_.connections.set_server(*registered_, platform::kNoSocket);
    platform::close_socket(server);
  }
  server = platform::open_tcp_socket(target.family);
  if (server == platform::kNoSocket) {
    *error = platform::last_socket_error();
    return platform::ConnectOutcome::kFailed;
  }
  runtime_.connections.set_server(*registered_, server);
  platform::send_without_delay(server);
  return platform::connect_watching_client(server, target, io_.sockets[RelayIo::kClient], kConnectTimeLimitMs,
                                           kClientGraceMs, error);
}

void RelaySession::log_outgoing() {
  platform::Endpoint local;
  if (!platform::local_endpoint(io_.sockets[RelayIo::kServer], &local)) local = platform::Endpoint{};
  log_.outgoing(local, target_);
}

bool RelaySession::arm() {
  platform::send_without_delay(io_.sockets[RelayIo::kClient]);
  int failed_which = RelayIo::kClient;
  int error = 0;
  if (io_.readiness.arm(io_.sockets[RelayIo::kClient], io_.sockets[RelayIo::kServer], &failed_which,
                        &error)) {
    loop_.start();
    return true;
  }
  loop_.failed_at_start(failed_which, error);
  return false;
}

}  // namespace

void relay_connection(Runtime& runtime, RelayStart&& start) {
  RelaySession session(runtime, std::move(start));
  session.run();
}

void turn_away(Runtime& runtime, RelayStart&& start, int error) {
  log_turned_away(runtime.log, start.number, error, platform::monotonic_microseconds() - start.accepted_us);
  runtime.connections.remove(*start.registration);
  platform::close_socket(start.client);
}
