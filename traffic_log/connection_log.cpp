#include "traffic_log/connection_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/net.h"
#include "traffic_log/event_lines.h"

ConnectionLog::Direction::Direction(const char* prefix, Side side, TrafficView view)
    : lines(prefix), rows(prefix) {
  if (view.watch_tls) tls.emplace(side);
}

ConnectionLog::ConnectionLog(Log& log, ConnectionNumber number, TrafficView view)
    : log_(log),
      number_(number),
      hex_(view.hex),
      client_(">>>", Side::kClient, view),
      server_("<<<", Side::kServer, view),
      batch_(log, number) {}

namespace {

// Longer than any event line: a few addresses and numbers.
constexpr std::size_t kEventLineSize = 1024;

const char* name_of(Side side) {
  return side == Side::kClient ? "Client" : "Server";
}

// In the order of Ending's values.
constexpr const char* kEndingTexts[] = {
    event_lines::kEndClosed,        event_lines::kEndClientReset, event_lines::kEndServerReset,
    event_lines::kEndRefused,       event_lines::kEndTimedOut,    event_lines::kEndClientLeft,
    event_lines::kEndConnectFailed,
};
static_assert(sizeof kEndingTexts / sizeof kEndingTexts[0] ==
              static_cast<std::size_t>(Ending::kConnectFailed) + 1);

// What snprintf made of an event line, cut to the buffer, without its LF.
std::string without_line_end(const char* line, int formatted) {
  std::size_t length = formatted < 0 ? 0 : std::min(static_cast<std::size_t>(formatted), kEventLineSize - 1);
  if (length > 0 && line[length - 1] == '\n') --length;
  return std::string(line, length);
}

}  // namespace

const char* ending_text(Ending ending) {
  return kEndingTexts[static_cast<std::size_t>(ending)];
}

std::string tls_intercepted_text(const TlsInterception& tls) {
  char name[320];
  if (tls.server_name[0] != '\0') {
    std::snprintf(name, sizeof name, event_lines::kTlsServerName, tls.server_name);
  } else {
    std::snprintf(name, sizeof name, "%s", event_lines::kTlsNoServerName);
  }
  char protocol[300] = "";
  if (tls.protocol[0] != '\0') std::snprintf(protocol, sizeof protocol, event_lines::kTlsProtocol, tls.protocol);
  char verified[200];
  if (tls.verify_failure[0] == '\0') {
    std::snprintf(verified, sizeof verified, "%s", event_lines::kTlsVerified);
  } else {
    std::snprintf(verified, sizeof verified, event_lines::kTlsNotVerified, tls.verify_failure);
  }
  char line[kEventLineSize];
  const int formatted = std::snprintf(line, sizeof line, event_lines::kTlsIntercepted, name, tls.client_version,
                                      tls.server_version, tls.server_cipher, protocol, verified);
  return without_line_end(line, formatted);
}

std::string tls_failed_text(Side side, bool in_handshake, const char* reason) {
  char line[kEventLineSize];
  const int formatted = std::snprintf(line, sizeof line,
                                      in_handshake ? event_lines::kTlsHandshakeFailed : event_lines::kTlsFailed,
                                      side == Side::kClient ? "client" : "server", reason);
  return without_line_end(line, formatted);
}

void ConnectionLog::received() {
  event(event_lines::kConnectionReceived);
}

void ConnectionLog::connect_failed(const platform::Endpoint& target, int error) {
  event(event_lines::kErrorConnecting, platform::address_text(target).text, target.port, error);
}

void ConnectionLog::outgoing(const platform::Endpoint& local, const platform::Endpoint& target) {
  event(event_lines::kOutgoing, platform::address_text(local).text, local.port,
        platform::address_text(target).text, target.port);
}

void ConnectionLog::peer_closed(Side side, bool all_read) {
  Log::Turn turn(log_);
  batch_.begin(turn);
  log_held(other(side));
  if (all_read) log_held(direction(side));
  add_event(event_lines::kShutdown, name_of(side));
  batch_.write_out();
}

void ConnectionLog::io_failed(Side side, IoOperation operation, int error) {
  if (std::exchange(tls_failed_[static_cast<int>(side)], false)) return;
  event(operation == IoOperation::kRead ? event_lines::kReadError : event_lines::kSendError, name_of(side),
        error);
}

