#include "capture/capture_file.h"

#include <chrono>
#include <cstdio>

namespace capture {
namespace {

constexpr auto kStopWait = std::chrono::seconds(1);

}  // namespace

CaptureFile::~CaptureFile() {
  if (is_open()) platform::close_file(file_);
}

bool CaptureFile::open(const char* path, const char* application, int* error) {
  const platform::FileHandle file = platform::open_binary_file(path, error);
  if (file == platform::kNoFile) return false;
  const std::string header = file_header(application);
  if (platform::append_whole(file, header.data(), header.size(), error) != platform::Appended::kAll) {
    platform::close_file(file);
    return false;
  }
  file_ = file;
  path_ = path;
  return true;
}

// Once writing works again, the first packet says how many were lost, and
// why, in the same write: a write of the notice alone could fit where the
// packets do not.
void CaptureFile::write(PacketBlocks& blocks) {
  if (blocks.count() == 0) return;
  const std::lock_guard<std::timed_mutex> guard(lock_);
  blocks.stamp(clock_());
  if (lost_packets_ > 0) {
    char notice[256];
    std::snprintf(notice, sizeof notice, "Capture write failed: %llu packets lost (%s)",
                  static_cast<unsigned long long>(lost_packets_), platform::error_reason(lost_error_));
    blocks.comment_first(notice);
  }
  int error = 0;
  const platform::Appended appended = platform::append_whole(file_, blocks.data(), blocks.size(), &error);
  if (appended != platform::Appended::kAll) return note_failure(blocks.count(), error);
  lost_packets_ = 0;
}

// A part that stays in the file (a pipe, or a file written by someone else
// meanwhile) cannot be mended: the reader stops there.
void CaptureFile::note_failure(std::size_t packets, int error) {
  if (lost_packets_ == 0) {
    std::fprintf(stderr, "Can't write capture file %s: %s\n", path_.c_str(), platform::error_reason(error));
    std::fflush(stderr);
  }
  lost_packets_ += packets;
  lost_error_ = error;
}

void CaptureFile::hold_for_stop() {
  // Never unlocked: the process is about to end.
  (void)lock_.try_lock_for(kStopWait);
}

}  // namespace capture
