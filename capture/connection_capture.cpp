#include "capture/connection_capture.h"

#include "platform/process.h"

namespace capture {
namespace {

// A sequence number to start from that differs from one connection to the
// next, so that a reader never takes a new conversation on the same ports
// for a retransmission of an old one: the time and the port, mixed.
std::uint32_t initial_sequence(std::uint16_t port, std::uint64_t salt) {
  std::uint64_t mixed = static_cast<std::uint64_t>(platform::wall_clock_microseconds()) ^ (salt << 16) ^ port;
  mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ULL;
  mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBULL;
  return static_cast<std::uint32_t>(mixed ^ (mixed >> 31));
}

}  // namespace

ConnectionCapture::ConnectionCapture(CaptureFile& file, const platform::Endpoint& client)
    : file_(file), tcp_(client, initial_sequence(client.port, 1)), client_port_(client.port) {}

void ConnectionCapture::set_target(const platform::Endpoint& target) {
  tcp_.set_server(target, initial_sequence(client_port_, 2));
}

void ConnectionCapture::connect_failed(const platform::Endpoint& target) {
  set_target(target);
}

void ConnectionCapture::connected(const platform::Endpoint& target) {
  set_target(target);
  tcp_.handshake(blocks_);
  connected_ = true;
  write_out();
}

void ConnectionCapture::data(Peer from, const char* bytes, std::size_t n) {
  tcp_.send(from, bytes, n, blocks_);
  write_out();
}

// The other side acknowledges the FIN at once, unless it has closed too:
// that acknowledgement ends the conversation and waits for the end.
void ConnectionCapture::closed_by(Peer from) {
  tcp_.fin(from, blocks_);
  closed_[static_cast<int>(from)] = true;
  if (closed_[static_cast<int>(other(from))]) {
    last_ = Last::kAck;
    last_from_ = other(from);
  } else {
    tcp_.ack(other(from), blocks_);
  }
  write_out();
}

void ConnectionCapture::reset_by(Peer from) {
  last_ = Last::kReset;
  last_from_ = from;
}

void ConnectionCapture::end() {
  if (!connected_) {
    if (tcp_.has_server()) tcp_.syn(blocks_);
  } else if (last_ == Last::kAck) {
    tcp_.ack(last_from_, blocks_);
  } else if (last_ == Last::kReset) {
    tcp_.rst(last_from_, blocks_);
  }
  last_ = Last::kNone;
  write_out();
}

void ConnectionCapture::write_out() {
  file_.write(blocks_);
  blocks_.clear();
}

}  // namespace capture
