#include "traffic_log/connection_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
// Longer than any event line: a few addresses and numbers.
constexpr std::size_t kEventLineSize = 1024;
}  // namespace

ConnectionLog::ConnectionLog(Log& log, ConnectionNumber number)
    : log_(log), number_(number), batch_(log, number) {}

void ConnectionLog::event(const char* format, ...) {
  char text[kEventLineSize];
  va_list arguments;
  va_start(arguments, format);
  const int formatted = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (formatted >= 0) log_.event(number_, "%s", text);
}

void ConnectionLog::traffic(Side from, const char* data, std::size_t n) {
  LineSplitter& other = splitter(from == Side::kClient ? Side::kServer : Side::kClient);
  batch_.hold_other(other.holds_text() ? &other : nullptr);
  splitter(from).feed(data, n, batch_);
  batch_.write_out();
}

void ConnectionLog::flush_held() {
  client_lines_.flush_held(batch_);
  server_lines_.flush_held(batch_);
  batch_.write_out();
}

void ConnectionLog::Batch::add_line(const char* prefix, const char* text, std::size_t length) {
  if (other_ != nullptr) {
    LineSplitter* held = other_;
    other_ = nullptr;
    held->flush_held(*this);
  }
  if (!annotated_) {
    // The lines of one read share the moment they were read.
    annotation_length_ = log_.annotation(number_, annotation_, sizeof annotation_);
    annotated_ = true;
  }
  const std::size_t prefix_length = std::strlen(prefix);
  const std::size_t needed = annotation_length_ + prefix_length + 1 + length + 1;
  if (used_ + needed > kCapacity) write_out();
  std::memcpy(buffer_ + used_, annotation_, annotation_length_);
  used_ += annotation_length_;
  std::memcpy(buffer_ + used_, prefix, prefix_length);
  used_ += prefix_length;
  if (length > 0) {
    buffer_[used_++] = ' ';
    std::memcpy(buffer_ + used_, text, length);
    used_ += length;
  }
  buffer_[used_++] = '\n';
}

void ConnectionLog::Batch::write_out() {
  log_.write(buffer_, used_);
  used_ = 0;
  annotated_ = false;
  other_ = nullptr;
}
