#include "traffic_log/tls/tls_watcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

std::string from_hex(const char* hex) {
  std::string bytes;
  for (std::size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2)
    bytes += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
  return bytes;
}

// Real bytes, recorded on loopback by a relay between openssl s_client and
// openssl s_server (OpenSSL 3.0).
// openssl s_client -servername mail.example.com -groups X25519: the ClientHello, a
// ChangeCipherSpec and three application data records.
const std::string kClientStream13 = from_hex(
    "160301012b010001270303d09f379459f24a7a42f66397f662c3c5e4130005672667e3346c11c79637ae1820b78c58481b35"
    "7f642d335fc9ec22f0116cc78a85ce5565f0b58076e1cfd4e645003e130213031301c02cc030009fcca9cca8ccaac02bc02f"
    "009ec024c028006bc023c0270067c00ac0140039c009c0130033009d009c003d003c0035002f00ff010000a0000000150013"
    "0000106d61696c2e6578616d706c652e636f6d000b000403000102000a00040002001d002300000016000000170000000d00"
    "2a0028040305030603080708080809080a080b080408050806040105010601030303010302040205020602002b0009080304"
    "030303020301002d00020101003300260024001d0020dae359e429e24f98b0f918c3c5e65df7c5fdd43f8d67da59d23e458a"
    "16603f4e14030300010117030300451e98904daf37f50cedd58fc77038f046d49ddf00985f4b114c089cfe85d027945f4b29"
    "7b96bd9fc9241ba03ce72def1d8aa82d919a67fac09968a66be8eb1ad4b3a80cff69170303001713dcbb993e1940c18426bc"
    "4f0330d5d76fd9737594913d17030300137186995e46a071c17d0699318ce27ca4cf8d31");

// openssl s_server's answer to it: the ServerHello, a ChangeCipherSpec, the first application data.
const std::string kServerStart13 = from_hex(
    "160303007a020000760303736a1061c96992b5160de7f1c2dd994753ac0f43ff6cc97995887610c1a3794f20b78c58481b35"
    "7f642d335fc9ec22f0116cc78a85ce5565f0b58076e1cfd4e645130200002e002b0002030400330024001d002002c1c5e79f"
    "5231fc01f2e3d32b3f88db50ebb3c6deccbf3818b8043ba5bb19631403030001011703030017f45de24f589040203acca139"
    "fb44d69edfc7ab67366171");

// openssl s_client -tls1_2 -noservername: the ClientHello, the rest of the handshake, close_notify.
const std::string kClientStream12 = from_hex(
    "16030100b7010000b30303cfd9fa96675420206a5411e0c3c680b16989a126664b8e52a64cf3d6a80718d2000038c02cc030"
    "009fcca9cca8ccaac02bc02f009ec024c028006bc023c0270067c00ac0140039c009c0130033009d009c003d003c0035002f"
    "00ff01000052000b000403000102000a000c000a001d0017001e00190018002300000016000000170000000d002a00280403"
    "05030603080708080809080a080b080408050806040105010601030303010302040205020602160303002510000021202ab4"
    "0dd569e853b03e8b08b7a49e06d5cd176d59259b8b0cf256f5bd8a76d57b140303000101160303002862e336212cc3a31b75"
    "54eb5527e7a03a89836471428261761d801c003347b78406163445beda45a6150303001a62e336212cc3a31c0c6875278e1e"
    "dea6b4735dc15122a2f76ddf");

// openssl s_server's ServerHello to it.
const std::string kServerHello12 = from_hex(
    "16030300410200003d0303159eff7ef3e59a51ec74740e835fcf67253c4250c5ee5e8c444f574e4752440100c02c000015ff"
    "01000100000b0004030001020023000000170000");

std::string be16(std::size_t value) {
  return {static_cast<char>(value >> 8 & 0xFF), static_cast<char>(value & 0xFF)};
}

std::string record(unsigned char type, const std::string& body, unsigned version = 0x0303) {
  return static_cast<char>(type) + be16(version) + be16(body.size()) + body;
}

std::string extension(unsigned type, const std::string& data) {
  return be16(type) + be16(data.size()) + data;
}

std::string server_name(const std::string& name) {
  return extension(0, be16(name.size() + 3) + '\0' + be16(name.size()) + name);
}

std::string client_versions(const std::vector<unsigned>& versions) {
  std::string list;
  for (const unsigned version : versions) list += be16(version);
  return extension(43, static_cast<char>(list.size()) + list);
}

