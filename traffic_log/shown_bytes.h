// How the log shows a relayed byte: printable ASCII (0x20..0x7E) as itself,
// every other byte as '.', so that no escape sequence from a peer reaches
// the console or the log.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace shown_bytes {

inline constexpr bool is_printable(int byte) {
  return byte >= 0x20 && byte <= 0x7E;
}

// Each byte as the log shows it, looked up by its unsigned value.
struct Table {
  char of[256];
  constexpr Table() : of() {
    for (int byte = 0; byte < 256; ++byte) of[byte] = is_printable(byte) ? static_cast<char>(byte) : '.';
  }
};
inline constexpr Table kTable;

namespace word {

constexpr std::uint64_t kEveryByte = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
constexpr std::uint64_t kLowBits = 0x7F7F7F7F7F7F7F7Full;

// The high bit of each byte that is zero, exactly (no carry between bytes).
inline constexpr std::uint64_t zero_bytes(std::uint64_t word) {
  return ~(((word & kLowBits) + kLowBits) | word) & kHighBits;
}

// The high bit of each byte outside 0x20..0x7E, exactly: a set high bit, or
// low seven bits below 0x20 or equal to 0x7F (sums that stay within a byte).
inline constexpr std::uint64_t unprintable_bytes(std::uint64_t word) {
  const std::uint64_t low = word & kLowBits;
  const std::uint64_t below_blank = ~(low + kEveryByte * (0x80 - 0x20));
  const std::uint64_t is_delete = low + kEveryByte;
  return (below_blank | is_delete | word) & kHighBits;
}

// The high bit of each CR and LF byte, exactly.
inline constexpr std::uint64_t line_ends(std::uint64_t word) {
  return zero_bytes(word ^ (kEveryByte * '\n')) | zero_bytes(word ^ (kEveryByte * '\r'));
}

// The place in memory of the first byte whose high bit is set in marks (not
// 0).
inline constexpr std::size_t first_marked(std::uint64_t marks) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(marks)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(marks)) / 8;
  }
}

}  // namespace word

#if defined(__SSE2__)
namespace chunk {

// Sixteen bytes at `from` stored at `to` as the log shows them; returns a
// bit for each CR and LF among them (bit i for byte i).
inline unsigned copy_shown(const char* from, char* to) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
  // Signed compares: 0x80..0xFF are negative, so below the blank too.
  const __m128i printable = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(0x1F)),
                                          _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x7F)));
  const __m128i shown = _mm_or_si128(_mm_and_si128(printable, bytes),
                                     _mm_andnot_si128(printable, _mm_set1_epi8('.')));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), shown);
  const __m128i ends = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                    _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')));
  return static_cast<unsigned>(_mm_movemask_epi8(ends));
}

}  // namespace chunk
#endif

// The eight bytes with a dot for each byte named in unprintable (as
// unprintable_bytes names them), all at once.
inline constexpr std::uint64_t with_dots(std::uint64_t word, std::uint64_t unprintable) {
  const std::uint64_t dotted = (unprintable >> 7) * 0xFF;
  return (word & ~dotted) | (word::kEveryByte * '.' & dotted);
}

// The eight bytes as the log shows them.
inline constexpr std::uint64_t shown_word(std::uint64_t word) {
  return with_dots(word, word::unprintable_bytes(word));
}

// Copies n bytes as the log shows them, eight at a time.
inline void copy_all_shown(const unsigned char* from, std::size_t n, char* to) {
  std::size_t i = 0;
  for (std::uint64_t word; i + sizeof word <= n; i += sizeof word) {
    std::memcpy(&word, from + i, sizeof word);
    word = shown_word(word);
    std::memcpy(to + i, &word, sizeof word);
  }
  for (; i < n; ++i) to[i] = kTable.of[from[i]];
}

}  // namespace shown_bytes
