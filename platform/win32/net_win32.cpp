// Windows Sockets 2 backend of platform/net.h.
// winsock2.h must come before windows.h: a block of its own keeps the order.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <climits>
#include <cstring>

#include "platform/net.h"
#include "platform/process.h"
#include "platform/socket_address.h"

namespace platform {
namespace {

constexpr std::uint16_t kSmtpFallbackPort = 25;
// Room for the address list of any ordinary host.
constexpr std::size_t kAddressListBytes = 16 * 1024;

// Winsock counts in int; a relay never moves more than one buffer at a time.
int clamp_to_int(std::size_t count) {
  return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

IoResult io_result(int count) {
  IoResult result;
  result.count = count;
  if (count == SOCKET_ERROR) {
    result.error = WSAGetLastError();
    result.would_block = result.error == WSAEWOULDBLOCK;
  }
  return result;
}

// The addresses of one family on this host's interfaces.
void add_interface_addresses(int family, std::vector<Endpoint>* addresses) {
  const Socket probe(static_cast<SocketHandle>(::socket(family, SOCK_DGRAM, IPPROTO_UDP)));
  if (!probe.is_open()) return;
  alignas(SOCKET_ADDRESS_LIST) char list_bytes[kAddressListBytes];
  DWORD bytes = 0;
  if (WSAIoctl(native(probe.get()), SIO_ADDRESS_LIST_QUERY, nullptr, 0, list_bytes, sizeof list_bytes, &bytes,
               nullptr, nullptr) != 0) {
    return;
  }
  const auto* list = reinterpret_cast<const SOCKET_ADDRESS_LIST*>(list_bytes);
  for (INT index = 0; index < list->iAddressCount; ++index) {
    const Endpoint endpoint = from_sockaddr(list->Address[index].lpSockaddr);
    if (endpoint.family != Family::kNone) addresses->push_back(endpoint);
  }
}

// Whether an end of stream read from socket was really a reset. Windows
// reports a reset as an error of recv() and never gets here with one; Wine
// (8.0) reports it as an orderly close, FD_CLOSE without an error and recv()
// returning 0, and only a poll still tells the two apart by POLLERR. A cut
// stream must never be passed on as a clean end.
bool end_of_stream_was_reset(SOCKET socket) {
  WSAPOLLFD entry{socket, POLLRDNORM, 0};
  return WSAPoll(&entry, 1, 0) == 1 && (entry.revents & POLLERR) != 0;
}

// A client watched while its connect is pending. Winsock has no "peer
// closed" readiness: a readable client is peeked at. One that has sent data
// is watched no more (its close could only be seen behind that data).
struct ClientWatch {
  SOCKET client;
  bool closed = false;  // its end of stream was seen while its close did not count
  bool has_data = false;

  bool wanted(bool close_counts) const { return !has_data && (close_counts || !closed); }

  bool left(bool close_counts) {
    char byte;
    const int count = recv(client, &byte, 1, MSG_PEEK);
    if (count == SOCKET_ERROR) return WSAGetLastError() != WSAEWOULDBLOCK;  // a reset
    if (count > 0) {
      has_data = true;
      return false;
    }
    if (end_of_stream_was_reset(client)) return true;
    closed = true;
    return close_counts;
  }
};

}  // namespace

void start_networking() {
  WSADATA details;
  WSAStartup(MAKEWORD(2, 0), &details);
}

std::uint16_t smtp_service_port() {
  const servent* entry = getservbyname("smtp", nullptr);
  return entry != nullptr ? ntohs(static_cast<u_short>(entry->s_port)) : kSmtpFallbackPort;
}

int last_socket_error() {
  return WSAGetLastError();
}

Socket Socket::open_tcp(Family family, int* error) {
  const SOCKET socket = ::socket(family_code(family), SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) *error = WSAGetLastError();
  return Socket(socket == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(socket));
}

void Socket::close() {
  if (handle_ != kNoSocket) closesocket(native(handle_));
  handle_ = kNoSocket;
}

bool bind_and_listen(SocketHandle listener, const Endpoint& endpoint) {
  // Windows lets SO_REUSEADDR take over a port another program listens on;
  // the exclusive option refuses that instead (and a restart needs neither).
  const BOOL on = TRUE;
  setsockopt(native(listener), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
             sizeof on);
  if (endpoint.family == Family::kIPv6 && endpoint.is_unspecified()) {
    const DWORD off = 0;
    setsockopt(native(listener), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
  }
  sockaddr_storage address;
  const int length = to_sockaddr(endpoint, &address);
  if (bind(native(listener), reinterpret_cast<const sockaddr*>(&address), length) != 0) return false;
  return listen(native(listener), SOMAXCONN) == 0;
}

Socket Listener::accept(Endpoint* client, int* error) {
  sockaddr_storage address{};
  SOCKET socket;
  do {
    int length = sizeof address;
    socket = ::accept(native(socket_.get()), reinterpret_cast<sockaddr*>(&address), &length);
    // A client that reset before it was accepted: take the next one at once.
  } while (socket == INVALID_SOCKET && (WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAEINTR));
  if (socket == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return Socket();
  }
  *client = from_sockaddr(reinterpret_cast<const sockaddr*>(&address));
  return Socket(static_cast<SocketHandle>(socket));
}

Connecting Socket::start_connect(const Endpoint& target, int* error) {
  u_long nonblocking = 1;
  // A blocking connect would wait past any time limit and never see the client leave.
  if (ioctlsocket(native(handle_), FIONBIO, &nonblocking) != 0) {
    *error = WSAGetLastError();
    return Connecting::kFailed;
  }
  sockaddr_storage address;
  const int length = to_sockaddr(target, &address);
  if (connect(native(handle_), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    return Connecting::kConnected;
  }
  *error = WSAGetLastError();
  return *error == WSAEWOULDBLOCK ? Connecting::kPending : Connecting::kFailed;
}

Connecting Socket::wait_for_connect(const Socket& client, bool client_close_counts, int wait_ms, int* error) {
  ClientWatch watch{native(client.get())};
  const std::int64_t start = monotonic_microseconds();
  for (;;) {
    const int waited_ms = static_cast<int>((monotonic_microseconds() - start) / 1000);
    if (waited_ms >= wait_ms) {
      *error = WSAETIMEDOUT;
      return Connecting::kPending;
    }
    fd_set writable, failed, readable;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_ZERO(&readable);
    FD_SET(native(handle_), &writable);
    FD_SET(native(handle_), &failed);
    if (watch.wanted(client_close_counts)) FD_SET(native(client.get()), &readable);
    const int left_ms = wait_ms - waited_ms;
    timeval timeout{left_ms / 1000, (left_ms % 1000) * 1000};
    if (select(0, &readable, &writable, &failed, &timeout) == SOCKET_ERROR) {
      *error = WSAGetLastError();
      return Connecting::kFailed;
    }
    if (FD_ISSET(native(client.get()), &readable) && watch.left(client_close_counts)) {
      *error = WSAECANCELLED;
      return Connecting::kClientLeft;
    }
    if (FD_ISSET(native(handle_), &writable)) return Connecting::kConnected;
    if (FD_ISSET(native(handle_), &failed)) return finish_connect(error);
  }
}

// Only a failed connect is reported in the failed set; its code is the
// socket's error.
Connecting Socket::finish_connect(int* error) {
  int outcome = 0;
  int length = sizeof outcome;
  getsockopt(native(handle_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&outcome), &length);
  *error = outcome != 0 ? outcome : WSAECONNREFUSED;
  return Connecting::kFailed;
}

ConnectFailure connect_failure_of(int code) {
  if (code == WSAECONNREFUSED) return ConnectFailure::kRefused;
  if (code == WSAETIMEDOUT) return ConnectFailure::kTimedOut;
  return ConnectFailure::kOther;
}

IoResult Socket::receive(char* buffer, std::size_t capacity) {
  IoResult result = io_result(recv(native(handle_), buffer, clamp_to_int(capacity), 0));
  if (result.count == 0 && end_of_stream_was_reset(native(handle_))) {
    result.count = SOCKET_ERROR;
    result.error = WSAECONNRESET;
  }
  return result;
}

IoResult Socket::send(const char* data, std::size_t count) {
  return io_result(::send(native(handle_), data, clamp_to_int(count), 0));
}

void Socket::shutdown_sending() {
  shutdown(native(handle_), SD_SEND);
}

bool Socket::nothing_to_read() const {
  u_long waiting = 0;
  return ioctlsocket(native(handle_), FIONREAD, &waiting) == 0 && waiting == 0;
}

std::vector<Endpoint> interface_addresses() {
  std::vector<Endpoint> addresses;
  add_interface_addresses(AF_INET, &addresses);
  add_interface_addresses(AF_INET6, &addresses);
  return addresses;
}

}  // namespace platform
