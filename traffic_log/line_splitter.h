// Turns one direction's relayed bytes into log lines behind a prefix (">>>"
// from the client, "<<<" from the server). Lines may arrive split over many
// reads, so the unfinished tail waits in `pending` for the next feed.
// Unprintable bytes become dots in the log only; the data fed is never
// changed. No allocation: the buffer is part of the object.
#pragma once

#include <cstdint>

struct LineSplitter {
  static constexpr int kPendingSize = 1024;
  // A line longer than this is logged in pieces of this many characters.
  static constexpr int kLineCut = 256;

  explicit LineSplitter(const char* line_prefix) : prefix(line_prefix) {}

  // Logs every line that the bytes complete. n is at most 512, so the pending
  // tail (at most 256 between feeds) and the new bytes always fit.
  void feed(const char* data, std::int32_t n);

  const char* prefix;
  char pending[kPendingSize] = {};
  std::int32_t pending_len = 0;
  // Line feeds met at the front of pending since the last byte that was
  // neither CR nor LF: decides when an empty line logs the prefix alone.
  std::int32_t blank_run = 0;
};
