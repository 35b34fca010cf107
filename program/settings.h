// The settings of one run: built once from the command line at start-up and
// only read afterwards, by the accept loop and the event loops.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "options/option_parser.h"
#include "platform/endpoint.h"

struct Settings {
  // The target's addresses with its port, in the order a connect tries them:
  // one for an address, all that a host name stands for.
  std::vector<platform::Endpoint> targets;
  // Where to listen, as configured (port 0: the system chooses one).
  platform::Endpoint listen_at;
  std::string log_path;  // "-" means standard output
  // -a: every line starts with the time and the connection's number, each
  // connection ends with a summary line, and TLS is recognized.
  bool annotate;
  // -x: traffic as hex dump rows instead of text lines.
  bool hex;
  // -w: where every connection is written as a pcapng capture, if anywhere.
  std::optional<std::string> capture_path;
  // Where TLS is built: --tls intercepts the TLS a client starts and logs
  // its plaintext, showing the client the certificates of --cert (empty:
  // the default CA); --verify ends a connection whose server certificate
  // fails verification; --keylog (empty: none) receives the secrets.
  bool tls = false;
  std::string cert_path{};
  bool verify = false;
  std::string keylog_path{};
  // The target as the command line names it (an IPv6 address without its
  // brackets): the name qorvand's certificate is for when a client asks for
  // none, and the name the server's certificate is checked against.
  std::string target_name{};
};

// The program's option table: name and description, then target, target
// port and listening port (also positional, in that order), then the log
// path, the listening address, the switches of the log's form, the capture
// file, -h and -V, which are answered alone, and, where TLS is built, its
// options.
extern const OptionSpec kProgramOptions[];

// The addresses that IPv6 literals and host names on the command line stand
// for, found while the command line is read: each name is resolved once.
using ResolvedNames = std::map<std::string, std::vector<platform::Endpoint>>;

// The option parser's check of an address that is not dotted IPv4: an IPv6
// address (with or without brackets) or a host name that resolves. Keeps
// what it found in the ResolvedNames that context points to.
bool resolve_address(const char* text, void* context);

// The settings a command line that parsed chose. A port of -1 falls back:
// the target port to the "smtp" service port, the listening port to the
// target port; any other value keeps its low 16 bits.
Settings settings_of(const OptionParser& parser, const ResolvedNames& resolved);
