// The socket services the relay needs, in the shape the relay uses them.
// This folder is the only code that includes socket, thread or OS headers;
// each backend (posix/, win32/) implements these declarations in its own
// files, and code both need is written once beside them (socket_address.cpp).
// Error codes are the platform's own: errno values on Linux (111 refused,
// 104 reset, 110 timed out), Winsock's on Windows (10061, 10054, 10060).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/endpoint.h"

namespace platform {

// A socket handle wide enough for a POSIX descriptor and a Winsock SOCKET.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

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

// Makes the socket's close abortive: the peer gets a reset, never a clean
// end of stream. Used to pass on a cut stream, also by a stop on another
// thread than the socket's owner.
void reset_on_close(SocketHandle socket);

// How far a connect has got.
enum class Connecting {
  kConnected,
  kPending,  // under way: the socket reports its end as room to send, or an error
  kFailed,   // *error holds the platform's code
};

// The platform's codes for what the relay decides itself: a connect that
// reached its time limit, and one given up because the client left.
int timed_out_code();
int cancelled_code();

// What a failed connect's code says about the target.
enum class ConnectFailure { kRefused, kTimedOut, kOther };
ConnectFailure connect_failure_of(int code);

// One socket, closed when its owner lets it go; moved, never copied.
class Socket {
 public:
  Socket() = default;
  // Takes over an open handle.
  explicit Socket(SocketHandle handle) : handle_(handle) {}
  Socket(Socket&& other) noexcept
      : handle_(std::exchange(other.handle_, kNoSocket)), unreported_reset_(other.unreported_reset_) {}
  // The socket held so far is closed as other goes.
  Socket& operator=(Socket other) noexcept {
    std::swap(handle_, other.handle_);
    std::swap(unreported_reset_, other.unreported_reset_);
    return *this;
  }
  ~Socket() { close(); }

  // A new TCP socket of the family; one that is not open on failure, with
  // *error set.
  static Socket open_tcp(Family family, int* error);

  bool is_open() const { return handle_ != kNoSocket; }
  SocketHandle get() const { return handle_; }
  bool local_endpoint(Endpoint* local) const;

  // Sends every write at once instead of holding a small tail back until the
  // peer acknowledges (Nagle's algorithm), which would stall a request/reply
  // protocol for the peer's delayed acknowledgement.
  void send_without_delay();

  // Starts a connect to target without waiting for it: kConnected, kPending
  // or kFailed. The socket is non-blocking from here on.
  Connecting start_connect(const Endpoint& target, int* error);
  // How a pending connect ended, once the socket reported write readiness or
  // an error: kConnected, or kFailed with *error set.
  Connecting connect_outcome(int* error);
  // The peer has reset the connection (not merely closed it). Looks without
  // taking anything: bytes and the reset stay for the reads to come.
  bool reset_by_peer() const;

  // Non-blocking once the socket is watched by a Poller.
  IoResult receive(char* buffer, std::size_t capacity);
  IoResult send(const char* data, std::size_t count);
  void shutdown_sending();
  // True when nothing sent by the peer waits to be read (its end of stream
  // may follow); false when bytes wait or it cannot be told.
  bool nothing_to_read() const;

 private:
  void close();

  SocketHandle handle_ = kNoSocket;
  // A reset that the system told while the connect was checked, and so
  // tells no more: reads report it at the end of stream, after what the peer
  // sent before it.
  int unreported_reset_ = 0;
};

// A socket listening on an endpoint, and the endpoint it really listens on
// (the system chooses the port for port 0).
class Listener {
 public:
  // Binds to the endpoint and listens with the largest backlog the system
  // allows. An IPv6 wildcard (::) takes IPv4 clients too where the system
  // allows it. Linux lets a restarted program take its port back at once
  // (SO_REUSEADDR); Windows holds the port exclusively (SO_EXCLUSIVEADDRUSE),
  // since its SO_REUSEADDR would let another program take a port in use.
  // Empty on failure, with *error set.
  static std::optional<Listener> open(const Endpoint& wanted, int* error);

  const Endpoint& endpoint() const { return endpoint_; }
  // What a Poller watches for clients waiting to be accepted.
  const Socket& socket() const { return socket_; }
  // Takes the next waiting client without waiting for one (the listener is
  // non-blocking once a Poller watches it). A socket that is not open when
  // none waits (*error 0) or on failure (*error set: out of descriptors...).
  // Clients that gave up before they were taken are passed over.
  Socket accept(Endpoint* client, int* error);

 private:
  Listener(Socket socket, const Endpoint& endpoint) : socket_(std::move(socket)), endpoint_(endpoint) {}

  Socket socket_;
  Endpoint endpoint_;
};

}  // namespace platform
