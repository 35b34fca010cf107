// BSD sockets backend of platform/net.h.
#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "platform/net.h"

namespace platform {
namespace {

constexpr std::uint16_t kSmtpFallbackPort = 25;

sockaddr_in to_sockaddr(Endpoint endpoint) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(endpoint.address);
  address.sin_port = htons(endpoint.port);
  return address;
}

Endpoint from_sockaddr(const sockaddr_in& address) {
  return Endpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

// Thousands of connections need thousands of descriptors.
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

IoResult io_result(ssize_t count) {
  IoResult result;
  result.count = static_cast<long>(count);
  if (count < 0) {
    result.error = errno;
    result.would_block = (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return result;
}

}  // namespace

void start_networking() {
  // A peer or a console that has gone away must fail a write, not end the process.
  signal(SIGPIPE, SIG_IGN);
  raise_open_file_limit();
}

std::uint16_t smtp_service_port() {
  const servent* entry = getservbyname("smtp", nullptr);
  return entry != nullptr ? ntohs(static_cast<std::uint16_t>(entry->s_port)) : kSmtpFallbackPort;
}

int last_socket_error() {
  return errno;
}

const char* error_reason(int code) {
  return strerror(code);
}

bool is_out_of_descriptors(int code) {
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

Socket open_tcp_socket() {
  const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return descriptor < 0 ? kNoSocket : descriptor;
}

void close_socket(Socket socket) {
  if (socket != kNoSocket) close(static_cast<int>(socket));
}

bool bind_and_listen(Socket listener, std::uint16_t port) {
  const int descriptor = static_cast<int>(listener);
  // A restarted logger must be able to take its port back at once.
  const int reuse = 1;
  setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  const sockaddr_in address = to_sockaddr(Endpoint{INADDR_ANY, port});
  if (bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
  return listen(descriptor, SOMAXCONN) == 0;
}

Socket accept_client(Socket listener, Endpoint* client) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  int descriptor;
  do {
    descriptor =
        accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return kNoSocket;
  *client = from_sockaddr(address);
  return descriptor;
}

bool connect_to(Socket socket, Endpoint target) {
  const sockaddr_in address = to_sockaddr(target);
  const int result =
      connect(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  return result == 0;
}

bool local_endpoint(Socket socket, Endpoint* local) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return false;
  *local = from_sockaddr(address);
  return true;
}

IoResult receive(Socket socket, char* buffer, std::size_t capacity) {
  ssize_t count;
  do {
    count = recv(static_cast<int>(socket), buffer, capacity, 0);
  } while (count < 0 && errno == EINTR);
  return io_result(count);
}

IoResult send_bytes(Socket socket, const char* data, std::size_t count) {
  ssize_t sent;
  do {
    sent = send(static_cast<int>(socket), data, count, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return io_result(sent);
}

void shutdown_sending(Socket socket) {
  shutdown(static_cast<int>(socket), SHUT_WR);
}

bool is_own_address(std::uint32_t address) {
  if (address == INADDR_ANY || (address >> 24) == 127) return true;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return false;
  bool own = false;
  for (const ifaddrs* entry = interfaces; entry != nullptr && !own; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto* inet = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    own = ntohl(inet->sin_addr.s_addr) == address;
  }
  freeifaddrs(interfaces);
  return own;
}

void sleep_milliseconds(int milliseconds) {
  timespec duration{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&duration, &duration) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
