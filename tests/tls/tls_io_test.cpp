// TLS interception under the relay, against a wire whose two peers speak
// real TLS (OpenSSL in memory) and whose notifications are edge-triggered as
// epoll's are: a read that stops short while plaintext or ciphertext waits,
// or ciphertext left unsent once the socket has room, stalls a scenario
// here as it would stall a real connection.
#include "relay/tls_io.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "relay/relay_loop.h"
#include "tests/recorded_events.h"
#include "tls/authority.h"
#include "tls/interception.h"

namespace {

constexpr int kClient = RelayIo::kClient;
constexpr int kServer = RelayIo::kServer;
constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

// One socket of the relay, and the peer behind it.
struct Wire {
  std::string unread;             // the peer sent it, the relay has not read it
  bool ended = false;             // its end of stream follows what is unread
  bool reset = false;             // a reset follows what is unread
  std::string received;           // what the relay sent to the peer
  std::size_t taken = 0;          // of it, what the peer's TLS took in
  bool fin = false;               // the relay shut its sending down
  bool rst = false;               // the relay made its close a reset
  std::size_t room = kUnlimited;  // what the peer takes before a send would block
  bool watched = false;
  platform::SocketReadiness recorded;
  int receives = 0;  // the relay's calls, as system calls
  int sends = 0;
};

class WireIo final : public RelayIo {
 public:
  Wire wires[2];

  WaitResult wait(bool, int*) override {
    const bool news = wires[0].recorded.any() || wires[1].recorded.any();
    return news ? WaitResult::kRecorded : WaitResult::kNothing;
  }
  platform::SocketReadiness collect(int which) override { return std::exchange(wires[which].recorded, {}); }
  // Watching a socket that has room reports it at once, as epoll does.
  bool watch_writable(int which, bool watch, int*) override {
    wires[which].watched = watch;
    if (watch && wires[which].room > 0) wires[which].recorded.writable = true;
    return true;
  }
  platform::IoResult receive(int which, char* buffer, std::size_t capacity) override {
    Wire& wire = wires[which];
    ++wire.receives;
    if (!wire.unread.empty()) {
      const std::size_t count = std::min(capacity, wire.unread.size());
      wire.unread.copy(buffer, count);
      wire.unread.erase(0, count);
      return {static_cast<long>(count), 0, false};
    }
    if (wire.reset) return {-1, ECONNRESET, false};
    if (wire.ended) return {0, 0, false};
    return {-1, EAGAIN, true};
  }
  platform::IoResult send(int which, const char* data, std::size_t count) override {
    Wire& wire = wires[which];
    ++wire.sends;
    if (wire.reset) return {-1, EPIPE, false};
    if (wire.room == 0) return {-1, EAGAIN, true};
    const std::size_t sent = std::min(count, wire.room);
    wire.received.append(data, sent);
    if (wire.room != kUnlimited) wire.room -= sent;
    return {static_cast<long>(sent), 0, false};
  }
  void shutdown_sending(int which) override { wires[which].fin = true; }
  bool nothing_to_read(int which) override { return wires[which].unread.empty(); }
  void reset_on_close(int which) override { wires[which].rst = true; }

  // What the peers do: each is one notification, as on a real socket.
  void arrive(int which, const std::string& bytes) {
    wires[which].unread += bytes;
    wires[which].recorded.readable = true;
  }
  void end(int which, bool reset) {
    (reset ? wires[which].reset : wires[which].ended) = true;
    wires[which].recorded = {true, reset, true};
  }
  void give_room(int which, std::size_t room) {
    wires[which].room += room;
    if (wires[which].watched) wires[which].recorded.writable = true;
  }
};

// A peer that speaks TLS over its wire: its handshake goes out at most
// `segment` bytes per turn, then all it has in one arrival, in records of
// at most `piece` bytes; it takes at most `take` bytes per turn.
class TlsPeer final : public tls::Carrier {
 public:
  TlsPeer(SSL_CTX* context, bool server_role) { session.open(context, server_role, nullptr, *this); }

  tls::Session session;
  std::string to_send;       // plaintext, sent once the handshake is done
  std::string got;           // plaintext received
  bool close_after = false;  // close_notify once to_send went out
  bool closed_by_peer = false;
  bool failed = false;
  std::size_t segment = kUnlimited;
  std::size_t piece = kUnlimited;
  std::size_t take = kUnlimited;

