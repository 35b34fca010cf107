#include "tls/authority.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "platform/private_file.h"
#include "platform/process.h"
#include "tls/openssl_owners.h"

namespace tls {
namespace {

// A leaf is valid from an hour before it was minted, for clients whose clock
// is behind, until a day after; a cached one is minted again after half a
// day, so that a long run never presents one close to its end.
constexpr long kClockSkewSeconds = 60 * 60;
constexpr long kLeafLifetimeSeconds = 24 * 60 * 60;
constexpr std::int64_t kLeafReuseMicroseconds = std::int64_t{12} * 60 * 60 * 1000000;
// The default CA is trusted by hand in test clients: it lasts ten years.
constexpr long kCaLifetimeSeconds = 10L * 365 * 24 * 60 * 60;
// Names asked for beyond this many get leaves that are not kept: a client
// that sends ever new names cannot make the cache grow without end.
constexpr std::size_t kMostCachedLeaves = 4096;
// The longest common name a certificate holds; longer names are in the
// subjectAltName alone.
constexpr std::size_t kMostCommonNameLength = 64;
constexpr std::size_t kMostDnsNameLength = 253;

// Never asks for a password: an encrypted key is refused, not prompted for.
int no_password(char*, int, int, void*) {
  return -1;
}

// The earliest error OpenSSL queued on this thread, as its short reason;
// the queue is left empty for the next OpenSSL call on this thread.
std::string openssl_reason() {
  const unsigned long code = ERR_get_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return reason != nullptr ? reason : "unknown error";
}

bool fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

// What one PEM file holds: its certificates in order, and its key.
struct PemContents {
  std::vector<X509Owner> certificates;
  PkeyOwner key;
};

bool read_certificates(const std::string& text, const std::string& path, PemContents* contents,
                       std::string* error) {
  const BioOwner source(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (!source) return fail(error, "Can't read " + path + ": " + openssl_reason());
  while (X509* certificate = PEM_read_bio_X509(source.get(), nullptr, no_password, nullptr)) {
    contents->certificates.emplace_back(certificate);
  }
  // The read that found no more certificates says why: the end, or a broken one.
  const unsigned long last = ERR_peek_last_error();
  if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) {
    ERR_clear_error();
  } else {
    return fail(error, "Can't read the certificates in " + path + ": " + openssl_reason());
  }
  if (contents->certificates.empty()) return fail(error, path + " holds no certificate");
  return true;
}

// A file without a key fails as a read that found no key in a form it
// knows; an encrypted one fails for want of a password, never asked for.
bool read_key(const std::string& text, const std::string& path, PemContents* contents, std::string* error) {
  const BioOwner source(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (!source) return fail(error, "Can't read " + path + ": " + openssl_reason());
  contents->key.reset(PEM_read_bio_PrivateKey(source.get(), nullptr, no_password, nullptr));
  if (contents->key) return true;
  const unsigned long last = ERR_peek_last_error();
  const int reason = ERR_GET_REASON(last);
  if (ERR_GET_LIB(last) == ERR_LIB_PEM && reason == PEM_R_BAD_PASSWORD_READ) {
    ERR_clear_error();
    return fail(error, "The private key in " + path + " is encrypted, which qorvand cannot use: decrypt it with "
                       "openssl pkey");
  }
  if (reason == ERR_R_UNSUPPORTED || (ERR_GET_LIB(last) == ERR_LIB_PEM && reason == PEM_R_NO_START_LINE)) {
    ERR_clear_error();
    return fail(error, path + " holds no private key");
  }
  return fail(error, "Can't read the private key in " + path + ": " + openssl_reason());
}

bool read_pem(const std::string& text, const std::string& path, PemContents* contents, std::string* error) {
  if (!read_certificates(text, path, contents, error) || !read_key(text, path, contents, error)) return false;
  if (X509_check_private_key(contents->certificates.front().get(), contents->key.get()) == 1) return true;
  ERR_clear_error();
  return fail(error, "The private key in " + path + " does not belong to its first certificate");
}

bool is_ca(X509* certificate) {
  return (X509_get_extension_flags(certificate) & EXFLAG_CA) != 0;
}

// "AB:CD:...", as openssl x509 -fingerprint -sha256 shows it.
std::string sha256_fingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return "(unknown: " + openssl_reason() + ")";
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int at = 0; at < length; ++at) {
    if (at > 0) text += ':';
    text += kHex[digest[at] >> 4];
    text += kHex[digest[at] & 0x0F];
  }
  return text;
}

// --- Making certificates -------------------------------------------------

bool set_random_serial(X509* certificate) {
  const BignumOwner number(BN_new());
  // 127 random bits with the top one set: positive, never zero, unique.
  return number && BN_rand(number.get(), 127, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) == 1 &&
         BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate)) != nullptr;
}

