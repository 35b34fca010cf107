// Edge-triggered epoll backend of platform/poller.h. An edge is reported when
// a condition starts (new data, the peer's close, room after a full send
// buffer while write is watched), which is what a loop that keeps its own
// flags until it meets would-block expects; want_read has nothing to do here.
// A wake-up is an eventfd in the same epoll, drained by the wait that sees it.
#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/poller.h"

namespace platform {
namespace {

constexpr std::uint32_t kWatched = EPOLLIN | EPOLLRDHUP | EPOLLET;
// Exclusive: of the loops that sleep on the listener, one wakes per client.
constexpr std::uint32_t kListening = EPOLLIN | EPOLLET | EPOLLEXCLUSIVE;
// Events taken from the kernel per wait: a fixed buffer, so that a wait
// allocates nothing. More ready sockets stay queued for the next wait.
constexpr int kBatch = 512;

SocketReadiness readiness_of(std::uint32_t events) {
  // A reset or error: reads and sends must be tried so that they report it.
  if (events & (EPOLLHUP | EPOLLERR)) return SocketReadiness{true, true, true};
  return SocketReadiness{(events & EPOLLIN) != 0, (events & EPOLLOUT) != 0, (events & EPOLLRDHUP) != 0};
}

bool make_nonblocking(int descriptor) {
  const int flags = fcntl(descriptor, F_GETFL);
  return flags >= 0 && fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

struct Poller::Backend {
  int epoll = -1;
  int wake_counter = -1;  // an eventfd, watched under kReservedToken
  epoll_event ready[kBatch];

  ~Backend() {
    if (wake_counter >= 0) ::close(wake_counter);
    if (epoll >= 0) ::close(epoll);
  }

  bool control(int operation, int descriptor, std::uint32_t events, std::uint64_t token) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    return epoll_ctl(epoll, operation, descriptor, &event) == 0;
  }

  // Adds a socket, made non-blocking, under a token of the caller's.
  bool watch(int descriptor, std::uint32_t events, std::uint64_t token, int* error) {
    if (token == kReservedToken) {
      *error = EINVAL;
      return false;
    }
    if (make_nonblocking(descriptor) && control(EPOLL_CTL_ADD, descriptor, events, token)) return true;
    *error = errno;
    return false;
  }
};

Poller::Poller(std::unique_ptr<Backend> backend) : backend_(std::move(backend)) {}
Poller::Poller(Poller&& other) noexcept = default;
Poller::~Poller() = default;

std::optional<Poller> Poller::open(int* error) {
  auto backend = std::make_unique<Backend>();
  backend->epoll = epoll_create1(EPOLL_CLOEXEC);
  if (backend->epoll >= 0) backend->wake_counter = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // Level-triggered: a wake that a full batch left unread is still seen next time.
  if (backend->wake_counter < 0 || !backend->control(EPOLL_CTL_ADD, backend->wake_counter, EPOLLIN, kReservedToken)) {
    *error = errno;
    return std::nullopt;
  }
  return Poller(std::move(backend));
}

bool Poller::add(const Socket& socket, std::uint64_t token, int* error) {
  return backend_->watch(static_cast<int>(socket.get()), kWatched, token, error);
}

bool Poller::add_listener(const Listener& listener, std::uint64_t token, int* error) {
  return backend_->watch(static_cast<int>(listener.socket().get()), kListening, token, error);
}

void Poller::remove(const Socket& socket) {
  // Also takes the socket's events that no wait has returned yet.
  backend_->control(EPOLL_CTL_DEL, static_cast<int>(socket.get()), 0, 0);
}

bool Poller::watch_writable(const Socket& socket, std::uint64_t token, bool watch, int* error) {
  // Adding EPOLLOUT reports it at once when room is free already.
  if (backend_->control(EPOLL_CTL_MOD, static_cast<int>(socket.get()), watch ? kWatched | EPOLLOUT : kWatched,
                        token)) {
    return true;
  }
  *error = errno;
  return false;
}

void Poller::want_read(const Socket&, std::uint64_t, bool) {}

int Poller::wait(Event* events, int capacity, int timeout_ms, int* error) {
  if (capacity <= 0) {
    *error = EINVAL;
    return -1;
  }
  const int count = epoll_wait(backend_->epoll, backend_->ready, std::min(capacity, kBatch), timeout_ms);
  if (count < 0) {
    if (errno == EINTR) return 0;
    *error = errno;
    return -1;
  }
  int written = 0;
  for (int index = 0; index < count; ++index) {
    const epoll_event& ready = backend_->ready[index];
    if (ready.data.u64 == kReservedToken) {
      eventfd_t wakes;
      eventfd_read(backend_->wake_counter, &wakes);
      continue;
    }
    events[written++] = Event{ready.data.u64, readiness_of(ready.events)};
  }
  return written;
}

void Poller::wake() {
  // Fails only when the counter is about to overflow: a wake is pending then.
  eventfd_write(backend_->wake_counter, 1);
}

}  // namespace platform
