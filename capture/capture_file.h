// The capture file: every connection's packets go through one CaptureFile.
// An event loop only stamps its blocks with the time and queues them; a
// writer thread of the file's own appends what has gathered (for a few
// milliseconds, or a megabyte) in one write, so that an event loop waits
// for the disk only once 4 MiB wait, and each write is of whole blocks: the
// file reads cleanly whenever the program ends, and a stop writes what
// waits first.
// Packets that could not be written (a full disk) are counted: standard
// error hears of it once per run of failures, and the first packet written
// again carries a comment with the count.
#pragma once

#include <cstdint>
#include <memory>

#include "capture/pcapng.h"

namespace capture {

class CaptureFile {
 public:
  CaptureFile() = default;
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;
  // Once what waits is written.
  ~CaptureFile();

  // Creates or truncates the file at path, writes its header, naming the
  // application, and starts the writer (without one, each write is made at
  // once). On failure returns false with *error set.
  bool open(const char* path, const char* application, int* error);
  bool is_open() const { return state_ != nullptr; }
  // Where the packets' time comes from (tests: a clock of their own).
  using Clock = std::int64_t (*)();
  void set_clock(Clock clock);

  // Queues the blocks, their time taken once the queue is held, so that the
  // file is in the order of its times. Waits while too much is queued.
  void write(PacketBlocks& blocks);
  // Returns once everything queued is in the file.
  void flush();

  // Writes what waits once the write under way is done (waiting at most
  // about a second), then holds the file for good, so that a stopping
  // process leaves whole blocks.
  void hold_for_stop();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace capture
