// One relayed connection: the client accepted by the main thread, the server
// connection opened here, and the bytes moved both ways while the
// connection's log shows them. A peer's close is passed on once everything it
// sent was delivered; a peer that fails (a reset) takes the connection down at
// once, and the other peer gets a reset too.
#pragma once

#include <cstdint>

#include "platform/net.h"
#include "relay/runtime.h"

// What a relay thread is handed: the accepted client (its socket is owned
// from here on), the connection's number in accept order and when it was
// accepted (monotonic microseconds).
struct RelayStart {
  platform::Socket client;
  ConnectionNumber number;
  std::int64_t accepted_us;
};

// Relays one accepted client until both directions are finished or a peer
// has failed, then closes both sockets.
void relay_connection(Runtime& runtime, const RelayStart& start);
