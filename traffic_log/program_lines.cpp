#include "traffic_log/program_lines.h"

#include "platform/net.h"
#include "platform/process.h"
#include "traffic_log/event_lines.h"

void log_listening(Log& log) {
  log.event(0, event_lines::kListening);
}

void log_incoming(Log& log, ConnectionNumber number, const platform::Endpoint& client,
                  const platform::Endpoint& listening) {
  log.event(number, event_lines::kIncoming, platform::address_text(client).text, client.port,
            platform::address_text(listening).text, listening.port);
}

void log_turned_away(Log& log, ConnectionNumber number, int error, std::int64_t elapsed_us) {
  log.event(number, event_lines::kTurnedAway, platform::error_reason(error));
  if (!log.annotate()) return;
  log.event(number, event_lines::kSummary, 0ULL, 0ULL, static_cast<long long>(elapsed_us / 1000000),
            static_cast<long long>(elapsed_us % 1000000), event_lines::kEndTurnedAway);
}
