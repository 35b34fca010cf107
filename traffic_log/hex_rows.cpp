#include "traffic_log/hex_rows.h"

#include <algorithm>
#include <cstring>

#include "traffic_log/shown_bytes.h"

namespace {

constexpr std::size_t kOffsetDigits = 8;  // at least; more once the offset needs them
// Three columns a byte, one more blank between the two halves of a row.
constexpr std::size_t kHexColumns = 3 * HexRows::kBytesPerRow + 1;
constexpr std::size_t kHalfRow = HexRows::kBytesPerRow / 2;
constexpr char kDigits[] = "0123456789abcdef";

// Each byte's two lower-case hex digits and a blank, stored four bytes at a
// time: the fourth (a blank) is overwritten by the next cell or is the blank
// that follows anyway.
struct HexCells {
  char of[256][4];
  constexpr HexCells() : of() {
    for (int byte = 0; byte < 256; ++byte) {
      of[byte][0] = kDigits[byte >> 4];
      of[byte][1] = kDigits[byte & 0xF];
      of[byte][2] = ' ';
      of[byte][3] = ' ';
    }
  }
};
constexpr HexCells kCells;

char* put_offset(std::uint64_t offset, char* out) {
  if (offset >> 32 == 0) {  // two digits at a time
    for (std::size_t i = kOffsetDigits; i > 0; i -= 2, offset >>= 8)
      std::memcpy(out + i - 2, kCells.of[offset & 0xFF], 2);
    return out + kOffsetDigits;
  }
  std::size_t digits = kOffsetDigits;
  while (digits < 16 && (offset >> (4 * digits)) != 0) ++digits;
  for (std::size_t i = digits; i > 0; --i, offset >>= 4) out[i - 1] = kDigits[offset & 0xF];
  return out + digits;
}

// The hex cells of count bytes (a constant count lets the compiler unroll).
inline void put_cells(const unsigned char* bytes, std::size_t count, char* out) {
  for (std::size_t i = 0; i < count; ++i) std::memcpy(out + 3 * i + i / kHalfRow, kCells.of[bytes[i]], 4);
}

}  // namespace

std::size_t format_hex_row(std::uint64_t offset, const unsigned char* bytes, std::size_t count, char* row) {
  char* out = put_offset(offset, row);
  *out++ = ' ';
  *out++ = ' ';
  if (count == HexRows::kBytesPerRow) {
    put_cells(bytes, HexRows::kBytesPerRow, out);
  } else {
    put_cells(bytes, count, out);
    const std::size_t filled = 3 * count + (count > kHalfRow ? 1 : 0);
    std::memset(out + filled, ' ', kHexColumns - filled);
  }
  out += kHexColumns;
  *out++ = ' ';
  *out++ = '|';
  shown_bytes::copy_all_shown(bytes, count, out);
  out += count;
  *out++ = '|';
  return static_cast<std::size_t>(out - row);
}

void HexRows::feed(const char* data, std::size_t n, LineSink& sink) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  char row[kRowSize];
  for (std::size_t done = 0; done < n; done += kBytesPerRow) {
    const std::size_t count = std::min(kBytesPerRow, n - done);
    sink.add_line(prefix_, row, format_hex_row(offset_ + done, bytes + done, count, row));
  }
  offset_ += n;
}
