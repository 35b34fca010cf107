// The capture file: every connection's packets go through one CaptureFile,
// which appends them as pcapng blocks, each write whole or not at all, so
// that the file reads cleanly whenever the program stops. Packets that
// could not be written (a full disk) are counted: standard error hears of
// it once per run of failures, and the first packet written again carries
// a comment with the count.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "capture/pcapng.h"
#include "platform/file.h"
#include "platform/process.h"

namespace capture {

class CaptureFile {
 public:
  CaptureFile() = default;
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;
  ~CaptureFile();

  // Creates or truncates the file at path and writes its header, naming
  // the application. On failure returns false with *error set.
  bool open(const char* path, const char* application, int* error);
  bool is_open() const { return file_ != platform::kNoFile; }
  // Where the packets' time comes from (tests: a clock of their own).
  using Clock = std::int64_t (*)();
  void set_clock(Clock clock) { clock_ = clock; }

  // Appends the blocks in one write, their time taken once the file is
  // held, so that the file is in the order of its times.
  void write(PacketBlocks& blocks);

  // Holds the file for good once the write under way is done (waiting at
  // most about a second), so that a stopping process leaves whole blocks.
  void hold_for_stop();

 private:
  void note_failure(std::size_t packets, int error);

  std::timed_mutex lock_;
  platform::FileHandle file_ = platform::kNoFile;
  std::string path_;
  Clock clock_ = platform::wall_clock_microseconds;
  // Packets that could not be written since the last write that worked, and why.
  std::uint64_t lost_packets_ = 0;
  int lost_error_ = 0;
};

}  // namespace capture
