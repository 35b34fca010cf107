#include "traffic_log/log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "traffic_log/event_lines.h"

namespace {

// Longer than any event line: a few addresses and numbers.
constexpr std::size_t kEventLineSize = 1024;
constexpr auto kStopWait = std::chrono::seconds(1);
// How much the writer thread may have waiting: turns wait beyond it. Its
// pages take memory only once so much has waited at once (see LineQueue).
constexpr std::size_t kQueueCapacity = 4 << 20;
// Turns that come one at a time (a request, a reply) wake the writer once
// every ten milliseconds rather than each: a wake costs more than the write,
// and under many small requests the writer's wakes took CPU time from the
// relay and its peers (a tenth of the relay's time per request at one wake a
// millisecond). A line reaches the file and the echo at most that much later.
constexpr auto kGatherTime = std::chrono::milliseconds(10);

std::uint64_t count_lines(const char* text, std::size_t length) {
  return static_cast<std::uint64_t>(std::count(text, text + length, '\n'));
}

LineQueue::Deadline stop_deadline() {
  return std::chrono::steady_clock::now() + kStopWait;
}

}  // namespace

// The log file as the writer thread writes it (or a turn, without one): the
// file, the lines that could not be written, and the echo. The thread holds
// it too, so one left behind in a write that never returns outlives the Log.
class Log::File final : public LineQueue::Output {
 public:
  File(platform::FileHandle handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  ~File() override;

  bool take(const char* lines, std::size_t length) override;
  const std::string& path() const { return path_; }
  bool is_standard_output();
  // Lines after the write under way go to handle.
  void replace(platform::FileHandle handle);

  std::unique_ptr<ConsoleEcho> echo;
  bool annotate = false;
  Clock clock = platform::wall_clock_microseconds;

 private:
  void write_after_loss(const char* text, std::size_t length);
  void note_failure(const char* text, std::size_t length, platform::Appended appended, int error);

  // Held while writing, so that a reopen switches files between writes.
  std::mutex lock_;
  platform::FileHandle handle_;
  const std::string path_;
  // Lines that could not be written since the last one that could, and why.
  std::uint64_t lost_lines_ = 0;
  int lost_error_ = 0;
  // The file ends in part of a line that could not be cut off.
  bool fragment_left_ = false;
};

Log::File::~File() {
  echo.reset();
  if (handle_ != platform::standard_output()) platform::close_file(handle_);
}

bool Log::File::is_standard_output() {
  const std::lock_guard<std::mutex> guard(lock_);
  return path_ == "-" || platform::is_standard_output(handle_);
}

void Log::File::replace(platform::FileHandle handle) {
  platform::FileHandle old_handle = handle;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    std::swap(handle_, old_handle);
  }
  platform::close_file(old_handle);
}

// Writes whole lines in one write, then echoes them. Never gives up: the
// lines that cannot be written are counted.
bool Log::File::take(const char* lines, std::size_t length) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (lost_lines_ > 0) {
    write_after_loss(lines, length);
    return true;
  }
  int error = 0;
  const platform::Appended appended = platform::append_whole(handle_, lines, length, &error);
  if (appended != platform::Appended::kAll) {
    note_failure(lines, length, appended, error);
  } else if (echo) {
    echo->add(lines, length);
  }
  return true;
}

// Lines that could not be written are counted, the one a part of which stays
// in the file too; standard error hears of it once per run of failures.
void Log::File::note_failure(const char* text, std::size_t length, platform::Appended appended, int error) {
  if (lost_lines_ == 0) {
    std::fprintf(stderr, "Can't write log file %s: %s\n", path_.c_str(), platform::error_reason(error));
    std::fflush(stderr);
  }
  lost_lines_ += count_lines(text, length);
  lost_error_ = error;
  if (appended == platform::Appended::kPart) fragment_left_ = true;
}

