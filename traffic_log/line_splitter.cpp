#include "traffic_log/line_splitter.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#include "traffic_log/shown_bytes.h"

namespace {

constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';

bool is_line_end(char c) {
  return c == kCarriageReturn || c == kLineFeed;
}

// Each byte as the log shows it, and 0 for CR and LF, which end the copy.
struct ShownBytes : shown_bytes::Table {
  constexpr ShownBytes() {
    of[static_cast<unsigned char>(kCarriageReturn)] = 0;
    of[static_cast<unsigned char>(kLineFeed)] = 0;
  }
};
constexpr ShownBytes kShown;

}  // namespace

std::size_t copy_shown(const char* from, std::size_t n, char* to) {
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const unsigned line_ends = shown_bytes::chunk::copy_shown(from + i, to + i);
    if (line_ends != 0) return i + static_cast<std::size_t>(std::countr_zero(line_ends));
  }
#endif
  // Eight bytes at a time; text's words, all printable, are copied as they
  // are (CR and LF are not printable either).
  for (std::uint64_t word; i + sizeof word <= n; i += sizeof word) {
    std::memcpy(&word, from + i, sizeof word);
    const std::uint64_t unprintable = shown_bytes::word::unprintable_bytes(word);
    if (unprintable == 0) {
      std::memcpy(to + i, &word, sizeof word);
      continue;
    }
    const std::uint64_t line_ends = shown_bytes::word::line_ends(word);
    word = shown_bytes::with_dots(word, unprintable);
    std::memcpy(to + i, &word, sizeof word);
    if (line_ends != 0) return i + shown_bytes::word::first_marked(line_ends);
  }
  for (; i < n; ++i) {
    const char c = kShown.of[static_cast<unsigned char>(from[i])];
    if (c == 0) return i;
    to[i] = c;
  }
  return n;
}

void LineSplitter::feed(const char* data, std::size_t n, LineSink& sink) {
  std::size_t i = 0;
  while (i < n) {
    if (pending_len_ != 0) {
      i += take_text(data + i, n - i, sink);
    } else if (is_line_end(data[i])) {
      take_line_end(data[i], sink);
      ++i;
    } else {
      i += take_whole_lines(data + i, n - i, sink);
    }
  }
}

// The lines that start at data, one after the other, written straight into
// the sink's room, with the rules of take_text and take_line_end: a line
// ends at a line end (the LF of a CR LF taken with it) or at the cut. Stops
// before a line end at the front, which may log an empty line, and keeps an
// unfinished line at the end pending. Returns the count of bytes taken.
std::size_t LineSplitter::take_whole_lines(const char* data, std::size_t n, LineSink& sink) {
  held_line_open_ = false;
  LineSink::LineRoom room = sink.line_room(prefix_, kLineCut);
  char* out = room.at;
  std::size_t i = 0;
  while (i < n && !is_line_end(data[i])) {
    if (room.at + room.size - out < static_cast<std::ptrdiff_t>(room.head_length + kLineCut + 1)) {
      sink.lines_written(prefix_, static_cast<std::size_t>(out - room.at));
      room = sink.line_room(prefix_, kLineCut);
      out = room.at;
    }
    const std::size_t looked_at = std::min(n - i, kLineCut);
    char* const text = out + room.head_length;
    const std::size_t copied = copy_shown(data + i, looked_at, text);
    blank_run_ = 0;
    const bool cut = copied == kLineCut && n - i > kLineCut;
    if (copied == looked_at && !cut) {  // the line goes on in a later read
      std::memcpy(pending_, text, copied);
      pending_len_ = copied;
      i = n;
      break;
    }
    std::memcpy(out, room.head, room.head_length);
    out = text + copied;
    *out++ = kLineFeed;
    i += copied;
    if (cut) {  // a line end right behind the cut is taken with it
      if (is_line_end(data[i])) ++i;
      continue;
    }
    const char line_end = data[i++];
    if (line_end == kCarriageReturn && i < n && data[i] == kLineFeed) {
      ++i;
      blank_run_ = 1;
    }
  }
  sink.lines_written(prefix_, static_cast<std::size_t>(out - room.at));
  return i;
}

// A line end at the front: an empty line, or the end of a line that
// flush_held has already logged.
void LineSplitter::take_line_end(char line_end, LineSink& sink) {
  if (held_line_open_) {
    held_line_open_ = false;
    return;
  }
  if (blank_run_ != 0) sink.add_line(prefix_, nullptr, 0);
  if (line_end == kLineFeed) ++blank_run_;
}

// Takes text up to and including the line end that ends it, or up to the
// 256-character cut, or all of data when the line goes on. Returns the count
// of bytes taken.
std::size_t LineSplitter::take_text(const char* data, std::size_t n, LineSink& sink) {
  held_line_open_ = false;
  blank_run_ = 0;
  const std::size_t room = kLineCut - pending_len_;
  const std::size_t looked_at = std::min(n, room);
  const std::size_t copied = copy_shown(data, looked_at, pending_ + pending_len_);
  pending_len_ += copied;
  if (copied < looked_at) {  // a line end: taken with its line
    log_pending(sink);
    return copied + 1;
  }
  // The cut happens only once a byte behind the 256th is there to be looked
  // at; a line end right behind the cut is taken with it.
  if (copied == room && n > room) {
    log_pending(sink);
    return is_line_end(data[room]) ? room + 1 : room;
  }
  return copied;
}

void LineSplitter::log_pending(LineSink& sink) {
  sink.add_line(prefix_, pending_, pending_len_);
  pending_len_ = 0;
}

void LineSplitter::flush_held(LineSink& sink) {
  if (pending_len_ == 0) return;
  log_pending(sink);
  held_line_open_ = true;
}
