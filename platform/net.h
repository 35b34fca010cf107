// The socket services the relay needs, in the shape the relay uses them.
// This folder is the only code that includes socket, thread or OS headers;
// each backend (posix/, win32/) implements these declarations in its own
// files, and code both need is written once beside them (socket_address.cpp).
// Error codes are the platform's own: errno values on Linux (111 refused,
// 104 reset, 110 timed out), Winsock's on Windows (10061, 10054, 10060).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/endpoint.h"

namespace platform {

// A socket handle wide enough for a POSIX descriptor and a Winsock SOCKET.
using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// Result of one receive or send: count >= 0 on success, otherwise error holds
// the platform's code. would_block marks the "not now, wait for readiness" case.
struct IoResult {
  long count = 0;
  int error = 0;
  bool would_block = false;
  bool failed() const { return count < 0; }
};

// Starts the socket library, before any socket is made.
void start_networking();

// The "smtp" service port from the services database (a socket library
// service on both platforms), or 25 when it has none.
std::uint16_t smtp_service_port();

// The platform's code for the last failed socket call of this thread.
int last_socket_error();
// True when the code means the process or system ran out of descriptors.
bool is_out_of_descriptors(int code);

// An endpoint's address as log lines show it.
AddressText address_text(const Endpoint& endpoint);

// Reads an IPv6 address, with or without brackets, with a zone or not
// ("::1", "[2001:db8::25]", "fe80::1%eth0"). False for any other text.
bool parse_ipv6(const char* text, Endpoint* endpoint);
// Every address a host name (or an address literal) stands for, in the
// order the system prefers them. False when it stands for none.
bool resolve_host(const char* name, std::vector<Endpoint>* addresses);
// The addresses of this host's network interfaces, both families.
std::vector<Endpoint> interface_addresses();

Socket open_tcp_socket(Family family);
void close_socket(Socket socket);

// Binds to the endpoint and listens with the largest backlog the system
// allows. An IPv6 wildcard (::) takes IPv4 clients too where the system
// allows it. Linux lets a restarted program take its port back at once
// (SO_REUSEADDR); Windows holds the port exclusively (SO_EXCLUSIVEADDRUSE),
// since its SO_REUSEADDR would let another program take a port in use.
bool bind_and_listen(Socket listener, const Endpoint& endpoint);
// Waits for the next client. kNoSocket on failure (see last_socket_error).
Socket accept_client(Socket listener, Endpoint* client);
bool local_endpoint(Socket socket, Endpoint* local);

// Sends every write at once instead of holding a small tail back until the
// peer acknowledges (Nagle's algorithm), which would stall a request/reply
// protocol for the peer's delayed acknowledgement.
void send_without_delay(Socket socket);

// Makes the socket's close abortive: the peer gets a reset, never a clean
// end of stream. Used to pass on a cut stream.
void reset_on_close(Socket socket);

enum class ConnectOutcome {
  kConnected,
  kFailed,      // *error holds the platform's code (its timed-out code after the time limit)
  kClientLeft,  // the client closed or reset while the connect was pending
};

// What a failed connect's code says about the target.
enum class ConnectFailure { kRefused, kTimedOut, kOther };
ConnectFailure connect_failure_of(int code);

// Connects socket to target within time_limit_ms, watching client meanwhile:
// a client reset ends the attempt at once, and so does a client's close once
// the connect has been pending for client_grace_ms (a client that sends its
// request and half-closes at once still gets its answer from a target that
// answers in time). The socket is non-blocking afterwards.
ConnectOutcome connect_watching_client(Socket socket, const Endpoint& target, Socket client,
                                       int time_limit_ms, int client_grace_ms, int* error);

// Non-blocking once the socket is armed in a ReadinessPair.
IoResult receive(Socket socket, char* buffer, std::size_t capacity);
IoResult send_bytes(Socket socket, const char* data, std::size_t count);
void shutdown_sending(Socket socket);
// True when nothing sent by the peer waits to be read (its end of stream may
// follow); false when bytes wait or it cannot be told.
bool nothing_to_read(Socket socket);

}  // namespace platform
