#include "relay/connection.h"

#include <utility>

namespace {

// How long a target may take to answer a connect (the system's own limit is
// about two minutes), and how long a client may close while it is pending
// before that counts as leaving: a client that sends its request and
// half-closes at once still gets its answer from a target that answers in
// time. A client's reset ends the attempt at once.
constexpr int kConnectTimeLimitMs = 10000;
constexpr int kClientGraceMs = 1000;

}  // namespace

Connection::Connection(AcceptedClient&& client, platform::ReadinessPair&& readiness)
    : client_(std::move(client.socket)),
      readiness_(std::move(readiness)),
      registration_(std::move(client.registration)) {}

// A stop resets the socket of the attempt under way; the one before is let
// go by the registry before it closes.
platform::Connecting Connection::connect_to(const platform::Endpoint& target, int* error) {
  registration_.set_server(platform::kNoSocket);
  server_ = platform::Socket::open_tcp(target.family, error);
  if (!server_.is_open()) return platform::Connecting::kFailed;
  registration_.set_server(server_.get());
  server_.send_without_delay();
  platform::Connecting progress = server_.start_connect(target, error);
  if (progress == platform::Connecting::kPending) {
    progress = server_.wait_for_connect(client_, false, kClientGraceMs, error);
  }
  if (progress == platform::Connecting::kPending) {
    progress = server_.wait_for_connect(client_, true, kConnectTimeLimitMs - kClientGraceMs, error);
  }
  return progress == platform::Connecting::kPending ? platform::Connecting::kFailed : progress;
}

platform::Endpoint Connection::server_end() const {
  platform::Endpoint local;
  return server_.local_endpoint(&local) ? local : platform::Endpoint{};
}

bool Connection::arm(int* failed_which, int* error) {
  client_.send_without_delay();
  return readiness_.arm(client_, server_, failed_which, error);
}
