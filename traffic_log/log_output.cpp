#include "traffic_log/log_output.h"

#include <cstdarg>
#include <cstring>

#include "platform/console.h"

std::FILE* log_stream = stdout;
std::FILE* log_console = stdout;

namespace {
// False once start-up found the console to be the null device.
bool echo_wanted = true;
}  // namespace

namespace {

// Longer than any line the program formats: a traffic line is a prefix and at
// most 256 characters, an event line a few addresses and numbers.
constexpr std::size_t kLineBufferSize = 1024;

}  // namespace

void log_text(const char* text, std::size_t length) {
  if (length == 0) return;
  // One call under the stream's own lock keeps concurrent lines apart.
  std::fwrite(text, 1, length, log_stream);
  std::fflush(log_stream);
  if (log_stream != log_console && echo_wanted) platform::write_echo(log_console, text, length);
}

int log_message(const char* format, ...) {
  char line[kLineBufferSize];
  va_list arguments;
  va_start(arguments, format);
  const int formatted = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (formatted < 0) return formatted;
  const std::size_t length = static_cast<std::size_t>(formatted) < sizeof line
                                 ? static_cast<std::size_t>(formatted)
                                 : sizeof line - 1;
  log_text(line, length);
  return formatted;
}

bool open_log_file(const char* path) {
  if (std::strcmp(path, "-") == 0) return true;
  std::FILE* file = std::fopen(path, "w");
  if (file == nullptr) return false;
  log_stream = file;
  // The file holds the log; a console that is not read must not stall it.
  echo_wanted = platform::prepare_echo(log_console);
  return true;
}

void LogBatch::add_line(const char* prefix, const char* text, std::size_t length) {
  const std::size_t prefix_length = std::strlen(prefix);
  const std::size_t needed = prefix_length + (length > 0 ? 1 + length : 0) + 1;
  if (used_ + needed > kCapacity) flush();
  if (needed > kCapacity) return;  // longer than any traffic line can be
  std::memcpy(buffer_ + used_, prefix, prefix_length);
  used_ += prefix_length;
  if (length > 0) {
    buffer_[used_++] = ' ';
    std::memcpy(buffer_ + used_, text, length);
    used_ += length;
  }
  buffer_[used_++] = '\n';
}

void LogBatch::flush() {
  log_text(buffer_, used_);
  used_ = 0;
}
