// The certificates shown to intercepted clients, checked as a client would:
// OpenSSL's own verification against the CA, for the name asked for; and
// the key log of both sides of a handshake.
#include "tls/authority.h"
#include "tls/keylog.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tls/openssl_owners.h"

namespace {

namespace fs = std::filesystem;
using tls::CertificateAuthority;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
}

tls::X509Owner first_certificate(const std::string& text) {
  const tls::BioOwner source(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  return tls::X509Owner(PEM_read_bio_X509(source.get(), nullptr, nullptr, nullptr));
}

// Material made by the openssl tool, apart from the code under test: a root
// CA, and a server certificate it signed, which is no CA.
class Authority : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = fs::temp_directory_path() / ("qorvand-authority-test-" + std::to_string(::getpid()));
    fs::create_directories(folder_);
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    const std::string script =
        "cd '" + folder_.string() + "' && (openssl req -x509" + ec +
        " -days 2 -subj '/CN=qorvand test root' -keyout root.key -out root.pem && openssl req -new" + ec +
        " -subj '/CN=server.test' -keyout server.key -out server.csr && openssl x509 -req -in server.csr"
        " -CA root.pem -CAkey root.key -days 2 -out server.pem && openssl pkey -in server.key -aes256"
        " -passout pass:secret -out server-encrypted.key) >/dev/null 2>&1";
    ASSERT_EQ(std::system(script.c_str()), 0) << script;
  }
  static void TearDownTestSuite() { fs::remove_all(folder_); }

  static std::string pem(const char* name) { return read_file(folder_ / name); }
  // A --cert file of the given contents.
  static std::string cert_file(const std::string& name, const std::string& contents) {
    write_file(folder_ / name, contents);
    return (folder_ / name).string();
  }
  static tls::X509Owner root() { return first_certificate(pem("root.pem")); }

  static fs::path folder_;
};
fs::path Authority::folder_;

std::unique_ptr<CertificateAuthority> load(const std::string& path) {
  std::string error;
  auto authority = CertificateAuthority::load({.cert_path = path}, &error);
  EXPECT_NE(authority, nullptr) << error;
  return authority;
}

// What a server-role SSL was given: its certificate, and the chain after it.
struct Presented {
  tls::SslContextOwner context{SSL_CTX_new(TLS_server_method())};
  tls::SslOwner ssl{SSL_new(context.get())};
  X509* certificate() const { return SSL_get_certificate(ssl.get()); }
  STACK_OF(X509) * chain() const {
    STACK_OF(X509)* chain = nullptr;
    SSL_get0_chain_certs(ssl.get(), &chain);
    return chain;
  }
};

// Whether a client that trusts trusted alone accepts what was presented,
// for the name (a host name or an IP address) and for a TLS server.
bool verifies(const Presented& presented, X509* trusted, const std::string& name, bool is_address) {
  X509_STORE* store = X509_STORE_new();
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  X509_STORE_add_cert(store, trusted);
  X509_STORE_CTX_init(context, store, presented.certificate(), presented.chain());
  X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context);
  X509_VERIFY_PARAM_set_purpose(parameters, X509_PURPOSE_SSL_SERVER);
  if (is_address) {
    X509_VERIFY_PARAM_set1_ip_asc(parameters, name.c_str());
  } else {
    X509_VERIFY_PARAM_set1_host(parameters, name.c_str(), 0);
  }
  const bool verified = X509_verify_cert(context) == 1;
  if (!verified) ADD_FAILURE() << X509_verify_cert_error_string(X509_STORE_CTX_get_error(context));
  X509_STORE_CTX_free(context);
  X509_STORE_free(store);
  return verified;
}

}  // namespace

