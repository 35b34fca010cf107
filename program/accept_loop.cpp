#include "program/accept_loop.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/process.h"
#include "program/connection_outputs.h"
#include "traffic_log/program_lines.h"

namespace {

constexpr std::int64_t kReportIntervalUs = 60 * 1000000LL;
constexpr int kMainThreadNapMs = 60 * 60 * 1000;

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

// What the loops do with each client they accept, in this order: register
// it, number it and log its Incoming line, give it its outputs. Numbering
// and logging share one lock, so that the log's Incoming lines come in the
// order of their numbers whichever loops accepted them.
class ProgramIntake {
 public:
  ProgramIntake(Runtime& runtime, const platform::Endpoint& listening) : runtime_(runtime), listening_(listening) {}

  ClientIntake intake() { return {admit, accept_failed, this}; }

 private:
  static AcceptedClient admit(void* self, platform::Socket client, const platform::Endpoint& peer) {
    return static_cast<ProgramIntake*>(self)->number_and_log(std::move(client), peer);
  }
  static void accept_failed(void* self, int error) { static_cast<ProgramIntake*>(self)->report_failure(error); }

  AcceptedClient number_and_log(platform::Socket client, const platform::Endpoint& peer) {
    AcceptedClient accepted = register_client(runtime_.connections, std::move(client));
    ConnectionNumber number = 0;
    {
      const std::lock_guard<std::mutex> guard(numbering_lock_);
      number = ++last_number_;
      log_incoming(runtime_.log, number, peer, listening_);
    }
    accepted.events = std::make_unique<ConnectionOutputs>(runtime_, number, peer);
    return accepted;
  }

  void report_failure(int error) {
    const std::lock_guard<std::mutex> guard(failures_lock_);
    accept_failures_.failed(error);
  }

  Runtime& runtime_;
  const platform::Endpoint listening_;
  std::mutex numbering_lock_;
  ConnectionNumber last_number_ = 0;
  std::mutex failures_lock_;
  FailureReport accept_failures_{"Accept failed"};
};

}  // namespace

void accept_forever(Runtime& runtime, platform::Listener& listener) {
  ProgramIntake intake(runtime, listener.endpoint());
  runtime.loops.accept_from(listener, intake.intake());
  // The process ends by a stop, on a thread of its own; this one must not.
  for (;;) platform::sleep_milliseconds(kMainThreadNapMs);
}
