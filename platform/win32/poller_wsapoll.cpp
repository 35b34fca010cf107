// WSAPoll backend of platform/poller.h. WSAPoll is level-triggered: a socket
// is reported at every wait while its condition holds. The poller makes the
// reports edge-like by polling each socket only for what its caller wants
// news of: read until a readable report (then again after want_read(true)),
// write while watched.
//
// A peer's close is POLLHUP, not POLLRDNORM, and WSAPoll reports hang-ups
// and errors whatever was asked. Measured under Wine 8.0: the peer's
// shutdown or close gives POLLHUP once no data waits (before that only
// POLLRDNORM), and POLLHUP stays after the read of 0; a reset gives
// POLLHUP | POLLERR while the read still returns 0 (net_win32 tells it by
// POLLERR); a refused connect gives POLLERR. Windows itself, by other
// projects' reports, also gives a peer's close as POLLHUP without
// POLLRDNORM, and by its documentation reports a refused connect only
// since Windows 10 2004. So a hang-up is reported once, as closed and
// readable, and a socket whose hang-up was reported is left out of the poll
// unless its caller wants read or write news. While the caller watches such
// a socket for room, every wait returns at once for its POLLHUP: a peer
// that closed and reads slowly keeps the loop busy until room comes free.
//
// The wake-up is a UDP socket connected to itself, first in the polled
// array: wake() sends it a byte, the wait that sees it reads them all.
#include <winsock2.h>

#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/poller.h"
#include "platform/socket_address.h"

