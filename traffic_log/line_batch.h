// The lines of one connection's turn at the log (one read, or one event),
// gathered so that they reach the log in one write (more when they do not
// fit), each with the annotation of the turn's time, or, for a line begun in
// an earlier read, of that read's time. A turn runs on one thread from
// begin to write_out, so the bytes are gathered in a buffer of the thread's,
// not of the connection's: thousands of connections on a few threads share a
// few buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "traffic_log/line_sink.h"
#include "traffic_log/log.h"

class LineBatch final : public LineSink {
 public:
  LineBatch(Log& log, ConnectionNumber number) : log_(log), number_(number) {}
  LineBatch(const LineBatch&) = delete;
  LineBatch& operator=(const LineBatch&) = delete;

  // Lines are added only between begin and write_out.
  void begin(Log::Turn& turn);
  void add_line(const char* prefix, const char* text, std::size_t length) override;
  void add_event(const char* text, std::size_t length) override;
  // The lines are written into the batch itself.
  LineRoom line_room(const char* prefix, std::size_t longest) override;
  void lines_written(const char*, std::size_t length) override { used_ += length; }
  // The next line carries this time instead of the turn's.
  void next_line_at(std::int64_t time_us) {
    next_line_time_us_ = time_us;
    next_line_timed_ = true;
  }
  // A time set by next_line_at still waits for its line.
  bool next_line_timed() const { return next_line_timed_; }
  void write_out();

 private:
  void set_head(const char* prefix);
  void append(const char* head, std::size_t head_length, const char* text, std::size_t length);
  void flush();

  static constexpr std::size_t kCapacity = 96 * 1024;
  static constexpr std::size_t kPrefixRoom = 8;
  Log& log_;
  ConnectionNumber number_;
  Log::Turn* turn_ = nullptr;
  bool next_line_timed_ = false;
  std::int64_t next_line_time_us_ = 0;
  // How lines start: the annotation of head_time_us_, then for traffic
  // lines the prefix of head_prefix_ and a blank.
  char head_[kAnnotationSize + kPrefixRoom];
  bool head_valid_ = false;
  std::int64_t head_time_us_ = 0;
  std::size_t annotation_length_ = 0;
  std::size_t head_length_ = 0;
  const char* head_prefix_ = nullptr;
  std::size_t used_ = 0;
  char* buffer_ = nullptr;  // the thread's, during a turn
};
