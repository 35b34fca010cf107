#include "relay/startup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "options/option_parser.h"
#include "platform/console.h"
#include "relay/settings.h"
#include "traffic_log/log_output.h"

namespace {

bool read_command_line(int argc, const char* const* argv) {
  const OptionParser parser(kProgramOptions, argc, argv);
  if (!parser.ok()) {
    parser.print_usage();
    return false;
  }
  settings.target_address = parser.value_of("t").as_address();
  settings.target_port = parser.value_of("p").as_integer();
  settings.listen_port = parser.value_of("l").as_integer();
  settings.log_path = parser.value_of("f").as_text();
  return true;
}

// A target that is this host on the listening port would relay every client
// to a new connection of its own, without end.
bool targets_own_listener() {
  return effective_listen_port(settings) == effective_target_port(settings) &&
         platform::is_own_address(settings.target_address);
}

bool open_listener(platform::Socket* listener) {
  const std::uint16_t port = effective_listen_port(settings);
  *listener = platform::open_tcp_socket();
  if (*listener == platform::kNoSocket || !platform::bind_and_listen(*listener, port)) {
    const int error = platform::last_socket_error();
    std::fprintf(stderr, "Can't listen on port %u: %s\n", static_cast<unsigned>(port),
                 platform::error_reason(error));
    return false;
  }
  return true;
}

bool open_log() {
  if (open_log_file(settings.log_path.c_str())) return true;
  std::fprintf(stderr, "Can't open log file %s: %s\n", settings.log_path.c_str(), std::strerror(errno));
  return false;
}

}  // namespace

bool start_up(int argc, const char* const* argv, platform::Socket* listener) {
  platform::reserve_standard_streams();
  if (!read_command_line(argc, argv)) return false;
  platform::start_networking();
  settings.smtp_port = platform::smtp_service_port();
  if (targets_own_listener()) {
    std::fputs("Can't listen on target socket\n", stderr);
    return false;
  }
  if (!open_listener(listener) || !open_log()) return false;
  log_message("Listening...\n");
  return true;
}
