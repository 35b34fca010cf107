// Windows threads backend of platform/thread.h.
#include <process.h>
#include <windows.h>

#include <cstdint>
#include <new>

#include "platform/thread.h"

namespace platform {
namespace {

// Reserved, not committed: pages are committed as the stack grows. Enough for
// an event loop's state (its batch of poller events),
// formatted output and the socket calls.
constexpr unsigned kRelayStackBytes = 512 * 1024;

struct StartRecord {
  ThreadBody body;
  void* argument;
};

unsigned __stdcall run_thread(void* raw) {
  const StartRecord record = *static_cast<StartRecord*>(raw);
  delete static_cast<StartRecord*>(raw);
  record.body(record.argument);
  return 0;
}

}  // namespace

bool start_detached_thread(ThreadBody body, void* argument, int* error) {
  auto* record = new (std::nothrow) StartRecord{body, argument};
  // The C runtime fails without a system code only when its own allocation
  // fails (the arguments here are always valid): that is a lack of memory too.
  SetLastError(0);
  const std::uintptr_t thread =
      record == nullptr ? 0
                        : _beginthreadex(nullptr, kRelayStackBytes, run_thread, record,
                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == 0) {
    const DWORD code = GetLastError();
    delete record;
    if (error != nullptr) *error = static_cast<int>(code != 0 ? code : ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  // Nobody joins these threads: closing the handle lets it go when it ends.
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
}

int processor_count() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  return system.dwNumberOfProcessors > 0 ? static_cast<int>(system.dwNumberOfProcessors) : 1;
}

}  // namespace platform
