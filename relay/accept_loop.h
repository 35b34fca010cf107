// The accept loop: one detached relay thread per client, for ever.
#pragma once

#include "platform/net.h"

[[noreturn]] void accept_forever(platform::Socket listener);
