#include "program/relay_threads.h"

#include <utility>

#include "platform/thread.h"
#include "program/captured_events.h"
#include "relay/relay_connection.h"
#include "traffic_log/connection_log.h"

namespace {

const tls::Interception* interception_of(const Runtime& runtime) {
#if defined(QORVAND_HAS_TLS)
  return runtime.interception.get();
#else
  (void)runtime;
  return nullptr;
#endif
}

// One connection relayed, in its own part of the log and, with -w, of the
// capture file.
void relay_logged(Runtime& runtime, RelayStart&& start) {
  ConnectionLog log(runtime.log, start.number, TrafficView{runtime.settings.hex, runtime.settings.annotate});
  const tls::Interception* interception = interception_of(runtime);
  if (!runtime.capture.is_open()) {
    return relay_connection(std::move(start.client), runtime.settings.targets, log, interception);
  }
  CapturedEvents captured(runtime.capture, start.peer);
  EventsFanOut both(log, captured);
  relay_connection(std::move(start.client), runtime.settings.targets, both, interception);
}

}  // namespace

bool RelayThreads::relay(RelayStart& start, int* error) {
  const ConnectionNumber number = start.number;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    waiting_connections_.push_back(std::move(start));
    if (waiting_threads_ >= static_cast<int>(waiting_connections_.size())) {
      arrived_.notify_one();
      return true;
    }
  }
  // A new thread takes the next connection waiting, which may be this one
  // or, when a thread came free meanwhile, a later one.
  if (platform::start_detached_thread(run, this, error)) return true;
  return !take_back(number, &start);
}

// True when the connection was still waiting and is the caller's again.
bool RelayThreads::take_back(ConnectionNumber number, RelayStart* start) {
  const std::lock_guard<std::mutex> guard(lock_);
  for (auto entry = waiting_connections_.begin(); entry != waiting_connections_.end(); ++entry) {
    if (entry->number == number) {
      *start = std::move(*entry);
      waiting_connections_.erase(entry);
      return true;
    }
  }
  return false;
}

void RelayThreads::run(void* self) {
  static_cast<RelayThreads*>(self)->serve();
}

void RelayThreads::serve() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    while (waiting_connections_.empty()) {
      if (waiting_threads_ >= kMaxWaiting) return;
      ++waiting_threads_;
      arrived_.wait(guard);
      --waiting_threads_;
    }
    RelayStart next = std::move(waiting_connections_.front());
    waiting_connections_.pop_front();
    guard.unlock();
    relay_logged(runtime_, std::move(next));
    guard.lock();
  }
}
