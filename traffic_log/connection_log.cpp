#include "traffic_log/connection_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

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

void ConnectionLog::event(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  log_.event_with(number_, format, arguments);
  va_end(arguments);
}

void ConnectionLog::traffic(Side from, const char* data, std::size_t n) {
  Direction& own = direction(from);
  LineSplitter& other = direction(from == Side::kClient ? Side::kServer : Side::kClient).lines;
  batch_.hold_other(other.holds_text() ? &other : nullptr);
  const std::size_t taken = own.tls ? take_tls(own, data, n) : 0;
  show_bytes(own, data + taken, n - taken);
  batch_.write_out();
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

void ConnectionLog::flush_held() {
  client_.lines.flush_held(batch_);
  server_.lines.flush_held(batch_);
  batch_.write_out();
}

void ConnectionLog::Batch::add_line(const char* prefix, const char* text, std::size_t length) {
  flush_other();
  set_head(prefix);
  // The prefix alone, without its blank, for an empty line.
  append(head_, length > 0 ? head_length_ : head_length_ - 1, text, length);
}

void ConnectionLog::Batch::add_event(const char* text, std::size_t length) {
  flush_other();
  annotate();
  append(head_, annotation_length_, text, length);
}

void ConnectionLog::Batch::flush_other() {
  if (other_ == nullptr) return;
  LineSplitter* held = other_;
  other_ = nullptr;
  held->flush_held(*this);
}

// The lines of one read share the moment they were read.
void ConnectionLog::Batch::annotate() {
  if (annotated_) return;
  annotation_length_ = log_.annotation(number_, head_, Log::kAnnotationSize);
  annotated_ = true;
  head_prefix_ = nullptr;
}

void ConnectionLog::Batch::set_head(const char* prefix) {
  annotate();
  if (prefix == head_prefix_) return;
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
  log_.write(buffer_, used_);
  used_ = 0;
}

void ConnectionLog::Batch::write_out() {
  flush();
  annotated_ = false;
  other_ = nullptr;
}