void ConnectionLog::closed(std::size_t unsent_to_server, std::size_t unsent_to_client) {
  Log::Turn turn(log_);
  batch_.begin(turn);
  log_held(client_);
  log_held(server_);
  if (unsent_to_server == 0 && unsent_to_client == 0) {
    add_event(event_lines::kClosed);
  } else {
    add_event(event_lines::kClosedUnsent, static_cast<int>(unsent_to_server),
              static_cast<int>(unsent_to_client));
  }
  batch_.write_out();
}

void ConnectionLog::tls_intercepted(const TlsInterception& tls) {
  intercepted_ = true;
  event("%s\n", tls_intercepted_text(tls).c_str());
}

void ConnectionLog::tls_failed(Side side, bool in_handshake, const char* reason) {
  tls_failed_[static_cast<int>(side)] = true;
  event("%s\n", tls_failed_text(side, in_handshake, reason).c_str());
}

// Only an annotated log ends a connection with its summary.
void ConnectionLog::summary(std::uint64_t to_server, std::uint64_t to_client, std::int64_t elapsed_us,
                            Ending ending) {
  if (!log_.annotate()) return;
  char how[64];
  std::snprintf(how, sizeof how, "%s%s", ending_text(ending), intercepted_ ? event_lines::kInterceptedMark : "");
  event(event_lines::kSummary, static_cast<unsigned long long>(to_server),
        static_cast<unsigned long long>(to_client), static_cast<long long>(elapsed_us / 1000000),
        static_cast<long long>(elapsed_us % 1000000), how);
}

void ConnectionLog::event(const char* format, ...) {
  Log::Turn turn(log_);
  batch_.begin(turn);
  va_list arguments;
  va_start(arguments, format);
  add_event_with(format, arguments);
  va_end(arguments);
  batch_.write_out();
}

void ConnectionLog::add_event(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  add_event_with(format, arguments);
  va_end(arguments);
}

// The formats end in LF, which the batch adds again.
void ConnectionLog::add_event_with(const char* format, va_list arguments) {
  char line[kEventLineSize];
  const int formatted = std::vsnprintf(line, sizeof line, format, arguments);
  if (formatted < 0) return;
  std::size_t length = std::min(static_cast<std::size_t>(formatted), sizeof line - 1);
  if (length > 0 && line[length - 1] == '\n') --length;
  batch_.add_event(line, length);
}

// A change of direction ends the other side's held line. A line that this
// side began in an earlier read keeps that read's time.
void ConnectionLog::traffic(Side from, const char* data, std::size_t n) {
  if (n == 0) return;
  Log::Turn turn(log_);
  batch_.begin(turn);
  log_held(other(from));
  Direction& own = direction(from);
  const bool held_before = own.lines.holds_text();
  if (held_before) batch_.next_line_at(own.held_since_us);
  const std::size_t taken = own.tls ? take_tls(own, data, n) : 0;
  show_bytes(own, data + taken, n - taken);
  // Text held from now on began in this read unless the earlier line goes on.
  const bool earlier_line_goes_on = held_before && batch_.next_line_timed();
  if (own.lines.holds_text() && !earlier_line_goes_on) own.held_since_us = turn.now_us();
  batch_.write_out();
}

void ConnectionLog::log_held(Direction& d) {
  if (!d.lines.holds_text()) return;
  batch_.next_line_at(d.held_since_us);
  d.lines.flush_held(batch_);
}

// A hello at the start of a read starts TLS in that direction: the text it
// held back is logged first, then the records. Returns the bytes read as TLS.
std::size_t ConnectionLog::take_tls(Direction& d, const char* data, std::size_t n) {
  TlsWatcher& watcher = *d.tls;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  if (!watcher.active() && watcher.begins_hello(bytes, n)) {
    d.lines.flush_held(batch_);
    watcher.start();
  }
  if (!watcher.active()) return 0;
  const std::size_t taken = watcher.feed(bytes, n, batch_);
  d.rows.skip(taken);
  return taken;
}

void ConnectionLog::show_bytes(Direction& d, const char* data, std::size_t n) {
  if (hex_) {
    d.rows.feed(data, n, batch_);
  } else {
    d.lines.feed(data, n, batch_);
  }
}
