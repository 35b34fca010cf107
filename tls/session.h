// One TLS endpoint whose ciphertext the caller carries: OpenSSL over a BIO
// pair, so that the peer's bytes are received straight into the pair's
// ring and the bytes for the peer are sent straight from it. The rings have
// a fixed size: a peer that does not take what is written holds the writer
// back instead of filling memory. OpenSSL's record buffers are released
// while a connection is idle.
#pragma once

#include <cstddef>

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

namespace tls {

class Session {
 public:
  // Each way: room for one whole record and its protection.
  static constexpr std::size_t kRingSize = 17 * 1024;

  enum class Outcome {
    kDone,        // the handshake is over; or bytes were read or written
    kWantInput,   // more of the peer's bytes are needed
    kWantOutput,  // the ring to the peer is full: send from it first
    kPaused,      // a callback asked to wait (a hello callback, a certificate request)
    kClosed,      // the peer's close_notify was read
    kFailed,      // the handshake or a record failed; reason() says why
  };

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Makes the endpoint (server role when the context says so) with owner
  // kept for the context's callbacks. False when OpenSSL cannot.
  bool open(ssl_ctx_st* context, bool server_role, void* owner);
  bool is_open() const { return ssl_ != nullptr; }
  ssl_st* ssl() const { return ssl_; }
  static void* owner_of(const ssl_st* ssl);

  // The peer's ciphertext: where it may go, then how much went there.
  std::size_t input_room(char** at);
  void input_added(std::size_t count);
  // Copies as much of data as the ring has room for.
  std::size_t feed(const char* data, std::size_t n);
  // Bytes received that OpenSSL has not read yet, or plaintext it holds.
  bool holds_input() const;

  // The ciphertext for the peer: what waits, then how much was sent.
  std::size_t output(const char** at);
  void output_sent(std::size_t count);
  bool holds_output() const;

  Outcome handshake();
  bool handshake_done() const;
  Outcome read(char* buffer, std::size_t capacity, std::size_t* count);
  // Plaintext to protect: *taken bytes of data were written into records.
  Outcome write(const char* data, std::size_t n, std::size_t* taken);
  // Writes close_notify: false while the ring to the peer has no room for
  // it (send from it, then call again).
  bool close();

  // Why the last outcome was kFailed, in OpenSSL's words.
  const char* reason() const { return reason_; }
  // The version and cipher the handshake agreed on.
  const char* version() const;
  const char* cipher() const;

 private:
  Outcome outcome_of(int result);

  ssl_st* ssl_ = nullptr;
  bio_st* network_ = nullptr;  // the caller's end of the pair; OpenSSL owns the other
  char reason_[160] = {};
};

}  // namespace tls
