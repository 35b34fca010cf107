// Endpoints to and from the system's socket addresses, for both backends:
// the BSD socket API and Winsock agree on these structures and calls.
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

namespace platform {

// Fills storage; returns the length of the address in it.
int to_sockaddr(const Endpoint& endpoint, sockaddr_storage* storage);
Endpoint from_sockaddr(const sockaddr* address);
int family_code(Family family);

}  // namespace platform
