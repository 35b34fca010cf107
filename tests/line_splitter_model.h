// A whole-stream model of the traffic lines, for tests: one byte at a time,
// with no buffer and no rescanning, so it cannot share a fault with the
// splitter's own bookkeeping. Lines are produced as the log shows them.
#pragma once

#include <string>
#include <vector>

struct LineSplitterModel {
  explicit LineSplitterModel(std::string line_prefix) : prefix(std::move(line_prefix)) {}

  void feed(const std::string& bytes) {
    for (const char c : bytes) take(c);
  }

  std::string prefix;
  std::vector<std::string> lines;
  std::string line;  // the unfinished line: what the splitter keeps pending
  int blank_run = 0;

 private:
  static bool is_line_end(char c) { return c == '\r' || c == '\n'; }
  static char shown(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte <= 0x7E ? c : '.';
  }

  void take(char c) {
    if (!is_line_end(c)) {
      // A 257th character starts a new piece of the line.
      if (line.size() == 256) end_line();
      line += shown(c);
      blank_run = 0;
    } else if (!line.empty()) {
      end_line();  // the line end is taken with the line
    } else {
      if (blank_run != 0) lines.push_back(prefix);
      if (c == '\n') ++blank_run;
    }
  }

  void end_line() {
    lines.push_back(prefix + " " + line);
    line.clear();
  }
};
