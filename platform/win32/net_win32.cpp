// Windows Sockets 2 backend of platform/net.h.
// winsock2.h must come before windows.h: a block of its own keeps the order.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <climits>
#include <cstring>

#include "platform/net.h"
#include "platform/process.h"

namespace platform {
namespace {

constexpr std::uint16_t kSmtpFallbackPort = 25;
// Room for the interface list of any ordinary host.
constexpr int kMaxInterfaces = 64;

SOCKET native(Socket socket) {
  return static_cast<SOCKET>(socket);
}

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

// Winsock counts in int; a relay never moves more than a buffer of 512.
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

bool is_interface_address(std::uint32_t address) {
  const SOCKET probe = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (probe == INVALID_SOCKET) return false;
  INTERFACE_INFO interfaces[kMaxInterfaces];
  DWORD bytes = 0;
  const int result = WSAIoctl(probe, SIO_GET_INTERFACE_LIST, nullptr, 0, interfaces, sizeof interfaces,
                              &bytes, nullptr, nullptr);
  closesocket(probe);
  if (result != 0) return false;
  const std::size_t count = bytes / sizeof(INTERFACE_INFO);
  for (std::size_t index = 0; index < count; ++index) {
    if (ntohl(interfaces[index].iiAddress.AddressIn.sin_addr.s_addr) == address) return true;
  }
  return false;
}

// A client watched while its connect is pending. Winsock has no "peer
// closed" readiness: a readable client is peeked at. One that has sent data
// is watched no more (its close could only be seen behind that data).
struct ClientWatch {
  SOCKET client;
  bool closed = false;    // its end of stream was seen during the grace
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

Socket open_tcp_socket() {
  const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(socket);
}

void close_socket(Socket socket) {
  if (socket != kNoSocket) closesocket(native(socket));
}

bool bind_and_listen(Socket listener, std::uint16_t port) {
  // Windows lets SO_REUSEADDR take over a port another program listens on;
  // the exclusive option refuses that instead (and a restart needs neither).
  const BOOL exclusive = TRUE;
  setsockopt(native(listener), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
             sizeof exclusive);
  const sockaddr_in address = to_sockaddr(Endpoint{INADDR_ANY, port});
  if (bind(native(listener), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
  return listen(native(listener), SOMAXCONN) == 0;
}

Socket accept_client(Socket listener, Endpoint* client) {
  sockaddr_in address{};
  SOCKET socket;
  do {
    int length = sizeof address;
    socket = accept(native(listener), reinterpret_cast<sockaddr*>(&address), &length);
    // A client that reset before it was accepted: take the next one at once.
  } while (socket == INVALID_SOCKET && (WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAEINTR));
  if (socket == INVALID_SOCKET) return kNoSocket;
  *client = from_sockaddr(address);
  return static_cast<Socket>(socket);
}

void send_without_delay(Socket socket) {
  const BOOL on = TRUE;
  setsockopt(native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void reset_on_close(Socket socket) {
  const linger abortive{1, 0};
  setsockopt(native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive);
}

ConnectOutcome connect_watching_client(Socket socket, Endpoint target, Socket client, int time_limit_ms,
                                       int client_grace_ms, int* error) {
  u_long nonblocking = 1;
  ioctlsocket(native(socket), FIONBIO, &nonblocking);
  const sockaddr_in address = to_sockaddr(target);
  if (connect(native(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
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
  sockaddr_in address{};
  int length = sizeof address;
  if (getsockname(native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  *local = from_sockaddr(address);
  return true;
}

ConnectFailure connect_failure_of(int code) {
  if (code == WSAECONNREFUSED) return ConnectFailure::kRefused;
  if (code == WSAETIMEDOUT) return ConnectFailure::kTimedOut;
  return ConnectFailure::kOther;
}

IoResult receive(Socket socket, char* buffer, std::size_t capacity) {
  return io_result(recv(native(socket), buffer, clamp_to_int(capacity), 0));
}

IoResult send_bytes(Socket socket, const char* data, std::size_t count) {
  return io_result(send(native(socket), data, clamp_to_int(count), 0));
}

void shutdown_sending(Socket socket) {
  shutdown(native(socket), SD_SEND);
}

bool is_own_address(std::uint32_t address) {
  if (address == INADDR_ANY || (address >> 24) == 127) return true;
  return is_interface_address(address);
}

}  // namespace platform
