#include "tls/client_hello.h"

#include <cstdint>

namespace tls {
namespace {

constexpr unsigned char kHandshakeRecord = 22;
constexpr unsigned char kClientHelloType = 1;
constexpr std::size_t kRecordHeaderSize = 5;
constexpr std::size_t kHandshakeHeaderSize = 4;
// More records than this for one hello is no client in use.
constexpr std::size_t kMaxRecords = 16;
// Version, random, an empty session id, one cipher suite, one compression method.
constexpr std::uint32_t kShortestHello = 2 + 32 + 1 + 2 + 2 + 1 + 1;
constexpr std::uint32_t kMaxSessionId = 32;

// How far the bytes seen fit a ClientHello.
enum class Fit { kNo, kMore, kYes };

// The handshake bytes of the records seen so far, in order across the
// records' boundaries.
class HandshakeBytes {
 public:
  bool add(const unsigned char* data, std::size_t n) {
    if (count_ == kMaxRecords) return false;
    pieces_[count_++] = {data, n};
    size_ += n;
    return true;
  }
  std::size_t size() const { return size_; }
  unsigned char at(std::size_t index) const {
    for (std::size_t i = 0;; ++i) {
      if (index < pieces_[i].n) return pieces_[i].data[index];
      index -= pieces_[i].n;
    }
  }

 private:
  struct Piece {
    const unsigned char* data;
    std::size_t n;
  };
  Piece pieces_[kMaxRecords] = {};
  std::size_t count_ = 0;
  std::size_t size_ = 0;
};

// Reads the hello's fields in order up to its end, as far as its bytes have
// arrived. The first field that crosses the end or contradicts a hello, or
// that has not arrived, stops the reading: fit() tells which.
class FieldReader {
 public:
  FieldReader(const HandshakeBytes& bytes, std::size_t end) : bytes_(bytes), end_(end) {}

  Fit fit() const { return fit_; }
  bool reading() const { return fit_ == Fit::kYes && position_ < end_; }
  std::size_t position() const { return position_; }

  // The next field's value (0 once the reading has stopped).
  std::uint32_t read(std::size_t width) {
    if (!reach(width)) return 0;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value << 8 | bytes_.at(position_ + i);
    position_ += width;
    return value;
  }
  void skip(std::size_t count) {
    if (reach(count)) position_ += count;
  }
  // A field's value that a ClientHello must have.
  void require(bool holds) {
    if (!holds && fit_ == Fit::kYes) fit_ = Fit::kNo;
  }

 private:
  bool reach(std::size_t count) {
    if (fit_ != Fit::kYes) return false;
    if (count > end_ - position_) {
      fit_ = Fit::kNo;
    } else if (position_ + count > bytes_.size()) {
      fit_ = Fit::kMore;
    }
    return fit_ == Fit::kYes;
  }

  const HandshakeBytes& bytes_;
  std::size_t end_;
  std::size_t position_ = kHandshakeHeaderSize;
  Fit fit_ = Fit::kYes;
};

// A hello may end after its compression methods; its extensions fill the
// rest exactly.
void read_extensions(FieldReader& fields, std::size_t end) {
  if (fields.position() == end) return;
  const std::uint32_t length = fields.read(2);
  fields.require(fields.position() + length == end);
  while (fields.reading()) {
    fields.read(2);  // its type
    fields.skip(fields.read(2));
  }
}

// The message's body, from its legacy version to its last extension.
Fit check_body(const HandshakeBytes& bytes, std::size_t end) {
  FieldReader fields(bytes, end);
  fields.require(fields.read(1) == 3);
  fields.require(fields.read(1) <= 4);
  fields.skip(32);  // random
  const std::uint32_t session_id = fields.read(1);
  fields.require(session_id <= kMaxSessionId);
  fields.skip(session_id);
  const std::uint32_t cipher_suites = fields.read(2);
  fields.require(cipher_suites >= 2 && cipher_suites % 2 == 0);
  fields.skip(cipher_suites);
  const std::uint32_t compressions = fields.read(1);
  fields.require(compressions >= 1);
  fields.skip(compressions);
  read_extensions(fields, end);
  return fields.fit();
}

// The handshake header: a ClientHello, and a length that could hold one.
// Its end (header included) once known.
Fit check_handshake_header(const HandshakeBytes& bytes, std::size_t* hello_end) {
  if (bytes.size() >= 1 && bytes.at(0) != kClientHelloType) return Fit::kNo;
  if (bytes.size() >= 2 && bytes.at(1) != 0) return Fit::kNo;  // 64 KiB at most
  if (bytes.size() < kHandshakeHeaderSize) return Fit::kMore;
  const std::uint32_t length = static_cast<std::uint32_t>(bytes.at(2)) << 8 | bytes.at(3);
  if (length < kShortestHello || length + kHandshakeHeaderSize > kMaxHelloLength) return Fit::kNo;
  *hello_end = kHandshakeHeaderSize + length;
  return Fit::kYes;
}

// The bytes of a record header that have arrived.
bool plausible_record_header(const unsigned char* header, std::size_t available) {
  if (header[0] != kHandshakeRecord) return false;
  if (available > 1 && header[1] != 3) return false;
  if (available > 2 && (header[2] < 1 || header[2] > 4)) return false;
  if (available > 3 && header[3] > (kMaxHelloRecordLength >> 8)) return false;
  if (available > 4) {
    const std::size_t length = static_cast<std::size_t>(header[3]) << 8 | header[4];
    if (length == 0 || length > kMaxHelloRecordLength) return false;
  }
  return true;
}

HelloInspection verdict(HelloVerdict kind, std::size_t length = 0) {
  return {kind, length};
}

}  // namespace

HelloInspection inspect_client_hello(const unsigned char* data, std::size_t n) {
  HandshakeBytes handshake;
  std::size_t hello_end = 0;  // of the handshake bytes; 0 while unknown
  std::size_t offset = 0;
  for (;;) {
    const std::size_t available = n - offset;
    if (available == 0) return verdict(HelloVerdict::kIncomplete, offset + kRecordHeaderSize);
    const unsigned char* header = data + offset;
    if (!plausible_record_header(header, available)) return verdict(HelloVerdict::kNotClientHello);
    if (available < kRecordHeaderSize) return verdict(HelloVerdict::kIncomplete, offset + kRecordHeaderSize);
    const std::size_t length = static_cast<std::size_t>(header[3]) << 8 | header[4];
    const std::size_t record_end = offset + kRecordHeaderSize + length;
    const std::size_t handshake_before = handshake.size();
    const std::size_t arrived =
        available - kRecordHeaderSize < length ? available - kRecordHeaderSize : length;
    if (!handshake.add(header + kRecordHeaderSize, arrived)) return verdict(HelloVerdict::kNotClientHello);
    Fit fit = check_handshake_header(handshake, &hello_end);
    // A record that goes on past the hello holds another message: no client sends one with its hello.
    if (hello_end != 0 && handshake_before + length > hello_end) fit = Fit::kNo;
    if (fit == Fit::kYes) fit = check_body(handshake, hello_end);
    if (fit == Fit::kNo) return verdict(HelloVerdict::kNotClientHello);
    if (arrived < length) return verdict(HelloVerdict::kIncomplete, record_end);
    offset = record_end;
    if (fit == Fit::kYes && handshake.size() == hello_end) return verdict(HelloVerdict::kClientHello, offset);
  }
}

}  // namespace tls