// Once writing works again, the log says how many lines it lost, and why,
// in the same write as the lines that follow: a notice alone could fit where
// the lines do not, and end a run of failures that goes on. After a part of
// a line that stays in the file, the notice starts a line of its own.
void Log::File::write_after_loss(const char* text, std::size_t length) {
  std::string joined = fragment_left_ ? "\n" : "";
  const std::size_t echoed_from = joined.size();
  char notice[kEventLineSize];
  std::size_t notice_length = annotate ? format_annotation(0, clock(), notice, sizeof notice) : 0;
  const int formatted =
      std::snprintf(notice + notice_length, sizeof notice - notice_length, event_lines::kLogLinesLost,
                    static_cast<unsigned long long>(lost_lines_), platform::error_reason(lost_error_));
  notice_length =
      std::min(notice_length + static_cast<std::size_t>(std::max(formatted, 0)), sizeof notice - 1);
  joined.append(notice, notice_length);
  joined.append(text, length);
  int error = 0;
  const platform::Appended appended = platform::append_whole(handle_, joined.data(), joined.size(), &error);
  if (appended != platform::Appended::kAll) return note_failure(text, length, appended, error);
  lost_lines_ = 0;
  fragment_left_ = false;
  if (echo) echo->add(joined.data() + echoed_from, joined.size() - echoed_from);
}

Log::Log() : file_(std::make_shared<File>(platform::standard_output(), "-")) {}

Log::~Log() {
  finish_writing(stop_deadline());
}

bool Log::open(const char* path, int* error) {
  if (std::strcmp(path, "-") != 0) {
    const platform::FileHandle handle = platform::open_log_file(path, error);
    if (handle == platform::kNoFile) return false;
    file_ = std::make_shared<File>(handle, path);
  }
  start_writer();
  return true;
}

bool Log::writes_to_standard_output() const {
  return file_->is_standard_output();
}

void Log::attach(platform::FileHandle file) {
  file_ = std::make_shared<File>(file, "(attached)");
  start_writer();
}

// The whole queue is one write where it can be.
void Log::start_writer() {
  (void)queue_.start(file_, kQueueCapacity, kQueueCapacity, kGatherTime);
}

void Log::set_echo(std::unique_ptr<ConsoleEcho> echo) {
  file_->echo = std::move(echo);
}

void Log::set_annotate(bool annotate) {
  file_->annotate = annotate;
}

bool Log::annotate() const {
  return file_->annotate;
}

void Log::set_clock(Clock clock) {
  file_->clock = clock;
}

void Log::write(const char* text, std::size_t length) {
  if (length == 0) return;
  const std::lock_guard<std::timed_mutex> guard(lock_);
  queue(text, length);
}

// With the log held. Without a writer thread, the caller writes.
void Log::queue(const char* text, std::size_t length) {
  if (queue_.started()) {
    (void)queue_.add(text, length);
  } else {
    (void)file_->take(text, length);
  }
}

void Log::flush() {
  (void)queue_.flush();
}

Log::Turn::Turn(Log& log) : log_(log), held_(log.annotate()) {
  if (!held_) return;
  log_.lock_.lock();
  now_us_ = log_.file_->clock();
}

Log::Turn::~Turn() {
  if (held_) log_.lock_.unlock();
}

void Log::Turn::write(const char* text, std::size_t length) {
  if (!held_) return log_.write(text, length);
  if (length > 0) log_.queue(text, length);
}

void Log::reopen() {
  const std::string& path = file_->path();
  if (path == "-") return;
  int error = 0;
  const platform::FileHandle file = platform::open_for_append(path.c_str(), &error);
  if (file == platform::kNoFile) {
    std::fprintf(stderr, "Can't reopen log file %s: %s\n", path.c_str(), platform::error_reason(error));
    std::fflush(stderr);
    return;
  }
  file_->replace(file);
}

// The lines queued so far are written, then the writer starts no other
// write.
void Log::finish_writing(LineQueue::Deadline deadline) {
  (void)queue_.flush(deadline);
  queue_.stop(deadline);
}

void Log::hold_for_stop() {
  const LineQueue::Deadline deadline = stop_deadline();
  // Never unlocked: the process is about to end.
  (void)lock_.try_lock_until(deadline);
  finish_writing(deadline);
  if (file_->echo) file_->echo->stop();
}
