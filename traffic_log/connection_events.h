// What happens to one relayed connection, in the relay's words: the relay
// reports each event as it happens, and the connection log alone turns them
// into log lines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/endpoint.h"

enum class Side { kClient, kServer };

enum class IoOperation { kRead, kSend };

// How a connection ended, for its summary.
enum class Ending {
  kClosed,         // both sides closed
  kClientReset,    // the client's read or send failed first
  kServerReset,    // the server's read or send failed first
  kRefused,        // the connect to the target was refused
  kTimedOut,       // the connect reached its time limit
  kClientLeft,     // the client left while the connect was pending
  kConnectFailed,  // the connect failed for another reason
};

// What the line of an intercepted connection tells once both handshakes are
// done (--tls). Texts are empty when there is nothing to tell.
struct TlsInterception {
  const char* server_name;     // the client's SNI
  const char* client_version;  // "TLS 1.3"
  const char* server_version;
  const char* server_cipher;   // its standard name
  const char* protocol;        // the ALPN protocol the server chose
  const char* verify_failure;  // why the server's certificate was not verified
};

class ConnectionEvents {
 public:
  virtual ~ConnectionEvents() = default;

  // The relay has taken the client on.
  virtual void received() = 0;
  virtual void connect_failed(const platform::Endpoint& target, int error) = 0;
  // The connection to the target is open (local: its own end).
  virtual void outgoing(const platform::Endpoint& local, const platform::Endpoint& target) = 0;
  // The bytes of one read from that side's peer, before they are relayed.
  virtual void traffic(Side from, const char* data, std::size_t n) = 0;
  // That side's peer has closed; all_read: nothing it sent waits unread.
  virtual void peer_closed(Side side, bool all_read) = 0;
  virtual void io_failed(Side side, IoOperation operation, int error) = 0;
  // qorvand holds TLS with both peers and relays the plaintext.
  virtual void tls_intercepted(const TlsInterception& tls) = 0;
  // TLS with that side's peer failed, in its handshake or later; reason in
  // OpenSSL's words. The relay then sees that side fail.
  virtual void tls_failed(Side side, bool in_handshake, const char* reason) = 0;
  // That side's close was passed on to the other peer, after all it sent.
  virtual void close_passed_on(Side from) = 0;
  // That side's peer failed first: the other peer is reset.
  virtual void reset_passed_on(Side failed) = 0;
  // Both directions are done, or a peer failed: the bytes left undelivered.
  virtual void closed(std::size_t unsent_to_server, std::size_t unsent_to_client) = 0;
  // The connection's last word: bytes delivered each way, the microseconds
  // since it was accepted, how it ended.
  virtual void summary(std::uint64_t to_server, std::uint64_t to_client, std::int64_t elapsed_us,
                       Ending ending) = 0;
};
