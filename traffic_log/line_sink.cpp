#include "traffic_log/line_sink.h"

#include <cstring>
#include <string>

namespace {

// The lines written in place for a sink that takes them one by one: used
// between line_room and lines_written, on one thread.
struct Scratch {
  std::string lines;
  std::string head;
};

Scratch& scratch() {
  thread_local Scratch kept;
  return kept;
}

}  // namespace

LineSink::LineRoom LineSink::line_room(const char* prefix, std::size_t longest) {
  Scratch& kept = scratch();
  kept.head.assign(prefix).push_back(' ');
  const std::size_t line_size = kept.head.size() + longest + 1;
  if (kept.lines.size() < line_size) kept.lines.resize(line_size);
  return LineRoom{kept.lines.data(), kept.lines.size(), kept.head.data(), kept.head.size()};
}

void LineSink::lines_written(const char* prefix, std::size_t length) {
  const Scratch& kept = scratch();
  const char* line = kept.lines.data();
  const char* const end = line + length;
  while (line < end) {
    const char* text = line + kept.head.size();
    const auto* line_end = static_cast<const char*>(std::memchr(text, '\n', static_cast<std::size_t>(end - text)));
    add_line(prefix, text, static_cast<std::size_t>(line_end - text));
    line = line_end + 1;
  }
}
