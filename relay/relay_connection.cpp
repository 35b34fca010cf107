#include "relay/relay_connection.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/process.h"
#include "platform/readiness.h"
#include "traffic_log/connection_log.h"
#include "traffic_log/event_lines.h"

namespace {

constexpr int kClientIndex = 0;
constexpr int kServerIndex = 1;
// How long a target may take to answer a connect (the system's own limit is
// about two minutes), and how long a client may close while it is pending
// before that counts as leaving.
constexpr int kConnectTimeLimitMs = 10000;
constexpr int kClientGraceMs = 1000;
// A readiness wait that fails for good is retried this often, not in a spin.
constexpr int kWaitFailurePauseMs = 100;

// One peer of the connection, as the relay sees it.
struct Peer {
  Peer(const char* log_name, int readiness_index) : name(log_name), index(readiness_index) {}

  const char* name;  // "Client" or "Server" in log lines
  int index;         // its socket's place in the ReadinessPair
  platform::Socket socket = platform::kNoSocket;
  // What the platform reported, kept until a call meets would-block.
  bool readable = false;
  bool writable = false;
  bool close_seen = false;  // its close was noticed (and logged)
  bool ended = false;       // its end of stream was read: it sends no more
  bool failed = false;      // a read or send failed: it is gone both ways
  bool send_shut = false;   // the other peer's close was passed on to it
};

// One direction: what was read from source and not yet sent to destination.
struct Direction {
  static constexpr std::size_t kBufferSize = 64 * 1024;

  Direction(Peer& from, Peer& to, Side logged_as) : source(from), destination(to), side(logged_as) {}

  bool pending() const { return length > 0; }
  bool room() const { return length < kBufferSize; }
  // The source has said all it will and all of it was delivered.
  bool finished() const { return source.ended && length == 0; }

  Peer& source;
  Peer& destination;
  Side side;
  std::uint64_t delivered = 0;  // bytes sent on, for the summary line
  std::size_t length = 0;
  char buffer[kBufferSize];
};

// Said once per process on standard error: a wait that keeps failing.
void report_wait_failure(int error) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  std::fprintf(stderr, "Waiting for socket readiness failed: %s (%d); retrying every %d ms\n",
               platform::error_reason(error), error, kWaitFailurePauseMs);
  std::fflush(stderr);
}

class RelaySession {
 public:
  RelaySession(Runtime& runtime, const RelayStart& start);
  RelaySession(const RelaySession&) = delete;
  RelaySession& operator=(const RelaySession&) = delete;
  ~RelaySession();

  void run();

 private:
  bool connect_to_target();
  platform::ConnectOutcome connect_to(const platform::Endpoint& target, int* error);
  void log_outgoing();
  bool arm();
  enum class Wait { kForever, kPoll, kNone };

  void relay_until_finished();
  Wait next_wait() const;
  void pass(Wait wait);
  void collect_notifications(bool forever);
  void collect(Peer& peer);
  bool can_read(const Direction& d) const;
  bool can_send(const Direction& d) const;
  void read_source(Direction& d);
  void send_to_destination(Direction& d);
  void pass_on_close(Direction& d);
  void fail(Peer& peer);
  void end_after_failure();
  void log_closing_line();
  void note_connect_failure(platform::ConnectOutcome outcome, int error);
  void log_summary();

  Runtime& runtime_;
  ConnectionLog log_;
  platform::Endpoint target_;  // the address connected to, or tried last
  Peer client_{"Client", kClientIndex};
  Peer server_{"Server", kServerIndex};
  Direction c2s_{client_, server_, Side::kClient};
  Direction s2c_{server_, client_, Side::kServer};
  platform::ReadinessPair readiness_;
  ConnectionRegistry::Entry registered_;
  std::int64_t accepted_us_;
  const char* ending_ = event_lines::kEndClosed;  // how the summary line says it ended
};

RelaySession::RelaySession(Runtime& runtime, const RelayStart& start)
    : runtime_(runtime),
      log_(runtime.log, start.number, TrafficView{runtime.settings.hex, runtime.settings.annotate}),
      target_(runtime.settings.targets.front().with_port(effective_target_port(runtime.settings))),
      accepted_us_(start.accepted_us) {
  client_.socket = start.client;
  runtime_.connections.add(registered_, start.client);
}

// The owner closes: taken out of the registry first, so that a stop never
// touches a closed socket.
RelaySession::~RelaySession() {
  runtime_.connections.remove(registered_);
  readiness_.close();
  platform::close_socket(client_.socket);
  platform::close_socket(server_.socket);
}

void RelaySession::run() {
  log_.event(event_lines::kConnectionReceived);
  if (connect_to_target()) {
    log_outgoing();
    if (arm()) {
      relay_until_finished();
    }
    if (client_.failed || server_.failed) end_after_failure();
    log_closing_line();
  }
  if (runtime_.settings.annotate) log_summary();
}