TEST_F(Authority, ACaSignsALeafForEachNameAndOtherCertificatesArePresentedAsTheyAre) {
  const std::string ca = cert_file("ca.pem", pem("root.key") + pem("root.pem"));  // any order
  const std::string fixed = cert_file("fixed.pem", pem("server.pem") + pem("root.pem") + pem("server.key"));
  struct Case {
    const std::string& path;
    std::string asked;     // the server name
    std::string verified;  // the name a client checks
    bool is_address;
  };
  const Case cases[] = {
      {ca, "mail.example.test", "mail.example.test", false},
      {ca, "MX1.Example.TEST", "mx1.example.test", false},
      {ca, "127.0.0.1", "127.0.0.1", true},
      {ca, "[::1]", "::1", true},
      {ca, std::string(70, 'a') + ".test", std::string(70, 'a') + ".test", false},  // too long for a CN
      {fixed, "whatever.example", "server.test", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.asked);
    const auto authority = load(c.path);
    ASSERT_NE(authority, nullptr);
    Presented presented;
    std::string error;
    ASSERT_TRUE(authority->present_for(presented.ssl.get(), c.asked, &error)) << error;
    EXPECT_TRUE(verifies(presented, root().get(), c.verified, c.is_address));
    if (&c.path == &fixed) {
      // The server's own certificate, byte for byte, and the rest of its file as the chain.
      EXPECT_EQ(X509_cmp(presented.certificate(), first_certificate(pem("server.pem")).get()), 0);
      ASSERT_EQ(sk_X509_num(presented.chain()), 1);
      EXPECT_EQ(X509_cmp(sk_X509_value(presented.chain(), 0), root().get()), 0);
      EXPECT_NE(authority->describe().find("presenting the certificate in " + c.path + " as it is, SHA-256 "),
                std::string::npos);
      continue;
    }
    // Short-lived and from a little before now.
    EXPECT_LT(X509_cmp_time(X509_get0_notBefore(presented.certificate()), nullptr), 0);
    int days = 0, seconds = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(presented.certificate()),
                             X509_get0_notAfter(presented.certificate())), 1);
    EXPECT_LE(days, 2);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(presented.certificate())), 256);
  }
}

TEST_F(Authority, ALeafIsMintedOncePerNameWhateverThreadAsks) {
  const auto authority = load(cert_file("ca.pem", pem("root.pem") + pem("root.key")));
  ASSERT_NE(authority, nullptr);
  const std::vector<std::string> names = {"a.test", "b.test", "10.0.0.1"};
  constexpr int kThreads = 4;
  std::vector<std::vector<X509*>> seen(kThreads);
  std::vector<Presented> presented(kThreads * names.size());
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      for (std::size_t at = 0; at < names.size(); ++at) {
        const Presented& mine = presented[thread * names.size() + at];
        std::string error;
        EXPECT_TRUE(authority->present_for(mine.ssl.get(), names[at], &error)) << error;
        seen[thread].push_back(mine.certificate());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int thread = 0; thread < kThreads; ++thread) EXPECT_EQ(seen[thread], seen[0]);
  EXPECT_NE(seen[0][0], seen[0][1]);
  Presented again;
  std::string error;
  ASSERT_TRUE(authority->present_for(again.ssl.get(), "A.test", &error)) << error;
  EXPECT_EQ(again.certificate(), seen[0][0]);
  EXPECT_FALSE(authority->present_for(again.ssl.get(), "bad name!", &error));
  EXPECT_EQ(error, "Can't make a certificate for the server name bad name!: not a host name");
}

