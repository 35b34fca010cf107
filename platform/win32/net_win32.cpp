// Windows Sockets 2 backend of platform/net.h.
// winsock2.h must come before windows.h: a block of its own keeps the order.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <climits>
#include <cstring>

#include "platform/net.h"

namespace platform {
namespace {

constexpr std::uint16_t kSmtpFallbackPort = 25;
constexpr std::size_t kReasonBufferSize = 256;
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

// The system's message text ends in ".\r\n"; the callers add their own end.
void trim_message_end(char* text) {
  std::size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ' ||
                        text[length - 1] == '.')) {
    text[--length] = '\0';
  }
}

// The texts of the codes that start-up and accept can meet, for a system
// without message texts for Winsock codes (Wine has none).
const char* known_reason(int code) {
  switch (code) {
    case WSAEACCES:
      return "Permission denied";
    case WSAEADDRINUSE:
      return "Address already in use";
    case WSAEADDRNOTAVAIL:
      return "Address not available";
    case WSAEMFILE:
      return "Too many open sockets";
    case WSAENOBUFS:
      return "No buffer space available";
    default:
      return "Windows Sockets error";
  }
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

const char* error_reason(int code) {
  thread_local char reason[kReasonBufferSize];
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reason, sizeof reason, nullptr);
  if (length == 0) return known_reason(code);
  trim_message_end(reason);
  return reason;
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
  int length = sizeof address;
  const SOCKET socket = accept(native(listener), reinterpret_cast<sockaddr*>(&address), &length);
  if (socket == INVALID_SOCKET) return kNoSocket;
  *client = from_sockaddr(address);
  return static_cast<Socket>(socket);
}

bool connect_to(Socket socket, Endpoint target) {
  const sockaddr_in address = to_sockaddr(target);
  return connect(native(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool local_endpoint(Socket socket, Endpoint* local) {
  sockaddr_in address{};
  int length = sizeof address;
  if (getsockname(native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  *local = from_sockaddr(address);
  return true;
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

void sleep_milliseconds(int milliseconds) {
  Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace platform
