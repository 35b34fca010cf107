#include "program/settings.h"

#include <cstring>

#include "platform/net.h"

const OptionSpec kProgramOptions[] = {
    {"qorvand", nullptr, "TCP connection logger", nullptr, 0, OPT_HEADER},
    {"t", "target", "remote IP address to connect to", nullptr, OPT_REQUIRED | OPT_POSITIONAL, OPT_ADDRESS},
    {"p", "target-port", "remote port to connect to", "25", OPT_POSITIONAL, OPT_INTEGER},
    {"l", "listen-port", "local port to listen on", "25", OPT_POSITIONAL, OPT_INTEGER},
    {"f", "logfile", "path of output log file", "qorvand.log", 0, OPT_STRING},
    {"b", "bind", "local address to listen on", "0.0.0.0", 0, OPT_ADDRESS},
    {"a", "annotate", "prefix lines with time and connection number", nullptr, 0, OPT_SWITCH},
    {"x", "hex", "log traffic as hex dump rows", nullptr, 0, OPT_SWITCH},
    {"w", "pcap", "path of a pcapng capture of the traffic", nullptr, 0, OPT_STRING},
    {"h", "help", "show this text and exit", nullptr, OPT_STANDALONE, OPT_SWITCH},
    {"V", "version", "show the version and exit", nullptr, OPT_STANDALONE, OPT_SWITCH},
#if defined(QORVAND_HAS_TLS)
    {"s", "tls", "intercept TLS and log its plaintext", nullptr, 0, OPT_SWITCH},
    {"c", "cert", "certificate and key shown to clients (PEM)", nullptr, 0, OPT_STRING},
    {nullptr, "verify", "end connections to unverified servers", nullptr, 0, OPT_SWITCH},
    {nullptr, "keylog", "append TLS secrets to this file", nullptr, 0, OPT_STRING},
#endif
    {nullptr, nullptr, nullptr, nullptr, 0, OPT_END},
};

bool resolve_address(const char* text, void* context) {
  std::vector<platform::Endpoint> found;
  platform::Endpoint literal;
  if (platform::parse_ipv6(text, &literal)) {
    found.push_back(literal);
  } else if (text[0] == '\0' || std::strpbrk(text, ":[]") != nullptr ||
             !platform::resolve_host(text, &found)) {
    // A broken IPv6 address is never looked up as a name, and neither is
    // an empty text (which Windows takes for this host).
    return false;
  }
  (*static_cast<ResolvedNames*>(context))[text] = found;
  return true;
}

namespace {

// An address row's value: its IPv4 address, or what its text was resolved to.
std::vector<platform::Endpoint> addresses_of(const OptionParser& parser, const char* name,
                                             const ResolvedNames& resolved) {
  const auto found = resolved.find(parser.text_of(name));
  if (found != resolved.end()) return found->second;
  return {platform::Endpoint::ipv4(parser.value_of(name).as_address(), 0)};
}

#if defined(QORVAND_HAS_TLS)
std::string text_or_empty(const OptionValue& value) {
  return value.as_text() != nullptr ? value.as_text() : "";
}

// The target as a certificate names it: an IPv6 address without brackets.
std::string name_of_target(const std::string& text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') return text.substr(1, text.size() - 2);
  return text;
}
#endif

std::uint16_t port_of(const OptionParser& parser, const char* name, std::uint16_t fallback) {
  const std::int32_t configured = parser.value_of(name).as_integer();
  return configured == -1 ? fallback : static_cast<std::uint16_t>(configured & 0xFFFF);
}

std::optional<std::string> capture_path_of(const OptionParser& parser) {
  const char* path = parser.value_of("w").as_text();
  if (path == nullptr) return std::nullopt;
  return path;
}

}  // namespace

Settings settings_of(const OptionParser& parser, const ResolvedNames& resolved) {
  const std::uint16_t target_port = port_of(parser, "p", platform::smtp_service_port());
  std::vector<platform::Endpoint> targets = addresses_of(parser, "t", resolved);
  for (platform::Endpoint& target : targets) target.port = target_port;
  return Settings{
      .targets = std::move(targets),
      .listen_at = addresses_of(parser, "b", resolved).front().with_port(port_of(parser, "l", target_port)),
      .log_path = parser.value_of("f").as_text(),
      .annotate = parser.value_of("a").as_switch(),
      .hex = parser.value_of("x").as_switch(),
      .capture_path = capture_path_of(parser),
#if defined(QORVAND_HAS_TLS)
      .tls = parser.value_of("tls").as_switch(),
      .cert_path = text_or_empty(parser.value_of("cert")),
      .verify = parser.value_of("verify").as_switch(),
      .keylog_path = text_or_empty(parser.value_of("keylog")),
      .target_name = name_of_target(parser.text_of("t")),
#endif
  };
}
