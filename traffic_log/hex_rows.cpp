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

// Each byte's two lower-case hex digits.
struct HexPairs {
  char of[256][2];
  constexpr HexPairs() : of() {
    for (int byte = 0; byte < 256; ++byte) {
      of[byte][0] = kDigits[byte >> 4];
      of[byte][1] = kDigits[byte & 0xF];
    }
  }
};
constexpr HexPairs kHex;

std::size_t digits_of(std::uint64_t offset) {
  std::size_t digits = kOffsetDigits;
  while (digits < 16 && (offset >> (4 * digits)) != 0) ++digits;
  return digits;
}

char* put_offset(std::uint64_t offset, char* out) {
  const std::size_t digits = digits_of(offset);
  for (std::size_t i = digits; i > 0; --i, offset >>= 4) out[i - 1] = kDigits[offset & 0xF];
  return out + digits;
}

}  // namespace

std::size_t format_hex_row(std::uint64_t offset, const unsigned char* bytes, std::size_t count, char* row) {
  char* out = put_offset(offset, row);
  *out++ = ' ';
  *out++ = ' ';
  std::memset(out, ' ', kHexColumns);
  for (std::size_t i = 0; i < count; ++i)
    std::memcpy(out + 3 * i + (i >= kHalfRow ? 1 : 0), kHex.of[bytes[i]], 2);
  out += kHexColumns;
  *out++ = ' ';
  *out++ = '|';
  for (std::size_t i = 0; i < count; ++i) out[i] = shown_bytes::kTable.of[bytes[i]];
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
