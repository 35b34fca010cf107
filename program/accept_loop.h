// The accept loop: every client, numbered and registered, to an event loop, for ever.
#pragma once

#include "platform/net.h"
#include "program/runtime.h"

[[noreturn]] void accept_forever(Runtime& runtime, platform::Listener& listener);