namespace platform {
namespace {

constexpr short kHangUp = POLLHUP | POLLERR | POLLNVAL;
constexpr short kBroken = POLLERR | POLLNVAL;

// What the caller of one watched socket wants news of.
struct Interest {
  SOCKET socket;
  std::uint64_t token;
  bool read = true;
  bool write = false;
  bool hang_up_reported = false;
};

bool make_nonblocking(SOCKET socket) {
  u_long nonblocking = 1;
  return ioctlsocket(socket, FIONBIO, &nonblocking) == 0;
}

// Bound to a loopback port and connected to it: only its own datagrams reach it.
SOCKET open_wake_socket() {
  const SOCKET wake = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (wake == INVALID_SOCKET) return wake;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(wake, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(wake, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(wake, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || !make_nonblocking(wake)) {
    const int error = WSAGetLastError();
    closesocket(wake);
    WSASetLastError(error);
    return INVALID_SOCKET;
  }
  return wake;
}

// What one socket's returned events tell its caller, given what it wanted.
SocketReadiness report(Interest& interest, short revents) {
  SocketReadiness ready;
  if ((revents & kHangUp) != 0 && !interest.hang_up_reported) {
    interest.hang_up_reported = true;
    ready.closed = ready.readable = true;
    ready.writable = (revents & kBroken) != 0;
  }
  // After the hang-up a read meets the end of stream: that is read news too.
  if (interest.read && (revents & (POLLRDNORM | kHangUp)) != 0) ready.readable = true;
  if (interest.write && (revents & (POLLWRNORM | kBroken)) != 0) ready.writable = true;
  if (ready.readable) interest.read = false;
  return ready;
}

}  // namespace

struct Poller::Backend {
  // Index 0 of both is the wake socket; the others are the watched sockets,
  // each polled entry built from the interest at the same index.
  std::vector<Interest> interests;
  std::vector<WSAPOLLFD> polled;
  std::unordered_map<SOCKET, std::size_t> index_of;
  // Where the next scan of returned events starts, so that a full events
  // array does not leave the same sockets unreported every time.
  std::size_t next_scan = 0;

  ~Backend() {
    if (!interests.empty()) closesocket(interests[0].socket);
  }

  SOCKET wake_socket() const { return interests[0].socket; }

  // The index of a watched socket; 0 (the wake socket's) when it is not watched.
  std::size_t find(const Socket& socket) const {
    const auto found = index_of.find(native(socket.get()));
    return found == index_of.end() ? 0 : found->second;
  }

  // An entry WSAPoll ignores (a negative socket) while its hang-up was
  // reported and nothing else is wanted: it would return at once every time.
  void refresh(std::size_t index) {
    const Interest& interest = interests[index];
    WSAPOLLFD& entry = polled[index];
    const bool needed = interest.read || interest.write || !interest.hang_up_reported;
    entry.fd = needed ? interest.socket : INVALID_SOCKET;
    entry.events = static_cast<short>((interest.read ? POLLRDNORM : 0) | (interest.write ? POLLWRNORM : 0));
    entry.revents = 0;
  }

  void drain_wakes() {
    char bytes[64];
    while (recv(wake_socket(), bytes, sizeof bytes, 0) > 0) {
    }
  }

  // Reports the returned events from next_scan on, round the array, until
  // events is full.
  int collect(Event* events, int capacity) {
    const std::size_t sockets = interests.size() - 1;
    int written = 0;
    std::size_t scanned = 0;
    for (; scanned < sockets && written < capacity; ++scanned) {
      const std::size_t index = 1 + (next_scan + scanned) % sockets;
      if (polled[index].revents == 0) continue;
      const SocketReadiness ready = report(interests[index], polled[index].revents);
      refresh(index);
      if (ready.any()) events[written++] = Event{interests[index].token, ready};
    }
    next_scan = sockets == 0 ? 0 : (next_scan + scanned) % sockets;
    return written;
  }
};

Poller::Poller(std::unique_ptr<Backend> backend) : backend_(std::move(backend)) {}
Poller::Poller(Poller&& other) noexcept = default;
Poller::~Poller() = default;

std::optional<Poller> Poller::open(int* error) {
  const SOCKET wake = open_wake_socket();
  if (wake == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return std::nullopt;
  }
  auto backend = std::make_unique<Backend>();
  backend->interests.push_back(Interest{wake, kReservedToken});
  backend->polled.push_back(WSAPOLLFD{wake, POLLRDNORM, 0});
  return Poller(std::move(backend));
}

bool Poller::add(const Socket& socket, std::uint64_t token, int* error) {
  const SOCKET added = native(socket.get());
  if (token == kReservedToken || backend_->index_of.count(added) != 0) {
    *error = WSAEINVAL;
    return false;
  }
  if (!make_nonblocking(added)) {
    *error = WSAGetLastError();
    return false;
  }
  backend_->index_of[added] = backend_->interests.size();
  backend_->interests.push_back(Interest{added, token});
  backend_->polled.emplace_back();
  backend_->refresh(backend_->interests.size() - 1);
  return true;
}

// A waiting client is POLLRDNORM on a listening socket, as data is on a
// connected one: the same interest serves both.
bool Poller::add_listener(const Listener& listener, std::uint64_t token, int* error) {
  return add(listener.socket(), token, error);
}

void Poller::remove(const Socket& socket) {
  const std::size_t index = backend_->find(socket);
  if (index == 0) return;
  // The last socket takes the removed one's place.
  backend_->index_of.erase(native(socket.get()));
  if (index + 1 != backend_->interests.size()) {
    backend_->interests[index] = backend_->interests.back();
    backend_->polled[index] = backend_->polled.back();
    backend_->index_of[backend_->interests[index].socket] = index;
  }
  backend_->interests.pop_back();
  backend_->polled.pop_back();
}

bool Poller::watch_writable(const Socket& socket, std::uint64_t token, bool watch, int* error) {
  const std::size_t index = backend_->find(socket);
  if (index == 0) {
    *error = WSAENOTSOCK;
    return false;
  }
  backend_->interests[index].token = token;
  backend_->interests[index].write = watch;
  backend_->refresh(index);
  return true;
}

void Poller::want_read(const Socket& socket, std::uint64_t token, bool want) {
  const std::size_t index = backend_->find(socket);
  if (index == 0) return;
  backend_->interests[index].token = token;
  backend_->interests[index].read = want;
  backend_->refresh(index);
}

int Poller::wait(Event* events, int capacity, int timeout_ms, int* error) {
  if (capacity <= 0) {
    *error = WSAEINVAL;
    return -1;
  }
  std::vector<WSAPOLLFD>& polled = backend_->polled;
  const int count = WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeout_ms);
  if (count == SOCKET_ERROR) {
    *error = WSAGetLastError();
    return -1;
  }
  if (count == 0) return 0;
  if (polled[0].revents != 0) backend_->drain_wakes();
  return backend_->collect(events, capacity);
}

void Poller::wake() {
  // Fails only when the socket's buffer is full of wakes: one is pending then.
  const char byte = 1;
  send(backend_->wake_socket(), &byte, 1, 0);
}

}  // namespace platform
