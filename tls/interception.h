// TLS interception: qorvand ends the client's handshake itself, with a
// certificate for the name the client asked for, and opens TLS of its own to
// the target with the client's server name and ALPN offer. The client's
// handshake waits in its hello callback until the target's is done, so that
// the client gets the protocol the server chose, or an alert when the
// target's handshake failed.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "tls/session.h"

struct ssl_session_st;
struct x509_st;
struct evp_pkey_st;

namespace tls {

class CertificateAuthority;
class KeyLog;
class SessionCache;

// Made once at start-up; read by every event loop.
class Interception {
 public:
  // fallback_name: the target's host name or address, for a client that
  // sends no server name. key_log may be null. Null with *error set when
  // OpenSSL cannot make the contexts.
  static std::unique_ptr<Interception> create(const CertificateAuthority& authority, KeyLog* key_log,
                                              bool verify, std::string fallback_name, std::string* error);
  Interception(const Interception&) = delete;
  Interception& operator=(const Interception&) = delete;
  ~Interception();

 private:
  friend class Interceptor;
  Interception(const CertificateAuthority& authority, bool verify, std::string fallback_name);

  const CertificateAuthority& authority_;
  bool verify_;
  std::string fallback_name_;
  ssl_ctx_st* client_facing_ = nullptr;  // server role
  ssl_ctx_st* target_facing_ = nullptr;  // client role, the system's trust store
  // The target is one server (or the addresses of one name): its sessions
  // are told apart by the server name asked for.
  std::unique_ptr<SessionCache> server_sessions_;
};

// The two handshakes of one intercepted connection, and then its two TLS
// legs. The caller carries each leg's ciphertext (the carriers receive it,
// the caller sends each leg's queue) and calls advance() after each change.
class Interceptor {
 public:
  static constexpr int kClientLeg = 0;
  static constexpr int kServerLeg = 1;
  static constexpr std::size_t kNameLimit = 255;

  enum class Progress { kGoing, kDone, kFailed };

  Interceptor(const Interception& interception, Carrier& client, Carrier& server)
      : interception_(interception), client_carrier_(client), server_carrier_(server) {}
  Interceptor(const Interceptor&) = delete;
  Interceptor& operator=(const Interceptor&) = delete;

  // Opens the client's leg, ready to be fed its hello. False when OpenSSL
  // cannot (failure() says so).
  bool open();
  Session& leg(int which) { return which == kClientLeg ? client_ : server_; }
  Progress advance();

  // Once kFailed: the leg whose handshake failed, and why.
  int failed_leg() const { return failed_leg_; }
  const char* failure() const { return failure_; }
  // Once kDone.
  const char* server_name() const { return server_name_; }  // empty without SNI
  const char* protocol() const { return protocol_; }        // ALPN's choice, or empty
  bool verified() const { return verify_failure_[0] == '\0'; }
  const char* verify_failure() const { return verify_failure_; }

 private:
  enum class State { kClientHello, kServerHandshake, kClientHandshake, kAlerting, kDone, kFailed };

  static int on_client_hello(ssl_st* ssl, int* alert, void* unused);
  static int on_protocol(ssl_st* ssl, const unsigned char** out, unsigned char* out_length,
                         const unsigned char* offer, unsigned offer_length, void* unused);
  static int on_client_certificate(ssl_st* ssl, x509_st** certificate, evp_pkey_st** key);
  static int on_server_session(ssl_st* ssl, ssl_session_st* session);
  friend class Interception;

  int client_hello(ssl_st* ssl, int* alert);
  bool open_server_leg(ssl_st* client_ssl);
  void offer_kept_session(ssl_st* ssl);
  Progress advance_server();
  Progress advance_client();
  void check_server_certificate();
  Progress fail(int which, const char* reason);
  Progress fail_server(const char* reason);

  const Interception& interception_;
  Carrier& client_carrier_;
  Carrier& server_carrier_;
  State state_ = State::kClientHello;
  Session client_;
  Session server_;
  bool certificate_requested_ = false;
  bool session_offered_ = false;
  int failed_leg_ = kClientLeg;
  char server_name_[kNameLimit + 1] = {};
  char protocol_[256] = {};
  char verify_failure_[160] = {};
  char failure_[200] = {};
};

}  // namespace tls
