// What a socket is ready for, as a poller reports it: read possible, write
// possible, peer closed. A reset reports all three, so that a read or send
// is tried and fails.
#pragma once

namespace platform {

struct SocketReadiness {
  bool readable = false;
  bool writable = false;
  bool closed = false;

  void add(const SocketReadiness& more) {
    readable = readable || more.readable;
    writable = writable || more.writable;
    closed = closed || more.closed;
  }
  bool any() const { return readable || writable || closed; }
};

}  // namespace platform
