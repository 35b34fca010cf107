// Recognizes TLS in one direction of a relayed connection and names what it
// sees: one event line for the hello that starts it, then one line per record
// (type and length) instead of lines of dots. The bytes are never changed.
// Records and headers may arrive split over any number of reads. Only the
// hello's record is kept, and only until its hello is named: a connection
// without TLS costs nothing and the state stays small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "traffic_log/connection_events.h"
#include "traffic_log/line_sink.h"

class TlsWatcher {
 public:
  explicit TlsWatcher(Side side) : side_(side) {}
  bool active() const { return active_; }  // this direction's bytes are read as TLS records
  // True when data, the start of one read from the peer, begins a handshake
  // record that holds a ClientHello (client side) or ServerHello (server side).
  // Fewer than six bytes are never enough.
  bool begins_hello(const unsigned char* data, std::size_t n) const;
  // Enters TLS mode: the next feed starts at a record header.
  void start();
  // Reads records; returns how many bytes were taken as TLS. Fewer than n:
  // a record header was not plausible and recognition ended there (at its
  // first byte when that is in this read, else at the start of the read);
  // from there on the bytes are plain traffic and active() is false.
  std::size_t feed(const unsigned char* data, std::size_t n, LineSink& sink);

 private:
  // The first record's header is read together with the handshake type
  // behind it, so a record that holds no hello is refused whole.
  static constexpr std::size_t kHeaderSize = 5;
  static constexpr std::size_t kHelloHeaderSize = 6;
  enum class HelloState : std::uint8_t { kAwaitingHeader, kCollecting, kLogged };

  bool take_header_byte(unsigned char byte, LineSink& sink);
  std::size_t take_body(const unsigned char* data, std::size_t n, LineSink& sink);
  void collect_hello(const unsigned char* data, std::size_t n, LineSink& sink);
  void log_record(LineSink& sink) const;

  Side side_;
  bool active_ = false;
  HelloState hello_state_ = HelloState::kAwaitingHeader;
  std::uint8_t header_length_ = 0;
  unsigned char header_[kHelloHeaderSize] = {};
  std::uint16_t record_left_ = 0;
  // The hello record's bytes after the handshake type, while it is collected.
  std::unique_ptr<unsigned char[]> hello_;
  std::uint16_t hello_size_ = 0;
  std::uint16_t hello_buffered_ = 0;
  std::size_t hello_wanted_ = 0;  // bytes to have at hand before the hello is read again
};
