// The accept loop: the event loops accept every client, and this says what
// becomes of each one (registered, numbered, logged); the calling thread
// then waits for ever.
#pragma once

#include "platform/net.h"
#include "program/runtime.h"

[[noreturn]] void accept_forever(Runtime& runtime, platform::Listener& listener);
