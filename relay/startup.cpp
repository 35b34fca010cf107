#include "relay/startup.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "options/option_parser.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/process.h"
#include "qorvand_version.h"
#include "relay/own_listener.h"
#include "traffic_log/program_lines.h"

namespace {

// An address row's value: its IPv4 address, or what its text was resolved to.
std::vector<platform::Endpoint> addresses_of(const OptionParser& parser, const char* name,
                                             const ResolvedNames& resolved) {
  const auto found = resolved.find(parser.text_of(name));
  if (found != resolved.end()) return found->second;
  return {platform::Endpoint::ipv4(parser.value_of(name).as_address(), 0)};
}

// -h wins over -V. A failed write (a full disk) must not look like an answer.
StartUp answer_on_standard_output(const OptionParser& parser) {
  if (parser.value_of("h").as_switch()) {
    parser.write_usage(stdout);
  } else {
    std::printf("qorvand %s\n", kProgramVersion);
  }
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return StartUp::kAnswered;
  std::fputs("Can't write to standard output\n", stderr);
  return StartUp::kRefused;
}

StartUp read_command_line(int argc, const char* const* argv, Settings* settings) {
  ResolvedNames resolved;
  const OptionParser parser(kProgramOptions, argc, argv, resolve_address, &resolved);
  if (!parser.ok()) {
    parser.print_usage();
    return StartUp::kRefused;
  }
  if (parser.value_of("h").as_switch() || parser.value_of("V").as_switch()) {
    return answer_on_standard_output(parser);
  }
  settings->targets = addresses_of(parser, "t", resolved);
  settings->target_port = parser.value_of("p").as_integer();
  settings->listen_port = parser.value_of("l").as_integer();
  // A text row without a value has no text: the log then goes where it goes by default.
  const char* log_path = parser.value_of("f").as_text();
  settings->log_path = log_path != nullptr ? log_path : kDefaultLogPath;
  settings->bind_address = addresses_of(parser, "b", resolved).front();
  settings->annotate = parser.value_of("a").as_switch();
  settings->hex = parser.value_of("x").as_switch();
  return StartUp::kRun;
}

bool targets_own_listener(const Settings& settings) {
  const std::vector<platform::Endpoint> own = platform::interface_addresses();
  const platform::Endpoint listening = settings.bind_address.with_port(effective_listen_port(settings));
  for (const platform::Endpoint& target : settings.targets) {
    if (reaches_own_listener(target.with_port(effective_target_port(settings)), listening, own)) return true;
  }
  return false;
}

bool open_listener(Settings* settings, platform::Socket* listener) {
  const std::uint16_t port = effective_listen_port(*settings);
  const platform::Endpoint wanted = settings->bind_address.with_port(port);
  *listener = platform::open_tcp_socket(wanted.family);
  if (*listener == platform::kNoSocket || !platform::bind_and_listen(*listener, wanted)) {
    const int error = platform::last_socket_error();
    std::fprintf(stderr, "Can't listen on port %u: %s\n", static_cast<unsigned>(port),
                 platform::error_reason(error));
    return false;
  }
  if (!platform::local_endpoint(*listener, &settings->listening)) settings->listening = wanted;
  if (port == 0) {
    std::fprintf(stderr, "Listening on port %u, chosen by the system\n",
                 static_cast<unsigned>(settings->listening.port));
    std::fflush(stderr);
  }
  return true;
}

// A log file gets a console echo, unless standard output is the log itself
// or the null device (an echo there would only cost system calls). An echo
// that cannot start leaves the log without one.
void wire_echo(Log& log) {
  if (log.writes_to_standard_output() || platform::standard_output_is_null_device()) return;
  auto echo = std::make_unique<ConsoleEcho>();
  if (echo->start(platform::write_console)) log.set_echo(std::move(echo));
}

bool open_log(Runtime* runtime) {
  int error = 0;
  if (runtime->log.open(runtime->settings.log_path.c_str(), &error)) {
    wire_echo(runtime->log);
    return true;
  }
  std::fprintf(stderr, "Can't open log file %s: %s\n", runtime->settings.log_path.c_str(),
               platform::error_reason(error));
  return false;
}

// Set once start-up is done. The signal handlers leave the runtime alone
// before: the log may not be open yet, no connection exists, and a start-up
// that refuses destroys the runtime as the process exits.
std::atomic<bool> started{false};

// A stop passes itself on to every peer as a reset, once the log has ended
// with a whole line.
void stop(int signal, void* context) {
  if (started.load(std::memory_order_acquire)) {
    auto* runtime = static_cast<Runtime*>(context);
    runtime->log.hold_for_stop();
    runtime->connections.reset_all();
  }
  platform::end_process_for_signal(signal);
}

// A rotation that renamed the log file asks for it by name again; the
// connections go on untouched.
void reopen_log(void* context) {
  if (started.load(std::memory_order_acquire)) static_cast<Runtime*>(context)->log.reopen();
}

}  // namespace

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

StartUp start_up(int argc, const char* const* argv, Runtime* runtime, platform::Socket* listener) {
  platform::prepare_process();
  // Before the command line: its names are resolved as it is read.
  platform::start_networking();
  Settings& settings = runtime->settings;
  const StartUp read = read_command_line(argc, argv, &settings);
  if (read != StartUp::kRun) return read;
  settings.smtp_port = platform::smtp_service_port();
  if (targets_own_listener(settings)) {
    std::fputs("Can't listen on target socket\n", stderr);
    return StartUp::kRefused;
  }
  // Before any other thread exists: they all inherit how signals are taken.
  platform::install_signal_handlers({stop, reopen_log, runtime});
  if (!open_listener(&settings, listener) || !open_log(runtime)) return StartUp::kRefused;
  runtime->log.set_annotate(settings.annotate);
  started.store(true, std::memory_order_release);
  log_listening(runtime->log);
  return StartUp::kRun;
}
