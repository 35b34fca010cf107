#include "program/startup.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "options/option_parser.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "program/own_listener.h"
#include "qorvand_version.h"
#include "traffic_log/program_lines.h"

namespace {

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

#if defined(QORVAND_HAS_TLS)
// --cert, --verify and --keylog shape the interception: without --tls they
// would do nothing, which a user who gave one cannot have meant.
bool refuse_tls_option_without_tls(const OptionParser& parser) {
  if (parser.value_of("tls").as_switch()) return false;
  for (const char* name : {"cert", "verify", "keylog"}) {
    if (parser.value_of(name).given) {
      std::fprintf(stderr, "--%s needs --tls\n", name);
      return true;
    }
  }
  return false;
}
#else
// The table of a build without TLS has no TLS rows, so the parser stops at
// the first TLS option given as an unknown one: say what it is instead.
bool refuse_unbuilt_tls_option(const OptionParser& parser) {
  for (const char* spelling : {"-s", "/s", "--tls", "-c", "/c", "--cert", "--verify", "--keylog"}) {
    if (std::string(parser.error()) == std::string("Unknown option ") + spelling) {
      std::fprintf(stderr, "qorvand was built without TLS: %s is not available\n", spelling);
      return true;
    }
  }
  return false;
}
#endif

StartUp read_command_line(int argc, const char* const* argv, std::optional<Settings>* settings) {
  ResolvedNames resolved;
  const OptionParser parser(kProgramOptions, argc, argv, resolve_address, &resolved);
  if (!parser.ok()) {
#if !defined(QORVAND_HAS_TLS)
    if (refuse_unbuilt_tls_option(parser)) return StartUp::kRefused;
#endif
    parser.print_usage();
    return StartUp::kRefused;
  }
  if (parser.value_of("h").as_switch() || parser.value_of("V").as_switch()) {
    return answer_on_standard_output(parser);
  }
#if defined(QORVAND_HAS_TLS)
  if (refuse_tls_option_without_tls(parser)) return StartUp::kRefused;
#endif
  settings->emplace(settings_of(parser, resolved));
  return StartUp::kRun;
}

bool targets_own_listener(const Settings& settings) {
  const std::vector<platform::Endpoint> own = platform::interface_addresses();
  for (const platform::Endpoint& target : settings.targets) {
    if (reaches_own_listener(target, settings.listen_at, own)) return true;
  }
  return false;
}

std::optional<platform::Listener> open_listener(const platform::Endpoint& wanted) {
  int error = 0;
  std::optional<platform::Listener> listener = platform::Listener::open(wanted, &error);
  if (!listener) {
    std::fprintf(stderr, "Can't listen on port %u: %s\n", static_cast<unsigned>(wanted.port),
                 platform::error_reason(error));
  } else if (wanted.port == 0) {
    std::fprintf(stderr, "Listening on port %u, chosen by the system\n",
                 static_cast<unsigned>(listener->endpoint().port));
    std::fflush(stderr);
  }
  return listener;
}

#if defined(QORVAND_HAS_TLS)
// With --tls: the certificates clients are shown, the key log, and the
// interception made of them. The line that names the CA and its fingerprint
// lets the user trust it in a client.
bool prepare_tls(Runtime& runtime) {
  const Settings& settings = runtime.settings;
  if (!settings.tls) return true;
  std::string error;
  runtime.authority = tls::CertificateAuthority::load({.cert_path = settings.cert_path}, &error);
  bool ready = runtime.authority != nullptr;
  if (ready && !settings.keylog_path.empty()) {
    runtime.key_log = tls::KeyLog::open(settings.keylog_path, &error);
    ready = runtime.key_log != nullptr;
  }
  if (ready) {
    runtime.interception = tls::Interception::create(*runtime.authority, runtime.key_log.get(), settings.verify,
                                                     settings.target_name, &error);
    ready = runtime.interception != nullptr;
  }
  if (!ready) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  std::fprintf(stderr, "%s\n", runtime.authority->describe().c_str());
  std::fflush(stderr);
  return true;
}
#endif

// A log file gets a console echo, unless standard output is the log itself
// or the null device (an echo there would only cost system calls). An echo
// that cannot start leaves the log without one.
void wire_echo(Log& log) {
  if (log.writes_to_standard_output() || platform::standard_output_is_null_device()) return;
  auto echo = std::make_unique<ConsoleEcho>();
  if (echo->start(platform::write_console)) log.set_echo(std::move(echo));
}

bool open_log(Runtime& runtime) {
  int error = 0;
  if (runtime.log.open(runtime.settings.log_path.c_str(), &error)) {
    wire_echo(runtime.log);
    return true;
  }
  std::fprintf(stderr, "Can't open log file %s: %s\n", runtime.settings.log_path.c_str(),
               platform::error_reason(error));
  return false;
}

// The capture file, with -w: its header names the program and its version.
bool open_capture(Runtime& runtime) {
  if (!runtime.settings.capture_path) return true;
  const char* path = runtime.settings.capture_path->c_str();
  const std::string application = std::string("qorvand ") + kProgramVersion;
  int error = 0;
  if (runtime.capture.open(path, application.c_str(), &error)) return true;
  std::fprintf(stderr, "Can't open capture file %s: %s\n", path, platform::error_reason(error));
  return false;
}

// Set once start-up is done. The signal handlers leave the runtime alone
// before: the log may not be open yet, no connection exists, and a start-up
// that refuses destroys the runtime as the process exits.
std::atomic<bool> started{false};

// A stop passes itself on to every peer as a reset, once the log has ended
// with a whole line and the capture file with a whole block.
void stop(int signal, void* context) {
  if (started.load(std::memory_order_acquire)) {
    auto* runtime = static_cast<Runtime*>(context);
    runtime->log.hold_for_stop();
    runtime->capture.hold_for_stop();
    runtime->connections.reset_all();
  }
  platform::end_process_for_signal(signal);
}

// A rotation that renamed the log file asks for it by name again; the
// connections go on untouched.
void reopen_log(void* context) {
  if (started.load(std::memory_order_acquire)) static_cast<Runtime*>(context)->log.reopen();
}

// One event loop per processor relays every connection.
bool start_loops(Runtime& runtime) {
  runtime.relay_targets.targets = runtime.settings.targets;
#if defined(QORVAND_HAS_TLS)
  runtime.relay_targets.interception = runtime.interception.get();
#endif
  int error = 0;
  if (runtime.loops.start(runtime.relay_targets, platform::processor_count(), &error)) return true;
  std::fprintf(stderr, "Can't start the relay's threads: %s (%d)\n", platform::error_reason(error), error);
  return false;
}

}  // namespace

StartUp read_settings(int argc, const char* const* argv, std::optional<Settings>* settings) {
  platform::prepare_process();
  // Before the command line: its names are resolved as it is read.
  platform::start_networking();
  const StartUp read = read_command_line(argc, argv, settings);
  if (read != StartUp::kRun) return read;
  if (!targets_own_listener(**settings)) return StartUp::kRun;
  std::fputs("Can't listen on target socket\n", stderr);
  return StartUp::kRefused;
}

std::optional<platform::Listener> start_serving(Runtime& runtime) {
  // Before any other thread exists: they all inherit how signals are taken.
  platform::install_signal_handlers({stop, reopen_log, &runtime});
#if defined(QORVAND_HAS_TLS)
  if (!prepare_tls(runtime)) return std::nullopt;
#endif
  std::optional<platform::Listener> listener = open_listener(runtime.settings.listen_at);
  if (!listener || !open_log(runtime) || !open_capture(runtime) || !start_loops(runtime)) return std::nullopt;
  runtime.log.set_annotate(runtime.settings.annotate);
  started.store(true, std::memory_order_release);
  log_listening(runtime.log);
  return listener;
}
