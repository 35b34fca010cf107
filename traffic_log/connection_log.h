// One connection's part of the log: its event lines and its traffic, both
// directions, annotated with its number when the log asks for it. Text that
// one direction holds back (a line without its end yet) is logged as a line
// of its own as soon as the other direction's bytes or close arrive, and
// before the closing line, so that the log shows the conversation in the
// order it was read, whatever the protocol. With -a a line carries the time
// its first byte was read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "traffic_log/hex_rows.h"
#include "traffic_log/line_sink.h"
#include "traffic_log/line_splitter.h"
#include "traffic_log/log.h"
#include "traffic_log/tls_watcher.h"

enum class Side { kClient, kServer };

// How a connection's traffic is shown.
struct TrafficView {
  bool hex = false;        // hex dump rows instead of text lines
  bool watch_tls = false;  // TLS named by its hellos and records instead of shown as bytes
};

class ConnectionLog {
 public:
  ConnectionLog(Log& log, ConnectionNumber number, TrafficView view = {});
  ConnectionLog(const ConnectionLog&) = delete;
  ConnectionLog& operator=(const ConnectionLog&) = delete;

  ConnectionNumber number() const { return number_; }

  // One event line of this connection.
  void event(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The bytes of one read from that side's peer, logged before they are
  // relayed, in one write to the log, after the other side's held text.
  void traffic(Side from, const char* data, std::size_t n);
  // That side's peer has closed: its shutdown line, after the other side's
  // held text, and after its own when all it sent has been read (bytes still
  // unread may go on with its held line).
  void peer_closed(Side side, bool all_read);
  // Logs what the connection holds back, before the closing line.
  void flush_held();

 private:
  // Gathers the lines of one turn (one read, or one event) so that they
  // reach the log in one write (more when they do not fit), annotated with
  // the turn's time, or for a line begun in an earlier read with that
  // read's time.
  class Batch : public LineSink {
   public:
    Batch(Log& log, ConnectionNumber number) : log_(log), number_(number) {}
    void begin(Log::Turn& turn);
    void add_line(const char* prefix, const char* text, std::size_t length) override;
    // An event line among the traffic lines (no prefix).
    void add_event(const char* text, std::size_t length);
    // The next line carries this time instead of the turn's.
    void next_line_at(std::int64_t time_us) {
      next_line_time_us_ = time_us;
      next_line_timed_ = true;
    }
    bool next_line_timed() const { return next_line_timed_; }
    void write_out();

   private:
    void set_head(const char* prefix);
    void append(const char* head, std::size_t head_length, const char* text, std::size_t length);
    void flush();

    static constexpr std::size_t kCapacity = 96 * 1024;
    static constexpr std::size_t kPrefixRoom = 8;
    Log& log_;
    ConnectionNumber number_;
    Log::Turn* turn_ = nullptr;
    bool next_line_timed_ = false;
    std::int64_t next_line_time_us_ = 0;
    // How lines start: the annotation of head_time_us_, then for traffic
    // lines the prefix of head_prefix_ and a blank.
    char head_[Log::kAnnotationSize + kPrefixRoom];
    bool head_valid_ = false;
    std::int64_t head_time_us_ = 0;
    std::size_t annotation_length_ = 0;
    std::size_t head_length_ = 0;
    const char* head_prefix_ = nullptr;
    std::size_t used_ = 0;
    char buffer_[kCapacity];
  };

  // What the TLS watcher of one direction says, as that batch's lines.
  class TlsLines;

  // One direction's ways of showing its bytes. The TLS watcher exists only
  // when the view asks for it.
  struct Direction {
    Direction(const char* prefix, TlsRole role, TrafficView view);
    LineSplitter lines;
    HexRows rows;
    std::optional<TlsWatcher> tls;
    // When the first byte of the text held back was read (with -a).
    std::int64_t held_since_us = 0;
  };

  Direction& direction(Side side) { return side == Side::kClient ? client_ : server_; }
  Direction& other(Side side) { return side == Side::kClient ? server_ : client_; }
  void log_event(const char* text, std::size_t length);
  void log_held(Direction& d);
  std::size_t take_tls(Direction& d, const char* data, std::size_t n);
  void show_bytes(Direction& d, const char* data, std::size_t n);

  Log& log_;
  ConnectionNumber number_;
  bool hex_;
  Direction client_;
  Direction server_;
  Batch batch_;
};
