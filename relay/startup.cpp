#include "relay/startup.h"

#include <cstdio>

#include "options/option_parser.h"
#include "platform/process.h"
#include "traffic_log/event_lines.h"

namespace {

bool read_command_line(int argc, const char* const* argv, Settings* settings) {
  const OptionParser parser(kProgramOptions, argc, argv);
  if (!parser.ok()) {
    parser.print_usage();
    return false;
  }
  settings->target_address = parser.value_of("t").as_address();
  settings->target_port = parser.value_of("p").as_integer();
  settings->listen_port = parser.value_of("l").as_integer();
  settings->log_path = parser.value_of("f").as_text();
  return true;
}

// A target that is this host on the listening port would relay every client
// to a new connection of its own, without end.
bool targets_own_listener(const Settings& settings) {
  return effective_listen_port(settings) == effective_target_port(settings) &&
         platform::is_own_address(settings.target_address);
}

bool open_listener(Settings* settings, platform::Socket* listener) {
  const std::uint16_t port = effective_listen_port(*settings);
  *listener = platform::open_tcp_socket();
  if (*listener == platform::kNoSocket || !platform::bind_and_listen(*listener, port)) {
    const int error = platform::last_socket_error();
    std::fprintf(stderr, "Can't listen on port %u: %s\n", static_cast<unsigned>(port), platform::error_reason(error));
    return false;
  }
  platform::Endpoint bound;
  settings->bound_port = platform::local_endpoint(*listener, &bound) ? bound.port : port;
  if (port == 0) {
    std::fprintf(stderr, "Listening on port %u, chosen by the system\n", static_cast<unsigned>(settings->bound_port));
    std::fflush(stderr);
  }
  return true;
}

bool open_log(Runtime* runtime) {
  int error = 0;
  if (runtime->log.open(runtime->settings.log_path.c_str(), &error)) return true;
  std::fprintf(stderr, "Can't open log file %s: %s\n", runtime->settings.log_path.c_str(),
               platform::error_reason(error));
  return false;
}

// A stop passes itself on to every peer as a reset, once the log has ended
// with a whole line.
void stop(int signal, void* context) {
  auto* runtime = static_cast<Runtime*>(context);
  runtime->log.hold_for_stop();
  runtime->connections.reset_all();
  platform::end_process_for_signal(signal);
}

}  // namespace

bool start_up(int argc, const char* const* argv, Runtime* runtime, platform::Socket* listener) {
  platform::prepare_process();
  Settings& settings = runtime->settings;
  if (!read_command_line(argc, argv, &settings)) return false;
  platform::start_networking();
  settings.smtp_port = platform::smtp_service_port();
  if (targets_own_listener(settings)) {
    std::fputs("Can't listen on target socket\n", stderr);
    return false;
  }
  // Before any other thread exists: they all inherit how signals are taken.
  platform::install_stop_handler(stop, runtime);
  if (!open_listener(&settings, listener) || !open_log(runtime)) return false;
  runtime->log.event(0, event_lines::kListening);
  return true;
}
