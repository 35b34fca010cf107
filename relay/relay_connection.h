// One relayed connection from start to end: the server connection opened to
// the first target address that answers, and the bytes moved both ways
// until both directions are finished or a peer has failed. A peer's close is
// passed on once everything it sent was delivered; a peer that fails (a
// reset) takes the connection down at once, and the other peer gets a reset
// too. What happens is told to events, the summary last, once both sockets
// are closed.
#pragma once

#include <vector>

#include "platform/endpoint.h"
#include "relay/connection.h"
#include "traffic_log/connection_events.h"

namespace tls {
class Interception;
}

// targets carry their port, in the order they are tried. With an
// interception (--tls, where TLS is built), a client's TLS is intercepted.
void relay_connection(AcceptedClient&& client, const std::vector<platform::Endpoint>& targets,
                      ConnectionEvents& events, const tls::Interception* interception = nullptr);
