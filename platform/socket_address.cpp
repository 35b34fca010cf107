// Socket addresses, text and name resolution, the socket options and the
// listener, the same for both backends.
#include "platform/socket_address.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>

namespace platform {

int family_code(Family family) {
  return family == Family::kIPv6 ? AF_INET6 : AF_INET;
}

int to_sockaddr(const Endpoint& endpoint, sockaddr_storage* storage) {
  std::memset(storage, 0, sizeof *storage);
  if (endpoint.family == Family::kIPv6) {
    auto* address = reinterpret_cast<sockaddr_in6*>(storage);
    address->sin6_family = AF_INET6;
    address->sin6_port = htons(endpoint.port);
    address->sin6_scope_id = endpoint.scope_id;
    std::memcpy(&address->sin6_addr, endpoint.address, 16);
    return static_cast<int>(sizeof *address);
  }
  auto* address = reinterpret_cast<sockaddr_in*>(storage);
  address->sin_family = AF_INET;
  address->sin_port = htons(endpoint.port);
  std::memcpy(&address->sin_addr, endpoint.address, 4);
  return static_cast<int>(sizeof *address);
}

Endpoint from_sockaddr(const sockaddr* address) {
  Endpoint endpoint;
  if (address->sa_family == AF_INET6) {
    const auto* inet6 = reinterpret_cast<const sockaddr_in6*>(address);
    endpoint.family = Family::kIPv6;
    endpoint.port = ntohs(inet6->sin6_port);
    endpoint.scope_id = inet6->sin6_scope_id;
    std::memcpy(endpoint.address, &inet6->sin6_addr, 16);
  } else if (address->sa_family == AF_INET) {
    const auto* inet = reinterpret_cast<const sockaddr_in*>(address);
    endpoint.family = Family::kIPv4;
    endpoint.port = ntohs(inet->sin_port);
    std::memcpy(endpoint.address, &inet->sin_addr, 4);
  }
  return endpoint;
}

AddressText address_text(const Endpoint& endpoint) {
  AddressText rendered{};
  const Endpoint shown = endpoint.unmapped();
  if (shown.family == Family::kIPv4) {
    std::snprintf(rendered.text, sizeof rendered.text, "%u.%u.%u.%u", shown.address[0], shown.address[1],
                  shown.address[2], shown.address[3]);
  } else if (shown.family == Family::kIPv6) {
    char plain[INET6_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET6, shown.address, plain, sizeof plain);
    if (shown.scope_id != 0) {
      std::snprintf(rendered.text, sizeof rendered.text, "[%s%%%u]", plain,
                    static_cast<unsigned>(shown.scope_id));
    } else {
      std::snprintf(rendered.text, sizeof rendered.text, "[%s]", plain);
    }
  } else {
    std::snprintf(rendered.text, sizeof rendered.text, "0.0.0.0");
  }
  return rendered;
}

bool parse_ipv6(const char* text, Endpoint* endpoint) {
  std::string literal(text);
  if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']') {
    literal = literal.substr(1, literal.size() - 2);
  }
  if (literal.find(':') == std::string::npos) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (getaddrinfo(literal.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *endpoint = from_sockaddr(found->ai_addr);
  freeaddrinfo(found);
  return true;
}

bool resolve_host(const char* name, std::vector<Endpoint>* addresses) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0) return false;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    const Endpoint endpoint = from_sockaddr(entry->ai_addr);
    if (endpoint.family == Family::kNone) continue;
    bool seen = false;
    for (const Endpoint& earlier : *addresses) seen = seen || earlier.same_address(endpoint);
    if (!seen) addresses->push_back(endpoint);
  }
  freeaddrinfo(found);
  return !addresses->empty();
}

bool Socket::local_endpoint(Endpoint* local) const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(native(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  *local = from_sockaddr(reinterpret_cast<const sockaddr*>(&address));
  return true;
}

void Socket::send_without_delay() {
  const int on = 1;
  setsockopt(native(handle_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void reset_on_close(SocketHandle socket) {
  const linger abortive{1, 0};
  setsockopt(native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
             sizeof abortive);
}

std::optional<Listener> Listener::open(const Endpoint& wanted, int* error) {
  Socket socket = Socket::open_tcp(wanted.family, error);
  if (!socket.is_open()) return std::nullopt;
  if (!bind_and_listen(socket.get(), wanted)) {
    *error = last_socket_error();
    return std::nullopt;
  }
  Endpoint listening;
  if (!socket.local_endpoint(&listening)) listening = wanted;
  return Listener(std::move(socket), listening);
}

}  // namespace platform
