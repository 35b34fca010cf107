// Whether a client's bytes are a whole ClientHello, table-driven over hellos
// built field by field: held while they may become one (in any number of
// reads), given up at the first byte that contradicts one.
#include "tls/client_hello.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tls::HelloVerdict;

std::string u16(std::size_t value) {
  return {static_cast<char>(value >> 8 & 0xFF), static_cast<char>(value & 0xFF)};
}
std::string u24(std::size_t value) {
  return static_cast<char>(value >> 16 & 0xFF) + u16(value);
}

// The fields of a ClientHello message, each to be spoilt by a row.
struct HelloFields {
  std::string version = "\x03\x03";
  std::size_t session_id_length = 32;
  std::string cipher_suites = std::string("\x13\x01\x13\x02", 4);
  std::string compressions = std::string("\x01\x00", 2);
  // server_name "mx.example" and a padding extension of the given size
  std::size_t padding = 40;
  std::size_t extensions_length_error = 0;  // added to the extensions' total length
};

std::string message(const HelloFields& f) {
  const std::string name = "mx.example";
  std::string extensions =
      u16(0) + u16(name.size() + 5) + u16(name.size() + 3) + '\0' + u16(name.size()) + name;
  extensions += u16(21) + u16(f.padding) + std::string(f.padding, '\0');
  std::string body = f.version + std::string(32, 'r') + static_cast<char>(f.session_id_length) +
                     std::string(f.session_id_length, 's') + u16(f.cipher_suites.size()) + f.cipher_suites +
                     f.compressions + u16(extensions.size() + f.extensions_length_error) + extensions;
  return '\x01' + u24(body.size()) + body;
}

std::string record(const std::string& fragment, const std::string& header = "\x16\x03\x01") {
  return header + u16(fragment.size()) + fragment;
}

// The message cut into records of at most `size` bytes.
std::string records(const std::string& whole, std::size_t size) {
  std::string out;
  for (std::size_t at = 0; at < whole.size(); at += size) out += record(whole.substr(at, size));
  return out;
}

struct Row {
  const char* name;
  std::string bytes;
  HelloVerdict verdict;
  std::size_t length = 0;  // kClientHello: the hello's bytes
};

std::vector<Row> rows() {
  const std::string hello = record(message({}));
  const std::string big = message({.padding = 6000});
  HelloFields long_session;
  long_session.session_id_length = 33;
  HelloFields odd_suites;
  odd_suites.cipher_suites = std::string("\x13\x01\x13", 3);
  HelloFields no_compression;
  no_compression.compressions = std::string("\x00", 1);
  HelloFields version_2;
  version_2.version = "\x02\x00";
  HelloFields short_extensions;
  short_extensions.extensions_length_error = static_cast<std::size_t>(-1);
  std::string other_message = message({});
  other_message[0] = '\x02';  // a ServerHello
  const std::string two_messages = record(message({}) + std::string("\x0b\x00\x00\x00", 4));
  return {
      {"a whole hello in one read", hello, HelloVerdict::kClientHello, hello.size()},
      {"a hello and the bytes behind it", hello + "early", HelloVerdict::kClientHello, hello.size()},
      {"a hello of several KB", record(big), HelloVerdict::kClientHello, big.size() + 5},
      {"a hello cut into records", records(message({}), 50), HelloVerdict::kClientHello,
       records(message({}), 50).size()},
      {"a record header alone", hello.substr(0, 5), HelloVerdict::kIncomplete},
      {"plaintext that begins with 16 03 01", "\x16\x03\x01hello world\r\n", HelloVerdict::kNotClientHello},
      {"an application data record", record(message({}), "\x17\x03\x03"), HelloVerdict::kNotClientHello},
      {"record version 3.5", record(message({}), "\x16\x03\x05"), HelloVerdict::kNotClientHello},
      {"record version 3.0", record(message({}), "\x16\x03\x00"), HelloVerdict::kNotClientHello},
      {"an empty record", std::string("\x16\x03\x01\x00\x00", 5), HelloVerdict::kNotClientHello},
      {"a record longer than 16 KiB and 256", std::string("\x16\x03\x01\x41\x01", 5),
       HelloVerdict::kNotClientHello},
      {"a ServerHello", record(other_message), HelloVerdict::kNotClientHello},
      {"a record that holds another message behind the hello", two_messages, HelloVerdict::kNotClientHello},
      {"a hello cut into records, then another kind of record",
       record(message({}).substr(0, 20)) + "\x17\x03\x03", HelloVerdict::kNotClientHello},
      {"a session id of 33 bytes", record(message(long_session)), HelloVerdict::kNotClientHello},
      {"an odd length of cipher suites", record(message(odd_suites)), HelloVerdict::kNotClientHello},
      {"no compression method", record(message(no_compression)), HelloVerdict::kNotClientHello},
      {"legacy version 2.0", record(message(version_2)), HelloVerdict::kNotClientHello},
      {"extensions shorter than their length says", record(message(short_extensions)),
       HelloVerdict::kNotClientHello},
  };
}

HelloVerdict verdict_of(const std::string& bytes) {
  return tls::inspect_client_hello(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())
      .verdict;
}

}  // namespace

TEST(ClientHelloTable, Verdicts) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    const tls::HelloInspection seen =
        tls::inspect_client_hello(reinterpret_cast<const unsigned char*>(row.bytes.data()), row.bytes.size());
    EXPECT_EQ(seen.verdict, row.verdict);
    if (row.verdict == HelloVerdict::kClientHello) {
      EXPECT_EQ(seen.length, row.length);
    }
  }
}

// A hello split anywhere, in one record or several, is held at every cut
// until its last byte; a contradiction is seen at the first byte that is
// wrong, however little came before it.
TEST(ClientHelloTable, EveryCutOfAHelloIsHeldAndEveryWrongByteIsSeenAtOnce) {
  for (const std::string& whole : {record(message({})), records(message({}), 20)}) {
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
      ASSERT_EQ(verdict_of(whole.substr(0, cut)), HelloVerdict::kIncomplete) << "cut at " << cut;
    }
  }
  const std::string plaintext = "\x16\x03\x01hello world\r\n";
  EXPECT_EQ(verdict_of(plaintext.substr(0, 3)), HelloVerdict::kIncomplete);
  EXPECT_EQ(verdict_of(plaintext.substr(0, 4)), HelloVerdict::kNotClientHello);
}
