// What both backends share: endpoints to and from the system's socket
// addresses (the BSD socket API and Winsock agree on these structures and
// calls), and the backend's own calls that shared code builds on.
// Included by backend files only.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "platform/endpoint.h"
#include "platform/net.h"

namespace platform {

#if defined(_WIN32)
using NativeSocket = SOCKET;
#else
using NativeSocket = int;
#endif
inline NativeSocket native(SocketHandle socket) {
  return static_cast<NativeSocket>(socket);
}

// Fills storage; returns the length of the address in it.
int to_sockaddr(const Endpoint& endpoint, sockaddr_storage* storage);
Endpoint from_sockaddr(const sockaddr* address);
int family_code(Family family);

// Each backend's: the platform's code for the last failed socket call of
// this thread, and the binding and listening of Listener::open.
int last_socket_error();
bool bind_and_listen(SocketHandle listener, const Endpoint& endpoint);

}  // namespace platform
