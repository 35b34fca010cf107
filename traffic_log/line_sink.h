// Where a connection's lines go as its bytes are turned into them: the
// batch of one turn at the log, or a test's list. Lines have no line end.
#pragma once

#include <cstddef>

class LineSink {
 public:
  // One traffic line: the prefix (">>>" or "<<<"), a blank and the text, or
  // the prefix alone when length is 0.
  virtual void add_line(const char* prefix, const char* text, std::size_t length) = 0;
  // One event line among the traffic lines (no prefix).
  virtual void add_event(const char* text, std::size_t length) = 0;

 protected:
  ~LineSink() = default;
};