bool set_validity(X509* certificate, long lifetime_seconds) {
  return X509_gmtime_adj(X509_getm_notBefore(certificate), -kClockSkewSeconds) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(certificate), lifetime_seconds) != nullptr;
}

bool add_name_entry(X509_NAME* name, const char* field, const std::string& value) {
  return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.data()),
                                    static_cast<int>(value.size()), -1, 0) == 1;
}

// An extension in OpenSSL's configuration syntax; issuer is the certificate
// itself for a self-signed one.
bool add_extension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// The digest a key signs with: SHA-256, or none for the keys that take none
// (Ed25519, Ed448).
const EVP_MD* signing_digest(EVP_PKEY* key) {
  int nid = NID_undef;
  return EVP_PKEY_get_default_digest_nid(key, &nid) == 2 && nid == NID_undef ? nullptr : EVP_sha256();
}

bool sign(X509* certificate, EVP_PKEY* issuer_key) {
  return X509_sign(certificate, issuer_key, signing_digest(issuer_key)) > 0;
}

std::string random_hex(int bytes) {
  std::vector<unsigned char> random(static_cast<std::size_t>(bytes));
  if (RAND_bytes(random.data(), bytes) != 1) ERR_clear_error();
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : random) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
  }
  return text;
}

// A new CA: ECDSA P-256, self-signed, for signing leaves alone. Its name
// carries a random part, so that CAs made on different machines or folders
// tell apart in a trust store.
bool make_ca(PemContents* made, std::string* error) {
  made->key.reset(EVP_EC_gen("P-256"));
  X509Owner ca(X509_new());
  X509* certificate = ca.get();
  X509_NAME* name = certificate != nullptr ? X509_get_subject_name(certificate) : nullptr;
  const bool built = made->key && certificate != nullptr && X509_set_version(certificate, X509_VERSION_3) == 1 &&
                     set_random_serial(certificate) && set_validity(certificate, kCaLifetimeSeconds) &&
                     add_name_entry(name, "O", "qorvand") &&
                     add_name_entry(name, "CN", "qorvand interception CA " + random_hex(4)) &&
                     X509_set_issuer_name(certificate, name) == 1 &&
                     X509_set_pubkey(certificate, made->key.get()) == 1 &&
                     add_extension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE") &&
                     add_extension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                     add_extension(certificate, certificate, NID_subject_key_identifier, "hash") &&
                     sign(certificate, made->key.get());
  if (!built) return fail(error, "Can't make a CA: " + openssl_reason());
  made->certificates.push_back(std::move(ca));
  return true;
}

