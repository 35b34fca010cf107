#include "tls/interception.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "tls/authority.h"
#include "tls/keylog.h"
#include "tls/openssl_owners.h"
#include "tls/session_cache.h"

namespace tls {
namespace {

constexpr unsigned kModes =
    SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS;

// An extension of the client's hello: its body, or false when it has none.
bool hello_extension(SSL* ssl, unsigned type, const unsigned char** body, std::size_t* length) {
  return SSL_client_hello_get0_ext(ssl, type, body, length) == 1;
}

// The host name of a server_name extension: a list of 2 bytes of length,
// then entries of a type (0: host name), 2 bytes of length and the name.
void copy_host_name(const unsigned char* body, std::size_t length, char* name, std::size_t limit) {
  if (length < 5 || body[2] != TLSEXT_NAMETYPE_host_name) return;
  const std::size_t name_length = static_cast<std::size_t>(body[3]) << 8 | body[4];
  if (name_length == 0 || name_length > length - 5 || name_length > limit) return;
  for (std::size_t i = 0; i < name_length; ++i) {
    const unsigned char byte = body[5 + i];
    if (byte <= 0x20 || byte >= 0x7F) return;  // no name qorvand would pass on
  }
  std::memcpy(name, body + 5, name_length);
  name[name_length] = '\0';
}

// The system's trust store: its file of certificates, read once here, and its
// folder of certificates by hashed name (or SSL_CERT_FILE and SSL_CERT_DIR).
// OpenSSL's default paths would search the folder a second time through its
// store loader, which reads every name in the folder for each issuer it
// does not find: for a server no CA vouches for, on every connection.
bool trust_system_store(SSL_CTX* context) {
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  X509_LOOKUP* file = X509_STORE_add_lookup(store, X509_LOOKUP_file());
  X509_LOOKUP* folder = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
  if (file == nullptr || folder == nullptr) return false;
  // A file or folder that is not there trusts nothing, as with the defaults.
  (void)X509_LOOKUP_load_file(file, nullptr, X509_FILETYPE_DEFAULT);
  (void)X509_LOOKUP_add_dir(folder, nullptr, X509_FILETYPE_DEFAULT);
  ERR_clear_error();
  return true;
}

// The name the target's certificate must hold: an address or a DNS name.
void expect_name(SSL* ssl, const char* name) {
  if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name) != 1) SSL_set1_host(ssl, name);
}

}  // namespace

Interception::Interception(const CertificateAuthority& authority, bool verify, std::string fallback_name)
    : authority_(authority),
      verify_(verify),
      fallback_name_(std::move(fallback_name)),
      server_sessions_(std::make_unique<SessionCache>()) {}

Interception::~Interception() {
  SSL_CTX_free(client_facing_);
  SSL_CTX_free(target_facing_);
}

