// How the log shows a relayed byte: printable ASCII (0x20..0x7E) as itself,
// every other byte as '.', so that no escape sequence from a peer reaches
// the console or the log.
#pragma once

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

}  // namespace shown_bytes
