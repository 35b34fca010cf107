#include "relay/settings.h"

const OptionSpec kProgramOptions[] = {
    {"qorvand", nullptr, "TCP connection logger", nullptr, 0, OPT_HEADER},
    {"t", "target", "remote IP address to connect to", nullptr, OPT_REQUIRED | OPT_POSITIONAL, OPT_ADDRESS},
    {"p", "target-port", "remote port to connect to", "25", OPT_POSITIONAL, OPT_INTEGER},
    {"l", "listen-port", "local port to listen on", "25", OPT_POSITIONAL, OPT_INTEGER},
    {"f", "logfile", "path of output log file", kDefaultLogPath, 0, OPT_STRING},
    {"b", "bind", "local address to listen on", "0.0.0.0", 0, OPT_ADDRESS},
    {"a", "annotate", "prefix lines with time and connection number", nullptr, 0, OPT_SWITCH},
    {"x", "hex", "log traffic as hex dump rows", nullptr, 0, OPT_SWITCH},
    {"h", "help", "show this text and exit", nullptr, OPT_STANDALONE, OPT_SWITCH},
    {"V", "version", "show the version and exit", nullptr, OPT_STANDALONE, OPT_SWITCH},
    {nullptr, nullptr, nullptr, nullptr, 0, OPT_END},
};

namespace {
constexpr std::int32_t kFallback = -1;
std::uint16_t low_16_bits(std::int32_t port) {
  return static_cast<std::uint16_t>(port & 0xFFFF);
}
}  // namespace

std::uint16_t effective_target_port(const Settings& chosen) {
  return chosen.target_port == kFallback ? chosen.smtp_port : low_16_bits(chosen.target_port);
}

std::uint16_t effective_listen_port(const Settings& chosen) {
  return chosen.listen_port == kFallback ? effective_target_port(chosen) : low_16_bits(chosen.listen_port);
}
