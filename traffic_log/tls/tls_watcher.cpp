#include "traffic_log/tls/tls_watcher.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr unsigned char kChangeCipherSpec = 20;
constexpr unsigned char kHeartbeat = 24;
constexpr unsigned char kHandshake = 22;
constexpr unsigned char kClientHello = 1;
constexpr unsigned char kServerHello = 2;
constexpr unsigned char kVersionMajor = 3;
constexpr unsigned char kHighestMinor = 4;  // TLS 1.3
// 2^14 bytes of plaintext and the 2048 that protection may add to them.
constexpr unsigned kMaxRecordLength = 16384 + 2048;

constexpr std::uint16_t kServerNameExtension = 0;
constexpr std::uint16_t kSupportedVersionsExtension = 43;
constexpr std::uint8_t kHostName = 0;
constexpr std::uint32_t kMaxSessionId = 32;
constexpr std::uint32_t kMaxFieldSize = 0xFFFF;

// A hello may offer up to 127 versions: the event line shows the first
// ones and counts the rest, so that it stays a readable line.
constexpr std::size_t kVersionsShown = 8;
// The longest event line: its fixed words, a full host name, the versions
// shown at their longest name and the count of the rest.
constexpr std::size_t kEventCapacity = sizeof "TLS from client: ClientHello, server name , offers " +
                                       TlsHelloReader::kNameLimit + kVersionsShown * sizeof "TLS 1.3, " +
                                       sizeof " and 127 more";

bool is_grease(std::uint16_t version) {
  return (version & 0x0F0F) == 0x0A0A && (version >> 8) == (version & 0xFF);
}

char shown(unsigned char byte) {
  return byte >= 0x21 && byte <= 0x7E ? static_cast<char>(byte) : '.';
}

// Whether header[index] fits a record header; header[0..index-1] passed
// already. Index 5 is the handshake type behind the first record's header.
bool plausible_header_byte(const unsigned char* header, std::size_t index, bool first, Side side) {
  const unsigned char byte = header[index];
  switch (index) {
    case 0:
      return first ? byte == kHandshake : byte >= kChangeCipherSpec && byte <= kHeartbeat;
    case 1:
      return byte == kVersionMajor;
    case 2:
      return byte <= kHighestMinor;
    case 3:
      return byte <= (kMaxRecordLength >> 8);
    case 4: {
      const unsigned length = static_cast<unsigned>(header[3]) << 8 | byte;
      return length >= 1 && length <= kMaxRecordLength;
    }
    default:
      return byte == (side == Side::kClient ? kClientHello : kServerHello);
  }
}

}  // namespace

// The event line being written. Its capacity holds the longest line, so a
// line is always whole.
class TlsHelloReader::Text {
 public:
  void add(const char* text) { add(text, std::strlen(text)); }
  void add(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length && length_ < kEventCapacity; ++i) text_[length_++] = text[i];
  }

  void add_version(std::uint16_t version) {
    static constexpr const char* kNames[] = {"SSL 3.0", "TLS 1.0", "TLS 1.1", "TLS 1.2", "TLS 1.3"};
    if (version >> 8 == kVersionMajor && (version & 0xFF) <= kHighestMinor) {
      add(kNames[version & 0xFF]);
      return;
    }
    char hex[sizeof "0xffff"];
    std::snprintf(hex, sizeof hex, "0x%04x", static_cast<unsigned>(version));
    add(hex);
  }

  void add_versions(const char* lead, const std::uint16_t* versions, std::size_t count) {
    if (count == 0) return;
    add(lead);
    const std::size_t shown = count < kVersionsShown ? count : kVersionsShown;
    for (std::size_t i = 0; i < shown; ++i) {
      if (i > 0) add(", ");
      add_version(versions[i]);
    }
    if (count == shown) return;
    char more[sizeof " and  more" + std::numeric_limits<std::size_t>::digits10 + 1];
    std::snprintf(more, sizeof more, " and %zu more", count - shown);
    add(more);
  }

  void send(LineSink& sink) const { sink.add_event(text_, length_); }

 private:
  char text_[kEventCapacity];
  std::size_t length_ = 0;
};

void TlsHelloReader::reset() {
  *this = TlsHelloReader(side_);
}

void TlsHelloReader::take(const unsigned char* data, std::size_t n) {
  for (std::size_t i = 0; i < n && !finished(); ++i) {
    take_byte(data[i]);
    ++position_;
    --field_left_;
    // Empty fields (a session id of length 0) are passed at once.
    while (field_left_ == 0 && !finished()) complete_field();
  }
}

void TlsHelloReader::take_byte(unsigned char byte) {
  value_ = value_ << 8 | byte;
  if (field_ == Field::kName) {
    if (name_type_ == kHostName && !has_name_ && name_length_ < kNameLimit)
      name_[name_length_++] = shown(byte);
  } else if (field_ == Field::kVersionList && field_left_ % 2 == 1) {
    // The list's length is even: an odd count left means a version's second byte.
    const auto version = static_cast<std::uint16_t>(value_ & 0xFFFF);
    if (!is_grease(version) && offered_count_ < kVersionLimit) offered_[offered_count_++] = version;
  }
}

