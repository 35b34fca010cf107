#include "relay/relay_connection.h"

#include <optional>
#include <utility>

#include "platform/process.h"
#include "relay/relay_loop.h"
#if defined(QORVAND_HAS_TLS)
#include "relay/tls_io.h"
#endif

namespace {

// What the summary tells: the bytes delivered each way, and how it ended.
struct Relayed {
  std::uint64_t to_server = 0;
  std::uint64_t to_client = 0;
  Ending ending = Ending::kClosed;
};

// How the summary names a connect that failed.
Ending connect_ending(platform::Connecting outcome, int error) {
  if (outcome == platform::Connecting::kClientLeft) return Ending::kClientLeft;
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

// Once an address has answered, the relay alone decides: the addresses that
// did not answer before it no longer count.
Relayed relay(Connection& connection, RelayIo& io, ConnectionEvents& events) {
  RelayLoop loop(io, events);
  int failed_which = RelayIo::kClient;
  int error = 0;
  if (connection.arm(&failed_which, &error)) {
    loop.start();
    while (loop.step()) {
    }
  } else {
    loop.failed_at_start(failed_which, error);
  }
  loop.finish();
  Ending ending = Ending::kClosed;
  if (loop.first_failed() >= 0) {
    ending = loop.first_failed() == RelayIo::kClient ? Ending::kClientReset : Ending::kServerReset;
  }
  return {loop.delivered_to_server(), loop.delivered_to_client(), ending};
}

// The notification objects are made first: when descriptors run out, the
// client is turned away as by a failed connect, before any traffic. A target
// with several addresses is tried in order until one answers; each address
// that does not is told, and the last one names the ending. The client is
// closed on the way out, however far it got.
// The relay runs on the connection's own I/O, or on TLS interception over it.
Relayed relay_over(Connection& connection, ConnectionEvents& events, const tls::Interception* interception) {
#if defined(QORVAND_HAS_TLS)
  if (interception != nullptr) {
    TlsIo io(connection, *interception, events);
    return relay(connection, io, events);
  }
#else
  (void)interception;
#endif
  return relay(connection, connection, events);
}

Relayed connect_and_relay(AcceptedClient client, const std::vector<platform::Endpoint>& targets,
                          ConnectionEvents& events, const tls::Interception* interception) {
  int error = 0;
  std::optional<platform::ReadinessPair> readiness = platform::ReadinessPair::open(&error);
  if (!readiness) {
    events.connect_failed(targets.front(), error);
    return {0, 0, connect_ending(platform::Connecting::kFailed, error)};
  }
  Connection connection(std::move(client), std::move(*readiness));
  Relayed failed;
  for (const platform::Endpoint& target : targets) {
    const platform::Connecting outcome = connection.connect_to(target, &error);
    if (outcome == platform::Connecting::kConnected) {
      events.outgoing(connection.server_end(), target);
      return relay_over(connection, events, interception);
    }
    if (outcome == platform::Connecting::kClientLeft) events.peer_closed(Side::kClient, true);
    events.connect_failed(target, error);
    failed.ending = connect_ending(outcome, error);
    if (outcome == platform::Connecting::kClientLeft) break;
  }
  return failed;
}

}  // namespace

void relay_connection(AcceptedClient&& client, const std::vector<platform::Endpoint>& targets,
                      ConnectionEvents& events, const tls::Interception* interception) {
  const std::int64_t accepted_us = client.accepted_us;
  events.received();
  const Relayed relayed = connect_and_relay(std::move(client), targets, events, interception);
  events.summary(relayed.to_server, relayed.to_client, platform::monotonic_microseconds() - accepted_us,
                 relayed.ending);
}
