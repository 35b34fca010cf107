// Turns one direction's relayed bytes into hex dump rows behind its prefix
// (">>>" or "<<<"): 16 bytes a row, as
//   >>> 00000000  48 45 4c 4f 20 61 0d 0a  00 1b 61 72 79 0a 00 00  |HELO a....ary...|
// the offset counting the direction's bytes across reads, then the bytes in
// hex and as the text log shows them. Every read starts a row of its own, so
// each read's bytes are logged at once; its last row may be short.
#pragma once

#include <cstddef>
#include <cstdint>

#include "traffic_log/line_sink.h"

class HexRows {
 public:
  static constexpr std::size_t kBytesPerRow = 16;
  // The longest row: a 16-digit offset, the hex columns and the text.
  static constexpr std::size_t kRowSize = 16 + 2 + 3 * kBytesPerRow + 1 + 2 + kBytesPerRow + 1;

  explicit HexRows(const char* line_prefix) : prefix_(line_prefix) {}

  // Logs the bytes of one read as rows.
  void feed(const char* data, std::size_t n, LineSink& sink);
  // Counts bytes that were logged some other way (as TLS records), so that
  // offsets stay positions in the direction's stream.
  void skip(std::size_t n) { offset_ += n; }

 private:
  const char* prefix_;
  std::uint64_t offset_ = 0;
};

// Formats one row of up to 16 bytes at offset into row (kRowSize bytes of
// room); a short row's hex columns are padded with blanks so that its text
// starts where a full row's does. Returns the row's length.
std::size_t format_hex_row(std::uint64_t offset, const unsigned char* bytes, std::size_t count, char* row);
