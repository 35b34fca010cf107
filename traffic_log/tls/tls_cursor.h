// Reads one structure of a buffered TLS message field by field. Each read is
// checked against the length the structure declares and against the bytes
// buffered so far. The first read that fails stops every cursor of the
// message: later reads read nothing (no bytes, the number 0), and the stop
// says whether the message is broken or how many more bytes it needs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

class TlsCursor {
 public:
  using Bytes = std::span<const unsigned char>;
  struct Stop {
    bool broken = false;
    std::size_t missing = 0;  // bytes beyond those buffered that the failed read needed
    bool any() const { return broken || missing > 0; }
  };

  TlsCursor(const unsigned char* data, std::size_t declared, std::size_t buffered, Stop& stop)
      : data_(data), declared_(declared), buffered_(std::min(buffered, declared)), stop_(stop) {}

  Bytes read_bytes(std::size_t n) {
    if (n > declared_ - offset_) mark_broken();
    // Past a field it opened, a cursor may stand beyond its buffered bytes.
    if (!stop_.any() && offset_ + n > buffered_) stop_.missing = offset_ + n - buffered_;
    if (stop_.any()) return {};
    offset_ += n;
    return {data_ + offset_ - n, n};
  }
  std::uint32_t read_u8() { return read_number(1); }
  std::uint32_t read_u16() { return read_number(2); }
  void skip_bytes(std::size_t n) { read_bytes(n); }
  void skip_to_end() { read_bytes(declared_ - offset_); }
  void mark_broken() {
    if (!stop_.any()) stop_.broken = true;
  }
  bool stopped() const { return stop_.any(); }
  bool at_end() const { return offset_ == declared_ || stopped(); }

  // The field behind a length of prefix_size bytes (1 to 3), as a cursor of
  // its own; this one moves past it. Read the field to its end first.
  TlsCursor open_field(std::size_t prefix_size) {
    const std::uint32_t length = read_number(prefix_size);
    if (length > declared_ - offset_) mark_broken();
    if (stop_.any()) return {data_, 0, 0, stop_};
    offset_ += length;
    return {data_ + offset_ - length, length, buffered_ - (offset_ - length), stop_};
  }

 private:
  std::uint32_t read_number(std::size_t size) {
    std::uint32_t value = 0;
    for (const unsigned char byte : read_bytes(size)) value = value << 8 | byte;
    return value;
  }

  const unsigned char* data_;
  std::size_t declared_;
  std::size_t buffered_;
  std::size_t offset_ = 0;
  Stop& stop_;
};
