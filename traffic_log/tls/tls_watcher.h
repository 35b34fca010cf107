// Recognizes TLS in one direction of a relayed connection and names what it
// sees: one event line for the hello that starts it, then one line per record
// (type and length) instead of lines of dots. The bytes are never changed.
// Records and headers may arrive split over any number of reads. No
// allocation and no hello buffer: the first hello is read as its bytes
// arrive and only the fields the event line shows are kept, so the state
// stays small enough to live twice on a relay thread's stack.
#pragma once

#include <cstddef>
#include <cstdint>

#include "traffic_log/connection_events.h"
#include "traffic_log/line_sink.h"

// Reads a ClientHello or ServerHello message from the byte after its
// handshake type on, one field at a time, checking every length against the
// one that encloses it. Keeps the server name, the versions and how far the
// message could be read.
class TlsHelloReader {
 public:
  // A host name longer than this is shown cut.
  static constexpr std::size_t kNameLimit = 255;
  // A supported_versions list holds at most 254 bytes.
  static constexpr std::size_t kVersionLimit = 127;

  explicit TlsHelloReader(Side side) : side_(side) {}
  void reset();
  // Takes the hello's bytes in order; ignores them once finished().
  void take(const unsigned char* data, std::size_t n);
  // Read to its end, or not readable further.
  bool finished() const { return field_ == Field::kDone || field_ == Field::kFailed; }
  // The event line: what could be read, and nothing a field left unfinished.
  void log_event(LineSink& sink) const;

 private:
  enum class Field : std::uint8_t {
    kHelloLength,
    kLegacyVersion,
    kRandom,
    kSessionIdLength,
    kSessionId,
    kCipherSuitesLength,  // client
    kCipherSuites,        // client
    kCipherSuite,         // server
    kCompressionsLength,  // client
    kCompressions,        // client
    kCompression,         // server
    kExtensionsLength,
    kExtensionType,
    kExtensionLength,
    kExtensionRest,  // skipped
    kServerNameListLength,
    kNameType,
    kNameLength,
    kName,
    kVersionListLength,  // client
    kVersionList,        // client
    kSelectedVersion,    // server
    kDone,
    kFailed,
  };

  void take_byte(unsigned char byte);
  void complete_field();
  void begin(Field field, std::uint32_t size);
  void begin_extension_body();
  void next_extension();
  void next_name();
  std::uint32_t end_of(Field field) const;
  class Text;
  void describe_client(Text& text) const;
  void describe_server(Text& text) const;

  Side side_;
  Field field_ = Field::kHelloLength;
  bool has_name_ = false;
  bool versions_from_extension_ = false;
  std::uint8_t name_type_ = 0;
  std::uint8_t name_length_ = 0;
  std::uint8_t offered_count_ = 0;
  std::uint16_t field_left_ = 3;
  std::uint16_t extension_type_ = 0;
  std::uint16_t legacy_version_ = 0;
  std::uint16_t selected_version_ = 0;
  std::uint32_t value_ = 0;
  // Offsets from the byte after the handshake type; each end lies within
  // the one before it.
  std::uint32_t position_ = 0;
  std::uint32_t hello_end_ = 0;
  std::uint32_t extensions_end_ = 0;
  std::uint32_t extension_end_ = 0;
  std::uint32_t list_end_ = 0;
  char name_[kNameLimit] = {};
  std::uint16_t offered_[kVersionLimit] = {};
};

class TlsWatcher {
 public:
  explicit TlsWatcher(Side side) : side_(side), hello_(side) {}
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
  enum class HelloState : std::uint8_t { kAwaitingHeader, kReading, kLogged };

  bool take_header_byte(unsigned char byte, LineSink& sink);
  std::size_t take_body(const unsigned char* data, std::size_t n, LineSink& sink);
  void log_hello(LineSink& sink);
  void log_record(LineSink& sink) const;

  Side side_;
  bool active_ = false;
  HelloState hello_state_ = HelloState::kAwaitingHeader;
  std::uint8_t header_length_ = 0;
  unsigned char header_[kHelloHeaderSize] = {};
  std::uint16_t record_left_ = 0;
  TlsHelloReader hello_;
};
