// What the relay does to its two sockets, 0 the client's and 1 the server's:
// wait for notifications, read, send, pass a close on, reset. The relay's
// rules run on this, against the real sockets or against a script in tests.
#pragma once

#include <cstddef>

#include "platform/net.h"
#include "platform/readiness.h"

class RelayIo {
 public:
  static constexpr int kClient = 0;
  static constexpr int kServer = 1;

  enum class WaitResult { kRecorded, kNothing };

  // Whether a notification is recorded for either socket. The event loop
  // does the waiting and delivers them: forever (the relay has nothing else
  // to do) and a poll only tell apart what the relay would do without one.
  virtual WaitResult wait(bool forever, int* error) = 0;
  // The notifications recorded for a socket since the last collect.
  virtual platform::SocketReadiness collect(int which) = 0;
  // A socket is taken to be writable at start; write readiness is watched
  // only while a send to it has met would-block. False with *error set when
  // the watch could not be changed.
  virtual bool watch_writable(int which, bool watch, int* error) = 0;
  // Non-blocking, as platform::receive and platform::send_bytes.
  virtual platform::IoResult receive(int which, char* buffer, std::size_t capacity) = 0;
  virtual platform::IoResult send(int which, const char* data, std::size_t count) = 0;
  virtual void shutdown_sending(int which) = 0;
  // Nothing the peer sent waits to be read.
  virtual bool nothing_to_read(int which) = 0;
  // The socket's close is to be a reset.
  virtual void reset_on_close(int which) = 0;

 protected:
  ~RelayIo() = default;
};
