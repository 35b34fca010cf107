// Windows backend of platform/process.h.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/process.h"

namespace platform {
namespace {

constexpr std::size_t kReasonSize = 256;
// What a console program stopped by Ctrl-C ends with.
constexpr UINT kControlCExitStatus = 0xC000013A;
// Signal numbers of the C runtime, for the console's stop events.
constexpr int kInterrupt = 2;   // SIGINT: Ctrl-C
constexpr int kTerminate = 15;  // SIGTERM: closing the window, logoff, shutdown
constexpr int kBreak = 21;      // SIGBREAK: Ctrl-Break

// Windows has no signal that asks for a reopen: on_reopen is never called.
SignalHandlers handlers{};

// Runs on a thread the system starts for the event.
BOOL WINAPI on_console_event(DWORD event) {
  if (handlers.on_stop == nullptr) return FALSE;
  switch (event) {
    case CTRL_C_EVENT:
      handlers.on_stop(kInterrupt, handlers.context);
      return TRUE;
    case CTRL_BREAK_EVENT:
      handlers.on_stop(kBreak, handlers.context);
      return TRUE;
    default:
      handlers.on_stop(kTerminate, handlers.context);
      return TRUE;
  }
}

// The system's message text ends in ".\r\n"; the callers add their own end.
void trim_message_end(char* text) {
  std::size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ' ||
                        text[length - 1] == '.')) {
    text[--length] = '\0';
  }
}

// The texts of the codes that start-up, accept and the log can meet, for a
// system without message texts for Winsock codes (Wine has none).
const char* known_reason(int code) {
  switch (code) {
    case 10013:
      return "Permission denied";
    case 10048:
      return "Address already in use";
    case 10049:
      return "Address not available";
    case 10024:
      return "Too many open sockets";
    case 10055:
      return "No buffer space available";
    default:
      return "Windows error";
  }
}

}  // namespace

void prepare_process() {}

void install_signal_handlers(const SignalHandlers& installed) {
  handlers = installed;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void end_process_for_signal(int) {
  // Abrupt on purpose: no runtime clean-up that could wait for a lock a
  // thread holds.
  TerminateProcess(GetCurrentProcess(), kControlCExitStatus);
  ExitProcess(kControlCExitStatus);
}

const char* error_reason(int code) {
  thread_local char reason[kReasonSize];
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reason, sizeof reason, nullptr);
  if (length == 0) {
    // errno values of the C runtime (a log file that cannot be written).
    if (code > 0 && code < 100 && strerror_s(reason, sizeof reason, code) == 0) return reason;
    return known_reason(code);
  }
  trim_message_end(reason);
  return reason;
}

void sleep_milliseconds(int milliseconds) {
  Sleep(static_cast<DWORD>(milliseconds));
}

std::int64_t monotonic_microseconds() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<std::int64_t>(now.QuadPart / frequency.QuadPart * 1000000 +
                                   now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

// FILETIME counts 100 ns ticks since 1601-01-01 UTC.
constexpr ULONGLONG kTicksFrom1601To1970 = 116444736000000000ULL;

std::int64_t wall_clock_microseconds() {
  FILETIME utc;
  GetSystemTimePreciseAsFileTime(&utc);
  const ULONGLONG ticks = (static_cast<ULONGLONG>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
  return static_cast<std::int64_t>((ticks - kTicksFrom1601To1970) / 10);
}

int format_local_time(std::int64_t wall_clock_us, char* buffer, int size) {
  const ULONGLONG ticks = static_cast<ULONGLONG>(wall_clock_us) * 10 + kTicksFrom1601To1970;
  FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  FILETIME local;
  SYSTEMTIME parts;
  FileTimeToLocalFileTime(&utc, &local);
  FileTimeToSystemTime(&local, &parts);
  return std::snprintf(buffer, static_cast<std::size_t>(size), "%04u-%02u-%02u %02u:%02u:%02u.%06u",
                       parts.wYear, parts.wMonth, parts.wDay, parts.wHour, parts.wMinute, parts.wSecond,
                       static_cast<unsigned>(wall_clock_us % 1000000));
}

}  // namespace platform
