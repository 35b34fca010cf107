// The certificates qorvand shows to the clients whose TLS it intercepts:
// leaves it mints for each server name, signed by a CA (the user's, or its
// own kept in qorvand-ca.pem), or one fixed certificate presented as it is.
#pragma once

#include <memory>
#include <string>

// OpenSSL's own declarations of these types, so that the layers above can
// hold an authority without including OpenSSL's headers.
typedef struct ssl_st SSL;

namespace tls {

// The CA qorvand makes and keeps when no --cert is given, in the working
// folder.
inline constexpr const char* kDefaultCaPath = "qorvand-ca.pem";

// What start-up read from the command line.
struct AuthorityOptions {
  std::string cert_path;  // --cert; empty: the default CA, kDefaultCaPath
};

// Thread-safe: event loops call present_for concurrently.
class CertificateAuthority {
 public:
  // Loads --cert (PEM: a certificate, its chain and its key, in any order;
  // the first certificate is the one presented, or the CA when it is one)
  // or the default CA (created at first use, mode 0600, refused when others
  // may read or write it). Empty with *error set (a sentence for standard
  // error) when it cannot.
  static std::unique_ptr<CertificateAuthority> load(const AuthorityOptions& options, std::string* error);
  ~CertificateAuthority();
  CertificateAuthority(const CertificateAuthority&) = delete;
  CertificateAuthority& operator=(const CertificateAuthority&) = delete;

  // A line for standard error at start: what is presented, from which file,
  // and the SHA-256 fingerprint of that certificate (the CA's, or the fixed
  // one's) as `openssl x509 -fingerprint -sha256` shows it.
  std::string describe() const;

  // Sets the certificate, key and chain on a server-role SSL for a client
  // that asked for server_name (SNI; the caller passes the target's host
  // name or address when the client sent none): a leaf for that name, minted
  // once and cached, signed by the CA; or the fixed certificate as it is.
  // False with *error set when it cannot (a name no certificate can hold).
  bool present_for(SSL* ssl, const std::string& server_name, std::string* error) const;

 private:
  struct State;
  explicit CertificateAuthority(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace tls