  bool sent_all() const { return to_send.empty() && pending_.empty(); }

  void turn(WireIo& io, int which) {
    Wire& wire = io.wires[which];
    if (take != kUnlimited && wire.room == 0) io.give_room(which, take);
    wire_ = &wire;
    const char* at = nullptr;
    for (std::size_t count; drive(), (count = session.output(&at)) > 0;) {
      pending_.append(at, count);
      session.output_sent(count);
    }
    if (!pending_.empty()) {
      const std::size_t count =
          session.handshake_done() ? pending_.size() : std::min(segment, pending_.size());
      io.arrive(which, pending_.substr(0, count));
      pending_.erase(0, count);
    }
    // close_notify alone, as some servers close, keeping their socket open.
    if (close_after && to_send.empty() && pending_.empty() && session.handshake_done() && !ended_) {
      session.close();
      ended_ = true;
    }
  }

  // What the relay sent this peer, as its TLS reads it.
  std::size_t receive(char* buffer, std::size_t capacity) override {
    const std::size_t count = std::min(capacity, wire_->received.size() - wire_->taken);
    wire_->received.copy(buffer, count, wire_->taken);
    wire_->taken += count;
    return count;
  }

 private:
  void drive() {
    if (failed) return;
    if (!session.handshake_done()) {
      const tls::Session::Outcome outcome = session.handshake();
      failed = outcome == tls::Session::Outcome::kFailed;
      if (outcome != tls::Session::Outcome::kDone) return;
    }
    char buffer[4096];
    std::size_t count = 0;
    for (tls::Session::Outcome outcome;
         (outcome = session.read(buffer, sizeof buffer, &count)) != tls::Session::Outcome::kWantInput;) {
      if (outcome == tls::Session::Outcome::kClosed) closed_by_peer = true;
      if (outcome != tls::Session::Outcome::kDone) break;
      got.append(buffer, count);
    }
    while (!to_send.empty()) {
      std::size_t written = 0;
      session.write(to_send.data(), std::min(piece, to_send.size()), &written);
      if (written == 0) break;
      to_send.erase(0, written);
    }
  }

  Wire* wire_ = nullptr;
  std::string pending_;
  bool ended_ = false;
};

// A self-signed certificate for server.test and its key, as PEM.
std::string certificate_pem() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 7);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("server.test"),
                             -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* names = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "DNS:server.test");
  X509_add_ext(certificate, names, -1);
  X509_EXTENSION_free(names);
  X509_sign(certificate, key, EVP_sha256());
  BIO* out = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(out, certificate);
  PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* text = nullptr;
  const long length = BIO_get_mem_data(out, &text);
  std::string pem(text, static_cast<std::size_t>(length));
  BIO_free(out);
  X509_free(certificate);
  EVP_PKEY_free(key);
  return pem;
}

int choose_http(SSL*, const unsigned char** out, unsigned char* out_length, const unsigned char* offer,
                unsigned offer_length, void*) {
  static const unsigned char kHttp[] = "\x08http/1.1";
  unsigned char* chosen = nullptr;
  const int result = SSL_select_next_proto(&chosen, out_length, kHttp, sizeof kHttp - 1, offer, offer_length);
  *out = chosen;
  return result == OPENSSL_NPN_NEGOTIATED ? SSL_TLSEXT_ERR_OK : SSL_TLSEXT_ERR_NOACK;
}

