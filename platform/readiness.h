// Readiness notifications for the two sockets of one relayed connection.
// Each socket reports: read possible, write possible, peer closed. A
// notification is recorded once when its condition starts (data arrives, room
// comes free after a send reported would-block, the peer closes) and is kept
// until collected, so the relay keeps its own flags between notifications.
// Linux: one edge-triggered epoll instance. Windows: one event object per
// socket (WSAEventSelect), where each socket is also tried once at arming,
// since whether a close before arming is recorded differs between versions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "platform/net.h"

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

class ReadinessPair {
 public:
  static constexpr int kSockets = 2;

  // Makes the notification objects. Empty when the system has none to give
  // (out of descriptors), with *error set.
  static std::optional<ReadinessPair> open(int* error);
  ReadinessPair(ReadinessPair&& other) noexcept
      : objects_{std::exchange(other.objects_[0], kNoObject), std::exchange(other.objects_[1], kNoObject)},
        sockets_{other.sockets_[0], other.sockets_[1]},
        recorded_{other.recorded_[0], other.recorded_[1]} {}
  ReadinessPair& operator=(ReadinessPair&&) = delete;
  // Stops watching the sockets and releases the notification objects: to be
  // destroyed while the sockets are still open.
  ~ReadinessPair();

  // Makes both sockets non-blocking and arms read, write and close
  // notifications for them. On failure
  // tells which socket (0 or 1) failed and the platform's code.
  bool arm(const Socket& first, const Socket& second, int* failed_which, int* error);

  enum class WaitResult { kRecorded, kNothing, kFailed };
  // Waits until a notification is recorded for either socket: forever, or
  // not at all (a poll). kFailed with *error set when the wait itself fails.
  WaitResult wait(bool forever, int* error);
  // The notifications recorded for socket 0 or 1 since the last collect. A
  // reset reports all three, so that a read or send is tried and fails.
  SocketReadiness collect(int which);
  // A socket is taken to be writable once armed; write readiness is watched
  // only while a send to it has met would-block, so that room freed by every
  // acknowledgement does not wake the relay for nothing. (Windows records
  // write readiness only after a would-block anyway.) False with *error set
  // when the watch could not be changed (the system is out of memory).
  bool watch_writable(int which, bool watch, int* error);

 private:
  static constexpr std::intptr_t kNoObject = -1;

  ReadinessPair() = default;

  // The backend's notification objects: one epoll instance (Linux), one
  // event object per socket (Windows). No heap on a relay thread.
  std::intptr_t objects_[kSockets] = {kNoObject, kNoObject};
  SocketHandle sockets_[kSockets] = {kNoSocket, kNoSocket};
  // What a wait found and no collect has handed out yet.
  SocketReadiness recorded_[kSockets];
};

}  // namespace platform
