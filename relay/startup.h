// Start-up: the command line into Settings, the refusals, the listening
// socket and the log.
#pragma once

#include "platform/net.h"

// Parses the command line into `settings`, checks it, listens and opens the
// log. On a refusal prints why on standard error and returns false; the
// caller then exits with status 1.
bool start_up(int argc, const char* const* argv, platform::Socket* listener);
