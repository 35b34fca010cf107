// POSIX threads backend of platform/thread.h.
#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <new>

#include "platform/thread.h"

namespace platform {
namespace {

// Enough for an event loop's state (its batch of poller events) and
// formatted output;
// the sanitizers need more room for their own bookkeeping.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kRelayStackBytes = 2048 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t kRelayStackBytes = 2048 * 1024;
#else
constexpr std::size_t kRelayStackBytes = 384 * 1024;
#endif
#else
constexpr std::size_t kRelayStackBytes = 384 * 1024;
#endif

struct StartRecord {
  ThreadBody body;
  void* argument;
};

void* run_thread(void* raw) {
  const StartRecord record = *static_cast<StartRecord*>(raw);
  delete static_cast<StartRecord*>(raw);
  record.body(record.argument);
  return nullptr;
}

// pthread_create returns its error instead of setting errno.
int create_detached(StartRecord* record) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, kRelayStackBytes);
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, run_thread, record);
  pthread_attr_destroy(&attributes);
  return result;
}

}  // namespace

bool start_detached_thread(ThreadBody body, void* argument, int* error) {
  auto* record = new (std::nothrow) StartRecord{body, argument};
  const int failure = record == nullptr ? ENOMEM : create_detached(record);
  if (failure == 0) return true;
  delete record;
  if (error != nullptr) *error = failure;
  return false;
}

int processor_count() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<int>(count) : 1;
}

}  // namespace platform