// A hello's record; "tail" follows the compression method(s): the
// extensions block, or nothing.
std::string hello(char type, unsigned legacy_version, const std::string& tail) {
  const std::string suites = type == 1 ? be16(2) + be16(0x1301) + "\x01\x00"s : be16(0x1301) + '\0';
  const std::string body = be16(legacy_version) + std::string(32, 'r') + '\0' + suites + tail;
  return record(22, type + "\0"s + be16(body.size()) + body);
}

std::string client_hello(const std::string& extensions, unsigned legacy_version = 0x0303) {
  return hello(1, legacy_version, be16(extensions.size()) + extensions);
}

std::string server_hello(unsigned selected_version) {
  const std::string extensions = extension(43, be16(selected_version));
  return hello(2, 0x0303, be16(extensions.size()) + extensions);
}

// The sink keeps both kinds of text in order; event lines are marked.
struct CollectingSink : LineSink {
  void add_event(const char* text, std::size_t length) override {
    lines.push_back("event: " + std::string(text, length));
  }
  void add_line(const char*, const char* text, std::size_t length) override { lines.emplace_back(text, length); }
  std::vector<std::string> lines;
};

constexpr std::size_t kWhole = std::string::npos;

struct Row {
  const char* name;
  Side side;
  std::string stream;
  std::vector<std::string> lines;
  std::size_t taken = kWhole;  // bytes read as TLS when the stream comes in one read
};

const std::string kClientHello13 = kClientStream13.substr(0, 304);
const std::string kHelloEvent13 =
    "event: TLS from client: ClientHello, server name mail.example.com, offers TLS 1.3, TLS 1.2, TLS 1.1, "
    "TLS 1.0";

