// Edge-triggered epoll backend of platform/readiness.h. An edge is reported
// when a condition starts (new data, room after a full send buffer, the peer's
// close), which is what the relay's flags expect: a flag stays set until the
// relay itself meets would-block.
#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <utility>

#include "platform/readiness.h"

namespace platform {
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

std::optional<ReadinessPair> ReadinessPair::open(int* error) {
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) {
    *error = errno;
    return std::nullopt;
  }
  ReadinessPair pair;
  pair.objects_[0] = epoll;
  return pair;
}

ReadinessPair::~ReadinessPair() {
  if (objects_[0] != kNoObject) ::close(static_cast<int>(objects_[0]));
}

bool ReadinessPair::arm(const Socket& first, const Socket& second, int* failed_which, int* error) {
  sockets_[0] = first.get();
  sockets_[1] = second.get();
  for (int which = 0; which < kSockets; ++which) {
    const int descriptor = static_cast<int>(sockets_[which]);
    epoll_event event{};
    event.events = kWatched;
    event.data.u32 = static_cast<std::uint32_t>(which);
    if (!make_nonblocking(descriptor) ||
        epoll_ctl(static_cast<int>(objects_[0]), EPOLL_CTL_ADD, descriptor, &event) != 0) {
      *failed_which = which;
      *error = errno;
      return false;
    }
  }
  return true;
}

ReadinessPair::WaitResult ReadinessPair::wait(bool forever, int* error) {
  epoll_event events[kSockets];
  int count;
  do {
    count = epoll_wait(static_cast<int>(objects_[0]), events, kSockets, forever ? -1 : 0);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    *error = errno;
    return WaitResult::kFailed;
  }
  for (int index = 0; index < count; ++index) {
    recorded_[events[index].data.u32].add(readiness_of(events[index].events));
  }
  return count > 0 ? WaitResult::kRecorded : WaitResult::kNothing;
}

SocketReadiness ReadinessPair::collect(int which) {
  return std::exchange(recorded_[which], SocketReadiness{});
}

bool ReadinessPair::watch_writable(int which, bool watch, int* error) {
  epoll_event event{};
  event.events = watch ? kWatched | EPOLLOUT : kWatched;
  event.data.u32 = static_cast<std::uint32_t>(which);
  // Adding EPOLLOUT reports it at once when room came free meanwhile.
  if (epoll_ctl(static_cast<int>(objects_[0]), EPOLL_CTL_MOD, static_cast<int>(sockets_[which]), &event) == 0) {
    return true;
  }
  *error = errno;
  return false;
}

}  // namespace platform
