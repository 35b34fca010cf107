// What start-up hands to the accept loop and to every relay thread: the
// settings, the log, and the registry of live connections.
#pragma once

#include "relay/connection_registry.h"
#include "relay/settings.h"
#include "traffic_log/log.h"

struct Runtime {
  Settings settings;
  Log log;
  ConnectionRegistry connections;
};
