#include "tls/session.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <cstring>

namespace tls {
namespace {

// Where a session's owner is kept on its SSL, for the context's callbacks.
int owner_index() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

std::size_t positive(int count) {
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

}  // namespace

Session::~Session() {
  SSL_free(ssl_);  // and OpenSSL's end of the pair with it
  BIO_free(network_);
}

bool Session::open(ssl_ctx_st* context, bool server_role, void* owner) {
  BIO* own_end = nullptr;
  if (BIO_new_bio_pair(&own_end, kRingSize, &network_, kRingSize) != 1) return false;
  ssl_ = SSL_new(context);
  if (ssl_ == nullptr) {
    BIO_free(own_end);
    return false;
  }
  SSL_set_bio(ssl_, own_end, own_end);
  SSL_set_ex_data(ssl_, owner_index(), owner);
  if (server_role) {
    SSL_set_accept_state(ssl_);
  } else {
    SSL_set_connect_state(ssl_);
  }
  return true;
}

void* Session::owner_of(const ssl_st* ssl) {
  return SSL_get_ex_data(ssl, owner_index());
}

std::size_t Session::input_room(char** at) {
  return positive(BIO_nwrite0(network_, at));
}

void Session::input_added(std::size_t count) {
  char* ignored = nullptr;
  BIO_nwrite(network_, &ignored, static_cast<int>(count));
}

std::size_t Session::feed(const char* data, std::size_t n) {
  std::size_t fed = 0;
  char* room = nullptr;
  while (fed < n) {
    const std::size_t size = input_room(&room);
    if (size == 0) break;
    const std::size_t count = size < n - fed ? size : n - fed;
    std::memcpy(room, data + fed, count);
    input_added(count);
    fed += count;
  }
  return fed;
}

bool Session::holds_input() const {
  return BIO_ctrl_pending(SSL_get_rbio(ssl_)) > 0 || SSL_has_pending(ssl_) == 1;
}

std::size_t Session::output(const char** at) {
  char* start = nullptr;
  const std::size_t count = positive(BIO_nread0(network_, &start));
  *at = start;
  return count;
}

void Session::output_sent(std::size_t count) {
  char* ignored = nullptr;
  BIO_nread(network_, &ignored, static_cast<int>(count));
}

bool Session::holds_output() const {
  return BIO_ctrl_pending(network_) > 0;
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
