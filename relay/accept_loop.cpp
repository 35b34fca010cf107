#include "relay/accept_loop.h"

#include <cstdio>

#include "platform/process.h"
#include "relay/relay_threads.h"
#include "traffic_log/event_lines.h"

namespace {

// A failing accept is retried after a pause, not in a spin: out of
// descriptors, closing connections give some back meanwhile.
constexpr int kAcceptFailurePauseMs = 100;
constexpr std::int64_t kReportIntervalUs = 60 * 1000000LL;

// Says on standard error that accepting fails: when a failure starts or
// changes, and then at most once a minute while the same failure goes on
// (clients accepted in between do not end it: at a descriptor limit accepts
// fail and succeed by turns).
class AcceptFailureReport {
 public:
  void failed(int error) {
    const std::int64_t now = platform::monotonic_microseconds();
    if (error == last_error_ && now - last_report_us_ < kReportIntervalUs) {
      ++repeats_;
      return;
    }
    if (error == last_error_ && repeats_ > 0) {
      std::fprintf(stderr, "Accept failed: %s (%d), %llu more times since the last report\n",
                   platform::error_reason(error), error, static_cast<unsigned long long>(repeats_));
    } else {
      std::fprintf(stderr, "Accept failed: %s (%d)\n", platform::error_reason(error), error);
    }
    std::fflush(stderr);
    last_error_ = error;
    last_report_us_ = now;
    repeats_ = 0;
  }

 private:
  int last_error_ = 0;
  std::int64_t last_report_us_ = 0;
  unsigned long long repeats_ = 0;
};

void hand_to_relay_thread(RelayThreads& threads, const RelayStart& start, const platform::Endpoint& peer) {
  if (threads.relay(start)) return;
  platform::close_socket(start.client);
  std::fprintf(stderr, "Can't start a relay thread: client %s:%u disconnected\n",
               platform::address_text(peer).text, static_cast<unsigned>(peer.port));
  std::fflush(stderr);
}

}  // namespace

void accept_forever(Runtime& runtime, platform::Socket listener) {
  const platform::AddressText listen_address = platform::address_text(runtime.settings.listening);
  const int listen_port = runtime.settings.listening.port;
  AcceptFailureReport failures;
  RelayThreads threads(runtime);
  ConnectionNumber last_number = 0;
  for (;;) {
    platform::Endpoint peer;
    const platform::Socket client = platform::accept_client(listener, &peer);
    if (client == platform::kNoSocket) {
      failures.failed(platform::last_socket_error());
      platform::sleep_milliseconds(kAcceptFailurePauseMs);
      continue;
    }
    const std::int64_t accepted_us = platform::monotonic_microseconds();
    const ConnectionNumber number = ++last_number;
    runtime.log.event(number, event_lines::kIncoming, platform::address_text(peer).text, peer.port,
                      listen_address.text, listen_port);
    hand_to_relay_thread(threads, RelayStart{client, number, accepted_us}, peer);
  }
}
