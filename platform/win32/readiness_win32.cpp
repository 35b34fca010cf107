// Event-select backend of platform/readiness.h: one event object per socket,
// armed for FD_READ, FD_WRITE and FD_CLOSE. Winsock records each of these once
// and records it again only after the call that re-enables it (recv for
// FD_READ, a send that met WSAEWOULDBLOCK for FD_WRITE; FD_CLOSE comes once),
// which is what the relay's flags expect: a flag stays set until the relay
// itself meets would-block.
#include <winsock2.h>

#include "platform/readiness.h"

namespace platform {
namespace {

constexpr unsigned kReadable = 1;
constexpr unsigned kWritable = 2;
constexpr unsigned kClosed = 4;
constexpr long kArmedEvents = FD_READ | FD_WRITE | FD_CLOSE;
constexpr std::intptr_t kNoEvent = -1;

unsigned readiness_bits(const WSANETWORKEVENTS& events) {
  unsigned bits = 0;
  if (events.lNetworkEvents & FD_READ) bits |= kReadable;
  if (events.lNetworkEvents & FD_WRITE) bits |= kWritable;
  if (events.lNetworkEvents & FD_CLOSE) {
    bits |= kClosed;
    // A reset, not an orderly close: no FD_WRITE will follow, so a send that
    // waits for one must be tried now to report the failure.
    if (events.iErrorCode[FD_CLOSE_BIT] != 0) bits |= kReadable | kWritable;
  }
  return bits;
}

}  // namespace

bool ReadinessPair::create() {
  for (int which = 0; which < kSockets; ++which) {
    const WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) return false;
    handles_[which] = reinterpret_cast<std::intptr_t>(event);
  }
  return true;
}

bool ReadinessPair::arm(Socket first, Socket second, int* failed_which, int* error) {
  sockets_[0] = first;
  sockets_[1] = second;
  for (int which = 0; which < kSockets; ++which) {
    // Whether a close that came before arming is recorded differs between
    // Winsock versions; trying each socket once at the start finds it anyway.
    recorded_[which] = kReadable | kWritable;
    const auto event = reinterpret_cast<WSAEVENT>(handles_[which]);
    // Also makes the socket non-blocking.
    if (WSAEventSelect(static_cast<SOCKET>(sockets_[which]), event, kArmedEvents) != 0) {
      *failed_which = which;
      *error = WSAGetLastError();
      return false;
    }
  }
  return true;
}

ReadinessPair::WaitResult ReadinessPair::wait(bool forever, int* error) {
  if ((recorded_[0] | recorded_[1]) != 0) return WaitResult::kRecorded;
  const WSAEVENT events[kSockets] = {reinterpret_cast<WSAEVENT>(handles_[0]),
                                     reinterpret_cast<WSAEVENT>(handles_[1])};
  const DWORD result = WSAWaitForMultipleEvents(kSockets, events, FALSE, forever ? WSA_INFINITE : 0, FALSE);
  if (result == WSA_WAIT_EVENT_0 || result == WSA_WAIT_EVENT_0 + 1) return WaitResult::kRecorded;
  if (result == WSA_WAIT_FAILED) {
    *error = WSAGetLastError();
    return WaitResult::kFailed;
  }
  return WaitResult::kNothing;
}

SocketReadiness ReadinessPair::collect(int which) {
  unsigned bits = recorded_[which];
  recorded_[which] = 0;
  WSANETWORKEVENTS events{};
  // Also resets the socket's event object.
  if (WSAEnumNetworkEvents(static_cast<SOCKET>(sockets_[which]), reinterpret_cast<WSAEVENT>(handles_[which]),
                           &events) == 0) {
    bits |= readiness_bits(events);
  }
  return SocketReadiness{(bits & kReadable) != 0, (bits & kWritable) != 0, (bits & kClosed) != 0};
}

// FD_WRITE is recorded only after a send met would-block: nothing to change.
void ReadinessPair::watch_writable(int, bool) {}

void ReadinessPair::close() {
  for (int which = 0; which < kSockets; ++which) {
    if (handles_[which] == kNoEvent) continue;
    const auto event = reinterpret_cast<WSAEVENT>(handles_[which]);
    if (sockets_[which] != kNoSocket) WSAEventSelect(static_cast<SOCKET>(sockets_[which]), nullptr, 0);
    WSACloseEvent(event);
    handles_[which] = kNoEvent;
  }
}

}  // namespace platform
