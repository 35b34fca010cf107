#include "capture/capture_file.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace capture {
namespace {

constexpr auto kStopWait = std::chrono::seconds(1);
// How long the writer lets packets gather after the first, and how much
// makes it write at once.
constexpr auto kGatherTime = std::chrono::milliseconds(5);
constexpr std::size_t kWriteSize = 1 << 20;
// Event loops wait while this much waits to be written: as much as the
// log's queue holds, room for a few milliseconds of a stalled disk at full
// speed. Its memory is taken once, not grown into at run time, and pages
// are touched only as far as the queue ever filled.
constexpr std::size_t kMostQueued = 4 << 20;
// Room for what one moment adds once the queue is nearly full: a read's
// segments, their headers and comments.
constexpr std::size_t kQueueRoom = kMostQueued + (256 << 10);

}  // namespace

// What the writer thread shares with its CaptureFile. The thread holds a
// reference of its own, so that it never uses freed memory as the file ends.
struct CaptureFile::State {
  platform::FileHandle file = platform::kNoFile;
  std::string path;
  Clock clock = platform::wall_clock_microseconds;

  std::mutex lock;
  std::condition_variable arrived;  // to the writer: blocks wait, or a hurry
  std::condition_variable written;  // from the writer: it took or wrote blocks
  PacketBlocks queued;
  bool writer_running = false;
  bool writing = false;  // the writer has taken blocks it has not written yet
  bool hurry = false;    // write what waits without gathering more
  bool closing = false;

  // Held by whoever writes to the file.
  std::timed_mutex file_lock;
  // Packets that could not be written since the last write that worked, and why.
  std::uint64_t lost_packets = 0;
  int lost_error = 0;

  static void run(void* reference);
  void serve();
  void write_whole(PacketBlocks& blocks);
};

CaptureFile::~CaptureFile() {
  if (!state_) return;
  State& state = *state_;
  {
    std::unique_lock<std::mutex> guard(state.lock);
    state.closing = true;
    state.arrived.notify_one();
    state.written.wait(guard, [&] { return !state.writer_running; });
  }
  platform::close_file(state.file);
}

bool CaptureFile::open(const char* path, const char* application, int* error) {
  const platform::FileHandle file = platform::open_binary_file(path, error);
  if (file == platform::kNoFile) return false;
  const std::string header = file_header(application);
  if (platform::append_whole(file, header.data(), header.size(), error) != platform::Appended::kAll) {
    platform::close_file(file);
    return false;
  }
  auto state = std::make_shared<State>();
  state->file = file;
  state->path = path;
  state->queued.reserve(kQueueRoom);
  state->writer_running = true;
  auto* reference = new std::shared_ptr<State>(state);
  if (!platform::start_detached_thread(State::run, reference)) {
    delete reference;
    state->writer_running = false;
  }
  state_ = std::move(state);
  return true;
}

void CaptureFile::set_clock(Clock clock) {
  const std::lock_guard<std::mutex> guard(state_->lock);
  state_->clock = clock;
}

void CaptureFile::write(PacketBlocks& blocks) {
  if (blocks.count() == 0) return;
  State& state = *state_;
  std::unique_lock<std::mutex> guard(state.lock);
  if (!state.writer_running) {
    blocks.stamp(state.clock());
    const std::lock_guard<std::timed_mutex> file_guard(state.file_lock);
    return state.write_whole(blocks);
  }
  state.written.wait(guard, [&] { return state.queued.size() < kMostQueued || !state.writer_running; });
  blocks.stamp(state.clock());
  const bool first = state.queued.count() == 0;
  state.queued.append(blocks);
  if (first || state.queued.size() >= kWriteSize) state.arrived.notify_one();
}

void CaptureFile::flush() {
  if (!state_) return;
  State& state = *state_;
  std::unique_lock<std::mutex> guard(state.lock);
  state.hurry = true;
  state.arrived.notify_one();
  state.written.wait(guard, [&] { return (state.queued.count() == 0 && !state.writing) || !state.writer_running; });
}

void CaptureFile::hold_for_stop() {
  if (!state_) return;
  State& state = *state_;
  // Never unlocked: the process is about to end.
  state.lock.lock();
  if (!state.file_lock.try_lock_for(kStopWait)) return;
  state.write_whole(state.queued);
}

void CaptureFile::State::run(void* reference) {
  const std::unique_ptr<std::shared_ptr<State>> owned(static_cast<std::shared_ptr<State>*>(reference));
  (*owned)->serve();
}

// Takes what has gathered and writes it with the queue let go, so that
// event loops go on queueing meanwhile.
void CaptureFile::State::serve() {
  PacketBlocks taken;
  taken.reserve(kQueueRoom);
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    arrived.wait(guard, [&] { return queued.count() > 0 || closing || hurry; });
    arrived.wait_for(guard, kGatherTime, [&] { return queued.size() >= kWriteSize || closing || hurry; });
    hurry = false;
    if (queued.count() == 0 && closing) break;
    std::swap(queued, taken);
    writing = true;
    written.notify_all();
    guard.unlock();
    {
      const std::lock_guard<std::timed_mutex> file_guard(file_lock);
      write_whole(taken);
    }
    taken.clear();
    guard.lock();
    writing = false;
    written.notify_all();
  }
  writer_running = false;
  written.notify_all();
}

// Once writing works again, the first packet says how many were lost, and
// why, in the same write: a write of the notice alone could fit where the
// packets do not. A part that stays in the file (a pipe, or a file written
// by someone else meanwhile) cannot be mended: a reader stops there.
void CaptureFile::State::write_whole(PacketBlocks& blocks) {
  if (blocks.count() == 0) return;
  if (lost_packets > 0) {
    char notice[256];
    std::snprintf(notice, sizeof notice, "Capture write failed: %llu packets lost (%s)",
                  static_cast<unsigned long long>(lost_packets), platform::error_reason(lost_error));
    blocks.comment_first(notice);
  }
  int error = 0;
  if (platform::append_whole(file, blocks.data(), blocks.size(), &error) == platform::Appended::kAll) {
    lost_packets = 0;
    return;
  }
  if (lost_packets == 0) {
    std::fprintf(stderr, "Can't write capture file %s: %s\n", path.c_str(), platform::error_reason(error));
    std::fflush(stderr);
  }
  lost_packets += blocks.count();
  lost_error = error;
}

}  // namespace capture
