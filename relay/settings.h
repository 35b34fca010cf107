// The settings of one run: read from the command line at start-up and only
// read afterwards, by the accept loop and every relay thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options/option_parser.h"
#include "platform/endpoint.h"

struct Settings {
  // The target's addresses, in the order a connect tries them: one for an
  // address, all that a host name stands for.
  std::vector<platform::Endpoint> targets;
  std::int32_t target_port = -1;  // -1: the "smtp" service port
  std::int32_t listen_port = -1;  // -1: target_port, or the "smtp" port
  std::string log_path;           // "-" means standard output
  // The "smtp" service port, looked up once at start-up.
  std::uint16_t smtp_port = 25;
  // Where to listen, as configured (its port comes from listen_port).
  platform::Endpoint bind_address = platform::Endpoint::ipv4(0, 0);
  // -a: every line starts with the time and the connection's number, each
  // connection ends with a summary line, and TLS is recognized.
  bool annotate = false;
  // -x: traffic as hex dump rows instead of text lines.
  bool hex = false;
  // The address and port actually listened on (the system chooses a port
  // for port 0).
  platform::Endpoint listening;
};

// Where the log goes when the command line does not say.
inline constexpr char kDefaultLogPath[] = "qorvand.log";

// The program's option table: name and description, then target, target
// port and listening port (also positional, in that order), then the log
// path, the listening address, the switches of the log's form, and -h and -V,
// which are answered alone.
extern const OptionSpec kProgramOptions[];

// A configured port: -1 falls back, any other value keeps its low 16 bits.
std::uint16_t effective_target_port(const Settings& chosen);
std::uint16_t effective_listen_port(const Settings& chosen);