// The notification objects are made first: when descriptors run out, the
// client is turned away as by a failed connect, before any traffic. A target
// with several addresses is tried in order until one answers; each address
// that does not is logged.
bool RelaySession::connect_to_target() {
  if (!readiness_.create()) {
    const int error = platform::last_socket_error();
    log_.event(event_lines::kErrorConnecting, platform::address_text(target_).text, target_.port, error);
    note_connect_failure(platform::ConnectOutcome::kFailed, error);
    return false;
  }
  const std::uint16_t port = effective_target_port(runtime_.settings);
  for (const platform::Endpoint& address : runtime_.settings.targets) {
    target_ = address.with_port(port);
    int error = 0;
    const platform::ConnectOutcome outcome = connect_to(target_, &error);
    if (outcome == platform::ConnectOutcome::kConnected) return true;
    if (outcome == platform::ConnectOutcome::kClientLeft) log_.event(event_lines::kShutdown, client_.name);
    log_.event(event_lines::kErrorConnecting, platform::address_text(target_).text, target_.port, error);
    note_connect_failure(outcome, error);
    if (outcome == platform::ConnectOutcome::kClientLeft) return false;
  }
  return false;
}

// The last address tried decides how the summary says the connect ended.
void RelaySession::note_connect_failure(platform::ConnectOutcome outcome, int error) {
  if (outcome == platform::ConnectOutcome::kClientLeft) {
    ending_ = event_lines::kEndClientLeft;
    return;
  }
  switch (platform::connect_failure_of(error)) {
    case platform::ConnectFailure::kRefused:
      ending_ = event_lines::kEndRefused;
      break;
    case platform::ConnectFailure::kTimedOut:
      ending_ = event_lines::kEndTimedOut;
      break;
    case platform::ConnectFailure::kOther:
      ending_ = event_lines::kEndConnectFailed;
      break;
  }
}

platform::ConnectOutcome RelaySession::connect_to(const platform::Endpoint& target, int* error) {
  if (server_.socket != platform::kNoSocket) {
    runtime_.connections.set_server(registered_, platform::kNoSocket);
    platform::close_socket(server_.socket);
  }
  server_.socket = platform::open_tcp_socket(target.family);
  if (server_.socket == platform::kNoSocket) {
    *error = platform::last_socket_error();
    return platform::ConnectOutcome::kFailed;
  }
  runtime_.connections.set_server(registered_, server_.socket);
  platform::send_without_delay(server_.socket);
  return platform::connect_watching_client(server_.socket, target, client_.socket, kConnectTimeLimitMs,
                                           kClientGraceMs, error);
}

void RelaySession::log_outgoing() {
  platform::Endpoint local;
  if (!platform::local_endpoint(server_.socket, &local)) local = platform::Endpoint{};
  log_.event(event_lines::kOutgoing, platform::address_text(local).text, local.port,
             platform::address_text(target_).text, target_.port);
}

bool RelaySession::arm() {
  platform::send_without_delay(client_.socket);
  int failed_which = client_.index;
  int error = 0;
  if (readiness_.arm(client_.socket, server_.socket, &failed_which, &error)) {
    client_.writable = server_.writable = true;
    return true;
  }
  Peer& failed = failed_which == client_.index ? client_ : server_;
  log_.event(event_lines::kReadError, failed.name, error);
  fail(failed);
  return false;
}

void RelaySession::relay_until_finished() {
  Wait next = Wait::kForever;
  while (!(c2s_.finished() && s2c_.finished()) && !client_.failed && !server_.failed) {
    pass(next);
    next = next_wait();
  }
}

// Nothing to do: sleep until a notification. A read could go on: look for
// news of the other socket on the way (a poll), so that a busy direction
// never hides the other. Only a send of what was just read could go on: it
// needs no news, so no system call is spent on a poll.
RelaySession::Wait RelaySession::next_wait() const {
  if (client_.failed || server_.failed) return Wait::kNone;
  if (can_read(c2s_) || can_read(s2c_)) return Wait::kPoll;
  if (can_send(c2s_) || can_send(s2c_)) return Wait::kNone;
  return Wait::kForever;
}

// One pass: collect, then at most one read or send per step, in this order.
void RelaySession::pass(Wait wait) {
  if (wait != Wait::kNone) collect_notifications(wait == Wait::kForever);
  if (can_read(c2s_)) read_source(c2s_);
  if (can_send(s2c_)) send_to_destination(s2c_);
  if (can_read(s2c_)) read_source(s2c_);
  if (can_send(c2s_)) send_to_destination(c2s_);
  pass_on_close(c2s_);
  pass_on_close(s2c_);
}

