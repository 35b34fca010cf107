#include "traffic_log/tls/tls_watcher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "traffic_log/tls/hello_reader.h"

namespace {

constexpr unsigned char kChangeCipherSpec = 20;
constexpr unsigned char kHandshake = 22;
constexpr unsigned char kApplicationData = 23;
constexpr unsigned char kHeartbeat = 24;
constexpr unsigned char kClientHello = 1;
constexpr unsigned char kServerHello = 2;
// 2^14 bytes of plaintext and the 2048 that protection may add to them.
constexpr unsigned kMaxRecordLength = 16384 + 2048;
// A hello's record is plaintext: one that claims more is read this far.
constexpr std::uint16_t kMaxHelloBuffer = 16384;

// Whether the first n bytes of header (n from 1 to 6) fit a record header
// of version 3.0 to 3.4; the sixth is the handshake type behind the first
// record's header. Only application data may be empty.
bool plausible_header(const unsigned char* header, std::size_t n, bool first, Side side) {
  const unsigned type = header[0];
  const unsigned length = n >= 5 ? static_cast<unsigned>(header[3]) << 8 | header[4] : 1;
  return (first ? type == kHandshake : type >= kChangeCipherSpec && type <= kHeartbeat) &&
         (n < 2 || header[1] == 3) && (n < 3 || header[2] <= 4) &&
         (n < 4 || header[3] <= kMaxRecordLength >> 8) && length <= kMaxRecordLength &&
         (length > 0 || type == kApplicationData) &&
         (n < 6 || header[5] == (side == Side::kClient ? kClientHello : kServerHello));
}

}  // namespace

bool TlsWatcher::begins_hello(const unsigned char* data, std::size_t n) const {
  return n >= kHelloHeaderSize && plausible_header(data, kHelloHeaderSize, true, side_);
}

void TlsWatcher::start() {
  *this = TlsWatcher(side_);
  active_ = true;
}

std::size_t TlsWatcher::feed(const unsigned char* data, std::size_t n, LineSink& sink) {
  std::size_t taken = 0;
  while (active_ && taken < n) {
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
  return taken;
}

bool TlsWatcher::take_header_byte(unsigned char byte, LineSink& sink) {
  const bool first = hello_state_ == HelloState::kAwaitingHeader;
  header_[header_length_] = byte;
  if (!plausible_header(header_, header_length_ + 1u, first, side_)) return false;
  if (++header_length_ < (first ? kHelloHeaderSize : kHeaderSize)) return true;

  header_length_ = 0;
  record_left_ = static_cast<std::uint16_t>((header_[3] << 8 | header_[4]) - (first ? 1 : 0));
  if (!first) {
    log_record(sink);
    return true;
  }
  hello_state_ = HelloState::kCollecting;
  hello_size_ = std::min(record_left_, kMaxHelloBuffer);
  hello_ = std::make_unique_for_overwrite<unsigned char[]>(hello_size_);
  collect_hello(nullptr, 0, sink);
  return true;
}

std::size_t TlsWatcher::take_body(const unsigned char* data, std::size_t n, LineSink& sink) {
  const std::size_t count = std::min<std::size_t>(n, record_left_);
  record_left_ = static_cast<std::uint16_t>(record_left_ - count);
  if (hello_state_ == HelloState::kCollecting) collect_hello(data, count, sink);
  return count;
}

// The hello is read again only once the bytes its last reading ran out at
// are at hand (or all are): until then it would stop at the same place. The
// hello record's own line follows its event line.
void TlsWatcher::collect_hello(const unsigned char* data, std::size_t n, LineSink& sink) {
  const std::size_t count = std::min<std::size_t>(n, hello_size_ - hello_buffered_);
  if (count > 0) std::memcpy(hello_.get() + hello_buffered_, data, count);
  hello_buffered_ = static_cast<std::uint16_t>(hello_buffered_ + count);
  if (hello_buffered_ < hello_size_ && hello_buffered_ < hello_wanted_) return;
  const std::size_t missing = log_hello_once_read(side_, hello_.get(), hello_size_, hello_buffered_, sink);
  if (missing > 0) {
    hello_wanted_ = hello_buffered_ + missing;
    return;
  }
  log_record(sink);
  hello_state_ = HelloState::kLogged;
  hello_.reset();
}

void TlsWatcher::log_record(LineSink& sink) const {
  static constexpr const char* kTypeNames[] = {"ChangeCipherSpec", "alert", "handshake", "application data",
                                               "heartbeat"};
  const unsigned length = static_cast<unsigned>(header_[3]) << 8 | header_[4];
  char line[sizeof "[TLS ChangeCipherSpec, 18432 bytes]"];
  const int written =
      std::snprintf(line, sizeof line, "[TLS %s, %u byte%s]", kTypeNames[header_[0] - kChangeCipherSpec],
                    length, length == 1 ? "" : "s");
  sink.add_line(side_ == Side::kClient ? ">>>" : "<<<", line, static_cast<std::size_t>(written));
}
