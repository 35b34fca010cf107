// One relayed connection told as the TCP conversation it would be on a wire
// between the client and the target, with addresses, ports, sequence and
// acknowledgement numbers, windows and checksums a reader takes as real:
// a three-way handshake, the bytes of each read in segments of at most
// kMaxSegment bytes acknowledged at once by the other side, a FIN for each
// close, a RST for a reset. Both peers IPv4 are written as IPv4; otherwise
// both as IPv6, an IPv4 address mapped (::ffff:a.b.c.d).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/pcapng.h"
#include "platform/endpoint.h"

namespace capture {

enum class Peer { kClient, kServer };

class TcpConversation {
 public:
  static constexpr std::size_t kMaxSegment = 1460;
  // Every packet after the SYNs advertises kWindow << kWindowScale bytes,
  // which covers the most that is ever unacknowledged: one read of the relay
  // (64 KiB) and a FIN.
  static constexpr std::uint16_t kWindow = 2048;
  static constexpr std::uint8_t kWindowScale = 7;
  // The SYNs' window, which is never scaled.
  static constexpr std::uint16_t kSynWindow = 65535;

  TcpConversation(const platform::Endpoint& client, std::uint32_t client_isn);

  // The server side: the target connected to, or tried.
  void set_server(const platform::Endpoint& server, std::uint32_t server_isn);
  bool has_server() const { return has_server_; }
  // A comment on the next packet.
  void note(std::string text) { notes_.push_back(std::move(text)); }

  // The client's SYN alone: a connect that did not succeed.
  void syn(PacketBlocks& out);
  // SYN, SYN-ACK and ACK.
  void handshake(PacketBlocks& out);
  // The bytes of one read from that peer, then the other's acknowledgement.
  void send(Peer from, const char* data, std::size_t n, PacketBlocks& out);
  void fin(Peer from, PacketBlocks& out);
  // An acknowledgement of everything the other peer sent.
  void ack(Peer by, PacketBlocks& out);
  void rst(Peer from, PacketBlocks& out);

 private:
  struct Host {
    std::uint8_t address[16] = {};
    std::uint16_t port = 0;
    std::uint32_t next_seq = 0;
    std::uint16_t ip_id = 0;
  };
  struct Segment {
    std::uint8_t flags;
    const char* payload = nullptr;
    std::size_t length = 0;
  };

  Host& host(Peer peer) { return hosts_[peer == Peer::kClient ? 0 : 1]; }
  Host& other(Peer peer) { return hosts_[peer == Peer::kClient ? 1 : 0]; }
  void emit(Peer from, const Segment& segment, PacketBlocks& out);
  void write_ip_header(Host& from, const Host& to, std::size_t tcp_length, std::uint8_t* at) const;

  platform::Endpoint client_;
  bool has_server_ = false;
  bool ipv6_ = false;
  Host hosts_[2];
  std::vector<std::string> notes_;
};

}  // namespace capture
