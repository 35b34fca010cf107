// Edge-triggered epoll backend of platform/readiness.h. An edge is reported
// when a condition starts (new data, room after a full send buffer, the peer's
// close), which is what the relay's flags expect: a flag stays set until the
// relay itself meets would-block.
#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <utility>

#include "platform/inline_state.h"
#include "platform/readiness.h"

namespace platform {

struct ReadinessPair::Backend {
  int epoll = -1;
  SocketHandle sockets[kSockets] = {kNoSocket, kNoSocket};
  SocketReadiness recorded[kSockets];
};

namespace {

constexpr std::uint32_t kWatched = EPOLLIN | EPOLLRDHUP | EPOLLET;

SocketReadiness readiness_of(std::uint32_t events) {
  // A reset or error: reads and sends must be tried so that they report it.
  if (events & (EPOLLHUP | EPOLLERR)) return SocketReadiness{true, true, true};
  return SocketReadiness{(events & EPOLLIN) != 0, (events & EPOLLOUT) != 0, (events & EPOLLRDHUP) != 0};
}

// A TCP socket has no other status flag worth keeping, so one call does.
bool make_nonblocking(int descriptor) {
  return fcntl(descriptor, F_SETFL, O_NONBLOCK) == 0;
}

}  // namespace

void ReadinessPair::make_backend() {
  backend_ = make_inline_state<Backend>(storage_);
}

std::optional<ReadinessPair> ReadinessPair::open(int* error) {
  ReadinessPair pair;
  pair.backend().epoll = epoll_create1(EPOLL_CLOEXEC);
  if (pair.backend().epoll >= 0) return pair;
  *error = errno;
  return std::nullopt;
}

ReadinessPair::ReadinessPair(ReadinessPair&& other) noexcept {
  make_backend();
  backend() = std::exchange(other.backend(), Backend{});
}

ReadinessPair::~ReadinessPair() {
  if (backend().epoll >= 0) ::close(backend().epoll);
}

bool ReadinessPair::arm(const Socket& first, const Socket& second, int* failed_which, int* error) {
  Backend& state = backend();
  state.sockets[0] = first.get();
  state.sockets[1] = second.get();
  for (int which = 0; which < kSockets; ++which) {
    const int descriptor = static_cast<int>(state.sockets[which]);
    epoll_event event{};
    event.events = kWatched;
    event.data.u32 = static_cast<std::uint32_t>(which);
    if (!make_nonblocking(descriptor) || epoll_ctl(state.epoll, EPOLL_CTL_ADD, descriptor, &event) != 0) {
      *failed_which = which;
      *error = errno;
      return false;
    }
  }
  return true;
}

ReadinessPair::WaitResult ReadinessPair::wait(bool forever, int* error) {
  Backend& state = backend();
  epoll_event events[kSockets];
  int count;
  do {
    count = epoll_wait(state.epoll, events, kSockets, forever ? -1 : 0);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    *error = errno;
    return WaitResult::kFailed;
  }
  for (int index = 0; index < count; ++index) {
    state.recorded[events[index].data.u32].add(readiness_of(events[index].events));
  }
  return count > 0 ? WaitResult::kRecorded : WaitResult::kNothing;
}

SocketReadiness ReadinessPair::collect(int which) {
  return std::exchange(backend().recorded[which], SocketReadiness{});
}

bool ReadinessPair::watch_writable(int which, bool watch, int* error) {
  Backend& state = backend();
  epoll_event event{};
  event.events = watch ? kWatched | EPOLLOUT : kWatched;
  event.data.u32 = static_cast<std::uint32_t>(which);
  // Adding EPOLLOUT reports it at once when room came free meanwhile.
  if (epoll_ctl(state.epoll, EPOLL_CTL_MOD, static_cast<int>(state.sockets[which]), &event) == 0) return true;
  *error = errno;
  return false;
}

}  // namespace platform