std::vector<Row> rows() {
  const std::string versions = client_versions({0x0304, 0x0303});
  const std::string spread = client_hello(server_name("mail.example.com") + versions).substr(5);
  const std::size_t first_part = spread.size() - versions.size();
  const std::string oversized =
      client_hello(extension(21, std::string(16500, '\0')) + server_name("a.example"));
  return {
      {"real TLS 1.3 client",
       Side::kClient,
       kClientStream13,
       {kHelloEvent13, "[TLS handshake, 299 bytes]", "[TLS ChangeCipherSpec, 1 byte]",
        "[TLS application data, 69 bytes]", "[TLS application data, 23 bytes]",
        "[TLS application data, 19 bytes]"}},
      {"real TLS 1.2-only client without a server name",
       Side::kClient,
       kClientStream12,
       {"event: TLS from client: ClientHello, no server name, offers TLS 1.2", "[TLS handshake, 183 bytes]",
        "[TLS handshake, 37 bytes]", "[TLS ChangeCipherSpec, 1 byte]", "[TLS handshake, 40 bytes]",
        "[TLS alert, 26 bytes]"}},
      {"real TLS 1.3 server",
       Side::kServer,
       kServerStart13,
       {"event: TLS from server: ServerHello, version TLS 1.3", "[TLS handshake, 122 bytes]",
        "[TLS ChangeCipherSpec, 1 byte]", "[TLS application data, 23 bytes]"}},
      {"real TLS 1.2 server",
       Side::kServer,
       kServerHello12,
       {"event: TLS from server: ServerHello, version TLS 1.2", "[TLS handshake, 65 bytes]"}},
      {"GREASE left out, unknown versions in hex",
       Side::kClient,
       client_hello(extension(0x3a3a, "") + client_versions({0x1a1a, 0x0304, 0x0a1a, 0x7f1c, 0x0300})),
       {"event: TLS from client: ClientHello, no server name, offers TLS 1.3, 0x0a1a, 0x7f1c, SSL 3.0",
        "[TLS handshake, 66 bytes]"}},
      {"versions past the eighth counted, GREASE not",
       Side::kClient,
       client_hello(client_versions(
           {0x0a0a, 0x0304, 0x0303, 0x0302, 0x0301, 0x0300, 0x7f1c, 0x7f1b, 0x7f1a, 0x7f19, 0x7f18, 0x7f17, 0x7f16})),
       {"event: TLS from client: ClientHello, no server name, offers TLS 1.3, TLS 1.2, TLS 1.1, TLS 1.0, SSL 3.0, "
        "0x7f1c, 0x7f1b, 0x7f1a and 4 more",
        "[TLS handshake, 78 bytes]"}},
      {"TLS 1.3 only",
       Side::kClient,
       client_hello(server_name("a.example") + client_versions({0x0304})),
       {"event: TLS from client: ClientHello, server name a.example, offers TLS 1.3",
        "[TLS handshake, 72 bytes]"}},
      {"no extensions: the legacy version",
       Side::kClient,
       hello(1, 0x0301, ""),
       {"event: TLS from client: ClientHello, no server name, offers TLS 1.0", "[TLS handshake, 45 bytes]"}},
      {"name shown printable and cut at 255",
       Side::kClient,
       client_hello(server_name("a b\x7F" + std::string(300, 'x'))),
       {"event: TLS from client: ClientHello, server name a.b." + std::string(251, 'x') + ", offers TLS 1.2",
        "[TLS handshake, 360 bytes]"}},
      {"hello spread over two records",
       Side::kClient,
       record(22, spread.substr(0, first_part)) + record(22, spread.substr(first_part)),
       {"event: TLS from client: ClientHello, server name mail.example.com", "[TLS handshake, 72 bytes]",
        "[TLS handshake, 9 bytes]"}},
      {"hello record over 16 KiB read as far as 16 KiB",
       Side::kClient,
       oversized,
       {"event: TLS from client: ClientHello",
        "[TLS handshake, " + std::to_string(oversized.size() - 5) + " bytes]"}},
      {"extension longer than the extensions",
       Side::kClient,
       client_hello(server_name("a.example") + be16(23) + be16(0x7000)),
       {"event: TLS from client: ClientHello, server name a.example", "[TLS handshake, 69 bytes]"}},
      {"record holding only the handshake type",
       Side::kClient,
       record(22, "\x01"),
       {"event: TLS from client: ClientHello", "[TLS handshake, 1 byte]"}},
      {"server hello cut short",
       Side::kServer,
       record(22, server_hello(0x0304).substr(5, 44)),
       {"event: TLS from server: ServerHello", "[TLS handshake, 44 bytes]"}},
      {"server version unknown",
       Side::kServer,
       server_hello(0x7f1c),
       {"event: TLS from server: ServerHello, version 0x7f1c", "[TLS handshake, 50 bytes]"}},
      {"heartbeat, then text ends it",
       Side::kClient,
       kClientHello13 + record(24, "abc") + "EHLO x\r\n",
       {kHelloEvent13, "[TLS handshake, 299 bytes]", "[TLS heartbeat, 3 bytes]"},
       312},
      {"empty application data is read",
       Side::kClient,
       kClientHello13 + record(23, "") + record(23, "a"),
       {kHelloEvent13, "[TLS handshake, 299 bytes]", "[TLS application data, 0 bytes]",
        "[TLS application data, 1 byte]"}},
      {"empty alert ends it",
       Side::kClient,
       kClientHello13 + record(21, ""),
       {kHelloEvent13, "[TLS handshake, 299 bytes]"},
       304},
      {"version 3.5 ends it",
       Side::kClient,
       kClientHello13 + record(23, "a", 0x0305),
       {kHelloEvent13, "[TLS handshake, 299 bytes]"},
       304},
      {"record longer than 18432 ends it",
       Side::kClient,
       kClientHello13 + record(23, std::string(18433, 'a')),
       {kHelloEvent13, "[TLS handshake, 299 bytes]"},
       304},
      {"record of 18432 is read",
       Side::kClient,
       kClientHello13 + record(23, std::string(18432, 'a')),
       {kHelloEvent13, "[TLS handshake, 299 bytes]", "[TLS application data, 18432 bytes]"}},
      {"ServerHello seen as the client's", Side::kClient, kServerHello12, {}, 0},
      {"application data first", Side::kClient, record(23, "abc"), {}, 0},
  };
}

struct Outcome {
  std::vector<std::string> lines;
  std::size_t taken = 0;
  bool active = false;
};

// Feeds the stream in reads of piece bytes until one is not taken whole.
Outcome watch(const Row& row, std::size_t piece) {
  TlsWatcher watcher(row.side);
  CollectingSink sink;
  Outcome outcome;
  watcher.start();
  const auto* bytes = reinterpret_cast<const unsigned char*>(row.stream.data());
  for (std::size_t offset = 0; offset < row.stream.size(); offset += piece) {
    const std::size_t length = std::min(piece, row.stream.size() - offset);
    const std::size_t taken = watcher.feed(bytes + offset, length, sink);
    outcome.taken += taken;
    if (taken < length) break;
  }
  outcome.lines = sink.lines;
  outcome.active = watcher.active();
  return outcome;
}