std::uint32_t TlsHelloReader::end_of(Field field) const {
  switch (field) {
    case Field::kExtensionType:
    case Field::kExtensionLength:
      return extensions_end_;
    case Field::kExtensionRest:
    case Field::kServerNameListLength:
    case Field::kVersionListLength:
    case Field::kSelectedVersion:
      return extension_end_;
    case Field::kNameType:
    case Field::kNameLength:
    case Field::kName:
    case Field::kVersionList:
      return list_end_;
    default:
      return hello_end_;
  }
}

// A field must lie within the structure that holds it; one that does not
// ends the reading.
void TlsHelloReader::begin(Field field, std::uint32_t size) {
  const std::uint32_t end = end_of(field);
  if (size > kMaxFieldSize || end < position_ || size > end - position_) {
    field_ = Field::kFailed;
    return;
  }
  field_ = field;
  field_left_ = static_cast<std::uint16_t>(size);
  value_ = 0;
}

void TlsHelloReader::next_extension() {
  if (position_ == extensions_end_) {
    field_ = Field::kDone;
  } else {
    begin(Field::kExtensionType, 2);
  }
}

void TlsHelloReader::next_name() {
  if (position_ == list_end_) {
    begin(Field::kExtensionRest, extension_end_ - position_);
  } else {
    begin(Field::kNameType, 1);
  }
}

void TlsHelloReader::begin_extension_body() {
  const bool client = side_ == Side::kClient;
  if (extension_type_ == kServerNameExtension && client) {
    begin(Field::kServerNameListLength, 2);
  } else if (extension_type_ == kSupportedVersionsExtension) {
    // A list cut short is not shown, not even one met before it.
    versions_from_extension_ = false;
    offered_count_ = 0;
    begin(client ? Field::kVersionListLength : Field::kSelectedVersion, client ? 1 : 2);
  } else {
    begin(Field::kExtensionRest, extension_end_ - position_);
  }
}

void TlsHelloReader::complete_field() {
  const bool client = side_ == Side::kClient;
  switch (field_) {
    case Field::kHelloLength:
      hello_end_ = position_ + value_;
      begin(Field::kLegacyVersion, 2);
      break;
    case Field::kLegacyVersion:
      legacy_version_ = static_cast<std::uint16_t>(value_);
      begin(Field::kRandom, 32);
      break;
    case Field::kRandom:
      begin(Field::kSessionIdLength, 1);
      break;
    case Field::kSessionIdLength:
      if (value_ > kMaxSessionId) {
        field_ = Field::kFailed;
      } else {
        begin(Field::kSessionId, value_);
      }
      break;
    case Field::kSessionId:
      begin(client ? Field::kCipherSuitesLength : Field::kCipherSuite, 2);
      break;
    case Field::kCipherSuitesLength:
      begin(Field::kCipherSuites, value_);
      break;
    case Field::kCipherSuites:
      begin(Field::kCompressionsLength, 1);
      break;
    case Field::kCompressionsLength:
      begin(Field::kCompressions, value_);
      break;
    case Field::kCipherSuite:
      begin(Field::kCompression, 1);
      break;
    case Field::kCompressions:
    case Field::kCompression:
      // Extensions are optional: the hello may end here.
      if (position_ == hello_end_) {
        field_ = Field::kDone;
      } else {
        begin(Field::kExtensionsLength, 2);
      }
      break;
    case Field::kExtensionsLength:
      if (value_ > hello_end_ - position_) {
        field_ = Field::kFailed;
      } else {
        extensions_end_ = position_ + value_;
        next_extension();
      }
      break;
    case Field::kExtensionType:
      extension_type_ = static_cast<std::uint16_t>(value_);
      begin(Field::kExtensionLength, 2);
      break;
    case Field::kExtensionLength:
      if (value_ > extensions_end_ - position_) {
        field_ = Field::kFailed;
      } else {
        extension_end_ = position_ + value_;
        begin_extension_body();
      }
      break;
    case Field::kExtensionRest:
      next_extension();
      break;
    case Field::kServerNameListLength:
      if (value_ > extension_end_ - position_) {
        field_ = Field::kFailed;
      } else {
        list_end_ = position_ + value_;
        next_name();
      }
      break;
    case Field::kNameType:
      name_type_ = static_cast<std::uint8_t>(value_);
      begin(Field::kNameLength, 2);
      break;
    case Field::kNameLength:
      if (!has_name_) name_length_ = 0;
      begin(Field::kName, value_);
      break;
    case Field::kName:
      if (name_type_ == kHostName && name_length_ > 0) has_name_ = true;
      next_name();
      break;
    case Field::kVersionListLength:
      if (value_ % 2 != 0 || value_ > extension_end_ - position_) {
        field_ = Field::kFailed;
      } else {
        list_end_ = position_ + value_;
        begin(Field::kVersionList, value_);
      }
      break;
    case Field::kVersionList:
      versions_from_extension_ = true;
      begin(Field::kExtensionRest, extension_end_ - position_);
      break;
    case Field::kSelectedVersion:
      selected_version_ = static_cast<std::uint16_t>(value_);
      versions_from_extension_ = true;
      begin(Field::kExtensionRest, extension_end_ - position_);
      break;
    case Field::kDone:
    case Field::kFailed:
      break;
  }
}

