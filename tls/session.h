// One TLS endpoint whose ciphertext the caller carries, over a BIO of its
// own: the peer's bytes are received through the caller's Carrier several
// records at a time, and OpenSSL reads its records from them; the records it
// writes wait in a queue for the caller to send. The queue has a bound: a
// peer that does not take what is written holds the writer back instead of
// filling memory. Both buffers, like OpenSSL's own record buffers, take
// memory only while they hold bytes, so an idle connection holds none.
//
// (OpenSSL's own read-ahead would receive into its record buffer, but it
// moves the records left unread to the buffer's front before each record,
// and reads only the rest of a record the buffer's end cut: two receives
// for four records, and more bytes moved than received.)
#pragma once

#include <cstddef>
#include <memory>

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

namespace tls {

// Where a session's ciphertext comes from: the peer's socket, or a test's
// wire.
class Carrier {
 public:
  // Receives at most capacity bytes of the peer's ciphertext: how many, or 0
  // when none can be had now (none waits, or the peer ended or failed: the
  // carrier keeps which; OpenSSL only hears that it must wait).
  virtual std::size_t receive(char* buffer, std::size_t capacity) = 0;

 protected:
  ~Carrier() = default;
};

class Session {
 public:
  // The largest record on the wire: a header, 16 KiB of plaintext and the
  // most protection TLS allows.
  static constexpr std::size_t kLargestRecord = 5 + 16 * 1024 + 256;
  // Four records each way: what the relay reads or sends at once (64 KiB
  // of plaintext) takes one receive and one send.
  static constexpr std::size_t kBufferSize = 4 * kLargestRecord;

  enum class Outcome {
    kDone,        // the handshake is over; or bytes were read or written
    kWantInput,   // more of the peer's bytes are needed
    kWantOutput,  // the queue to the peer is full: send from it first
    kPaused,      // a callback asked to wait (a hello callback, a certificate request)
    kClosed,      // the peer's close_notify was read
    kFailed,      // the handshake or a record failed; reason() says why
  };

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Makes the endpoint (server role when the context says so) with owner
  // kept for the context's callbacks, reading through carrier. False when
  // OpenSSL cannot.
  bool open(ssl_ctx_st* context, bool server_role, void* owner, Carrier& carrier);
  bool is_open() const { return ssl_ != nullptr; }
  ssl_st* ssl() const { return ssl_; }
  static void* owner_of(const ssl_st* ssl);

  // Received bytes OpenSSL has not read yet, or plaintext it holds.
  bool holds_input() const;

  // The ciphertext for the peer: what waits, then how much was sent.
  std::size_t output(const char** at) const;
  void output_sent(std::size_t count);
  bool holds_output() const { return queued_ > 0; }

  Outcome handshake();
  bool handshake_done() const;
  Outcome read(char* buffer, std::size_t capacity, std::size_t* count);
  // Plaintext to protect: *taken bytes of data were written into records.
  Outcome write(const char* data, std::size_t n, std::size_t* taken);
  // Writes close_notify: false while the queue to the peer has no room for
  // it (send from it, then call again).
  bool close();

  // Why the last outcome was kFailed, in OpenSSL's words.
  const char* reason() const { return reason_; }
  // The version and cipher the handshake agreed on.
  const char* version() const;
  const char* cipher() const;

 private:
  static int receive_records(bio_st* bio, char* buffer, std::size_t capacity, std::size_t* count);
  static int queue_records(bio_st* bio, const char* data, std::size_t n, std::size_t* count);
  static long control(bio_st* bio, int command, long number, void* pointer);
  static bio_st* new_carrier_bio(Session* session);
  std::size_t take_received(char* buffer, std::size_t capacity);
  std::size_t queue(const char* data, std::size_t n);
  Outcome outcome_of(int result);

  ssl_st* ssl_ = nullptr;
  Carrier* carrier_ = nullptr;
  // The peer's bytes: received_ from taken_ on, allocated for a receive
  // and released once OpenSSL has read them all.
  std::unique_ptr<char[]> received_;
  std::size_t taken_ = 0;
  std::size_t unread_ = 0;
  // Records for the peer: queued_ bytes from sent_ on; allocated on the
  // first record and released once all of it is sent.
  std::unique_ptr<char[]> queue_;
  std::size_t sent_ = 0;
  std::size_t queued_ = 0;
  char reason_[160] = {};
};

}  // namespace tls
