// The settings of one run: read from the command line at start-up and only
// read afterwards, by the accept loop and every relay thread.
#pragma once

#include <cstdint>
#include <string>

#include "options/option_parser.h"

struct Settings {
  std::uint32_t target_address = 0;  // IPv4, host byte order
  std::int32_t target_port = -1;     // -1: the "smtp" service port
  std::int32_t listen_port = -1;     // -1: target_port, or the "smtp" port
  std::string log_path;              // "-" means standard output
  // The "smtp" service port, looked up once at start-up.
  std::uint16_t smtp_port = 25;
  // The port actually listened on (the system chooses one for port 0).
  std::uint16_t bound_port = 0;
};

// The program's option table: name and description, then target, target
// port and listening port (also positional, in that order), then the log path.
extern const OptionSpec kProgramOptions[];

// A configured port: -1 falls back, any other value keeps its low 16 bits.
std::uint16_t effective_target_port(const Settings& chosen);
std::uint16_t effective_listen_port(const Settings& chosen);

// Renders an IPv4 address (host byte order) in dotted decimal into the
// caller's buffer.
struct AddressText {
  char text[16];
};
AddressText address_text(std::uint32_t address);
