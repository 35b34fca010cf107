// The relay's I/O with TLS interception (--tls): a RelayIo over the
// connection's own that watches what the client sends at each read
// boundary. A read that begins like a TLS handshake record is held back,
// not relayed, until the records hold a whole ClientHello, reassembled
// across reads; a byte that contradicts one sends the held bytes on as they
// are. A whole hello starts the interception: qorvand ends the client's
// handshake itself and opens TLS of its own to the target over the server
// connection; from then on the relay reads and sends plaintext, and this
// class carries the ciphertext on the sockets: OpenSSL receives through it
// (the held hello first), and it sends each leg's queued records.
//
// The relay's contract stays whole: a read shorter than the room it was
// given means the socket was drained (no plaintext and no ciphertext is
// held back behind it), ciphertext that a socket would not take is sent
// once it is writable again (watched here, beside the relay's own watch),
// a peer's close_notify and its end of stream both read as an end of
// stream, and a reset as the same failure. What this class must tell the
// relay without the socket saying so (the handshake is done, a failure) it
// records as a notification of its own, collected with the socket's.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "relay/relay_io.h"
#include "tls/interception.h"
#include "traffic_log/connection_events.h"

class TlsIo final : public RelayIo {
 public:
  TlsIo(RelayIo& inner, const tls::Interception& interception, ConnectionEvents& events);
  TlsIo(const TlsIo&) = delete;
  TlsIo& operator=(const TlsIo&) = delete;

  WaitResult wait(bool forever, int* error) override;
  platform::SocketReadiness collect(int which) override;
  bool watch_writable(int which, bool watch, int* error) override;
  platform::IoResult receive(int which, char* buffer, std::size_t capacity) override;
  platform::IoResult send(int which, const char* data, std::size_t count) override;
  void shutdown_sending(int which) override;
  bool nothing_to_read(int which) override;
  void reset_on_close(int which) override { inner_.reset_on_close(which); }

  bool intercepted() const { return mode_ == Mode::kIntercepted; }

 private:
  enum class Mode {
    kWatching,     // bytes pass as they are; each client read is looked at
    kHolding,      // the client's bytes are held: they may be a ClientHello
    kReleasing,    // the held bytes were no hello: they go to the relay
    kHandshaking,  // both handshakes are under way
    kIntercepted,  // plaintext to and from the relay
    kFailed,       // a handshake failed: the connection ends
  };
  // A leg's carrier: what OpenSSL receives comes from this class.
  class LegCarrier final : public tls::Carrier {
   public:
    LegCarrier(TlsIo& io, int which) : io_(io), which_(which) {}
    std::size_t receive(char* buffer, std::size_t capacity) override {
      return io_.carry_in(which_, buffer, capacity);
    }

   private:
    TlsIo& io_;
    int which_;
  };

  platform::IoResult watch_client(char* buffer, std::size_t capacity);
  platform::IoResult hold(char* buffer, std::size_t capacity);
  platform::IoResult release(char* buffer, std::size_t capacity);
  platform::IoResult handshake(int which, char* buffer, std::size_t capacity);
  platform::IoResult handshake_waits(int which);
  std::size_t carry_in(int which, char* buffer, std::size_t capacity);
  std::size_t take_held(char* buffer, std::size_t capacity);
  platform::IoResult read_plain(int which, char* buffer, std::size_t capacity);
  platform::IoResult send_plain(int which, const char* data, std::size_t count);
  bool flush(int which);
  void pass_on_close(int which);
  bool update_watch(int which, int* error);
  void intercepted_now();
  platform::IoResult handshake_failed(int which, int failed_leg, const char* reason);
  void fail_leg(int which, bool in_handshake, const char* reason);
  platform::IoResult failure_of(int which);
  void notify(int which, bool readable, bool writable);

  RelayIo& inner_;
  const tls::Interception& interception_;
  ConnectionEvents& events_;
  Mode mode_ = Mode::kWatching;
  std::optional<tls::Interceptor> interceptor_;
  // The client's bytes held while they may be a ClientHello; how many of
  // them were given to the relay (released) or to the client's leg (served).
  std::string held_;
  std::size_t held_taken_ = 0;
  // A failure read while bytes were held: told once they are released.
  platform::IoResult held_failure_;
  struct Peer {
    bool relay_watch = false;        // the relay waits for room
    bool own_watch = false;          // ciphertext waits for room
    bool inner_watch = false;        // what the socket is watched for
    bool drained = false;            // a receive since the relay's read emptied the socket
    bool ended = false;              // its end of stream or close_notify was read
    int read_failure = 0;            // its read failed, or its TLS did
    int send_failure = 0;            // a send to it failed, or its TLS did
    bool close_wanted = false;       // the relay passed a close on to it
    bool close_written = false;      // close_notify is written
    bool close_passed = false;       // and its sending is shut down
    platform::SocketReadiness owed;  // notifications of this class's own
  };
  Peer peers_[2];
  LegCarrier carriers_[2] = {{*this, kClient}, {*this, kServer}};
};
