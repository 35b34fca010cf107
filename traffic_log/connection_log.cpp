#include "traffic_log/connection_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "traffic_log/event_lines.h"

class ConnectionLog::TlsLines : public TlsLineSink {
 public:
  TlsLines(Batch& batch, const char* prefix) : batch_(batch), prefix_(prefix) {}
  void tls_event(const char* text, std::size_t length) override { batch_.add_event(text, length); }
  void tls_record(const char* text, std::size_t length) override { batch_.add_line(prefix_, text, length); }

 private:
  Batch& batch_;
  const char* prefix_;
};

ConnectionLog::Direction::Direction(const char* prefix, TlsRole role, TrafficView view)
    : lines(prefix), rows(prefix) {
  if (view.watch_tls) tls.emplace(role);
}

ConnectionLog::ConnectionLog(Log& log, ConnectionNumber number, TrafficView view)
    : log_(log),
      number_(number),
      hex_(view.hex),
      client_(">>>", TlsRole::kClient, view),
      server_("<<<", TlsRole::kServer, view),
      batch_(log, number) {}

namespace {

// Longer than any event line: a few addresses and numbers.
constexpr std::size_t kEventLineSize = 1024;

}  // namespace

void ConnectionLog::event(const char* format, ...) {
  char line[kEventLineSize];
  va_list arguments;
  va_start(arguments, format);
  const int formatted = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (formatted < 0) return;
  const std::size_t length = std::min(static_cast<std::size_t>(formatted), sizeof line - 1);
  Log::Turn turn(log_);
  batch_.begin(turn);
  log_event(line, length);
  batch_.write_out();
}

// The line's own LF is added again by the batch.
void ConnectionLog::log_event(const char* text, std::size_t length) {
  batch_.add_event(text, length > 0 && text[length - 1] == '\n' ? length - 1 : length);
}

void ConnectionLog::peer_closed(Side side, bool all_read) {
  char line[kEventLineSize];
  const int formatted =
      std::snprintf(line, sizeof line, event_lines::kShutdown, side == Side::kClient ? "Client" : "Server");
  Log::Turn turn(log_);
  batch_.begin(turn);
  log_held(other(side));
  if (all_read) log_held(direction(side));
  log_event(line, static_cast<std::size_t>(std::max(formatted, 0)));
  batch_.write_out();
}

void ConnectionLog::flush_held() {
  if (!client_.lines.holds_text() && !server_.lines.holds_text()) return;
  Log::Turn turn(log_);
  batch_.begin(turn);
  log_held(client_);
  log_held(server_);
  batch_.write_out();
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
  TlsLines sink(batch_, d.lines.prefix());
  const std::size_t taken = watcher.feed(bytes, n, sink);
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

void ConnectionLog::Batch::begin(Log::Turn& turn) {
  turn_ = &turn;
  next_line_timed_ = false;
}

void ConnectionLog::Batch::add_line(const char* prefix, const char* text, std::size_t length) {
  set_head(prefix);
  // The prefix alone, without its blank, for an empty line.
  append(head_, length > 0 ? head_length_ : head_length_ - 1, text, length);
}

void ConnectionLog::Batch::add_event(const char* text, std::size_t length) {
  set_head(nullptr);
  append(head_, annotation_length_, text, length);
}

// Lines mostly share one head: it is made again only when the time or the
// prefix changes.
void ConnectionLog::Batch::set_head(const char* prefix) {
  const std::int64_t time_us = next_line_timed_ ? next_line_time_us_ : turn_->now_us();
  next_line_timed_ = false;
  if (!head_valid_ || time_us != head_time_us_) {
    annotation_length_ = log_.annotation(number_, time_us, head_, Log::kAnnotationSize);
    head_time_us_ = time_us;
    head_valid_ = true;
    head_prefix_ = nullptr;
    head_length_ = annotation_length_;
  }
  if (prefix == nullptr || prefix == head_prefix_) return;
  const std::size_t prefix_length = std::min(std::strlen(prefix), kPrefixRoom - 1);
  std::memcpy(head_ + annotation_length_, prefix, prefix_length);
  head_[annotation_length_ + prefix_length] = ' ';
  head_length_ = annotation_length_ + prefix_length + 1;
  head_prefix_ = prefix;
}

void ConnectionLog::Batch::append(const char* head, std::size_t head_length, const char* text,
                                  std::size_t length) {
  if (used_ + head_length + length + 1 > kCapacity) flush();
  std::memcpy(buffer_ + used_, head, head_length);
  used_ += head_length;
  if (length > 0) {  // text is null for an empty line
    std::memcpy(buffer_ + used_, text, length);
    used_ += length;
  }
  buffer_[used_++] = '\n';
}

void ConnectionLog::Batch::flush() {
  turn_->write(buffer_, used_);
  used_ = 0;
}

void ConnectionLog::Batch::write_out() {
  flush();
  turn_ = nullptr;
  next_line_timed_ = false;
}
