#include "relay/accept_loop.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "platform/process.h"
#include "relay/relay_threads.h"
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
// resets the client, whether it waits for the log, for a relay thread or
// is being relayed.
RelayStart register_client(ConnectionRegistry& connections, platform::Socket client, ConnectionNumber number) {
  RelayStart start{client, number, platform::monotonic_microseconds(),
                   std::make_unique<ConnectionRegistry::Entry>()};
  connections.add(*start.registration, client);
  return start;
}

}  // namespace

void accept_forever(Runtime& runtime, platform::Socket listener) {
  FailureReport accept_failures("Accept failed");
  FailureReport thread_failures("Can't start a relay thread");
  RelayThreads threads(runtime);
  ConnectionNumber last_number = 0;
  for (;;) {
    platform::Endpoint peer;
    const platform::Socket client = platform::accept_client(listener, &peer);
    if (client == platform::kNoSocket) {
      accept_failures.failed(platform::last_socket_error());
      platform::sleep_milliseconds(kAcceptFailurePauseMs);
      continue;
    }
    RelayStart start = register_client(runtime.connections, client, ++last_number);
    log_incoming(runtime.log, start.number, peer, runtime.settings.listening);
    int error = 0;
    if (threads.relay(start, &error)) continue;
    thread_failures.failed(error);
    turn_away(runtime, std::move(start), error);
  }
}
