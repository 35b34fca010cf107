// Owners of OpenSSL's objects: each frees its object with OpenSSL's own
// free function when it goes.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace tls {

template <auto kFree>
struct OpenSslFree {
  template <typename T>
  void operator()(T* object) const {
    kFree(object);
  }
};

inline void free_x509_stack(STACK_OF(X509) * stack) {
  sk_X509_pop_free(stack, X509_free);
}

using X509Owner = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using X509StackOwner = std::unique_ptr<STACK_OF(X509), OpenSslFree<free_x509_stack>>;
using PkeyOwner = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using BioOwner = std::unique_ptr<BIO, OpenSslFree<BIO_free>>;
using BignumOwner = std::unique_ptr<BIGNUM, OpenSslFree<BN_free>>;
using SslOwner = std::unique_ptr<SSL, OpenSslFree<SSL_free>>;
using SslSessionOwner = std::unique_ptr<SSL_SESSION, OpenSslFree<SSL_SESSION_free>>;
using SslContextOwner = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>>;

}  // namespace tls
