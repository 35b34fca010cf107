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

SOCKET native(Socket socket) {
  return static_cast<SOCKET>(socket);
}

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
  const SOCKET probe = ::socket(family, SOCK_DGRAM, IPPROTO_UDP);
  if (probe == INVALID_SOCKET) return;
  alignas(SOCKET_ADDRESS_LIST) char list_bytes[kAddressListBytes];
  DWORD bytes = 0;
  const int result = WSAIoctl(probe, SIO_ADDRESS_LIST_QUERY, nullptr, 0, list_bytes, sizeof list_bytes,
                              &bytes, nullptr, nullptr);
  closesocket(probe);
  if (result != 0) return;
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
  bool closed = false;  // its end of stream was seen during the grace
  bool has_data = false;

  bool wanted(bool grace_over) const { return !has_data && (grace_over || !closed); }

  bool left(bool grace_over) {
    char byte;
    const int count = recv(client, &byte, 1, MSG_PEEK);
    if (count == SOCKET_ERROR) return WSAGetLastError() != WSAEWOULDBLOCK;  // a reset
    if (count > 0) {
      has_data = true;
      return false;
    }
    if (end_of_stream_was_reset(client)) return true;
    closed = true;
    return grace_over;
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

bool is_out_of_descriptors(int code) {
  return code == WSAEMFILE || code == WSAENOBUFS;
}

Socket open_tcp_socket(Family family) {
  const SOCKET socket = ::socket(family_code(family), SOCK_STREAM, IPPROTO_TCP);
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(socket);
}

void close_socket(Socket socket) {
  if (socket != kNoSocket) closesocket(native(socket));
}

bool bind_and_listen(Socket listener, const Endpoint& endpoint) {
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

Socket accept_client(Socket listener, Endpoint* client) {
  sockaddr_storage address{};
  SOCKET socket;
  do {
    int length = sizeof address;
    socket = accept(native(listener), reinterpret_cast<sockaddr*>(&address), &length);
    // A client that reset before it was accepted: take the next one at once.
  } while (socket == INVALID_SOCKET && (WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAEINTR));
  if (socket == INVALID_SOCKET) return kNoSocket;
  *client = from_sockaddr(reinterpret_cast<const sockaddr*>(&address));
  return static_cast<Socket>(socket);
}

void send_without_delay(Socket socket) {
  const BOOL on = TRUE;
  setsockopt(native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void reset_on_close(Socket socket) {
  const linger abortive{1, 0};
  setsockopt(native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
             sizeof abortive);
}

ConnectOutcome connect_watching_client(Socket socket, const Endpoint& target, Socket client,
                                       int time_limit_ms, int client_grace_ms, int* error) {
  u_long nonblocking = 1;
  // A blocking connect would wait past the time limit and never see the client leave.
  if (ioctlsocket(native(socket), FIONBIO, &nonblocking) != 0) {
    *error = WSAGetLastError();
    return ConnectOutcome::kFailed;
  }
  sockaddr_storage address;
  const int length = to_sockaddr(target, &address);
  if (connect(native(socket), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    return ConnectOutcome::kConnected;
  }
  if (WSAGetLastError() != WSAEWOULDBLOCK) {
    *error = WSAGetLastError();
    return ConnectOutcome::kFailed;
  }
  ClientWatch watch{native(client)};
  const std::int64_t start = monotonic_microseconds();
  for (;;) {
    const int waited_ms = static_cast<int>((monotonic_microseconds() - start) / 1000);
    if (waited_ms >= time_limit_ms) {
      *error = WSAETIMEDOUT;
      return ConnectOutcome::kFailed;
    }
    const bool grace_over = waited_ms >= client_grace_ms;
    fd_set writable, failed, readable;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_ZERO(&readable);
    FD_SET(native(socket), &writable);
    FD_SET(native(socket), &failed);
    if (watch.wanted(grace_over)) FD_SET(native(client), &readable);
    const int wait_ms = (grace_over || !watch.closed ? time_limit_ms : client_grace_ms) - waited_ms;
    timeval timeout{wait_ms / 1000, (wait_ms % 1000) * 1000};
    if (select(0, &readable, &writable, &failed, &timeout) == SOCKET_ERROR) {
      *error = WSAGetLastError();
      return ConnectOutcome::kFailed;
    }
    if (FD_ISSET(native(client), &readable) && watch.left(grace_over)) {
      *error = WSAECANCELLED;
      return ConnectOutcome::kClientLeft;
    }
    if (FD_ISSET(native(socket), &writable)) return ConnectOutcome::kConnected;
    if (FD_ISSET(native(socket), &failed)) {
      int outcome = 0;
      int length = sizeof outcome;
      getsockopt(native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&outcome), &length);
      *error = outcome != 0 ? outcome : WSAECONNREFUSED;
      return ConnectOutcome::kFailed;
    }
  }
}

bool local_endpoint(Socket socket, Endpoint* local) {
  sockaddr_storage address{};
  int length = sizeof address;
  if (getsockname(native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  *local = from_sockaddr(reinterpret_cast<const sockaddr*>(&address));
  return true;
}

ConnectFailure connect_failure_of(int code) {
  if (code == WSAECONNREFUSED) return ConnectFailure::kRefused;
  if (code == WSAETIMEDOUT) return ConnectFailure::kTimedOut;
  return ConnectFailure::kOther;
}

IoResult receive(Socket socket, char* buffer, std::size_t capacity) {
  IoResult result = io_result(recv(native(socket), buffer, clamp_to_int(capacity), 0));
  if (result.count == 0 && end_of_stream_was_reset(native(socket))) {
    result.count = SOCKET_ERROR;
    result.error = WSAECONNRESET;
  }
  return result;
}

IoResult send_bytes(Socket socket, const char* data, std::size_t count) {
  return io_result(send(native(socket), data, clamp_to_int(count), 0));
}

void shutdown_sending(Socket socket) {
  shutdown(native(socket), SD_SEND);
}

bool nothing_to_read(Socket socket) {
  u_long waiting = 0;
  return ioctlsocket(native(socket), FIONREAD, &waiting) == 0 && waiting == 0;
}

std::vector<Endpoint> interface_addresses() {
  std::vector<Endpoint> addresses;
  add_interface_addresses(AF_INET, &addresses);
  add_interface_addresses(AF_INET6, &addresses);
  return addresses;
}

}  // namespace platform
