#include "traffic_log/log_output.h"

#include <cstdarg>
#include <cstring>

std::FILE* log_stream = stdout;
std::FILE* log_console = stdout;

namespace {

// Longer than any line the program formats: a traffic line is a prefix and at
// most 256 characters, an event line a few addresses and numbers.
constexpr std::size_t kLineBufferSize = 1024;

void write_whole(std::FILE* stream, const char* text, std::size_t length) {
  // One call under the stream's own lock keeps concurrent lines apart.
  std::fwrite(text, 1, length, stream);
  std::fflush(stream);
}

}  // namespace

void log_text(const char* text, std::size_t length) {
  write_whole(log_stream, text, length);
  if (log_stream != log_console) write_whole(log_console, text, length);
}

int log_message(const char* format, ...) {
  char line[kLineBufferSize];
  va_list arguments;
  va_start(arguments, format);
  const int formatted = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (formatted < 0) return formatted;
  const std::size_t length =
      static_cast<std::size_t>(formatted) < sizeof line ? static_cast<std::size_t>(formatted) : sizeof line - 1;
  log_text(line, length);
  return formatted;
}

bool open_log_file(const char* path) {
  if (std::strcmp(path, "-") == 0) return true;
  std::FILE* file = std::fopen(path, "w");
  if (file == nullptr) return false;
  log_stream = file;
  return true;
}