// However the stream is cut into reads, even a header one byte at a time,
// the same lines come out.
TEST(TlsWatcher, StreamTable) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    const std::size_t expected_taken = row.taken == kWhole ? row.stream.size() : row.taken;
    const Outcome whole = watch(row, row.stream.size());
    EXPECT_EQ(whole.lines, row.lines);
    EXPECT_EQ(whole.taken, expected_taken);
    for (const std::size_t piece : {1, 7, 300}) {
      SCOPED_TRACE("reads of " + std::to_string(piece));
      const Outcome split = watch(row, piece);
      EXPECT_EQ(split.lines, row.lines);
      EXPECT_EQ(split.active, expected_taken == row.stream.size());
    }
  }
}

// A header split over reads can be refused only after its first bytes were
// taken: recognition then ends at the start of the read that shows it.
TEST(TlsWatcher, HeaderRefusedInALaterReadEndsAtThatRead) {
  TlsWatcher watcher(Side::kClient);
  CollectingSink sink;
  watcher.start();
  const std::string stream = kClientHello13 + record(21, "");
  const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
  EXPECT_EQ(watcher.feed(bytes, 307, sink), 307u);
  EXPECT_EQ(watcher.feed(bytes + 307, 2, sink), 0u);
  EXPECT_FALSE(watcher.active());
  EXPECT_EQ(watcher.feed(bytes + 307, 2, sink), 0u);
}

// A hello that can be read no further is named at once, not when its record ends.
TEST(TlsWatcher, EventLineComesWhenTheHelloCanBeReadNoFurther) {
  TlsWatcher watcher(Side::kClient);
  CollectingSink sink;
  watcher.start();
  std::string stream = client_hello(server_name("a.example"));
  stream[5 + 4 + 2 + 32] = 33;  // a session id longer than 32
  const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
  EXPECT_EQ(watcher.feed(bytes, 50, sink), 50u);
  EXPECT_EQ(sink.lines,
            (std::vector<std::string>{"event: TLS from client: ClientHello", "[TLS handshake, 65 bytes]"}));
}

// Plain text ends the recognition; a later hello starts it again with a new
// event line, as after STARTTLS.
TEST(TlsWatcher, StartsAgainAfterPlainText) {
  TlsWatcher watcher(Side::kClient);
  CollectingSink sink;
  const std::string stream = kClientHello13 + "EHLO x\r\n";
  const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(watcher.begins_hello(bytes, stream.size()));
    watcher.start();
    EXPECT_EQ(watcher.feed(bytes, stream.size(), sink), 304u);
    EXPECT_FALSE(watcher.active());
  }
  EXPECT_EQ(sink.lines, (std::vector<std::string>{kHelloEvent13, "[TLS handshake, 299 bytes]", kHelloEvent13,
                                                  "[TLS handshake, 299 bytes]"}));
}

TEST(TlsWatcher, BeginsHello) {
  const std::string postgres_ssl_request = "\x00\x00\x00\x08\x04\xd2\x16\x2f"s;
  const std::string sslv2_hello = "\x80\x2e\x01\x03\x01\x00\x15"s;
  const struct {
    const char* name;
    Side side;
    std::string bytes;
    bool begins;
  } cases[] = {
      {"SMTP", Side::kClient, "EHLO x\r\n", false},
      {"HTTP", Side::kClient, "GET / HTTP/1.1\r\nHost: a\r\n\r\n", false},
      {"PostgreSQL SSLRequest", Side::kClient, postgres_ssl_request, false},
      {"SSLv2 hello", Side::kClient, sslv2_hello, false},
      {"real ClientHello", Side::kClient, kClientStream13, true},
      {"real TLS 1.2 ClientHello", Side::kClient, kClientStream12, true},
      {"real ServerHello", Side::kServer, kServerStart13, true},
      {"ClientHello to the server role", Side::kServer, kClientStream13, false},
      {"ServerHello to the client role", Side::kClient, kServerHello12, false},
      {"five bytes of a hello", Side::kClient, kClientStream13.substr(0, 5), false},
      {"six bytes of a hello", Side::kClient, kClientStream13.substr(0, 6), true},
      {"record version 3.5", Side::kClient, record(22, "\x01", 0x0305), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TlsWatcher watcher(c.side);
    EXPECT_EQ(watcher.begins_hello(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size()),
              c.begins);
  }
}

}  // namespace
