#include "traffic_log/log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "traffic_log/event_lines.h"

namespace {

// Longer than any event line: a few addresses and numbers.
constexpr std::size_t kEventLineSize = 1024;
constexpr auto kStopWait = std::chrono::seconds(1);

std::uint64_t count_lines(const char* text, std::size_t length) {
  return static_cast<std::uint64_t>(std::count(text, text + length, '\n'));
}

}  // namespace

Log::Log() : file_(platform::standard_output()), path_("-") {}

Log::~Log() {
  echo_.reset();
  if (file_ != platform::standard_output()) platform::close_file(file_);
}

bool Log::open(const char* path, int* error) {
  if (std::strcmp(path, "-") == 0) return true;
  const platform::FileHandle file = platform::open_log_file(path, error);
  if (file == platform::kNoFile) return false;
  file_ = file;
  path_ = path;
  return true;
}

bool Log::writes_to_standard_output() const {
  return path_ == "-" || platform::is_standard_output(file_);
}

void Log::attach(platform::FileHandle file) {
  if (file_ != platform::standard_output()) platform::close_file(file_);
  file_ = file;
  path_ = "(attached)";
}

void Log::write(const char* text, std::size_t length) {
  if (length == 0) return;
  const std::lock_guard<std::timed_mutex> guard(lock_);
  write_held(text, length);
}

void Log::write_held(const char* text, std::size_t length) {
  if (length == 0) return;
  int error = 0;
  if (lost_lines_ > 0) return write_after_loss(text, length);
  const platform::Appended appended = platform::append_whole(file_, text, length, &error);
  if (appended != platform::Appended::kAll) return note_failure(text, length, appended, error);
  if (echo_) echo_->add(text, length);
}

// Lines that could not be written are counted, the one a part of which stays
// in the file too; standard error hears of it once per run of failures.
void Log::note_failure(const char* text, std::size_t length, platform::Appended appended, int error) {
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
void Log::write_after_loss(const char* text, std::size_t length) {
  std::string joined = fragment_left_ ? "\n" : "";
  const std::size_t echoed_from = joined.size();
  char notice[kEventLineSize];
  std::size_t notice_length = annotate_ ? format_annotation(0, clock_(), notice, sizeof notice) : 0;
  const int formatted =
      std::snprintf(notice + notice_length, sizeof notice - notice_length, event_lines::kLogLinesLost,
                    static_cast<unsigned long long>(lost_lines_), platform::error_reason(lost_error_));
  notice_length =
      std::min(notice_length + static_cast<std::size_t>(std::max(formatted, 0)), sizeof notice - 1);
  joined.append(notice, notice_length);
  joined.append(text, length);
  int error = 0;
  const platform::Appended appended = platform::append_whole(file_, joined.data(), joined.size(), &error);
  if (appended != platform::Appended::kAll) return note_failure(text, length, appended, error);
  lost_lines_ = 0;
  fragment_left_ = false;
  if (echo_) echo_->add(joined.data() + echoed_from, joined.size() - echoed_from);
}

Log::Turn::Turn(Log& log) : log_(log), held_(log.annotate_) {
  if (!held_) return;
  log_.lock_.lock();
  now_us_ = log_.clock_();
}

Log::Turn::~Turn() {
  if (held_) log_.lock_.unlock();
}

void Log::Turn::write(const char* text, std::size_t length) {
  if (held_) {
    log_.write_held(text, length);
  } else {
    log_.write(text, length);
  }
}

void Log::reopen() {
  if (path_ == "-") return;
  int error = 0;
  const platform::FileHandle file = platform::open_for_append(path_.c_str(), &error);
  if (file == platform::kNoFile) {
    std::fprintf(stderr, "Can't reopen log file %s: %s\n", path_.c_str(), platform::error_reason(error));
    std::fflush(stderr);
    return;
  }
  platform::FileHandle old_file = file;
  {
    const std::lock_guard<std::timed_mutex> guard(lock_);
    std::swap(file_, old_file);
  }
  platform::close_file(old_file);
}

void Log::hold_for_stop() {
  // Never unlocked: the process is about to end.
  (void)lock_.try_lock_for(kStopWait);
  if (echo_) echo_->stop();
}
