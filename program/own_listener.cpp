#include "program/own_listener.h"

namespace {

using platform::Endpoint;
using platform::Family;

// A connect to 0.0.0.0 or :: goes to the loopback address of its family.
Endpoint as_connected(const Endpoint& target) {
  const Endpoint plain = target.unmapped();
  if (!plain.is_unspecified()) return plain;
  if (plain.family == Family::kIPv4) return Endpoint::ipv4(0x7F000001, plain.port);
  Endpoint loopback = plain;
  loopback.address[15] = 1;
  return loopback;
}

bool is_own(const Endpoint& address, const std::vector<Endpoint>& own_addresses) {
  if (address.is_loopback()) return true;
  for (const Endpoint& own : own_addresses) {
    if (own.same_address(address)) return true;
  }
  return false;
}

}  // namespace

bool reaches_own_listener(const Endpoint& target, const Endpoint& listening,
                          const std::vector<Endpoint>& own_addresses) {
  if (target.port != listening.port) return false;
  const Endpoint reached = as_connected(target);
  const Endpoint listener = listening.unmapped();
  if (!listener.is_unspecified()) return reached.same_address(listener);
  if (!is_own(reached, own_addresses)) return false;
  // 0.0.0.0 takes this host's IPv4 addresses; :: takes its IPv6 ones and,
  // on a dual-stack socket, the IPv4 ones too.
  return listener.family == Family::kIPv6 || reached.family == Family::kIPv4;
}
