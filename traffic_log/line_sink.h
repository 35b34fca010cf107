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

  // Traffic lines written in place, so that many short lines cost no call
  // each: line_room gives the head that starts each line behind prefix, and
  // room for at least one line of up to `longest` characters (head, text,
  // LF); the writer puts there whole lines (1 or more characters of text
  // each) and then says how many bytes they took. Nothing else is added in
  // between. A sink that keeps no buffer of its own is given the lines one
  // by one through add_line.
  struct LineRoom {
    char* at;
    std::size_t size;
    const char* head;
    std::size_t head_length;
  };
  virtual LineRoom line_room(const char* prefix, std::size_t longest);
  virtual void lines_written(const char* prefix, std::size_t length);

 protected:
  ~LineSink() = default;
};
