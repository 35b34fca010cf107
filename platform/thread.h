// Detached threads with a fixed stack, for the event loops and the writer
// threads: 384 KiB on Linux (2 MiB under the sanitizers), a 512 KiB
// reservation on Windows, of which only the pages used take memory.
#pragma once

namespace platform {

using ThreadBody = void (*)(void* argument);

// Starts body(argument) on a new detached thread. False when the thread could
// not be created (the caller still owns whatever argument refers to), with
// the system's code in *error when error is given (an errno value on Linux,
// a Windows error code on Windows: error_reason reads either).
bool start_detached_thread(ThreadBody body, void* argument, int* error = nullptr);

// The processors this process may run on (at least 1).
int processor_count();

}  // namespace platform
