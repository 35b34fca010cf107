// One connection's part of the log: its event lines and its traffic, both
// directions, annotated with its number when the log asks for it. Text that
// one direction holds back (a line without its end yet) is logged as a line
// of its own before the other direction's next line and before the closing
// line, so that the log shows the conversation in the order it was read.
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
  // relayed, in one write to the log.
  void traffic(Side from, const char* data, std::size_t n);
  // Logs what both directions hold back, before the closing line.
  void flush_held();

 private:
  // Gathers the lines of one read so that they reach the log in one write
  // (more when they do not fit), all with the annotation of that moment.
  class Batch : public LineSink {
   public:
    Batch(Log& log, ConnectionNumber number) : log_(log), number_(number) {}
    void add_line(const char* prefix, const char* text, std::size_t length) override;
    // An event line among the traffic lines (no prefix).
    void add_event(const char* text, std::size_t length);
    // Before the first line, the lines the other direction holds back.
    void hold_other(LineSplitter* other) { other_ = other; }
    void write_out();

   private:
    void flush_other();
    void annotate();
    void set_head(const char* prefix);
    void append(const char* head, std::size_t head_length, const char* text, std::size_t length);
    void flush();

    static constexpr std::size_t kCapacity = 96 * 1024;
    static constexpr std::size_t kPrefixRoom = 8;
    Log& log_;
    ConnectionNumber number_;
    LineSplitter* other_ = nullptr;
    bool annotated_ = false;
    // How this batch's lines start: the annotation, then for traffic lines
    // the prefix of head_prefix_ and a blank.
    char head_[Log::kAnnotationSize + kPrefixRoom];
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
  };

  Direction& direction(Side side) { return side == Side::kClient ? client_ : server_; }
  std::size_t take_tls(Direction& d, const char* data, std::size_t n);
  void show_bytes(Direction& d, const char* data, std::size_t n);

  Log& log_;
  ConnectionNumber number_;
  bool hex_;
  Direction client_;
  Direction server_;
  Batch batch_;
};
