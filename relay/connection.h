// One relayed connection's resources, and the relay's I/O on them: the
// client that the program accepted, the server connection opened here, the
// readiness of the two, and the connection's place in the registry of live
// connections. Members go in the reverse order of their declaration: the
// registration first, so that a stop never touches a closed socket, then
// the readiness, which stops watching sockets still open, then the sockets.
#pragma once

#include <cstdint>

#include "platform/net.h"
#include "platform/readiness.h"
#include "relay/connection_registry.h"
#include "relay/relay_io.h"

// A client as the program hands it to the relay: its socket, its place in
// the registry, taken at accept so that a stop resets the client however far
// it got, and when it was accepted (monotonic microseconds).
struct AcceptedClient {
  platform::Socket socket;
  ConnectionRegistry::Registration registration;
  std::int64_t accepted_us = 0;
};

class Connection final : public RelayIo {
 public:
  Connection(AcceptedClient&& client, platform::ReadinessPair&& readiness);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects a new server socket to target (the one of an earlier attempt
  // is closed): kConnected, kFailed or kClientLeft, with *error set.
  platform::Connecting connect_to(const platform::Endpoint& target, int* error);
  // The server connection's own end.
  platform::Endpoint server_end() const;
  // Arms both sockets; on failure tells which (kClient or kServer) and why.
  bool arm(int* failed_which, int* error);

  WaitResult wait(bool forever, int* error) override { return readiness_.wait(forever, error); }
  platform::SocketReadiness collect(int which) override { return readiness_.collect(which); }
  bool watch_writable(int which, bool watch, int* error) override {
    return readiness_.watch_writable(which, watch, error);
  }
  platform::IoResult receive(int which, char* buffer, std::size_t capacity) override {
    return socket(which).receive(buffer, capacity);
  }
  platform::IoResult send(int which, const char* data, std::size_t count) override {
    return socket(which).send(data, count);
  }
  void shutdown_sending(int which) override { socket(which).shutdown_sending(); }
  bool nothing_to_read(int which) override { return socket(which).nothing_to_read(); }
  void reset_on_close(int which) override { platform::reset_on_close(socket(which).get()); }

 private:
  platform::Socket& socket(int which) { return which == kClient ? client_ : server_; }

  platform::Socket client_;
  platform::Socket server_;
  platform::ReadinessPair readiness_;
  ConnectionRegistry::Registration registration_;
};
