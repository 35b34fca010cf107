#include "traffic_log/program_lines.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "platform/net.h"
#include "platform/process.h"
#include "traffic_log/event_lines.h"

namespace {

// Longer than any of these lines: an address or two and a few numbers.
constexpr std::size_t kLineSize = 512;

void write_line(Log& log, ConnectionNumber number, const char* format, ...) __attribute__((format(printf, 3, 4)));

void write_line(Log& log, ConnectionNumber number, const char* format, ...) {
  char line[kLineSize];
  Log::Turn turn(log);
  const std::size_t start = log.annotate() ? format_annotation(number, turn.now_us(), line, sizeof line) : 0;
  va_list arguments;
  va_start(arguments, format);
  const int formatted = std::vsnprintf(line + start, sizeof line - start, format, arguments);
  va_end(arguments);
  if (formatted < 0) return;
  turn.write(line, std::min(start + static_cast<std::size_t>(formatted), sizeof line - 1));
}

}  // namespace

void log_listening(Log& log) {
  write_line(log, 0, event_lines::kListening);
}

void log_incoming(Log& log, ConnectionNumber number, const platform::Endpoint& client,
                  const platform::Endpoint& listening) {
  write_line(log, number, event_lines::kIncoming, platform::address_text(client).text, client.port,
             platform::address_text(listening).text, listening.port);
}
