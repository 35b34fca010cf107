#include "relay/relay_connection.h"

#include <utility>

#include "platform/process.h"
#if defined(QORVAND_HAS_TLS)
#include "relay/tls_io.h"
#endif

namespace {

// How long a target may take to answer a connect (the system's own limit is
// about two minutes), and how long a client may close while it is pending
// before that counts as leaving: a client that sends its request and
// half-closes at once still gets its answer from a target that answers in
// time. A client's reset ends the attempt at once.
constexpr std::int64_t kConnectTimeLimitUs = 10'000'000;
constexpr std::int64_t kClientGraceUs = 1'000'000;

// How the summary names a connect that failed.
Ending connect_ending(int error) {
  switch (platform::connect_failure_of(error)) {
    case platform::ConnectFailure::kRefused:
      return Ending::kRefused;
    case platform::ConnectFailure::kTimedOut:
      return Ending::kTimedOut;
    case platform::ConnectFailure::kOther:
      break;
  }
  return Ending::kConnectFailed;
}

}  // namespace

RelayConnection::RelayConnection(AcceptedClient&& client, const RelayTargets& targets, platform::Poller& poller)
    : targets_(targets),
      poller_(poller),
      events_(std::move(client.events)),
      accepted_us_(client.accepted_us),
      client_(std::move(client.socket)),
      registration_(std::move(client.registration)) {}

// The poller stops watching the sockets before they close.
RelayConnection::~RelayConnection() {
  if (client_.is_open()) poller_.remove(client_);
  if (server_.is_open()) poller_.remove(server_);
}

// A client the poller cannot watch is turned away as by a failed connect,
// before any traffic.
void RelayConnection::start(std::int64_t now_us) {
  events().received();
  int error = 0;
  if (!poller_.add(client_, token(kClient), &error)) {
    events().connect_failed(targets_.targets.front(), error);
    return end(connect_ending(error));
  }
  client_.send_without_delay();
  connect_next(now_us);
}

// A target with several addresses is tried in order until one answers; each
// address that does not is told, and the last one names the ending. The
// socket of an earlier attempt is let go by the registry before it closes.
void RelayConnection::connect_next(std::int64_t now_us) {
  while (target_index_ < targets_.targets.size()) {
    const platform::Endpoint& target = targets_.targets[target_index_];
    close_server();
    int error = 0;
    server_ = platform::Socket::open_tcp(target.family, &error);
    platform::Connecting progress = platform::Connecting::kFailed;
    if (server_.is_open() && poller_.add(server_, token(kServer), &error)) {
      registration_.set_server(server_.get());
      server_.send_without_delay();
      progress = server_.start_connect(target, &error);
    }
    // Room to send is how a pending connect reports its end.
    if (progress == platform::Connecting::kPending && !poller_.watch_writable(server_, token(kServer), true, &error)) {
      progress = platform::Connecting::kFailed;
    }
    if (progress == platform::Connecting::kPending) {
      connect_started_us_ = now_us;
      client_closed_ = false;
      deadline_us_ = now_us + kClientGraceUs;
      return;
    }
    if (progress == platform::Connecting::kConnected) return start_relay();
    events().connect_failed(target, error);
    connect_ending_ = connect_ending(error);
    ++target_index_;
  }
  end(connect_ending_);
}

void RelayConnection::close_server() {
  registration_.set_server(platform::kNoSocket);
  if (server_.is_open()) poller_.remove(server_);
  server_ = platform::Socket();
}

void RelayConnection::notify(int which, const platform::SocketReadiness& readiness, std::int64_t now_us) {
  if (stage_ == Stage::kDone) return;
  recorded_[which].add(readiness);
  if (stage_ != Stage::kConnecting) return;
  if (which == kClient) return client_noticed_while_connecting(readiness, now_us);
  int error = 0;
  const platform::Connecting outcome = server_.connect_outcome(&error);
  if (outcome == platform::Connecting::kConnected) return start_relay();
  events().connect_failed(targets_.targets[target_index_], error);
  connect_ending_ = connect_ending(error);
  ++target_index_;
  connect_next(now_us);
}

// While the connect is pending the client is not read: its bytes wait. Its
// reset ends the attempt at once, its close once the grace is over.
void RelayConnection::client_noticed_while_connecting(const platform::SocketReadiness& readiness,
                                                      std::int64_t now_us) {
  if (!readiness.closed) return;
  client_closed_ = true;
  if (client_.reset_by_peer() || now_us - connect_started_us_ >= kClientGraceUs) {
    events().peer_closed(Side::kClient, true);
    events().connect_failed(targets_.targets[target_index_], platform::cancelled_code());
    end(Ending::kClientLeft);
  }
}

