#include "traffic_log/line_splitter.h"

#include <cstring>

#include "traffic_log/log_output.h"

namespace {

constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';

bool is_line_end(char c) {
  return c == kCarriageReturn || c == kLineFeed;
}

// In the copy every byte below the blank has become a dot except CR and LF,
// so one comparison finds a line end in the scan, the hot loop.
bool is_line_end_in_copy(char c) {
  return static_cast<unsigned char>(c) < 0x20;
}

// Control bytes, DEL and everything above 0x7E are shown as dots.
char printable(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (is_line_end(c) || (byte >= 0x20 && byte <= 0x7E)) ? c : '.';
}

}  // namespace

void LineSplitter::feed(const char* data, std::int32_t n) {
  if (n < 0) n = 0;
  if (n > kPendingSize - pending_len) n = kPendingSize - pending_len;
  for (std::int32_t index = 0; index < n; ++index) pending[pending_len + index] = printable(data[index]);
  pending_len += n;

  LogBatch lines;
  while (pending_len > 0) {
    // A line ends at the first CR or LF, or after 256 bytes without either
    // once a 257th byte is there to be looked at.
    const std::int32_t limit = pending_len < kLineCut ? pending_len : kLineCut;
    std::int32_t i = 0;
    while (i < limit && !is_line_end_in_copy(pending[i])) ++i;
    if (i > 0) blank_run = 0;
    if (i == pending_len) break;  // an unfinished line waits for the next feed

    const char c = pending[i];
    std::int32_t consumed;
    if (i > 0) {
      lines.add_line(prefix, pending, static_cast<std::size_t>(i));
      // A line end right behind a 256-character cut is taken with the cut.
      consumed = (i == kLineCut && !is_line_end(c)) ? i : i + 1;
    } else {
      if (blank_run != 0) lines.add_line(prefix, nullptr, 0);
      if (c == kLineFeed) ++blank_run;
      consumed = 1;
    }
    pending_len -= consumed;
    std::memmove(pending, pending + consumed, static_cast<std::size_t>(pending_len));
  }
}
