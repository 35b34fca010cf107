#include "program/captured_events.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/net.h"
#include "relay/relay_loop.h"
#include "traffic_log/connection_log.h"
#include "traffic_log/event_lines.h"

// Each read is acknowledged at once: the window must cover one read and its FIN.
static_assert((capture::TcpConversation::kWindow << capture::TcpConversation::kWindowScale) >
              RelayLoop::kBufferSize + 1);

namespace {

// An event line's text as the log has it, without its line end.
std::string event_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string event_text(const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  const int formatted = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::string text(line, formatted < 0 ? 0 : std::min(static_cast<std::size_t>(formatted), sizeof line - 1));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

const char* name_of(Side side) {
  return side == Side::kClient ? "Client" : "Server";
}

}  // namespace

void CapturedEvents::connect_failed(const platform::Endpoint& target, int error) {
  capture_.connect_failed(target);
  capture_.note(
      event_text(event_lines::kErrorConnecting, platform::address_text(target).text, target.port, error));
}

void CapturedEvents::io_failed(Side side, IoOperation operation, int error) {
  if (std::exchange(tls_failed_[static_cast<int>(side)], false)) return;
  capture_.note(
      event_text(operation == IoOperation::kRead ? event_lines::kReadError : event_lines::kSendError,
                 name_of(side), error));
}

// The plaintext follows the comment that says it was intercepted.
void CapturedEvents::tls_intercepted(const TlsInterception& tls) {
  intercepted_ = true;
  capture_.note(tls_intercepted_text(tls));
}

void CapturedEvents::tls_failed(Side side, bool in_handshake, const char* reason) {
  tls_failed_[static_cast<int>(side)] = true;
  capture_.note(tls_failed_text(side, in_handshake, reason));
}

// The packets show a close that delivered everything; bytes left unsent
// only a comment can tell.
void CapturedEvents::closed(std::size_t unsent_to_server, std::size_t unsent_to_client) {
  if (unsent_to_server == 0 && unsent_to_client == 0) return;
  capture_.note(event_text(event_lines::kClosedUnsent, static_cast<int>(unsent_to_server),
                           static_cast<int>(unsent_to_client)));
}

// The capture always ends a connection with its summary, as -a's log does.
void CapturedEvents::summary(std::uint64_t to_server, std::uint64_t to_client, std::int64_t elapsed_us,
                             Ending ending) {
  capture_.note(event_text(event_lines::kSummary, static_cast<unsigned long long>(to_server),
                           static_cast<unsigned long long>(to_client),
                           static_cast<long long>(elapsed_us / 1000000),
                           static_cast<long long>(elapsed_us % 1000000),
                           (std::string(ending_text(ending)) + (intercepted_ ? event_lines::kInterceptedMark : ""))
                               .c_str()));
  capture_.end();
}
