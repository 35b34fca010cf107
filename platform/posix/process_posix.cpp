// POSIX backend of platform/process.h.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdio>

#include "platform/process.h"
#include "platform/thread.h"

namespace platform {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kReopenSignal = SIGUSR1;
constexpr std::size_t kReasonSize = 128;
SignalHandlers handlers{};

void reserve_standard_streams() {
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    // open() returns the lowest free number, which is this one.
    if (opened >= 0 && opened != descriptor) close(opened);
  }
}

// Thousands of connections need thousands of descriptors.
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

sigset_t watched_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kStopSignals) sigaddset(&set, signal_number);
  sigaddset(&set, kReopenSignal);
  return set;
}

// Reopens as often as asked; a stop ends the process.
void watch_signals(void*) {
  const sigset_t set = watched_signal_set();
  for (;;) {
    int received = 0;
    if (sigwait(&set, &received) != 0) continue;
    if (received == kReopenSignal) {
      handlers.on_reopen(handlers.context);
    } else {
      handlers.on_stop(received, handlers.context);
    }
  }
}

#if defined(__GLIBC__)
constexpr int kKeptHeapTop = 4 * 1024 * 1024;
#endif

}  // namespace

void prepare_process() {
  reserve_standard_streams();
  // A peer or a console that has gone away must fail a write, not end the process.
  signal(SIGPIPE, SIG_IGN);
  raise_open_file_limit();
#if defined(__GLIBC__)
  // The event loops hardly allocate; one arena serves them all.
  mallopt(M_ARENA_MAX, 1);
  // A busy TLS connection takes and gives back buffers of some 64 KiB with
  // each read and send: the heap keeps its free top up to a few megabytes
  // instead of giving it back (and asking for it again) each time.
  mallopt(M_TRIM_THRESHOLD, kKeptHeapTop);
#endif
}

void install_signal_handlers(const SignalHandlers& installed) {
  handlers = installed;
  // Blocked here, before any other thread exists, so every thread inherits
  // the mask and only the watching thread ever takes these signals.
  const sigset_t set = watched_signal_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (!start_detached_thread(watch_signals, nullptr)) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::fputs("Can't watch for stop signals: a stop will not reset open connections\n", stderr);
  }
}

void end_process_for_signal(int signal_number) {
  // Ends with the signal's own status, as if it had not been caught.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal_number, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);
}

const char* error_reason(int code) {
  thread_local char reason[kReasonSize];
  // The GNU strerror_r may return a static text instead of filling the buffer.
#if defined(_GNU_SOURCE) && defined(__GLIBC__)
  return strerror_r(code, reason, sizeof reason);
#else
  if (strerror_r(code, reason, sizeof reason) != 0) std::snprintf(reason, sizeof reason, "error %d", code);
  return reason;
#endif
}

void sleep_milliseconds(int milliseconds) {
  timespec duration{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&duration, &duration) != 0 && errno == EINTR) {
  }
}

std::int64_t monotonic_microseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::int64_t wall_clock_microseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int format_local_time(std::int64_t wall_clock_us, char* buffer, int size) {
  const time_t seconds = static_cast<time_t>(wall_clock_us / 1000000);
  tm local{};
  localtime_r(&seconds, &local);
  return std::snprintf(buffer, static_cast<std::size_t>(size), "%04d-%02d-%02d %02d:%02d:%02d.%06lld",
                       local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                       local.tm_sec, static_cast<long long>(wall_clock_us % 1000000));
}

}  // namespace platform
