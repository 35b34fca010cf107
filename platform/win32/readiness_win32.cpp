// Event-select backend of platform/readiness.h: one event object per socket,
// armed for FD_READ, FD_WRITE and FD_CLOSE. Winsock records each of these once
// and records it again only after the call that re-enables it (recv for
// FD_READ, a send that met WSAEWOULDBLOCK for FD_WRITE; FD_CLOSE comes once),
// which is what the relay's flags expect: a flag stays set until the relay
// itself meets would-block.
#include <winsock2.h>

#include <utility>

#include "platform/readiness.h"

namespace platform {
namespace {

constexpr long kArmedEvents = FD_READ | FD_WRITE | FD_CLOSE;

WSAEVENT event_of(std::intptr_t object) {
  return reinterpret_cast<WSAEVENT>(object);
}

SocketReadiness readiness_of(const WSANETWORKEVENTS& events) {
  SocketReadiness ready{(events.lNetworkEvents & FD_READ) != 0, (events.lNetworkEvents & FD_WRITE) != 0,
                        (events.lNetworkEvents & FD_CLOSE) != 0};
  // A reset, not an orderly close: no FD_WRITE will follow, so a send that
  // waits for one must be tried now to report the failure.
  if (ready.closed && events.iErrorCode[FD_CLOSE_BIT] != 0) ready.readable = ready.writable = true;
  return ready;
}

}  // namespace

std::optional<ReadinessPair> ReadinessPair::open(int* error) {
  ReadinessPair pair;
  for (std::intptr_t& object : pair.objects_) {
    const WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
      *error = WSAGetLastError();
      return std::nullopt;
    }
    object = reinterpret_cast<std::intptr_t>(event);
  }
  return pair;
}

ReadinessPair::~ReadinessPair() {
  for (int which = 0; which < kSockets; ++which) {
    if (objects_[which] == kNoObject) continue;
    if (sockets_[which] != kNoSocket) WSAEventSelect(static_cast<SOCKET>(sockets_[which]), nullptr, 0);
    WSACloseEvent(event_of(objects_[which]));
  }
}

bool ReadinessPair::arm(const Socket& first, const Socket& second, int* failed_which, int* error) {
  sockets_[0] = first.get();
  sockets_[1] = second.get();
  for (int which = 0; which < kSockets; ++which) {
    // Whether a close that came before arming is recorded differs between
    // Winsock versions; trying each socket once at the start finds it anyway.
    recorded_[which] = SocketReadiness{true, true, false};
    // Also makes the socket non-blocking.
    if (WSAEventSelect(static_cast<SOCKET>(sockets_[which]), event_of(objects_[which]), kArmedEvents) != 0) {
      *failed_which = which;
      *error = WSAGetLastError();
      return false;
    }
  }
  return true;
}

ReadinessPair::WaitResult ReadinessPair::wait(bool forever, int* error) {
  if (recorded_[0].any() || recorded_[1].any()) return WaitResult::kRecorded;
  const WSAEVENT events[kSockets] = {event_of(objects_[0]), event_of(objects_[1])};
  const DWORD result = WSAWaitForMultipleEvents(kSockets, events, FALSE, forever ? WSA_INFINITE : 0, FALSE);
  if (result == WSA_WAIT_EVENT_0 || result == WSA_WAIT_EVENT_0 + 1) return WaitResult::kRecorded;
  if (result == WSA_WAIT_FAILED) {
    *error = WSAGetLastError();
    return WaitResult::kFailed;
  }
  return WaitResult::kNothing;
}

SocketReadiness ReadinessPair::collect(int which) {
  SocketReadiness ready = std::exchange(recorded_[which], SocketReadiness{});
  WSANETWORKEVENTS events{};
  // Also resets the socket's event object.
  if (WSAEnumNetworkEvents(static_cast<SOCKET>(sockets_[which]), event_of(objects_[which]), &events) == 0) {
    ready.add(readiness_of(events));
  }
  return ready;
}

// FD_WRITE is recorded only after a send met would-block: nothing to change.
bool ReadinessPair::watch_writable(int, bool, int*) {
  return true;
}

}  // namespace platform
