// One relayed connection: the client accepted by the main thread, the server
// connection opened here, and the bytes moved both ways while the
// connection's log shows them. A peer's close is passed on once everything it
// sent was delivered; a peer that fails (a reset) takes the connection down at
// once, and the other peer gets a reset too.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/net.h"
#include "relay/runtime.h"

// What a relay thread is handed: the accepted client (its socket is owned
// from here on), the connection's number in accept order, when it was
// accepted (monotonic microseconds), and the client's entry in the registry
// of live connections, made at accept so that a stop resets the client
// however far it got. Whoever holds it takes the entry out of the registry
// before closing the socket.
struct RelayStart {
  platform::Socket client = platform::kNoSocket;
  ConnectionNumber number = 0;
  std::int64_t accepted_us = 0;
  std::unique_ptr<ConnectionRegistry::Entry> registration;
};

// Relays one accepted client until both directions are finished or a peer
// has failed, then closes both sockets.
void relay_connection(Runtime& runtime, RelayStart&& start);

// A client that no relay thread could take (error: the system's reason):
// its connection's lines in the log, then it is closed.
void turn_away(Runtime& runtime, RelayStart&& start, int error);