TEST_F(Authority, FilesThatCannotServeAreRefusedWithTheReason) {
  const std::string root_pem = pem("root.pem");
  std::string broken = root_pem;
  broken.replace(broken.find('\n') + 10, 4, "!!!!");
  const std::string missing = (folder_ / "missing.pem").string();
  const std::pair<std::string, std::string> cases[] = {
      {cert_file("text.pem", "hello\n"), " holds no certificate"},
      {cert_file("cert-only.pem", root_pem), " holds no private key"},
      {cert_file("other-key.pem", pem("server.pem") + pem("root.key")), " does not belong to its first certificate"},
      {cert_file("broken.pem", broken + pem("root.key")), ": bad base64 decode"},
      {cert_file("encrypted.pem", pem("server.pem") + pem("server-encrypted.key")), " is encrypted"},
  };
  for (const auto& [path, reason] : cases) {
    SCOPED_TRACE(path);
    std::string error;
    EXPECT_EQ(CertificateAuthority::load({.cert_path = path}, &error), nullptr);
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
  std::string error;
  EXPECT_EQ(CertificateAuthority::load({.cert_path = missing}, &error), nullptr);
  EXPECT_EQ(error, "Can't read " + missing + ": No such file or directory");
}

TEST_F(Authority, TheDefaultCaIsMadeOnceForItsOwnerAndKeptAcrossRuns) {
  const fs::path before = fs::current_path();
  const fs::path run_folder = folder_ / "run";
  fs::create_directories(run_folder);
  fs::current_path(run_folder);
  const fs::path ca_file = run_folder / tls::kDefaultCaPath;
  std::string error;

  const auto first = CertificateAuthority::load({}, &error);
  ASSERT_NE(first, nullptr) << error;
  EXPECT_EQ(fs::status(ca_file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  const std::string line = first->describe();
  const std::string created = "TLS: signing with the CA in qorvand-ca.pem (created now), SHA-256 fingerprint ";
  ASSERT_EQ(line.substr(0, created.size()), created);
  const std::string fingerprint = line.substr(created.size());
  EXPECT_EQ(fingerprint.size(), 32 * 3 - 1);

  // Reused: the same CA, and leaves a client that trusts it accepts.
  const auto second = CertificateAuthority::load({}, &error);
  ASSERT_NE(second, nullptr) << error;
  EXPECT_EQ(second->describe(), "TLS: signing with the CA in qorvand-ca.pem, SHA-256 fingerprint " + fingerprint);
  Presented presented;
  ASSERT_TRUE(second->present_for(presented.ssl.get(), "smtp.example.test", &error)) << error;
  EXPECT_TRUE(verifies(presented, first_certificate(read_file(ca_file)).get(), "smtp.example.test", false));

  const std::string open = "qorvand-ca.pem holds the CA's private key, and others may read or write it: "
                           "chmod 600 qorvand-ca.pem, or delete it to make a new CA";
  for (const fs::perms extra : {fs::perms::group_read, fs::perms::others_read, fs::perms::others_write}) {
    fs::permissions(ca_file, fs::perms::owner_read | fs::perms::owner_write | extra);
    EXPECT_EQ(CertificateAuthority::load({}, &error), nullptr);
    EXPECT_EQ(error, open);
  }
  fs::remove(ca_file);
  write_file(ca_file, pem("server.pem") + pem("server.key"));
  EXPECT_EQ(CertificateAuthority::load({}, &error), nullptr);
  EXPECT_EQ(error, "qorvand-ca.pem holds no CA certificate: delete it to make a new CA");
  fs::current_path(before);
}

// A handshake in memory: a client that trusts the root alone and checks the
// name, a server shown the leaf the root's key signed for it; both sides'
// contexts write their secrets to one key log, after a line it held before.
TEST_F(Authority, AHandshakeWithAMintedLeafVerifiesAndBothSidesSecretsAreLogged) {
  const auto authority = load(cert_file("ca.pem", pem("root.pem") + pem("root.key")));
  ASSERT_NE(authority, nullptr);
  const fs::path keys = folder_ / "keys.log";
  write_file(keys, "an earlier line\n");
  std::string error;
  const auto key_log = tls::KeyLog::open(keys.string(), &error);
  ASSERT_NE(key_log, nullptr) << error;

  const tls::SslContextOwner server_context(SSL_CTX_new(TLS_server_method()));
  const tls::SslContextOwner client_context(SSL_CTX_new(TLS_client_method()));
  key_log->install(server_context.get());
  key_log->install(client_context.get());
  X509_STORE_add_cert(SSL_CTX_get_cert_store(client_context.get()), root().get());
  SSL_CTX_set_verify(client_context.get(), SSL_VERIFY_PEER, nullptr);
  const tls::SslOwner server(SSL_new(server_context.get()));
  const tls::SslOwner client(SSL_new(client_context.get()));
  ASSERT_TRUE(authority->present_for(server.get(), "mail.example.test", &error)) << error;
  SSL_set_tlsext_host_name(client.get(), "mail.example.test");
  SSL_set1_host(client.get(), "mail.example.test");
  BIO* client_end = nullptr;
  BIO* server_end = nullptr;
  ASSERT_EQ(BIO_new_bio_pair(&client_end, 0, &server_end, 0), 1);
  SSL_set_bio(client.get(), client_end, client_end);
  SSL_set_bio(server.get(), server_end, server_end);
  SSL_set_connect_state(client.get());
  SSL_set_accept_state(server.get());
  for (int round = 0; round < 10 && !(SSL_is_init_finished(client.get()) && SSL_is_init_finished(server.get()));
       ++round) {
    SSL_do_handshake(client.get());
    SSL_do_handshake(server.get());
  }
  ASSERT_TRUE(SSL_is_init_finished(client.get()) && SSL_is_init_finished(server.get()));
  EXPECT_EQ(SSL_get_verify_result(client.get()), X509_V_OK);

  // Each secret once from each side, for the one client random of the session.
  std::istringstream lines(read_file(keys));
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "an earlier line");
  std::map<std::string, int> labels;
  std::string client_random;
  while (std::getline(lines, line)) {
    // LABEL CLIENT_RANDOM SECRET: 32 bytes of client random, a secret of at least 32, in lower-case hex.
    std::istringstream fields(line);
    std::string label, random, secret, rest;
    ASSERT_TRUE(fields >> label >> random >> secret && !(fields >> rest)) << line;
    EXPECT_TRUE(random.size() == 64 && secret.size() >= 64 && secret.size() % 2 == 0) << line;
    EXPECT_EQ((random + secret).find_first_not_of("0123456789abcdef"), std::string::npos) << line;
    ++labels[label];
    if (client_random.empty()) client_random = random;
    EXPECT_EQ(random, client_random);
  }
  EXPECT_EQ(labels, (std::map<std::string, int>{{"CLIENT_HANDSHAKE_TRAFFIC_SECRET", 2},
                                                {"SERVER_HANDSHAKE_TRAFFIC_SECRET", 2},
                                                {"CLIENT_TRAFFIC_SECRET_0", 2},
                                                {"SERVER_TRAFFIC_SECRET_0", 2},
                                                {"EXPORTER_SECRET", 2}}));
}

TEST_F(Authority, AKeyLogIsItsOwnersAloneAndKeepsLinesWholeAcrossThreads) {
  const fs::path keys = folder_ / "new-keys.log";
  std::string error;
  const auto key_log = tls::KeyLog::open(keys.string(), &error);
  ASSERT_NE(key_log, nullptr) << error;
  EXPECT_EQ(fs::status(keys).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      for (int line = 0; line < kLines; ++line) key_log->append(std::string(300, static_cast<char>('a' + thread)));
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::istringstream lines(read_file(keys));
  std::map<char, int> counted;
  for (std::string line; std::getline(lines, line);) {
    ASSERT_EQ(line, std::string(300, line[0]));
    ++counted[line[0]];
  }
  EXPECT_EQ(counted, (std::map<char, int>{{'a', kLines}, {'b', kLines}, {'c', kLines}, {'d', kLines}}));
  EXPECT_EQ(tls::KeyLog::open((folder_ / "missing" / "keys.log").string(), &error), nullptr);
  EXPECT_EQ(error, "Can't open key log file " + (folder_ / "missing" / "keys.log").string() +
                       ": No such file or directory");
}
