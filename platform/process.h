// The process as a whole: set-up before anything else runs, the signals that
// stop it, and small system services that are not about sockets.
#pragma once

#include <cstdint>

namespace platform {

// Set-up before any socket, file or thread is made. Linux: closed standard
// streams are opened on the null device (so that no socket or log file takes
// their numbers), a vanished peer or console fails a write instead of ending
// the process (SIGPIPE), the open-file limit is raised to its hard limit, and
// the memory allocator keeps one arena instead of one per thread (thousands
// of threads would otherwise reserve 64 MiB of address space each) and
// keeps a few megabytes freed at the top of its heap. Windows
// needs none of these: handles and descriptors are numbered apart, and a
// write to a vanished peer or console only fails.
void prepare_process();

// What the process is asked by signals, called on a thread of their own
// (so they may take locks), with context.
struct SignalHandlers {
  // Once, when the process is asked to stop (SIGINT, SIGTERM, SIGHUP; Ctrl-C,
  // Ctrl-Break and closing the console window on Windows). It ends the
  // process with end_process_for_signal.
  void (*on_stop)(int signal, void* context);
  // Each time the log is to be reopened by its name after a rotation
  // (SIGUSR1; Windows has no such signal). The watching goes on after it.
  void (*on_reopen)(void* context);
  void* context;
};

// Call before any other thread starts.
void install_signal_handlers(const SignalHandlers& handlers);

// Ends the process at once, with the status a stop by that signal gives
// (in a shell 128 plus its number; STATUS_CONTROL_C_EXIT on Windows).
// Open sockets are released by the system.
[[noreturn]] void end_process_for_signal(int signal);

// A short human-readable reason for an error code; safe on any thread.
// Valid until the same thread asks again.
const char* error_reason(int code);

void sleep_milliseconds(int milliseconds);

// A steady clock for durations, in microseconds.
std::int64_t monotonic_microseconds();

// The wall clock, in microseconds since 1970-01-01 UTC.
std::int64_t wall_clock_microseconds();

// A wall-clock time as local time, "YYYY-MM-DD HH:MM:SS.uuuuuu", in a buffer
// of at least 27 bytes (NUL included). Returns the text's length.
int format_local_time(std::int64_t wall_clock_us, char* buffer, int size);

}  // namespace platform