void RelayConnection::deadline_passed(std::int64_t now_us) {
  if (stage_ != Stage::kConnecting || now_us < deadline_us_) return;
  if (now_us - connect_started_us_ < kConnectTimeLimitUs) {
    // The grace is over: a close noticed during it counts now.
    if (client_closed_) return client_noticed_while_connecting({false, false, true}, now_us);
    deadline_us_ = connect_started_us_ + kConnectTimeLimitUs;
    return;
  }
  events().connect_failed(targets_.targets[target_index_], platform::timed_out_code());
  connect_ending_ = Ending::kTimedOut;
  ++target_index_;
  connect_next(now_us);
}

// Once an address has answered, the relay alone decides: the addresses that
// did not answer before it no longer count. The server's readiness so far
// (bytes it sent at once, its close) stays recorded for the relay; room to
// send is watched only while a send waits for it.
void RelayConnection::start_relay() {
  platform::Endpoint local;
  if (!server_.local_endpoint(&local)) local = platform::Endpoint{};
  events().outgoing(local, targets_.targets[target_index_]);
  stage_ = Stage::kRelaying;
  deadline_us_ = kNoDeadline;
  int error = 0;
  const bool watched = poller_.watch_writable(server_, token(kServer), false, &error);
#if defined(QORVAND_HAS_TLS)
  if (targets_.interception != nullptr) tls_ = std::make_unique<TlsIo>(*this, *targets_.interception, events());
#endif
  relay_.emplace(relay_io(), events());
  if (watched) {
    relay_->start();
  } else {
    relay_->failed_at_start(kServer, error);
  }
}

RelayIo& RelayConnection::relay_io() {
#if defined(QORVAND_HAS_TLS)
  if (tls_) return *tls_;
#endif
  return *this;
}

bool RelayConnection::run(int budget) {
  if (stage_ != Stage::kRelaying) return false;
  for (int step = 0; step < budget; ++step) {
    int error = 0;
    if (relay_->waits_for_news() && relay_io().wait(false, &error) != WaitResult::kRecorded) return false;
    if (!relay_->step()) {
      finish_relay();
      return false;
    }
  }
  return true;
}

void RelayConnection::finish_relay() {
  relay_->finish();
  Ending ending = Ending::kClosed;
  if (relay_->first_failed() >= 0) {
    ending = relay_->first_failed() == kClient ? Ending::kClientReset : Ending::kServerReset;
  }
  end(ending);
}

// The summary comes once both sockets are closed: the registry lets them go
// first, so that a stop never touches a closed socket.
void RelayConnection::end(Ending ending) {
  if (client_.is_open()) poller_.remove(client_);
  if (server_.is_open()) poller_.remove(server_);
  registration_ = ConnectionRegistry::Registration();
  client_ = platform::Socket();
  server_ = platform::Socket();
  stage_ = Stage::kDone;
  deadline_us_ = kNoDeadline;
  const std::uint64_t to_server = relay_ ? relay_->delivered_to_server() : 0;
  const std::uint64_t to_client = relay_ ? relay_->delivered_to_client() : 0;
  relay_.reset();
#if defined(QORVAND_HAS_TLS)
  tls_.reset();
#endif
  events().summary(to_server, to_client, platform::monotonic_microseconds() - accepted_us_, ending);
}

RelayIo::WaitResult RelayConnection::wait(bool, int*) {
  return recorded_[kClient].any() || recorded_[kServer].any() ? WaitResult::kRecorded : WaitResult::kNothing;
}

platform::SocketReadiness RelayConnection::collect(int which) {
  return std::exchange(recorded_[which], {});
}

bool RelayConnection::watch_writable(int which, bool watch, int* error) {
  return poller_.watch_writable(socket(which), token(which), watch, error);
}

// A read that met would-block asks for read news again (a poller that is
// level-triggered polls for it only while asked), and so does a short one:
// the relay takes it as the socket drained and reads on only when told.
platform::IoResult RelayConnection::receive(int which, char* buffer, std::size_t capacity) {
  const platform::IoResult result = socket(which).receive(buffer, capacity);
  if (result.would_block || (result.count > 0 && static_cast<std::size_t>(result.count) < capacity)) {
    poller_.want_read(socket(which), token(which), true);
  }
  return result;
}
