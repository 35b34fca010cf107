// One relayed connection's part of the capture file: its TCP conversation,
// written packet by packet as the relay reports what it did, in one write
// per event. The handshake is written when the target connection is made,
// each read's bytes when they were read, a FIN when a close was passed on
// (after the bytes it closes), a RST when a reset was. The conversation's
// last packet (the acknowledgement of the second FIN, or the RST) waits for
// the connection's end, so that it carries the last comments; a connect
// that did not succeed is the client's SYN alone, with its comments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/capture_file.h"
#include "capture/pcapng.h"
#include "capture/tcp_conversation.h"
#include "platform/endpoint.h"

namespace capture {

class ConnectionCapture {
 public:
  ConnectionCapture(CaptureFile& file, const platform::Endpoint& client);
  ConnectionCapture(const ConnectionCapture&) = delete;
  ConnectionCapture& operator=(const ConnectionCapture&) = delete;

  // A comment on the conversation's next packet.
  void note(std::string text) { tcp_.note(std::move(text)); }
  // The connect to this target did not succeed (a later one may).
  void connect_failed(const platform::Endpoint& target);
  void connected(const platform::Endpoint& target);
  void data(Peer from, const char* bytes, std::size_t n);
  // That peer's close was passed on to the other.
  void closed_by(Peer from);
  // That peer failed, and the other got a reset.
  void reset_by(Peer from);
  // The connection is over: the packet that waited, with the last comments.
  void end();

 private:
  // The packet that waits for the end.
  enum class Last { kNone, kAck, kReset };

  void set_target(const platform::Endpoint& target);
  void write_out();
  static Peer other(Peer peer) { return peer == Peer::kClient ? Peer::kServer : Peer::kClient; }

  CaptureFile& file_;
  TcpConversation tcp_;
  PacketBlocks blocks_;
  std::uint16_t client_port_;
  bool connected_ = false;
  bool closed_[2] = {false, false};
  Last last_ = Last::kNone;
  Peer last_from_ = Peer::kClient;
};

}  // namespace capture
