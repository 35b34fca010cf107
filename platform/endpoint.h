// A TCP endpoint of either address family, as the relay and its log lines
// see it. Plain data, written once for both platforms: the backends convert
// it to and from the system's socket addresses.
#pragma once

#include <cstdint>
#include <cstring>

namespace platform {

enum class Family : std::uint8_t { kNone, kIPv4, kIPv6 };

struct Endpoint {
  Family family = Family::kNone;
  // Network byte order; an IPv4 address takes the first four bytes.
  std::uint8_t address[16] = {};
  std::uint16_t port = 0;      // host byte order
  std::uint32_t scope_id = 0;  // the interface of an IPv6 link-local address

  // An IPv4 address given in host byte order (127.0.0.1 is 0x7F000001).
  static Endpoint ipv4(std::uint32_t host_order, std::uint16_t port_number) {
    Endpoint endpoint;
    endpoint.family = Family::kIPv4;
    endpoint.address[0] = static_cast<std::uint8_t>(host_order >> 24);
    endpoint.address[1] = static_cast<std::uint8_t>(host_order >> 16);
    endpoint.address[2] = static_cast<std::uint8_t>(host_order >> 8);
    endpoint.address[3] = static_cast<std::uint8_t>(host_order);
    endpoint.port = port_number;
    return endpoint;
  }

  Endpoint with_port(std::uint16_t port_number) const {
    Endpoint endpoint = *this;
    endpoint.port = port_number;
    return endpoint;
  }

  // ::ffff:a.b.c.d, which a dual-stack socket reports for an IPv4 peer.
  bool is_ipv4_mapped() const {
    static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return family == Family::kIPv6 && std::memcmp(address, kPrefix, sizeof kPrefix) == 0;
  }

  // The same endpoint with an IPv4-mapped address as plain IPv4.
  Endpoint unmapped() const {
    if (!is_ipv4_mapped()) return *this;
    Endpoint endpoint;
    endpoint.family = Family::kIPv4;
    std::memcpy(endpoint.address, address + 12, 4);
    endpoint.port = port;
    return endpoint;
  }

  // 0.0.0.0 or ::
  bool is_unspecified() const {
    const int length = family == Family::kIPv4 ? 4 : 16;
    for (int index = 0; index < length; ++index) {
      if (address[index] != 0) return false;
    }
    return family != Family::kNone;
  }

  // 127.x.y.z or ::1
  bool is_loopback() const {
    if (family == Family::kIPv4) return address[0] == 127;
    static constexpr std::uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return family == Family::kIPv6 && std::memcmp(address, kLoopback, sizeof kLoopback) == 0;
  }

  bool same_address(const Endpoint& other) const {
    const Endpoint mine = unmapped();
    const Endpoint theirs = other.unmapped();
    return mine.family == theirs.family && std::memcmp(mine.address, theirs.address, sizeof address) == 0;
  }
};

// An address as log lines show it: dotted decimal for IPv4 (also for an
// IPv4-mapped address), in brackets for IPv6 ("[::1]"), with the zone of a
// link-local address ("[fe80::1%2]").
struct AddressText {
  char text[64];
};

}  // namespace platform
