// STAND-IN: see tls/authority.h.
#include "tls/authority.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace tls {
namespace {

bool make_default(const std::string& path) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* san =
      X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1,DNS:mail.example.test");
  X509_add_ext(cert, san, -1);
  X509_EXTENSION_free(san);
  X509_sign(cert, key, EVP_sha256());
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  PEM_write_X509(file, cert);
  PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(file);
  X509_free(cert);
  EVP_PKEY_free(key);
  return true;
}

}  // namespace

std::unique_ptr<CertificateAuthority> CertificateAuthority::load(const AuthorityOptions& options,
                                                                 std::string* error) {
  std::string path = options.cert_path.empty() ? "qorvand-ca.pem" : options.cert_path;
  std::FILE* probe = std::fopen(path.c_str(), "r");
  if (probe == nullptr && options.cert_path.empty() && make_default(path)) probe = std::fopen(path.c_str(), "r");
  if (probe == nullptr) {
    *error = "Can't read " + path;
    return nullptr;
  }
  auto authority = std::make_unique<CertificateAuthority>();
  authority->path_ = path;
  authority->certificate_ = PEM_read_X509(probe, nullptr, nullptr, nullptr);
  authority->chain_ = sk_X509_new_null();
  while (X509* more = PEM_read_X509(probe, nullptr, nullptr, nullptr)) sk_X509_push(authority->chain_, more);
  std::fclose(probe);
  probe = std::fopen(path.c_str(), "r");
  authority->key_ = PEM_read_PrivateKey(probe, nullptr, nullptr, nullptr);
  std::fclose(probe);
  if (authority->certificate_ == nullptr || authority->key_ == nullptr) {
    *error = "No certificate and key in " + path;
    return nullptr;
  }
  return authority;
}

CertificateAuthority::~CertificateAuthority() {
  X509_free(certificate_);
  sk_X509_pop_free(chain_, X509_free);
  EVP_PKEY_free(key_);
}

std::string CertificateAuthority::describe() const {
  return "TLS certificate: " + path_;
}

bool CertificateAuthority::present_for(SSL* ssl, const std::string&, std::string* error) const {
  if (SSL_use_certificate(ssl, certificate_) == 1 && SSL_use_PrivateKey(ssl, key_) == 1 &&
      SSL_set1_chain(ssl, chain_) == 1)
    return true;
  *error = "the certificate could not be set";
  return false;
}

}  // namespace tls
