// One connection's part of the log: the relay's events as lines, and its
// traffic, both directions, annotated with its number when the log asks for
// it. Text that one direction holds back (a line without its end yet) is
// logged as a line of its own as soon as the other direction's bytes or
// close arrive, and before the closing line, so that the log shows the
// conversation in the order it was read, whatever the protocol. With -a a
// line carries the time its first byte was read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "traffic_log/connection_events.h"
#include "traffic_log/hex_rows.h"
#include "traffic_log/line_batch.h"
#include "traffic_log/line_splitter.h"
#include "traffic_log/log.h"
#include "traffic_log/tls/tls_watcher.h"

// How a connection's traffic is shown.
struct TrafficView {
  bool hex = false;        // hex dump rows instead of text lines
  bool watch_tls = false;  // TLS named by its hellos and records instead of shown as bytes
};

// How the summary names the ending.
const char* ending_text(Ending ending);

// The texts of the TLS events, without their line ends, for whoever tells
// them besides the log (the capture's comments).
std::string tls_intercepted_text(const TlsInterception& tls);
std::string tls_failed_text(Side side, bool in_handshake, const char* reason);

class ConnectionLog final : public ConnectionEvents {
 public:
  ConnectionLog(Log& log, ConnectionNumber number, TrafficView view = {});
  ConnectionLog(const ConnectionLog&) = delete;
  ConnectionLog& operator=(const ConnectionLog&) = delete;

  ConnectionNumber number() const { return number_; }

  void received() override;
  void connect_failed(const platform::Endpoint& target, int error) override;
  void outgoing(const platform::Endpoint& local, const platform::Endpoint& target) override;
  // Logged in one write, after the other side's held text.
  void traffic(Side from, const char* data, std::size_t n) override;
  // The shutdown line, after the other side's held text, and after its own
  // when all it sent has been read (bytes still unread may go on with its
  // held line).
  void peer_closed(Side side, bool all_read) override;
  // A failure that follows a TLS failure of that side is the relay ending
  // the connection for it: no socket failed, and no line says one did.
  void io_failed(Side side, IoOperation operation, int error) override;
  void tls_intercepted(const TlsInterception& tls) override;
  void tls_failed(Side side, bool in_handshake, const char* reason) override;
  // The log tells a close when it is noticed, and a failure as it happens.
  void close_passed_on(Side) override {}
  void reset_passed_on(Side) override {}
  // The held text, then the closing line.
  void closed(std::size_t unsent_to_server, std::size_t unsent_to_client) override;
  void summary(std::uint64_t to_server, std::uint64_t to_client, std::int64_t elapsed_us,
               Ending ending) override;

 private:
  // One direction's ways of showing its bytes. The TLS watcher exists only
  // when the view asks for it.
  struct Direction {
    Direction(const char* prefix, Side side, TrafficView view);
    LineSplitter lines;
    HexRows rows;
    std::optional<TlsWatcher> tls;
    // When the first byte of the text held back was read (with -a).
    std::int64_t held_since_us = 0;
  };

  Direction& direction(Side side) { return side == Side::kClient ? client_ : server_; }
  Direction& other(Side side) { return side == Side::kClient ? server_ : client_; }
  // One event line of this connection, in a turn of its own.
  void event(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // One event line into the batch of the turn under way.
  void add_event(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void add_event_with(const char* format, va_list arguments) __attribute__((format(printf, 2, 0)));
  void log_held(Direction& d);
  std::size_t take_tls(Direction& d, const char* data, std::size_t n);
  void show_bytes(Direction& d, const char* data, std::size_t n);

  Log& log_;
  ConnectionNumber number_;
  bool hex_;
  bool intercepted_ = false;
  bool tls_failed_[2] = {false, false};  // by Side
  Direction client_;
  Direction server_;
  LineBatch batch_;
};
