// Start-up: the command line into the settings, the refusals, the listening
// socket, the log and the stop handler.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/net.h"
#include "relay/runtime.h"

// The addresses that IPv6 literals and host names on the command line stand
// for, found while the command line is read: each name is resolved once.
using ResolvedNames = std::map<std::string, std::vector<platform::Endpoint>>;

// The option parser's check of an address that is not dotted IPv4: an IPv6
// address (with or without brackets) or a host name that resolves. Keeps
// what it found in the ResolvedNames that context points to.
bool resolve_address(const char* text, void* context);

// How start-up ended, and so how the program goes on.
enum class StartUp {
  kRun,       // listening, the log open: relay
  kAnswered,  // -h or -V was answered on standard output: exit with status 0
  kRefused,   // why was printed on standard error: exit with status 1
};

// Parses the command line into runtime->settings, checks it, listens and
// opens the log; or answers -h or -V, whatever else a line that parses holds.
StartUp start_up(int argc, const char* const* argv, Runtime* runtime, platform::Socket* listener);