std::string pem_text(const PemContents& contents, std::string* error) {
  const BioOwner sink(BIO_new(BIO_s_mem()));
  if (!sink || PEM_write_bio_X509(sink.get(), contents.certificates.front().get()) != 1 ||
      PEM_write_bio_PrivateKey(sink.get(), contents.key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    *error = "Can't write the CA: " + openssl_reason();
    return {};
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(sink.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

// --- The names leaves are made for --------------------------------------

// A name as a leaf holds it: an IP address (brackets and a zone taken off),
// or a DNS name in lower case.
struct LeafName {
  std::string text;
  bool is_address = false;
};

bool is_dns_name(const std::string& name) {
  if (name.empty() || name.size() > kMostDnsNameLength) return false;
  for (unsigned char c : name) {
    if (!std::isalnum(c) && c != '-' && c != '.' && c != '_') return false;
  }
  return true;
}

bool leaf_name_of(const std::string& asked, LeafName* name) {
  std::string text = asked;
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  const std::string address = text.substr(0, text.find('%'));
  if (ASN1_OCTET_STRING* parsed = a2i_IPADDRESS(address.c_str())) {
    ASN1_OCTET_STRING_free(parsed);
    *name = LeafName{address, true};
    return true;
  }
  ERR_clear_error();
  if (!is_dns_name(text)) return false;
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  *name = LeafName{text, false};
  return true;
}

bool add_subject_alt_name(X509* leaf, const LeafName& name) {
  GENERAL_NAMES* names = GENERAL_NAMES_new();
  GENERAL_NAME* entry = GENERAL_NAME_new();
  ASN1_STRING* value = name.is_address ? a2i_IPADDRESS(name.text.c_str()) : ASN1_IA5STRING_new();
  bool added = names != nullptr && entry != nullptr && value != nullptr &&
               (name.is_address ||
                ASN1_STRING_set(value, name.text.data(), static_cast<int>(name.text.size())) == 1);
  if (added) {
    GENERAL_NAME_set0_value(entry, name.is_address ? GEN_IPADD : GEN_DNS, value);
    value = nullptr;
    added = sk_GENERAL_NAME_push(names, entry) > 0;
    if (added) entry = nullptr;
  }
  added = added && X509_add1_ext_i2d(leaf, NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT) == 1;
  ASN1_STRING_free(value);
  GENERAL_NAME_free(entry);
  GENERAL_NAMES_free(names);
  return added;
}

}  // namespace

// --- The authority --------------------------------------------------------

struct CertificateAuthority::State {
  std::string path;
  bool created = false;  // the default CA, made by this run
  X509Owner certificate;  // the CA, or the one presented as it is
  PkeyOwner key;
  // What follows the presented certificate: after a minted leaf, the CA and
  // the rest of its file; after the fixed one, the rest of its file.
  X509StackOwner chain;
  // Every minted leaf's key: one per run, so a new name costs a signature only.
  PkeyOwner leaf_key;

  struct CachedLeaf {
    std::shared_ptr<X509> certificate;
    std::int64_t minted_at;  // monotonic microseconds
  };
  mutable std::mutex cache_lock;
  mutable std::map<std::string, CachedLeaf> cache;

  bool mints() const { return leaf_key != nullptr; }
  bool mint(const LeafName& name, std::shared_ptr<X509>* leaf, std::string* error) const;
  bool leaf_for(const std::string& server_name, std::shared_ptr<X509>* leaf, std::string* error) const;
};

bool CertificateAuthority::State::mint(const LeafName& name, std::shared_ptr<X509>* leaf,
                                       std::string* error) const {
  X509Owner made(X509_new());
  X509* minted = made.get();
  X509* ca = certificate.get();
  X509_NAME* subject = minted != nullptr ? X509_get_subject_name(minted) : nullptr;
  const bool built =
      minted != nullptr && X509_set_version(minted, X509_VERSION_3) == 1 && set_random_serial(minted) &&
      set_validity(minted, kLeafLifetimeSeconds) && add_name_entry(subject, "O", "qorvand") &&
      (name.text.size() > kMostCommonNameLength || add_name_entry(subject, "CN", name.text)) &&
      X509_set_issuer_name(minted, X509_get_subject_name(ca)) == 1 && X509_set_pubkey(minted, leaf_key.get()) == 1 &&
      add_extension(minted, ca, NID_basic_constraints, "critical,CA:FALSE") &&
      add_extension(minted, ca, NID_key_usage, "critical,digitalSignature") &&
      add_extension(minted, ca, NID_ext_key_usage, "serverAuth") &&
      add_extension(minted, ca, NID_subject_key_identifier, "hash") &&
      add_extension(minted, ca, NID_authority_key_identifier, "keyid") && add_subject_alt_name(minted, name) &&
      sign(minted, key.get());
  if (!built) return fail(error, "Can't make a certificate for " + name.text + ": " + openssl_reason());
  leaf->reset(made.release(), X509_free);
  return true;
}

bool CertificateAuthority::State::leaf_for(const std::string& server_name, std::shared_ptr<X509>* leaf,
                                           std::string* error) const {
  LeafName name;
  if (!leaf_name_of(server_name, &name)) {
    return fail(error, "Can't make a certificate for the server name " + server_name + ": not a host name");
  }
  const std::int64_t now = platform::monotonic_microseconds();
  {
    const std::lock_guard<std::mutex> guard(cache_lock);
    const auto found = cache.find(name.text);
    if (found != cache.end() && now - found->second.minted_at < kLeafReuseMicroseconds) {
      *leaf = found->second.certificate;
      return true;
    }
  }
  // Minted outside the lock: other threads' names do not wait for this one.
  // When two threads mint the same name at once, the first one kept wins.
  if (!mint(name, leaf, error)) return false;
  const std::lock_guard<std::mutex> guard(cache_lock);
  auto found = cache.find(name.text);
  if (found != cache.end() && now - found->second.minted_at < kLeafReuseMicroseconds) {
    *leaf = found->second.certificate;
  } else if (found != cache.end()) {
    found->second = CachedLeaf{*leaf, now};
  } else if (cache.size() < kMostCachedLeaves) {
    cache.emplace(name.text, CachedLeaf{*leaf, now});
  }
  return true;
}

namespace {

std::string path_error(const std::string& what, int code) {
  return what + ": " + platform::error_reason(code);
}

bool read_cert_file(const std::string& path, PemContents* contents, std::string* error) {
  std::string text;
  bool open_to_others = false;
  int code = 0;
  if (!platform::read_whole_file(path.c_str(), &text, &open_to_others, &code)) {
    return fail(error, path_error("Can't read " + path, code));
  }
  return read_pem(text, path, contents, error);
}

bool push(STACK_OF(X509) * stack, X509Owner certificate) {
  if (sk_X509_push(stack, certificate.get()) <= 0) return false;
  certificate.release();
  return true;
}

// The default CA as a run before this one left it. *code is ENOENT when
// there is none yet.
bool read_default_ca(PemContents* contents, int* code, std::string* error) {
  const std::string path = kDefaultCaPath;
  std::string text;
  bool open_to_others = false;
  if (!platform::read_whole_file(kDefaultCaPath, &text, &open_to_others, code)) {
    return fail(error, path_error("Can't read " + path, *code));
  }
  if (open_to_others) {
    return fail(error, path + " holds the CA's private key, and others may read or write it: chmod 600 " + path +
                           ", or delete it to make a new CA");
  }
  if (!read_pem(text, path, contents, error)) return false;
  if (is_ca(contents->certificates.front().get())) return true;
  return fail(error, path + " holds no CA certificate: delete it to make a new CA");
}

// The default CA: the one kept in the working folder, or a new one made and
// kept there, for its owner alone.
bool load_default_ca(PemContents* contents, bool* created, std::string* error) {
  int code = 0;
  if (read_default_ca(contents, &code, error)) return true;
  if (code != ENOENT) return false;
  if (!make_ca(contents, error)) return false;
  const std::string pem = pem_text(*contents, error);
  if (pem.empty()) return false;
  if (platform::create_private_file(kDefaultCaPath, pem.data(), pem.size(), &code)) {
    *created = true;
    return true;
  }
  if (code != EEXIST) return fail(error, path_error(std::string("Can't create ") + kDefaultCaPath, code));
  // Another qorvand made one at the same moment: that one is kept.
  *contents = PemContents{};
  return read_default_ca(contents, &code, error);
}

}  // namespace

std::unique_ptr<CertificateAuthority> CertificateAuthority::load(const AuthorityOptions& options,
                                                                 std::string* error) {
  auto state = std::make_unique<State>();
  PemContents contents;
  const bool is_default = options.cert_path.empty();
  state->path = is_default ? kDefaultCaPath : options.cert_path;
  if (!(is_default ? load_default_ca(&contents, &state->created, error)
                   : read_cert_file(state->path, &contents, error))) {
    return nullptr;
  }
  state->certificate = std::move(contents.certificates.front());
  state->key = std::move(contents.key);
  state->chain.reset(sk_X509_new_null());
  bool built = state->chain != nullptr;
  if (built && is_ca(state->certificate.get())) {
    state->leaf_key.reset(EVP_EC_gen("P-256"));
    built = state->leaf_key && X509_up_ref(state->certificate.get()) == 1 &&
            push(state->chain.get(), X509Owner(state->certificate.get()));
  }
  for (std::size_t at = 1; built && at < contents.certificates.size(); ++at) {
    built = push(state->chain.get(), std::move(contents.certificates[at]));
  }
  if (!built) {
    *error = "Can't prepare the certificates of " + state->path + ": " + openssl_reason();
    return nullptr;
  }
  return std::unique_ptr<CertificateAuthority>(new CertificateAuthority(std::move(state)));
}

CertificateAuthority::CertificateAuthority(std::unique_ptr<State> state) : state_(std::move(state)) {}
CertificateAuthority::~CertificateAuthority() = default;

std::string CertificateAuthority::describe() const {
  const std::string fingerprint = "SHA-256 fingerprint " + sha256_fingerprint(state_->certificate.get());
  if (!state_->mints()) return "TLS: presenting the certificate in " + state_->path + " as it is, " + fingerprint;
  return "TLS: signing with the CA in " + state_->path + (state_->created ? " (created now), " : ", ") +
         fingerprint;
}

bool CertificateAuthority::present_for(SSL* ssl, const std::string& server_name, std::string* error) const {
  std::shared_ptr<X509> leaf;
  if (state_->mints() && !state_->leaf_for(server_name, &leaf, error)) return false;
  X509* presented = state_->mints() ? leaf.get() : state_->certificate.get();
  EVP_PKEY* key = state_->mints() ? state_->leaf_key.get() : state_->key.get();
  if (SSL_use_certificate(ssl, presented) == 1 && SSL_use_PrivateKey(ssl, key) == 1 &&
      SSL_set1_chain(ssl, state_->chain.get()) == 1) {
    return true;
  }
  return fail(error, "Can't present a certificate for " + server_name + ": " + openssl_reason());
}

}  // namespace tls