// Without every extension read, a missing server name or supported_versions
// extension may just not have been reached: the legacy version and "no
// server name" are shown only for a hello read to its end.
void TlsHelloReader::describe_client(Text& text) const {
  const bool read_whole = field_ == Field::kDone;
  text.add("TLS from client: ClientHello");
  if (has_name_) {
    text.add(", server name ");
    text.add(name_, name_length_);
  } else if (read_whole) {
    text.add(", no server name");
  }
  if (versions_from_extension_) {
    text.add_versions(", offers ", offered_, offered_count_);
  } else if (read_whole && !is_grease(legacy_version_)) {
    text.add_versions(", offers ", &legacy_version_, 1);
  }
}

void TlsHelloReader::describe_server(Text& text) const {
  text.add("TLS from server: ServerHello");
  if (versions_from_extension_) {
    text.add_versions(", version ", &selected_version_, 1);
  } else if (field_ == Field::kDone) {
    text.add_versions(", version ", &legacy_version_, 1);
  }
}

void TlsHelloReader::log_event(LineSink& sink) const {
  Text text;
  if (side_ == Side::kClient) {
    describe_client(text);
  } else {
    describe_server(text);
  }
  text.send(sink);
}

bool TlsWatcher::begins_hello(const unsigned char* data, std::size_t n) const {
  if (n < kHelloHeaderSize) return false;
  for (std::size_t index = 0; index < kHelloHeaderSize; ++index)
    if (!plausible_header_byte(data, index, true, side_)) return false;
  return true;
}

void TlsWatcher::start() {
  active_ = true;
  hello_state_ = HelloState::kAwaitingHeader;
  header_length_ = 0;
  record_left_ = 0;
  hello_.reset();
}

std::size_t TlsWatcher::feed(const unsigned char* data, std::size_t n, LineSink& sink) {
  if (!active_) return 0;
  std::size_t taken = 0;
  while (taken < n) {
    if (record_left_ > 0) {
      taken += take_body(data + taken, n - taken, sink);
    } else if (take_header_byte(data[taken], sink)) {
      ++taken;
    } else {
      // Header bytes of an earlier read were taken already.
      active_ = false;
      return taken >= header_length_ ? taken - header_length_ : 0;
    }
  }
  return n;
}

bool TlsWatcher::take_header_byte(unsigned char byte, LineSink& sink) {
  const bool first = hello_state_ == HelloState::kAwaitingHeader;
  header_[header_length_] = byte;
  if (!plausible_header_byte(header_, header_length_, first, side_)) return false;
  ++header_length_;
  if (header_length_ < (first ? kHelloHeaderSize : kHeaderSize)) return true;

  header_length_ = 0;
  const unsigned length = static_cast<unsigned>(header_[3]) << 8 | header_[4];
  record_left_ = static_cast<std::uint16_t>(first ? length - 1 : length);
  if (!first) {
    log_record(sink);
  } else {
    hello_state_ = HelloState::kReading;
    if (record_left_ == 0) log_hello(sink);
  }
  return true;
}

std::size_t TlsWatcher::take_body(const unsigned char* data, std::size_t n, LineSink& sink) {
  const std::size_t count = n < record_left_ ? n : record_left_;
  record_left_ = static_cast<std::uint16_t>(record_left_ - count);
  if (hello_state_ == HelloState::kReading) {
    hello_.take(data, count);
    if (hello_.finished() || record_left_ == 0) log_hello(sink);
  }
  return count;
}

// The hello record's own line follows its event line, however late the
// event line comes.
void TlsWatcher::log_hello(LineSink& sink) {
  hello_.log_event(sink);
  log_record(sink);
  hello_state_ = HelloState::kLogged;
}

void TlsWatcher::log_record(LineSink& sink) const {
  static constexpr const char* kTypeNames[] = {"ChangeCipherSpec", "alert", "handshake", "application data",
                                               "heartbeat"};
  const unsigned record_length = static_cast<unsigned>(header_[3]) << 8 | header_[4];
  char line[sizeof "[TLS ChangeCipherSpec, 18432 bytes]"];
  const int written =
      std::snprintf(line, sizeof line, "[TLS %s, %u %s]", kTypeNames[header_[0] - kChangeCipherSpec],
                    record_length, record_length == 1 ? "byte" : "bytes");
  if (written <= 0) return;
  const auto length_written = static_cast<std::size_t>(written);
  sink.add_line(side_ == Side::kClient ? ">>>" : "<<<", line,
                length_written < sizeof line ? length_written : sizeof line - 1);
}
