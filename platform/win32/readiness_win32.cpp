// Event-select backend of platform/readiness.h: one event object per socket,
// armed for FD_READ, FD_WRITE and FD_CLOSE. Winsock records each of these once
// and records it again only after the call that re-enables it (recv for
// FD_READ, a send that met WSAEWOULDBLOCK for FD_WRITE; FD_CLOSE comes once),
// which is what the relay's flags expect: a flag stays set until the relay
// itself meets would-block.
#include <winsock2.h>

#include <utility>

#include "platform/inline_state.h"
#include "platform/readiness.h"

namespace platform {

struct ReadinessPair::Backend {
  WSAEVENT events[kSockets] = {WSA_INVALID_EVENT, WSA_INVALID_EVENT};
  SocketHandle sockets[kSockets] = {kNoSocket, kNoSocket};
  SocketReadiness recorded[kSockets];
};

namespace {

constexpr long kArmedEvents = FD_READ | FD_WRITE | FD_CLOSE;

SocketReadiness readiness_of(const WSANETWORKEVENTS& events) {
  SocketReadiness ready{(events.lNetworkEvents & FD_READ) != 0, (events.lNetworkEvents & FD_WRITE) != 0,
                        (events.lNetworkEvents & FD_CLOSE) != 0};
  // A reset, not an orderly close: no FD_WRITE will follow, so a send that
  // waits for one must be tried now to report the failure.
  if (ready.closed && events.iErrorCode[FD_CLOSE_BIT] != 0) ready.readable = ready.writable = true;
  return ready;
}

}  // namespace

void ReadinessPair::make_backend() {
  backend_ = make_inline_state<Backend>(storage_);
}

std::optional<ReadinessPair> ReadinessPair::open(int* error) {
  ReadinessPair pair;
  for (WSAEVENT& event : pair.backend().events) {
    event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
      *error = WSAGetLastError();
      return std::nullopt;
    }
  }
  return pair;
}

ReadinessPair::ReadinessPair(ReadinessPair&& other) noexcept {
  make_backend();
  backend() = std::exchange(other.backend(), Backend{});
}

ReadinessPair::~ReadinessPair() {
  Backend& state = backend();
  for (int which = 0; which < kSockets; ++which) {
    if (state.events[which] == WSA_INVALID_EVENT) continue;
    if (state.sockets[which] != kNoSocket)
      WSAEventSelect(static_cast<SOCKET>(state.sockets[which]), nullptr, 0);
    WSACloseEvent(state.events[which]);
  }
}

bool ReadinessPair::arm(const Socket& first, const Socket& second, int* failed_which, int* error) {
  Backend& state = backend();
  state.sockets[0] = first.get();
  state.sockets[1] = second.get();
  for (int which = 0; which < kSockets; ++which) {
    // Whether a close that came before arming is recorded differs between
    // Winsock versions; trying each socket once at the start finds it anyway.
    state.recorded[which] = SocketReadiness{true, true, false};
    // Also makes the socket non-blocking.
    if (WSAEventSelect(static_cast<SOCKET>(state.sockets[which]), state.events[which], kArmedEvents) != 0) {
      *failed_which = which;
      *error = WSAGetLastError();
      return false;
    }
  }
  return true;
}

ReadinessPair::WaitResult ReadinessPair::wait(bool forever, int* error) {
  Backend& state = backend();
  if (state.recorded[0].any() || state.recorded[1].any()) return WaitResult::kRecorded;
  const DWORD result =
      WSAWaitForMultipleEvents(kSockets, state.events, FALSE, forever ? WSA_INFINITE : 0, FALSE);
  if (result == WSA_WAIT_EVENT_0 || result == WSA_WAIT_EVENT_0 + 1) return WaitResult::kRecorded;
  if (result == WSA_WAIT_FAILED) {
    *error = WSAGetLastError();
    return WaitResult::kFailed;
  }
  return WaitResult::kNothing;
}

SocketReadiness ReadinessPair::collect(int which) {
  Backend& state = backend();
  SocketReadiness ready = std::exchange(state.recorded[which], SocketReadiness{});
  WSANETWORKEVENTS events{};
  // Also resets the socket's event object.
  if (WSAEnumNetworkEvents(static_cast<SOCKET>(state.sockets[which]), state.events[which], &events) == 0) {
    ready.add(readiness_of(events));
  }
  return ready;
}

// FD_WRITE is recorded only after a send met would-block: nothing to change.
bool ReadinessPair::watch_writable(int, bool, int*) {
  return true;
}

}  // namespace platform
