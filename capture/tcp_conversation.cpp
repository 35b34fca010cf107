#include "capture/tcp_conversation.h"

#include <algorithm>
#include <cstring>

namespace capture {
namespace {

constexpr std::uint8_t kFin = 0x01;
constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kRst = 0x04;
constexpr std::uint8_t kPsh = 0x08;
constexpr std::uint8_t kAck = 0x10;

constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint8_t kHopLimit = 64;
constexpr std::size_t kIpv4HeaderSize = 20;
constexpr std::size_t kIpv6HeaderSize = 40;
constexpr std::size_t kTcpHeaderSize = 20;
// The SYNs' options: the segment size, a no-op to align, the window scale.
constexpr std::uint8_t kSynOptions[] = {
    2, 4, TcpConversation::kMaxSegment >> 8, TcpConversation::kMaxSegment & 0xFF, 1,
    3, 3, TcpConversation::kWindowScale};

void put16(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}

void put32(std::uint8_t* at, std::uint32_t value) {
  put16(at, value >> 16);
  put16(at + 2, value);
}

// The Internet checksum's running sum of data as 16-bit words read in the
// machine's byte order: the sum is the same in either order but for its
// two bytes swapped, and stored in the machine's order it reads right
// (RFC 1071). Eight bytes at a time: their two halves summed as 32-bit
// numbers sum the same once folded, as 2^16 is 1 modulo 2^16 - 1.
std::uint64_t add_words(std::uint64_t sum, const std::uint8_t* data, std::size_t length) {
  for (; length >= 8; data += 8, length -= 8) {
    std::uint64_t eight;
    std::memcpy(&eight, data, sizeof eight);
    sum += (eight & 0xFFFFFFFF) + (eight >> 32);
  }
  for (; length >= 2; data += 2, length -= 2) {
    std::uint16_t word;
    std::memcpy(&word, data, sizeof word);
    sum += word;
  }
  if (length == 1) {
    const std::uint8_t last[2] = {data[0], 0};
    std::uint16_t word;
    std::memcpy(&word, last, sizeof word);
    sum += word;
  }
  return sum;
}

// Folds the sum and stores its complement at the checksum's place.
void store_checksum(std::uint64_t sum, std::uint8_t* at) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  const auto checksum = static_cast<std::uint16_t>(~sum);
  std::memcpy(at, &checksum, sizeof checksum);
}

// ::ffff:a.b.c.d for an IPv4 address among IPv6 ones.
void copy_address(const platform::Endpoint& endpoint, bool ipv6, std::uint8_t* to) {
  if (!ipv6 || endpoint.family == platform::Family::kIPv6) {
    std::memcpy(to, endpoint.address, sizeof endpoint.address);
    return;
  }
  std::memset(to, 0, 16);
  to[10] = to[11] = 0xFF;
  std::memcpy(to + 12, endpoint.address, 4);
}

}  // namespace

TcpConversation::TcpConversation(const platform::Endpoint& client, std::uint32_t client_isn)
    : client_(client.unmapped()) {
  hosts_[0].port = client.port;
  hosts_[0].next_seq = client_isn;
}

void TcpConversation::set_server(const platform::Endpoint& server, std::uint32_t server_isn) {
  const platform::Endpoint plain = server.unmapped();
  ipv6_ = client_.family != platform::Family::kIPv4 || plain.family != platform::Family::kIPv4;
  copy_address(client_, ipv6_, hosts_[0].address);
  copy_address(plain, ipv6_, hosts_[1].address);
  hosts_[1].port = server.port;
  hosts_[1].next_seq = server_isn;
  has_server_ = true;
}

void TcpConversation::syn(PacketBlocks& out) {
  emit(Peer::kClient, {kSyn}, out);
}

void TcpConversation::handshake(PacketBlocks& out) {
  syn(out);
  emit(Peer::kServer, {kSyn | kAck}, out);
  ack(Peer::kClient, out);
}

void TcpConversation::send(Peer from, const char* data, std::size_t n, PacketBlocks& out) {
  if (n == 0) return;
  for (std::size_t offset = 0; offset < n; offset += kMaxSegment) {
    const std::size_t length = std::min(kMaxSegment, n - offset);
    const bool last = offset + length == n;
    emit(from, {static_cast<std::uint8_t>(kAck | (last ? kPsh : 0)), data + offset, length}, out);
  }
  ack(from == Peer::kClient ? Peer::kServer : Peer::kClient, out);
}

