// Detached threads with a small fixed stack: a relay thread's state is a few
// KiB, and thousands of connections mean thousands of threads.
#pragma once

namespace platform {

using ThreadBody = void (*)(void* argument);

// Starts body(argument) on a new detached thread. False when the thread could
// not be created (the caller still owns whatever argument refers to).
bool start_detached_thread(ThreadBody body, void* argument);

}  // namespace platform
