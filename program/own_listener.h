// Whether a target is qorvand's own listening socket by another name: every
// client would then be relayed to a new connection of its own, without end.
#pragma once

#include <vector>

#include "platform/endpoint.h"

// target and listening carry their effective ports. own_addresses are this
// host's interface addresses.
bool reaches_own_listener(const platform::Endpoint& target, const platform::Endpoint& listening,
                          const std::vector<platform::Endpoint>& own_addresses);