// The certificate for qorvand and the server, the peers' contexts, and
// qorvand's interception made of them.
class TlsIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pem_path_ = std::filesystem::temp_directory_path() /
                ("qorvand-tls-io-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".pem");
    const std::string pem = certificate_pem();
    std::FILE* file = std::fopen(pem_path_.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fwrite(pem.data(), 1, pem.size(), file);
    std::fclose(file);
    std::string error;
    authority_ = tls::CertificateAuthority::load({pem_path_.string()}, &error);
    ASSERT_TRUE(authority_) << error;
    client_context_ = SSL_CTX_new(TLS_client_method());
    static const unsigned char kOffer[] = "\x02h2\x08http/1.1";
    SSL_CTX_set_alpn_protos(client_context_, kOffer, sizeof kOffer - 1);
    server_context_ = SSL_CTX_new(TLS_server_method());
    BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* certificate = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    SSL_CTX_use_certificate(server_context_, certificate);
    SSL_CTX_use_PrivateKey(server_context_, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
    BIO_free(in);
    SSL_CTX_set_alpn_select_cb(server_context_, choose_http, nullptr);
  }
  void TearDown() override {
    SSL_CTX_free(client_context_);
    SSL_CTX_free(server_context_);
    std::filesystem::remove(pem_path_);
  }

  std::unique_ptr<tls::Interception> interception(bool verify) {
    std::string error;
    auto made = tls::Interception::create(*authority_, nullptr, verify, "server.test", &error);
    EXPECT_TRUE(made) << error;
    return made;
  }

  // A client that asks for server.test.
  std::unique_ptr<TlsPeer> client() {
    auto peer = std::make_unique<TlsPeer>(client_context_, false);
    SSL_set_tlsext_host_name(peer->session.ssl(), "server.test");
    return peer;
  }
  std::unique_ptr<TlsPeer> server() { return std::make_unique<TlsPeer>(server_context_, true); }

  std::filesystem::path pem_path_;
  std::unique_ptr<tls::CertificateAuthority> authority_;
  SSL_CTX* client_context_ = nullptr;
  SSL_CTX* server_context_ = nullptr;
};

// The relay over TLS interception over the wire, until it finishes or
// nothing moves any more (bounded).
struct Relay {
  Relay(const tls::Interception& interception)
      : io(wire, interception, events), loop(new RelayLoop(io, events)) {
    loop->start();
  }
  // Each turn: the peers act, then the relay takes one step.
  template <typename Turn>
  void run(Turn turn, int passes = 20000) {
    for (int pass = 0; pass < passes && !loop->finished(); ++pass) {
      turn();
      loop->step();
    }
    if (loop->finished()) loop->finish();
    turn();  // the peers read what the end left them
  }

  RecordedEvents events;
  WireIo wire;
  TlsIo io;
  std::unique_ptr<RelayLoop> loop;  // two 64 KiB buffers: not on the stack
};

std::string text_of(std::size_t size, char seed) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i)
    text += std::string(1, static_cast<char>(seed + i % 20)) + "\r\n";
  text.resize(size);
  return text;
}

bool seen(const std::vector<std::string>& events, const std::string& start) {
  return std::any_of(events.begin(), events.end(),
                     [&](const std::string& event) { return event.starts_with(start); });
}

}  // namespace

// A hello that arrives a few bytes at a time is intercepted once whole; then
// more plaintext than the relay's buffers hold goes both ways to peers that
// take little at a time; the server's close_notify, with no end of stream
// behind it, reaches the client as a close_notify and an end of stream,
// after everything.
TEST_F(TlsIoTest, AHelloInPiecesThenBulkBothWaysThenTheServersClose) {
  const auto made = interception(false);
  Relay relay(*made);
  auto client = this->client();
  auto server = this->server();
  client->segment = 7;
  client->to_send = text_of(200000, 'a');
  client->take = 3000;
  relay.wire.wires[kClient].room = 0;
  server->to_send = text_of(300000, 'A');
  server->close_after = true;
  server->take = 5000;
  relay.wire.wires[kServer].room = 0;
  relay.run([&] {
    client->turn(relay.wire, kClient);
    server->turn(relay.wire, kServer);
    if (client->closed_by_peer && client->sent_all() && !relay.wire.wires[kClient].ended) {
      relay.wire.end(kClient, false);
    }
  });
  EXPECT_TRUE(relay.loop->finished());
  EXPECT_TRUE(server->got == text_of(200000, 'a')) << server->got.size() << " bytes reached the server";
  EXPECT_TRUE(client->got == text_of(300000, 'A')) << client->got.size() << " bytes reached the client";
  EXPECT_TRUE(client->closed_by_peer);
  EXPECT_TRUE(relay.wire.wires[kClient].fin);
  EXPECT_TRUE(server->closed_by_peer);
  ASSERT_FALSE(relay.events.seen.empty());
  EXPECT_EQ(relay.events.seen.front(), "intercepted server.test TLS 1.3");
  EXPECT_TRUE(seen(relay.events.seen, "server closed")) << ::testing::PrintToString(relay.events.seen);
  EXPECT_EQ(relay.events.seen.back(), "closed, unsent 0 to server, 0 to client");
  const unsigned char* protocol = nullptr;
  unsigned length = 0;
  SSL_get0_alpn_selected(client->session.ssl(), &protocol, &length);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(protocol), length), "http/1.1");
  EXPECT_EQ(std::string(SSL_get_servername(server->session.ssl(), TLSEXT_NAMETYPE_host_name)), "server.test");
}

