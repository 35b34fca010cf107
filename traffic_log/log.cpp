#include "traffic_log/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/process.h"
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
  if (!platform::standard_output_is_null_device()) {
    echo_ = std::make_unique<ConsoleEcho>();
    if (!echo_->start(platform::write_console)) echo_.reset();
  }
  return true;
}

void Log::attach(platform::FileHandle file) {
  if (file_ != platform::standard_output()) platform::close_file(file_);
  file_ = file;
  path_ = "(attached)";
}

void Log::write(const char* text, std::size_t length) {
  if (length == 0) return;
  const std::lock_guard<std::timed_mutex> guard(lock_);
  int error = 0;
  if (lost_lines_ > 0) return write_after_loss(text, length);
  if (!platform::append_whole(file_, text, length, &error)) return note_failure(text, length, error);
  if (echo_) echo_->add(text, length);
}

// Lines that could not be written are counted; standard error hears of it
// once per run of failures.
void Log::note_failure(const char* text, std::size_t length, int error) {
  if (lost_lines_ == 0) {
    std::fprintf(stderr, "Can't write log file %s: %s\n", path_.c_str(), platform::error_reason(error));
    std::fflush(stderr);
  }
  lost_lines_ += count_lines(text, length);
  lost_error_ = error;
}

// Once writing works again, the log says how many lines it lost, and why,
// in the same write as the lines that follow: a notice alone could fit where
// the lines do not, and end a run of failures that goes on.
void Log::write_after_loss(const char* text, std::size_t length) {
  char notice[kEventLineSize];
  std::size_t notice_length = annotation(0, notice, sizeof notice);
  const int formatted =
      std::snprintf(notice + notice_length, sizeof notice - notice_length, event_lines::kLogLinesLost,
                    static_cast<unsigned long long>(lost_lines_), platform::error_reason(lost_error_));
  notice_length =
      std::min(notice_length + static_cast<std::size_t>(std::max(formatted, 0)), sizeof notice - 1);
  std::string joined(notice, notice_length);
  joined.append(text, length);
  int error = 0;
  if (!platform::append_whole(file_, joined.data(), joined.size(), &error)) {
    lost_lines_ += count_lines(text, length);
    lost_error_ = error;
    return;
  }
  lost_lines_ = 0;
  if (echo_) echo_->add(joined.data(), joined.size());
}

void Log::event(ConnectionNumber connection, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  event_with(connection, format, arguments);
  va_end(arguments);
}

void Log::event_with(ConnectionNumber connection, const char* format, va_list arguments) {
  char line[kEventLineSize];
  const std::size_t start = annotation(connection, line, sizeof line);
  const int formatted = std::vsnprintf(line + start, sizeof line - start, format, arguments);
  if (formatted < 0) return;
  write(line, std::min(start + static_cast<std::size_t>(formatted), sizeof line - 1));
}

std::size_t Log::annotation(ConnectionNumber connection, char* buffer, std::size_t size) const {
  if (!annotate_) return 0;
  int length = platform::format_local_time(buffer, static_cast<int>(size));
  if (length < 0) return 0;
  const int number = connection == 0
                         ? std::snprintf(buffer + length, size - static_cast<std::size_t>(length), " ")
                         : std::snprintf(buffer + length, size - static_cast<std::size_t>(length), " #%llu ",
                                         static_cast<unsigned long long>(connection));
  return static_cast<std::size_t>(length + std::max(number, 0));
}

void Log::hold_for_stop() {
  // Never unlocked: the process is about to end.
  (void)lock_.try_lock_for(kStopWait);
}
