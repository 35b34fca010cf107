#include "relay/accept_loop.h"

#include <cstdio>

#include "platform/thread.h"
#include "relay/relay_connection.h"
#include "relay/settings.h"
#include "traffic_log/log_output.h"

namespace {

// Out of descriptors: give closing connections a moment instead of spinning.
constexpr int kOutOfDescriptorsPauseMs = 100;

// Says once on standard error that accepting fails, until it works again.
void report_accept_failure(int error, int* last_reported) {
  if (error != *last_reported) {
    std::fprintf(stderr, "Accept failed: %s (%d)\n", platform::error_reason(error), error);
    std::fflush(stderr);
  }
  *last_reported = error;
  if (platform::is_out_of_descriptors(error)) platform::sleep_milliseconds(kOutOfDescriptorsPauseMs);
}

void hand_to_relay_thread(platform::Socket client, const platform::Endpoint& peer) {
  if (platform::start_detached_thread(relay_connection_thread, reinterpret_cast<void*>(client))) return;
  platform::close_socket(client);
  std::fprintf(stderr, "Can't start a relay thread: client %s:%u disconnected\n",
               address_text(peer.address).text, static_cast<unsigned>(peer.port));
  std::fflush(stderr);
}

}  // namespace

void accept_forever(platform::Socket listener) {
  const std::uint16_t listen_port = effective_listen_port(settings);
  const AddressText listen_address = address_text(0);
  int last_reported_error = 0;
  for (;;) {
    platform::Endpoint peer;
    const platform::Socket client = platform::accept_client(listener, &peer);
    if (client == platform::kNoSocket) {
      report_accept_failure(platform::last_socket_error(), &last_reported_error);
      continue;
    }
    last_reported_error = 0;
    log_message("Incoming: %s:%d -> %s:%d\n", address_text(peer.address).text, peer.port, listen_address.text,
                listen_port);
    hand_to_relay_thread(client, peer);
  }
}
