#include "traffic_log/console_echo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace {

// A pipe takes a write of up to this many bytes (PIPE_BUF) whole or not at
// all: lines written in pieces of this size never reach a pipe cut, even
// when the process ends in the middle of a write.
constexpr std::size_t kWriteSize = 4096;
constexpr auto kStopWait = std::chrono::seconds(1);
// The log hands on all it wrote at once: a burst larger than the room left
// is taken this much at a time, so that it is cut at a line, not left out
// whole while the console keeps up.
constexpr std::size_t kAddSize = 64 * 1024;

std::uint64_t count_lines(const char* text, std::size_t length) {
  return static_cast<std::uint64_t>(std::count(text, text + length, '\n'));
}

// The console, as the queue's output.
class Console final : public LineQueue::Output {
 public:
  explicit Console(ConsoleEcho::Writer writer) : writer_(writer) {}
  bool take(const char* lines, std::size_t length) override { return writer_(lines, length); }

 private:
  ConsoleEcho::Writer writer_;
};

}  // namespace

ConsoleEcho::~ConsoleEcho() {
  stop();
}

bool ConsoleEcho::start(Writer writer, std::size_t capacity) {
  return queue_.start(std::make_shared<Console>(writer), capacity, kWriteSize);
}

void ConsoleEcho::add(const char* text, std::size_t length) {
  const std::lock_guard<std::mutex> guard(lock_);
  for (std::size_t piece; length > 0; text += piece, length -= piece) {
    piece = whole_lines_within(text, length, kAddSize);
    const LineQueue::Added added = missed_ == 0 ? queue_.try_add(text, piece) : add_after_missed(text, piece);
    if (added == LineQueue::Added::kNoRoom) missed_ += count_lines(text, piece);
  }
}

std::uint64_t ConsoleEcho::missed_lines() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return missed_;
}

bool ConsoleEcho::drained() const {
  return queue_.drained();
}

void ConsoleEcho::stop() {
  queue_.stop(std::chrono::steady_clock::now() + kStopWait);
}

// Once lines were left out, nothing more is queued until the console has
// taken all that was: then it is told, once, how many it did not get, in
// front of the lines that follow.
LineQueue::Added ConsoleEcho::add_after_missed(const char* text, std::size_t length) {
  if (!queue_.drained()) return LineQueue::Added::kNoRoom;
  char notice[96];
  const int notice_length =
      std::snprintf(notice, sizeof notice, "Console echo missed %llu lines (the log file has them)\n",
                    static_cast<unsigned long long>(missed_));
  std::string joined(notice, static_cast<std::size_t>(std::max(notice_length, 0)));
  joined.append(text, length);
  const LineQueue::Added added = queue_.try_add(joined.data(), joined.size());
  if (added == LineQueue::Added::kQueued) missed_ = 0;
  return added;
}
