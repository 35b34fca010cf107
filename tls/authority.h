// STAND-IN until the certificate authority lands: presents one certificate
// for every name, the one of --cert or a self-signed one for localhost kept
// in qorvand-ca.pem. The real class mints a leaf per name.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace tls {

struct AuthorityOptions {
  std::string cert_path;  // empty: the default qorvand-ca.pem in the working folder
};

class CertificateAuthority {
 public:
  static std::unique_ptr<CertificateAuthority> load(const AuthorityOptions& options, std::string* error);
  ~CertificateAuthority();
  std::string describe() const;
  bool present_for(SSL* ssl, const std::string& server_name, std::string* error) const;

 private:
  X509* certificate_ = nullptr;
  STACK_OF(X509)* chain_ = nullptr;
  EVP_PKEY* key_ = nullptr;
  std::string path_;
};

class KeyLog {
 public:
  static std::unique_ptr<KeyLog> open(const std::string& path, std::string* error);
  ~KeyLog();
  void install(SSL_CTX* context);

 private:
  static void write_line(const SSL* ssl, const char* line);
  std::FILE* file_ = nullptr;
};

}  // namespace tls
