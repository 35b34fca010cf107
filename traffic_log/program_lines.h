// The lines the program logs of itself and of clients before a relay takes
// them on.
#pragma once

#include <cstdint>

#include "platform/endpoint.h"
#include "traffic_log/log.h"

// Once, when the listening socket is ready.
void log_listening(Log& log);
// A client was accepted on the listening endpoint.
void log_incoming(Log& log, ConnectionNumber number, const platform::Endpoint& client,
                  const platform::Endpoint& listening);
