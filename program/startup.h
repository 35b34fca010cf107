// Start-up: the command line into the settings, the refusals, then the
// certificates of --tls, the listening socket, the log and the stop handler.
#pragma once

#include <optional>

#include "platform/net.h"
#include "program/runtime.h"
#include "program/settings.h"

// How start-up ended, and so how the program goes on.
enum class StartUp {
  kRun,       // go on: listen and relay
  kAnswered,  // -h or -V was answered on standard output: exit with status 0
  kRefused,   // why was printed on standard error: exit with status 1
};

// Prepares the process and reads the command line into *settings, refusing
// a target that is the program's own listener; or answers -h or -V, whatever
// else a line that parses holds.
StartUp read_settings(int argc, const char* const* argv, std::optional<Settings>* settings);

// Takes the stop signals, loads what --tls needs (and says which CA it
// signs with), listens and opens the log, then logs that it listens. Empty
// when it cannot (standard error says why).
std::optional<platform::Listener> start_serving(Runtime& runtime);
