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
    *error = WSAGetLastError() == WSAEWOULDBLOCK ? 0 : WSAGetLastError();
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

// Winsock reports a connect's end as room to send, or as an error with
// the code in the socket's error.
Connecting Socket::connect_outcome(int* error) {
  int outcome = 0;
  int length = sizeof outcome;
  getsockopt(native(handle_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&outcome), &length);
  if (outcome == 0) return Connecting::kConnected;
  *error = outcome;
  return Connecting::kFailed;
}

// Winsock has no "peer closed" readiness of its own: the client is peeked
// at. A read error, or an end of stream that came with an error, is a reset.
bool Socket::reset_by_peer() const {
  char byte;
  const int count = recv(native(handle_), &byte, 1, MSG_PEEK);
  if (count == SOCKET_ERROR) return WSAGetLastError() != WSAEWOULDBLOCK;
  return count == 0 && end_of_stream_was_reset(native(handle_));
}

int timed_out_code() {
  return WSAETIMEDOUT;
}

int cancelled_code() {
  return WSAECANCELLED;
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
