// Names the hello that starts TLS in one direction in an event line:
// "TLS from client: ClientHello, server name NAME, offers VERSIONS" or
// "TLS from server: ServerHello, version VERSION", with what could be read.
#pragma once

#include <cstddef>

#include "traffic_log/connection_events.h"
#include "traffic_log/line_sink.h"

// Reads the hello in the first handshake record: body holds the record's
// bytes after the handshake type, length of them in all, the first buffered
// of them at hand. Once the hello can be read no further (read to its end,
// broken, or all length bytes at hand) logs its event line and returns 0;
// else returns how many more bytes it needs before it can be read further.
std::size_t log_hello_once_read(Side side, const unsigned char* body, std::size_t length,
                                std::size_t buffered, LineSink& sink);
