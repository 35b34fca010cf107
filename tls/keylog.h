// STAND-IN: see tls/authority.h.
#pragma once

#include "tls/authority.h"
