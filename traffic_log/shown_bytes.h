// How the log shows a relayed byte: printable ASCII (0x20..0x7E) as itself,
// every other byte as '.', so that no escape sequence from a peer reaches
// the console or the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// True when any of the eight bytes is below 0x20 or above 0x7E (it may also
// say so of a word without one; the caller then only looks closer).
inline bool has_unprintable(std::uint64_t word) {
  constexpr std::uint64_t kEveryByte = 0x0101010101010101ull;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  const std::uint64_t below_blank = (word - kEveryByte * 0x20) & ~word;
  const std::uint64_t above_tilde = (word + kEveryByte * (0x7F - 0x7E)) | word;
  return ((below_blank | above_tilde) & kHighBits) != 0;
}

// Copies n bytes as the log shows them; eight at a time while they are
// printable, the common case of text traffic.
inline void copy_all_shown(const unsigned char* from, std::size_t n, char* to) {
  std::size_t i = 0;
  for (std::uint64_t word; i + sizeof word <= n; i += sizeof word) {
    std::memcpy(&word, from + i, sizeof word);
    if (has_unprintable(word)) {
      for (std::size_t j = i; j < i + sizeof word; ++j) to[j] = kTable.of[from[j]];
    } else {
      std::memcpy(to + i, &word, sizeof word);
    }
  }
  for (; i < n; ++i) to[i] = kTable.of[from[i]];
}

}  // namespace shown_bytes
