#include "traffic_log/tls/hello_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "traffic_log/tls/tls_cursor.h"

namespace {

using Bytes = TlsCursor::Bytes;

constexpr std::uint32_t kServerNameExtension = 0;
constexpr std::uint32_t kSupportedVersionsExtension = 43;
constexpr std::uint32_t kHostName = 0;
constexpr std::uint32_t kMaxSessionId = 32;
constexpr std::size_t kNameShown = 255;    // a longer host name is shown cut
constexpr std::size_t kVersionsShown = 8;  // the rest are counted: a hello may offer 127

// What a hello showed of itself, as bytes of its buffer. A field not read
// has no data (an empty list read has).
struct HelloFacts {
  bool whole = false;  // read to its end
  Bytes legacy_version;
  Bytes name;      // the first host name
  Bytes versions;  // supported_versions: the versions the client offers, the one the server chose
};

void read_server_names(TlsCursor& extension, HelloFacts& facts) {
  TlsCursor list = extension.open_field(2);
  while (!list.at_end()) {
    const std::uint32_t type = list.read_u8();
    const Bytes name = list.read_bytes(list.read_u16());
    if (type == kHostName && facts.name.empty()) facts.name = name;
  }
  extension.skip_to_end();
}

// A list cut short is not shown (no data), not even one met before it.
void read_versions(Side side, TlsCursor& extension, HelloFacts& facts) {
  const std::uint32_t size = side == Side::kClient ? extension.read_u8() : 2;
  if (size % 2 != 0) extension.mark_broken();
  facts.versions = extension.read_bytes(size);
  extension.skip_to_end();
}

void read_extensions(Side side, TlsCursor& hello, HelloFacts& facts) {
  TlsCursor extensions = hello.open_field(2);
  while (!extensions.at_end()) {
    const std::uint32_t type = extensions.read_u16();
    TlsCursor extension = extensions.open_field(2);
    // Not read past a length that failed: supported_versions would clear the versions read.
    if (extension.stopped()) return;
    if (type == kServerNameExtension && side == Side::kClient) {
      read_server_names(extension, facts);
    } else if (type == kSupportedVersionsExtension) {
      read_versions(side, extension, facts);
    } else {
      extension.skip_to_end();
    }
  }
}

void read_hello_fields(Side side, TlsCursor& hello, HelloFacts& facts) {
  facts.legacy_version = hello.read_bytes(2);
  hello.skip_bytes(32);  // the random
  const std::uint32_t session_id = hello.read_u8();
  if (session_id > kMaxSessionId) hello.mark_broken();
  hello.skip_bytes(session_id);
  if (side == Side::kClient) {
    hello.open_field(2).skip_to_end();  // the cipher suites
    hello.open_field(1).skip_to_end();  // the compression methods
  } else {
    hello.skip_bytes(3);  // the cipher suite and compression method chosen
  }
  // Extensions are optional: the hello may end here.
  if (!hello.at_end()) read_extensions(side, hello, facts);
}

// The hello's length is not bounded by its record's: the hello may go on in
// the next record, of which nothing is read (its bytes are not at hand).
HelloFacts read_hello(Side side, const unsigned char* body, std::size_t buffered, TlsCursor::Stop& stop) {
  HelloFacts facts;
  TlsCursor record(body, SIZE_MAX, buffered, stop);
  TlsCursor hello = record.open_field(3);
  read_hello_fields(side, hello, facts);
  facts.whole = !stop.any();
  return facts;
}

void add_version_name(std::string& line, std::uint32_t version) {
  static constexpr const char* kNames[] = {"SSL 3.0", "TLS 1.0", "TLS 1.1", "TLS 1.2", "TLS 1.3"};
  char hex[sizeof "0xffff"];
  std::snprintf(hex, sizeof hex, "0x%04x", static_cast<unsigned>(version));
  line += version >= 0x0300 && version <= 0x0304 ? kNames[version - 0x0300] : hex;
}

// The client's GREASE values (reserved versions that keep servers tolerant
// of unknown ones) are left out.
void add_version_list(std::string& line, Side side, Bytes versions) {
  std::size_t shown = 0;
  std::size_t more = 0;
  for (std::size_t i = 0; i + 1 < versions.size(); i += 2) {
    const std::uint32_t version = static_cast<std::uint32_t>(versions[i]) << 8 | versions[i + 1];
    const bool grease = (version & 0x0F0F) == 0x0A0A && (version >> 8) == (version & 0xFF);
    if (grease && side == Side::kClient) continue;
    if (shown == kVersionsShown) {
      ++more;
      continue;
    }
    line += shown++ > 0 ? ", " : side == Side::kClient ? ", offers " : ", version ";
    add_version_name(line, version);
  }
  if (more > 0) line += " and " + std::to_string(more) + " more";
}

// Without every extension read, a missing server name or supported_versions
// extension may just not have been reached: the legacy version and "no
// server name" are shown only for a hello read to its end.
std::string event_line(Side side, const HelloFacts& facts) {
  const bool client = side == Side::kClient;
  std::string line = client ? "TLS from client: ClientHello" : "TLS from server: ServerHello";
  if (!facts.name.empty()) {
    line += ", server name ";
    for (const unsigned char byte : facts.name.first(std::min(facts.name.size(), kNameShown)))
      line += byte >= 0x21 && byte <= 0x7E ? static_cast<char>(byte) : '.';
  } else if (client && facts.whole) {
    line += ", no server name";
  }
  if (facts.versions.data() != nullptr) {
    add_version_list(line, side, facts.versions);
  } else if (facts.whole) {
    add_version_list(line, side, facts.legacy_version);
  }
  return line;
}

}  // namespace

std::size_t log_hello_once_read(Side side, const unsigned char* body, std::size_t length,
                                std::size_t buffered, LineSink& sink) {
  TlsCursor::Stop stop;
  const HelloFacts facts = read_hello(side, body, buffered, stop);
  if (stop.missing > 0 && buffered < length) return stop.missing;
  const std::string line = event_line(side, facts);
  sink.add_event(line.data(), line.size());
  return 0;
}
