// One connection's part of the log: its event lines and its traffic, both
// directions, annotated with its number when the log asks for it. Text that
// one direction holds back (a line without its end yet) is logged as a line
// of its own before the other direction's next line and before the closing
// line, so that the log shows the conversation in the order it was read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "traffic_log/line_sink.h"
#include "traffic_log/line_splitter.h"
#include "traffic_log/log.h"

enum class Side { kClient, kServer };

class ConnectionLog {
 public:
  ConnectionLog(Log& log, ConnectionNumber number);
  ConnectionLog(const ConnectionLog&) = delete;
  ConnectionLog& operator=(const ConnectionLog&) = delete;

  ConnectionNumber number() const { return number_; }

  // One event line of this connection.
  void event(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The bytes of one read from that side's peer, logged before they are
  // relayed, in one write to the log.
  void traffic(Side from, const char* data, std::size_t n);
  // Logs what both directions hold back, before the closing line.
  void flush_held();

 private:
  // Gathers the lines of one read so that they reach the log in one write.
  class Batch : public LineSink {
   public:
    Batch(Log& log, ConnectionNumber number) : log_(log), number_(number) {}
    void add_line(const char* prefix, const char* text, std::size_t length) override;
    // Before the first line, the lines the other direction holds back.
    void hold_other(LineSplitter* other) { other_ = other; }
    void write_out();

   private:
    static constexpr std::size_t kCapacity = 96 * 1024;
    Log& log_;
    ConnectionNumber number_;
    LineSplitter* other_ = nullptr;
    char annotation_[Log::kAnnotationSize];
    std::size_t annotation_length_ = 0;
    bool annotated_ = false;
    std::size_t used_ = 0;
    char buffer_[kCapacity];
  };

  LineSplitter& splitter(Side side) { return side == Side::kClient ? client_lines_ : server_lines_; }

  Log& log_;
  ConnectionNumber number_;
  LineSplitter client_lines_{">>>"};
  LineSplitter server_lines_{"<<<"};
  Batch batch_;
};