std::unique_ptr<Interception> Interception::create(const CertificateAuthority& authority, KeyLog* key_log,
                                                   bool verify, std::string fallback_name,
                                                   std::string* error) {
  std::unique_ptr<Interception> made(new Interception(authority, verify, std::move(fallback_name)));
  made->client_facing_ = SSL_CTX_new(TLS_server_method());
  made->target_facing_ = SSL_CTX_new(TLS_client_method());
  if (made->client_facing_ == nullptr || made->target_facing_ == nullptr ||
      !trust_system_store(made->target_facing_)) {
    *error = "OpenSSL could not set up TLS interception";
    return nullptr;
  }
  for (SSL_CTX* context : {made->client_facing_, made->target_facing_}) {
    SSL_CTX_set_mode(context, kModes);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    if (key_log != nullptr) key_log->install(context);
  }
  // Sessions are not kept: the clients' tickets alone resume them.
  SSL_CTX_set_session_cache_mode(made->client_facing_, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_client_hello_cb(made->client_facing_, Interceptor::on_client_hello, nullptr);
  SSL_CTX_set_alpn_select_cb(made->client_facing_, Interceptor::on_protocol, nullptr);
  // The target's certificate is checked, and the result kept: only --verify
  // makes a failure end the connection.
  SSL_CTX_set_verify(made->target_facing_, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_client_cert_cb(made->target_facing_, Interceptor::on_client_certificate);
  // The server's sessions are kept in server_sessions_ alone.
  SSL_CTX_set_session_cache_mode(made->target_facing_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(made->target_facing_, Interceptor::on_server_session);
  return made;
}

bool Interceptor::open() {
  if (client_.open(interception_.client_facing_, true, this, client_carrier_)) return true;
  fail(kClientLeg, "OpenSSL could not make a TLS session");
  return false;
}

Interceptor::Progress Interceptor::advance() {
  switch (state_) {
    case State::kClientHello:
    case State::kClientHandshake:
      return advance_client();
    case State::kServerHandshake:
      return advance_server();
    case State::kDone:
      return Progress::kDone;
    case State::kAlerting:
    case State::kFailed:
      break;
  }
  return Progress::kFailed;
}

// The client's handshake stops in its hello callback, which opens the
// target's leg; it goes on once that leg is done.
Interceptor::Progress Interceptor::advance_client() {
  const bool at_hello = state_ == State::kClientHello;
  switch (client_.handshake()) {
    case Session::Outcome::kDone:
      state_ = State::kDone;
      return Progress::kDone;
    case Session::Outcome::kPaused:
      return at_hello && state_ == State::kServerHandshake ? advance_server() : Progress::kGoing;
    case Session::Outcome::kWantInput:
    case Session::Outcome::kWantOutput:
      return state_ == State::kFailed ? Progress::kFailed : Progress::kGoing;
    case Session::Outcome::kClosed:
    case Session::Outcome::kFailed:
      break;
  }
  if (state_ == State::kFailed) return Progress::kFailed;  // the callback said why
  return fail(kClientLeg, client_.reason());
}

Interceptor::Progress Interceptor::advance_server() {
  switch (server_.handshake()) {
    case Session::Outcome::kDone:
      check_server_certificate();
      if (!verified() && interception_.verify_) {
        char reason[sizeof verify_failure_ + 40];
        std::snprintf(reason, sizeof reason, "server certificate not verified: %s", verify_failure_);
        return fail_server(reason);
      }
      state_ = State::kClientHandshake;
      return advance_client();
    case Session::Outcome::kPaused:
      return fail_server(certificate_requested_ ? "the server asked for a client certificate"
                                                : "the handshake stopped");
    case Session::Outcome::kWantInput:
    case Session::Outcome::kWantOutput:
      return Progress::kGoing;
    case Session::Outcome::kClosed:
    case Session::Outcome::kFailed:
      break;
  }
  return fail_server(server_.reason());
}

void Interceptor::check_server_certificate() {
  const long result = SSL_get_verify_result(server_.ssl());
  if (SSL_get0_peer_certificate(server_.ssl()) == nullptr) {
    std::snprintf(verify_failure_, sizeof verify_failure_, "no certificate");
  } else if (result != X509_V_OK) {
    std::snprintf(verify_failure_, sizeof verify_failure_, "%s", X509_verify_cert_error_string(result));
  }
  const unsigned char* chosen = nullptr;
  unsigned length = 0;
  SSL_get0_alpn_selected(server_.ssl(), &chosen, &length);
  if (length > 0) std::snprintf(protocol_, sizeof protocol_, "%.*s", static_cast<int>(length), chosen);
}

// The client hears of a failure on the target's side as an alert: its
// handshake is resumed for its hello callback to refuse it.
Interceptor::Progress Interceptor::fail_server(const char* reason) {
  fail(kServerLeg, reason);
  // A session offered to a server that failed is not offered again.
  if (session_offered_) interception_.server_sessions_->forget(server_name_);
  state_ = State::kAlerting;
  (void)client_.handshake();
  state_ = State::kFailed;
  return Progress::kFailed;
}

Interceptor::Progress Interceptor::fail(int which, const char* reason) {
  if (state_ != State::kFailed) {
    failed_leg_ = which;
    std::snprintf(failure_, sizeof failure_, "%s", reason);
  }
  state_ = State::kFailed;
  return Progress::kFailed;
}

int Interceptor::on_client_hello(SSL* ssl, int* alert, void*) {
  return static_cast<Interceptor*>(Session::owner_of(ssl))->client_hello(ssl, alert);
}

int Interceptor::client_hello(SSL* ssl, int* alert) {
  switch (state_) {
    case State::kClientHello:
      if (!open_server_leg(ssl)) break;
      state_ = State::kServerHandshake;
      return SSL_CLIENT_HELLO_RETRY;
    case State::kClientHandshake: {
      const std::string name = server_name_[0] != '\0' ? server_name_ : interception_.fallback_name_;
      std::string error;
      if (interception_.authority_.present_for(ssl, name, &error)) return SSL_CLIENT_HELLO_SUCCESS;
      fail(kClientLeg, ("no certificate for " + name + ": " + error).c_str());
      break;
    }
    case State::kServerHandshake:
      return SSL_CLIENT_HELLO_RETRY;
    case State::kAlerting:
      *alert = SSL_AD_HANDSHAKE_FAILURE;
      return SSL_CLIENT_HELLO_ERROR;
    case State::kDone:
    case State::kFailed:
      break;
  }
  *alert = SSL_AD_INTERNAL_ERROR;
  return SSL_CLIENT_HELLO_ERROR;
}

// The target's leg asks for the client's server name and offers its ALPN
// protocols, and expects a certificate for the name the client asked for
// (or the target's own name).
bool Interceptor::open_server_leg(SSL* client_ssl) {
  const unsigned char* body = nullptr;
  std::size_t length = 0;
  if (hello_extension(client_ssl, TLSEXT_TYPE_server_name, &body, &length)) {
    copy_host_name(body, length, server_name_, kNameLimit);
  }
  if (!server_.open(interception_.target_facing_, false, this, server_carrier_)) {
    fail(kServerLeg, "OpenSSL could not make a TLS session");
    return false;
  }
  SSL* ssl = server_.ssl();
  if (server_name_[0] != '\0') SSL_set_tlsext_host_name(ssl, server_name_);
  offer_kept_session(ssl);
  expect_name(ssl, server_name_[0] != '\0' ? server_name_ : interception_.fallback_name_.c_str());
  if (hello_extension(client_ssl, TLSEXT_TYPE_application_layer_protocol_negotiation, &body, &length) &&
      length > 2 && (static_cast<std::size_t>(body[0]) << 8 | body[1]) == length - 2) {
    (void)SSL_set_alpn_protos(ssl, body + 2, static_cast<unsigned>(length - 2));
  }
  return true;
}

// The last session with the server for this name, if any, is offered: the
// server may resume it. A resumed session carries the result of its
// verification (and its certificate) into this connection's.
void Interceptor::offer_kept_session(SSL* ssl) {
  const SslSessionOwner kept = interception_.server_sessions_->find(server_name_);
  session_offered_ = kept != nullptr && SSL_set_session(ssl, kept.get()) == 1;
}

// A session the server makes (at the end of a TLS 1.2 handshake, or with
// each ticket of TLS 1.3) is kept for the next connection; with --verify
// only when its certificate was verified, so that a resumption never skips
// a check that would have ended the connection.
int Interceptor::on_server_session(SSL* ssl, SSL_SESSION* session) {
  auto* self = static_cast<Interceptor*>(Session::owner_of(ssl));
  if (self->interception_.verify_ && SSL_get_verify_result(ssl) != X509_V_OK) return 0;
  self->interception_.server_sessions_->keep(self->server_name_, session);
  return 0;  // the cache keeps a copy: OpenSSL's reference stays OpenSSL's
}

// The client gets the protocol the target chose, and none when it chose none.
int Interceptor::on_protocol(SSL* ssl, const unsigned char** out, unsigned char* out_length,
                             const unsigned char*, unsigned, void*) {
  auto* self = static_cast<Interceptor*>(Session::owner_of(ssl));
  const unsigned char* chosen = nullptr;
  unsigned length = 0;
  SSL_get0_alpn_selected(self->server_.ssl(), &chosen, &length);
  if (length == 0 || length > 255) return SSL_TLSEXT_ERR_NOACK;
  *out = chosen;
  *out_length = static_cast<unsigned char>(length);
  return SSL_TLSEXT_ERR_OK;
}

// qorvand has no certificate of the client's to give: the handshake stops.
int Interceptor::on_client_certificate(SSL* ssl, X509**, EVP_PKEY**) {
  static_cast<Interceptor*>(Session::owner_of(ssl))->certificate_requested_ = true;
  return -1;
}

}  // namespace tls
