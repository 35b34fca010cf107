#include "traffic_log/line_batch.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// Made on a thread's first turn, kept for its life.
char* thread_buffer(std::size_t capacity) {
  thread_local std::unique_ptr<char[]> buffer;
  if (!buffer) buffer = std::make_unique<char[]>(capacity);
  return buffer.get();
}

}  // namespace

void LineBatch::begin(Log::Turn& turn) {
  turn_ = &turn;
  next_line_timed_ = false;
  buffer_ = thread_buffer(kCapacity);
}

void LineBatch::add_line(const char* prefix, const char* text, std::size_t length) {
  set_head(prefix);
  // The prefix alone, without its blank, for an empty line.
  append(head_, length > 0 ? head_length_ : head_length_ - 1, text, length);
}

void LineBatch::add_event(const char* text, std::size_t length) {
  set_head(nullptr);
  append(head_, annotation_length_, text, length);
}

LineSink::LineRoom LineBatch::line_room(const char* prefix, std::size_t longest) {
  set_head(prefix);
  if (used_ + head_length_ + longest + 1 > kCapacity) flush();
  return LineRoom{buffer_ + used_, kCapacity - used_, head_, head_length_};
}

// Lines mostly share one head: it is made again only when the time or the
// prefix changes.
void LineBatch::set_head(const char* prefix) {
  const std::int64_t time_us = next_line_timed_ ? next_line_time_us_ : turn_->now_us();
  next_line_timed_ = false;
  if (!head_valid_ || time_us != head_time_us_) {
    annotation_length_ = log_.annotate() ? format_annotation(number_, time_us, head_, kAnnotationSize) : 0;
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

void LineBatch::append(const char* head, std::size_t head_length, const char* text,
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

void LineBatch::flush() {
  turn_->write(buffer_, used_);
  used_ = 0;
}

void LineBatch::write_out() {
  flush();
  turn_ = nullptr;
  buffer_ = nullptr;
  next_line_timed_ = false;
}
