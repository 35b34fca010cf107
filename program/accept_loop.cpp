#include "program/accept_loop.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "platform/process.h"
#include "program/connection_outputs.h"
#include "traffic_log/program_lines.h"

namespace {

// A failing accept is retried after a pause, not in a spin: out of
// descriptors, closing connections give some back meanwhile.
constexpr int kAcceptFailurePauseMs = 100;
constexpr std::int64_t kReportIntervalUs = 60 * 1000000LL;

// Says on standard error that something keeps failing: when a failure starts
// or changes, and then at most once a minute while the same failure goes on
// (successes in between do not end it: at a descriptor or thread limit,
// accepts and thread starts fail and succeed by turns).
class FailureReport {
 public:
  explicit FailureReport(const char* what) : what_(what) {}

  void failed(int error) {
    const std::int64_t now = platform::monotonic_microseconds();
    if (error == last_error_ && now - last_report_us_ < kReportIntervalUs) {
      ++repeats_;
      return;
    }
    if (error == last_error_ && repeats_ > 0) {
      std::fprintf(stderr, "%s: %s (%d), %llu more times since the last report\n", what_,
                   platform::error_reason(error), error, repeats_);
    } else {
      std::fprintf(stderr, "%s: %s (%d)\n", what_, platform::error_reason(error), error);
    }
    std::fflush(stderr);
    last_error_ = error;
    last_report_us_ = now;
    repeats_ = 0;
  }

 private:
  const char* what_;
  int last_error_ = 0;
  std::int64_t last_report_us_ = 0;
  unsigned long long repeats_ = 0;
};

// Registered before anything else is done with it: from here on a stop
// resets the client, whether it waits for the log, for its loop or is being
// relayed.
AcceptedClient register_client(ConnectionRegistry& connections, platform::Socket client) {
  ConnectionRegistry::Registration registration = connections.join(client);
  return {std::move(client), std::move(registration), platform::monotonic_microseconds(), nullptr};
}

}  // namespace

void accept_forever(Runtime& runtime, platform::Listener& listener) {
  FailureReport accept_failures("Accept failed");
  ConnectionNumber last_number = 0;
  for (;;) {
    platform::Endpoint peer;
    int error = 0;
    platform::Socket client = listener.accept(&peer, &error);
    if (!client.is_open()) {
      accept_failures.failed(error);
      platform::sleep_milliseconds(kAcceptFailurePauseMs);
      continue;
    }
    AcceptedClient accepted = register_client(runtime.connections, std::move(client));
    const ConnectionNumber number = ++last_number;
    log_incoming(runtime.log, number, peer, listener.endpoint());
    accepted.events = std::make_unique<ConnectionOutputs>(runtime, number, peer);
    runtime.loops.relay(std::move(accepted));
  }
}
