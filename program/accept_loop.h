// The accept loop: one detached relay thread per client, for ever.
#pragma once

#include "platform/net.h"
#include "program/runtime.h"

[[noreturn]] void accept_forever(Runtime& runtime, platform::Listener& listener);
