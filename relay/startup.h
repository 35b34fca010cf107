// Start-up: the command line into the settings, the refusals, the listening
// socket, the log and the stop handler.
#pragma once

#include "platform/net.h"
#include "relay/runtime.h"

// Parses the command line into runtime->settings, checks it, listens and
// opens the log. On a refusal prints why on standard error and returns false;
// the caller then exits with status 1.
bool start_up(int argc, const char* const* argv, Runtime* runtime, platform::Socket* listener);
