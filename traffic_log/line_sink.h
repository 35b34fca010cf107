// Where traffic lines go: the log's batch of one read, or a test's list.
#pragma once

#include <cstddef>

class LineSink {
 public:
  // One traffic line: the prefix (">>>" or "<<<"), a blank and the text, or
  // the prefix alone when length is 0.
  virtual void add_line(const char* prefix, const char* text, std::size_t length) = 0;

 protected:
  ~LineSink() = default;
};
