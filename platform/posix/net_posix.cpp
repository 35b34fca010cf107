// BSD sockets backend of platform/net.h.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/net.h"
#include "platform/process.h"
#include "platform/socket_address.h"

namespace platform {
namespace {

constexpr std::uint16_t kSmtpFallbackPort = 25;

IoResult io_result(ssize_t count) {
  IoResult result;
  result.count = static_cast<long>(count);
  if (count < 0) {
    result.error = errno;
    result.would_block = (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return result;
}

// Errors of one client that gave up before it was accepted, or of the network
// under it: the next client is accepted at once.
bool is_passing_accept_error(int code) {
  switch (code) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

}  // namespace

void start_networking() {}

std::uint16_t smtp_service_port() {
  const servent* entry = getservbyname("smtp", nullptr);
  return entry != nullptr ? ntohs(static_cast<std::uint16_t>(entry->s_port)) : kSmtpFallbackPort;
}

int last_socket_error() {
  return errno;
}

Socket Socket::open_tcp(Family family, int* error) {
  const int descriptor = socket(family_code(family), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (descriptor < 0) *error = errno;
  return Socket(descriptor < 0 ? kNoSocket : descriptor);
}

void Socket::close() {
  if (handle_ != kNoSocket) ::close(native(handle_));
  handle_ = kNoSocket;
}

bool bind_and_listen(SocketHandle listener, const Endpoint& endpoint) {
  const int descriptor = native(listener);
  // A restarted logger must be able to take its port back at once.
  const int on = 1;
  setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (endpoint.family == Family::kIPv6 && endpoint.is_unspecified()) {
    const int off = 0;
    setsockopt(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  sockaddr_storage address;
  const int length = to_sockaddr(endpoint, &address);
  if (bind(descriptor, reinterpret_cast<const sockaddr*>(&address), static_cast<socklen_t>(length)) != 0)
    return false;
  return listen(descriptor, SOMAXCONN) == 0;
}

Socket Listener::accept(Endpoint* client, int* error) {
  sockaddr_storage address{};
  socklen_t length;
  int descriptor;
  do {
    length = sizeof address;
    descriptor = accept4(native(socket_.get()), reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
  } while (descriptor < 0 && is_passing_accept_error(errno));
  if (descriptor < 0) {
    *error = (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : errno;
    return Socket();
  }
  *client = from_sockaddr(reinterpret_cast<const sockaddr*>(&address));
  return Socket(descriptor);
}

Connecting Socket::start_connect(const Endpoint& target, int* error) {
  const int descriptor = native(handle_);
  // A blocking connect would wait past any time limit and never see the client leave.
  if (fcntl(descriptor, F_SETFL, O_NONBLOCK) != 0) {
    *error = errno;
    return Connecting::kFailed;
  }
  sockaddr_storage address;
  const int length = to_sockaddr(target, &address);
  if (connect(descriptor, reinterpret_cast<const sockaddr*>(&address), static_cast<socklen_t>(length)) == 0) {
    return Connecting::kConnected;
  }
  *error = errno;
  return errno == EINPROGRESS ? Connecting::kPending : Connecting::kFailed;
}

// The system tells a connection's reset (ECONNRESET, or EPIPE after the
// peer's close) only once it was made: a target that accepted, sent and reset
// before the connect was seen done was connected. Its bytes wait to be read,
// and reading the error here took it from the system.
Connecting Socket::connect_outcome(int* error) {
  int outcome = 0;
  socklen_t length = sizeof outcome;
  getsockopt(native(handle_), SOL_SOCKET, SO_ERROR, &outcome, &length);
  if (outcome == ECONNRESET || outcome == EPIPE) {
    unreported_reset_ = outcome;
  } else if (outcome != 0) {
    *error = outcome;
    return Connecting::kFailed;
  }
  return Connecting::kConnected;
}

// A reset leaves the socket hung up with an error; a close only ends what
// the peer sends.
bool Socket::reset_by_peer() const {
  pollfd watched{native(handle_), 0, 0};
  return poll(&watched, 1, 0) == 1 && (watched.revents & (POLLHUP | POLLERR)) != 0;
}

int timed_out_code() {
  return ETIMEDOUT;
}

int cancelled_code() {
  return ECANCELED;
}

ConnectFailure connect_failure_of(int code) {
  if (code == ECONNREFUSED) return ConnectFailure::kRefused;
  if (code == ETIMEDOUT) return ConnectFailure::kTimedOut;
  return ConnectFailure::kOther;
}

IoResult Socket::receive(char* buffer, std::size_t capacity) {
  ssize_t count;
  do {
    count = recv(native(handle_), buffer, capacity, 0);
  } while (count < 0 && errno == EINTR);
  if (count == 0 && unreported_reset_ != 0) return IoResult{-1, unreported_reset_, false};
  return io_result(count);
}

IoResult Socket::send(const char* data, std::size_t count) {
  ssize_t sent;
  do {
    sent = ::send(native(handle_), data, count, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return io_result(sent);
}

void Socket::shutdown_sending() {
  shutdown(native(handle_), SHUT_WR);
}

bool Socket::nothing_to_read() const {
  int waiting = 0;
  return ioctl(native(handle_), FIONREAD, &waiting) == 0 && waiting == 0;
}

std::vector<Endpoint> interface_addresses() {
  std::vector<Endpoint> addresses;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return addresses;
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    const Endpoint endpoint = from_sockaddr(entry->ifa_addr);
    if (endpoint.family != Family::kNone) addresses.push_back(endpoint);
  }
  freeifaddrs(interfaces);
  return addresses;
}

}  // namespace platform
