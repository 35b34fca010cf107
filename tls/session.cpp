#include "tls/session.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tls {
namespace {

// Where a session's owner is kept on its SSL, for the context's callbacks.
int owner_index() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

}  // namespace

Session::~Session() {
  SSL_free(ssl_);  // and its BIO with it
}

bool Session::open(ssl_ctx_st* context, bool server_role, void* owner, Carrier& carrier) {
  carrier_ = &carrier;
  BIO* bio = new_carrier_bio(this);
  if (bio == nullptr) return false;
  ssl_ = SSL_new(context);
  if (ssl_ == nullptr) {
    BIO_free(bio);
    return false;
  }
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_ex_data(ssl_, owner_index(), owner);
  if (server_role) {
    SSL_set_accept_state(ssl_);
  } else {
    SSL_set_connect_state(ssl_);
  }
  return true;
}

// The BIO's method is made once, for every session of every thread.
BIO* Session::new_carrier_bio(Session* session) {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qorvand carrier");
    if (made != nullptr) {
      BIO_meth_set_read_ex(made, receive_records);
      BIO_meth_set_write_ex(made, queue_records);
      BIO_meth_set_ctrl(made, control);
    }
    return made;
  }();
  BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) return nullptr;
  BIO_set_data(bio, session);
  BIO_set_init(bio, 1);
  return bio;
}

void* Session::owner_of(const ssl_st* ssl) {
  return SSL_get_ex_data(ssl, owner_index());
}

// Nothing to receive now is a retry for OpenSSL, whatever the carrier knows
// of why: an end of stream told to OpenSSL would end this side's writing
// too, and the caller tells the peer's end and failures itself.
int Session::receive_records(BIO* bio, char* buffer, std::size_t capacity, std::size_t* count) {
  auto* self = static_cast<Session*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  *count = self->take_received(buffer, capacity);
  if (*count > 0) return 1;
  BIO_set_retry_read(bio);
  return 0;
}

int Session::queue_records(BIO* bio, const char* data, std::size_t n, std::size_t* count) {
  auto* self = static_cast<Session*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  *count = self->queue(data, n);
  if (*count > 0 || n == 0) return 1;
  BIO_set_retry_write(bio);
  return 0;
}

// A flush succeeds at once: the caller sends the queue after every call.
long Session::control(BIO* bio, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_WPENDING:
      return static_cast<long>(static_cast<Session*>(BIO_get_data(bio))->queued_);
    default:
      return 0;
  }
}

// OpenSSL reads a record's header, then its body: both come from the bytes
// received, and a receive fills the whole buffer once they are all read.
std::size_t Session::take_received(char* buffer, std::size_t capacity) {
  if (unread_ == 0) {
    if (!received_) received_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
    taken_ = 0;
    unread_ = carrier_->receive(received_.get(), kBufferSize);
  }
  const std::size_t count = std::min(capacity, unread_);
  std::memcpy(buffer, received_.get() + taken_, count);
  taken_ += count;
  unread_ -= count;
  if (unread_ == 0) received_.reset();
  return count;
}

// Takes what fits of data; what was sent already makes room first.
std::size_t Session::queue(const char* data, std::size_t n) {
  if (!queue_) queue_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
  if (sent_ > 0 && sent_ + queued_ + n > kBufferSize) {
    std::memmove(queue_.get(), queue_.get() + sent_, queued_);
    sent_ = 0;
  }
  const std::size_t count = std::min(n, kBufferSize - sent_ - queued_);
  std::memcpy(queue_.get() + sent_ + queued_, data, count);
  queued_ += count;
  return count;
}

bool Session::holds_input() const {
  return unread_ > 0 || SSL_has_pending(ssl_) == 1;
}

std::size_t Session::output(const char** at) const {
  *at = queue_ ? queue_.get() + sent_ : nullptr;
  return queued_;
}

void Session::output_sent(std::size_t count) {
  queued_ -= count;
  sent_ += count;
  if (queued_ > 0) return;
  queue_.reset();
  sent_ = 0;
}

Session::Outcome Session::handshake() {
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_);
  return result == 1 ? Outcome::kDone : outcome_of(result);
}

bool Session::handshake_done() const {
  return SSL_is_init_finished(ssl_) == 1;
}

Session::Outcome Session::read(char* buffer, std::size_t capacity, std::size_t* count) {
  ERR_clear_error();
  *count = 0;
  const int result = SSL_read_ex(ssl_, buffer, capacity, count);
  return result == 1 ? Outcome::kDone : outcome_of(result);
}

Session::Outcome Session::write(const char* data, std::size_t n, std::size_t* taken) {
  ERR_clear_error();
  *taken = 0;
  const int result = SSL_write_ex(ssl_, data, n, taken);
  return result == 1 ? Outcome::kDone : outcome_of(result);
}

bool Session::close() {
  ERR_clear_error();
  if (!handshake_done()) return true;
  const int result = SSL_shutdown(ssl_);
  return result >= 0 || outcome_of(result) != Outcome::kWantOutput;
}

Session::Outcome Session::outcome_of(int result) {
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
      return Outcome::kWantInput;
    case SSL_ERROR_WANT_WRITE:
      return Outcome::kWantOutput;
    case SSL_ERROR_WANT_CLIENT_HELLO_CB:
    case SSL_ERROR_WANT_X509_LOOKUP:
      return Outcome::kPaused;
    case SSL_ERROR_ZERO_RETURN:
      return Outcome::kClosed;
    default:
      break;
  }
  const unsigned long error = ERR_peek_last_error();
  const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
  std::snprintf(reason_, sizeof reason_, "%s", reason != nullptr ? reason : "the peer ended the handshake");
  ERR_clear_error();
  return Outcome::kFailed;
}

const char* Session::version() const {
  switch (SSL_version(ssl_)) {
    case TLS1_3_VERSION:
      return "TLS 1.3";
    case TLS1_2_VERSION:
      return "TLS 1.2";
    case TLS1_1_VERSION:
      return "TLS 1.1";
    case TLS1_VERSION:
      return "TLS 1.0";
    default:
      return SSL_get_version(ssl_);
  }
}

const char* Session::cipher() const {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
  const char* name = cipher != nullptr ? SSL_CIPHER_standard_name(cipher) : nullptr;
  return name != nullptr ? name : "unknown cipher";
}

}  // namespace tls