void RelaySession::collect_notifications(bool forever) {
  int error = 0;
  switch (readiness_.wait(forever, &error)) {
    case platform::ReadinessPair::WaitResult::kRecorded:
      collect(client_);
      collect(server_);
      break;
    case platform::ReadinessPair::WaitResult::kFailed:
      report_wait_failure(error);
      platform::sleep_milliseconds(kWaitFailurePauseMs);
      break;
    case platform::ReadinessPair::WaitResult::kNothing:
      break;
  }
}

// Applies one socket's notifications. A peer's close means it will send no
// more: it is read until its end of stream, and still sent to.
void RelaySession::collect(Peer& peer) {
  const platform::SocketReadiness ready = readiness_.collect(peer.index);
  if (ready.readable) peer.readable = true;
  if (ready.writable && !peer.writable) {
    peer.writable = true;
    readiness_.watch_writable(peer.index, false);
  }
  if (ready.closed) {
    if (!peer.close_seen) log_.event(event_lines::kShutdown, peer.name);
    peer.close_seen = true;
    peer.readable = true;
  }
}

bool RelaySession::can_read(const Direction& d) const {
  return d.source.readable && d.room() && !d.source.ended;
}

bool RelaySession::can_send(const Direction& d) const {
  return d.destination.writable && d.pending();
}

void RelaySession::read_source(Direction& d) {
  const std::size_t room = Direction::kBufferSize - d.length;
  const platform::IoResult result = platform::receive(d.source.socket, d.buffer + d.length, room);
  if (result.would_block) {
    d.source.readable = false;
  } else if (result.failed()) {
    log_.event(event_lines::kReadError, d.source.name, result.error);
    fail(d.source);
  } else if (result.count == 0) {
    if (!d.source.close_seen) log_.event(event_lines::kShutdown, d.source.name);
    d.source.close_seen = true;
    d.source.ended = true;
  } else {
    const auto count = static_cast<std::size_t>(result.count);
    // A short read emptied the socket and the next arrival is notified
    // again, so no read is spent on would-block. A closed peer is read on
    // until its end of stream.
    if (count < room && !d.source.close_seen) d.source.readable = false;
    log_.traffic(d.side, d.buffer + d.length, count);
    d.length += count;
  }
}

void RelaySession::send_to_destination(Direction& d) {
  const platform::IoResult result = platform::send_bytes(d.destination.socket, d.buffer, d.length);
  if (result.would_block) {
    d.destination.writable = false;
    readiness_.watch_writable(d.destination.index, true);
  } else if (result.failed()) {
    log_.event(event_lines::kSendError, d.destination.name, result.error);
    fail(d.destination);
  } else {
    const auto sent = static_cast<std::size_t>(result.count);
    d.delivered += sent;
    std::memmove(d.buffer, d.buffer + sent, d.length - sent);
    d.length -= sent;
  }
}

// The source's close is passed on only once everything it sent was delivered.
void RelaySession::pass_on_close(Direction& d) {
  if (d.finished() && !d.destination.failed && !d.destination.send_shut) {
    platform::shutdown_sending(d.destination.socket);
    d.destination.send_shut = true;
  }
}

// The first peer to fail names how the connection ended.
void RelaySession::fail(Peer& peer) {
  if (!client_.failed && !server_.failed) {
    ending_ = &peer == &client_ ? event_lines::kEndClientReset : event_lines::kEndServerReset;
  }
  peer.failed = true;
}

// A peer that failed is gone both ways. What the other peer is still owed
// gets one try, then it gets a reset: a cut stream must never look complete.
void RelaySession::end_after_failure() {
  Direction& owed = client_.failed ? c2s_ : s2c_;
  Peer& survivor = owed.destination;
  if (!survivor.failed && owed.pending()) {
    const platform::IoResult result = platform::send_bytes(survivor.socket, owed.buffer, owed.length);
    if (!result.failed()) {
      owed.length -= static_cast<std::size_t>(result.count);
      owed.delivered += static_cast<std::uint64_t>(result.count);
    }
  }
  platform::reset_on_close(client_.socket);
  platform::reset_on_close(server_.socket);
}

void RelaySession::log_closing_line() {
  log_.flush_held();
  if (c2s_.length == 0 && s2c_.length == 0) {
    log_.event(event_lines::kClosed);
  } else {
    log_.event(event_lines::kClosedUnsent, static_cast<int>(c2s_.length), static_cast<int>(s2c_.length));
  }
}

void RelaySession::log_summary() {
  const std::int64_t elapsed_us = platform::monotonic_microseconds() - accepted_us_;
  log_.event(event_lines::kSummary, static_cast<unsigned long long>(c2s_.delivered),
             static_cast<unsigned long long>(s2c_.delivered), static_cast<long long>(elapsed_us / 1000000),
             static_cast<long long>(elapsed_us % 1000000), ending_);
}

}  // namespace

void relay_connection(Runtime& runtime, const RelayStart& start) {
  RelaySession session(runtime, start);
  session.run();
}