void TcpConversation::fin(Peer from, PacketBlocks& out) {
  emit(from, {kFin | kAck}, out);
}

void TcpConversation::ack(Peer by, PacketBlocks& out) {
  emit(by, {kAck}, out);
}

void TcpConversation::rst(Peer from, PacketBlocks& out) {
  emit(from, {kRst | kAck}, out);
}

// One packet: IP header, TCP header, payload, both checksums; the notes so
// far go with it as comments. A SYN or FIN takes a sequence number.
void TcpConversation::emit(Peer from, const Segment& segment, PacketBlocks& out) {
  Host& source = host(from);
  const Host& destination = other(from);
  const bool syn = (segment.flags & kSyn) != 0;
  const std::size_t tcp_header = kTcpHeaderSize + (syn ? sizeof kSynOptions : 0);
  const std::size_t tcp_length = tcp_header + segment.length;
  const std::size_t ip_header = ipv6_ ? kIpv6HeaderSize : kIpv4HeaderSize;
  std::uint8_t* packet = out.begin_packet(ip_header + tcp_length);
  write_ip_header(source, destination, tcp_length, packet);

  std::uint8_t* tcp = packet + ip_header;
  put16(tcp, source.port);
  put16(tcp + 2, destination.port);
  put32(tcp + 4, source.next_seq);
  put32(tcp + 8, (segment.flags & kAck) != 0 ? destination.next_seq : 0);
  tcp[12] = static_cast<std::uint8_t>(tcp_header / 4 << 4);
  tcp[13] = segment.flags;
  put16(tcp + 14, syn ? kSynWindow : kWindow);
  put32(tcp + 16, 0);  // checksum and urgent pointer
  if (syn) std::memcpy(tcp + kTcpHeaderSize, kSynOptions, sizeof kSynOptions);
  if (segment.length > 0) std::memcpy(tcp + tcp_header, segment.payload, segment.length);

  // The pseudo-header: both addresses, the protocol and the TCP length
  // (IPv4: a zero byte, the protocol, 16 bits of length; IPv6: 32 bits of
  // length, three zero bytes, the protocol).
  const std::size_t address_length = ipv6_ ? 16 : 4;
  std::uint64_t sum = add_words(0, source.address, address_length);
  sum = add_words(sum, destination.address, address_length);
  std::uint8_t protocol_and_length[4];
  put16(protocol_and_length, kProtocolTcp);
  put16(protocol_and_length + 2, static_cast<std::uint32_t>(tcp_length));
  sum = add_words(sum, protocol_and_length, sizeof protocol_and_length);
  store_checksum(add_words(sum, tcp, tcp_length), tcp + 16);

  out.end_packet(from == Peer::kClient ? Direction::kInbound : Direction::kOutbound, notes_);
  notes_.clear();
  source.next_seq +=
      static_cast<std::uint32_t>(segment.length) + (syn ? 1 : 0) + ((segment.flags & kFin) ? 1 : 0);
}

void TcpConversation::write_ip_header(Host& from, const Host& to, std::size_t tcp_length,
                                      std::uint8_t* at) const {
  if (ipv6_) {
    put32(at, 0x60000000);  // version 6, no traffic class or flow label
    put16(at + 4, static_cast<std::uint32_t>(tcp_length));
    at[6] = kProtocolTcp;
    at[7] = kHopLimit;
    std::memcpy(at + 8, from.address, 16);
    std::memcpy(at + 24, to.address, 16);
    return;
  }
  at[0] = 0x45;  // version 4, a header of five words
  at[1] = 0;
  put16(at + 2, static_cast<std::uint32_t>(kIpv4HeaderSize + tcp_length));
  put16(at + 4, from.ip_id++);
  put16(at + 6, 0x4000);  // don't fragment
  at[8] = kHopLimit;
  at[9] = kProtocolTcp;
  put16(at + 10, 0);  // the checksum, below
  std::memcpy(at + 12, from.address, 4);
  std::memcpy(at + 16, to.address, 4);
  store_checksum(add_words(0, at, kIpv4HeaderSize), at + 10);
}

}  // namespace capture