// Records that arrive together are received together, and the records made
// of one read go out together: about one receive and one send for each
// 64 KiB of plaintext, not one of each per record. Small records fill a
// receive before they fill the relay's room: the read goes on receiving.
TEST_F(TlsIoTest, RecordsAreReceivedAndSentSeveralAtATime) {
  const auto made = interception(false);
  // The largest records, then small ones (1.4 MB on the wire).
  const std::pair<std::size_t, int> cases[] = {{kUnlimited, 24}, {64, 30}};
  for (const auto& [piece, most_calls] : cases) {
    Relay relay(*made);
    auto client = this->client();
    auto server = this->server();
    client->piece = piece;
    const std::string text = text_of(1024 * 1024, 'a');
    client->to_send = text;
    relay.run(
        [&] {
          client->turn(relay.wire, kClient);
          server->turn(relay.wire, kServer);
        },
        200);
    EXPECT_TRUE(server->got == text) << server->got.size() << " bytes reached the server";
    // One for each 64 KiB, and the handshake's.
    EXPECT_LE(relay.wire.wires[kClient].receives, most_calls) << piece;
    EXPECT_LE(relay.wire.wires[kServer].sends, most_calls) << piece;
  }
}

// Bytes that begin like a record and are no hello go on as they are, in
// the read that shows they are none: the held ones first.
TEST_F(TlsIoTest, BytesThatOnlyLookLikeAHelloAreRelayedAsTheyAre) {
  const auto made = interception(false);
  const std::vector<std::vector<std::string>> cases = {
      {std::string("\x16\x03\x01hello world\r\n")},
      {std::string("\x16\x03", 2), std::string("\x01\x00\x30", 3), std::string("\x02 a ServerHello\r\n")},
  };
  for (const std::vector<std::string>& pieces : cases) {
    Relay relay(*made);
    std::size_t next = 0;
    relay.run(
        [&] {
          if (next < pieces.size()) relay.wire.arrive(kClient, pieces[next++]);
        },
        50);
    std::string all;
    for (const std::string& piece : pieces) all += piece;
    EXPECT_EQ(relay.wire.wires[kServer].received, all);
    EXPECT_EQ(relay.events.seen, std::vector<std::string>{"client sent " + all});
  }
}

// With --verify a server whose certificate is not trusted ends the
// connection: the client gets an alert, the log says why, both get resets.
// A reset after the interception stays a reset.
TEST_F(TlsIoTest, AnUntrustedServerWithVerifyAndAResetAfterTheInterception) {
  {
    const auto made = interception(true);
    Relay relay(*made);
    auto client = this->client();
    auto server = this->server();
    relay.run(
        [&] {
          client->turn(relay.wire, kClient);
          server->turn(relay.wire, kServer);
        },
        2000);
    EXPECT_TRUE(client->failed);
    EXPECT_EQ(relay.events.seen.front(),
              "server handshake failed: server certificate not verified: self-signed certificate");
    EXPECT_TRUE(relay.wire.wires[kClient].rst);
    EXPECT_TRUE(relay.wire.wires[kServer].rst);
  }
  const auto made = interception(false);
  Relay relay(*made);
  auto client = this->client();
  auto server = this->server();
  client->to_send = "HELO a\r\n";
  relay.run(
      [&] {
        client->turn(relay.wire, kClient);
        server->turn(relay.wire, kServer);
        if (server->got == "HELO a\r\n" && !relay.wire.wires[kClient].reset) relay.wire.end(kClient, true);
      },
      2000);
  EXPECT_EQ(relay.events.seen, (std::vector<std::string>{"intercepted server.test TLS 1.3",
                                                         "client sent HELO a\r\n", "client closed, all read",
                                                         "client read failed " + std::to_string(ECONNRESET),
                                                         "client failed, reset passed on",
                                                         "closed, unsent 0 to server, 0 to client"}));
  EXPECT_TRUE(relay.wire.wires[kServer].rst);
}
