// Edge-triggered epoll backend of platform/readiness.h. An edge is reported
// when a condition starts (new data, room after a full send buffer, the peer's
// close), which is what the relay's flags expect: a flag stays set until the
// relay itself meets would-block.
#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "platform/readiness.h"

namespace platform {
namespace {

constexpr unsigned kReadable = 1;
constexpr unsigned kWritable = 2;
constexpr unsigned kClosed = 4;
constexpr std::uint32_t kWatched = EPOLLIN | EPOLLRDHUP | EPOLLET;

unsigned readiness_bits(std::uint32_t events) {
  unsigned bits = 0;
  if (events & EPOLLIN) bits |= kReadable;
  if (events & EPOLLOUT) bits |= kWritable;
  if (events & EPOLLRDHUP) bits |= kClosed;
  // A reset or error: reads and sends must be tried so that they report it.
  if (events & (EPOLLHUP | EPOLLERR)) bits |= kReadable | kWritable | kClosed;
  return bits;
}

// A TCP socket has no other status flag worth keeping, so one call does.
bool make_nonblocking(int descriptor) {
  return fcntl(descriptor, F_SETFL, O_NONBLOCK) == 0;
}

}  // namespace

bool ReadinessPair::create() {
  handles_[0] = epoll_create1(EPOLL_CLOEXEC);
  return handles_[0] >= 0;
}

bool ReadinessPair::arm(Socket first, Socket second, int* failed_which, int* error) {
  sockets_[0] = first;
  sockets_[1] = second;
  recorded_[0] = recorded_[1] = 0;
  const int poller = static_cast<int>(handles_[0]);
  for (int which = 0; which < kSockets; ++which) {
    const int descriptor = static_cast<int>(sockets_[which]);
    epoll_event event{};
    event.events = kWatched;
    event.data.u32 = static_cast<std::uint32_t>(which);
    if (!make_nonblocking(descriptor) || epoll_ctl(poller, EPOLL_CTL_ADD, descriptor, &event) != 0) {
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
    count = epoll_wait(static_cast<int>(handles_[0]), events, kSockets, forever ? -1 : 0);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    *error = errno;
    return WaitResult::kFailed;
  }
  for (int index = 0; index < count; ++index) {
    recorded_[events[index].data.u32] |= readiness_bits(events[index].events);
  }
  return count > 0 ? WaitResult::kRecorded : WaitResult::kNothing;
}

SocketReadiness ReadinessPair::collect(int which) {
  const unsigned bits = recorded_[which];
  recorded_[which] = 0;
  return SocketReadiness{(bits & kReadable) != 0, (bits & kWritable) != 0, (bits & kClosed) != 0};
}

void ReadinessPair::watch_writable(int which, bool watch) {
  epoll_event event{};
  event.events = watch ? kWatched | EPOLLOUT : kWatched;
  event.data.u32 = static_cast<std::uint32_t>(which);
  // Adding EPOLLOUT reports it at once when room came free meanwhile.
  epoll_ctl(static_cast<int>(handles_[0]), EPOLL_CTL_MOD, static_cast<int>(sockets_[which]), &event);
}

void ReadinessPair::close() {
  if (handles_[0] >= 0) ::close(static_cast<int>(handles_[0]));
  handles_[0] = -1;
}

}  // namespace platform
