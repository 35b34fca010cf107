// The relay's events for the capture file (-w).
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/capture_file.h"
#include "capture/connection_capture.h"
#include "traffic_log/connection_events.h"

// One connection's events as its capture's packets; the events the log
// has lines for that the packets do not show (errors, bytes left unsent,
// the summary) become comments, in the log's words.
class CapturedEvents final : public ConnectionEvents {
 public:
  CapturedEvents(capture::CaptureFile& file, const platform::Endpoint& client) : capture_(file, client) {}

  void received() override {}
  void connect_failed(const platform::Endpoint& target, int error) override;
  void outgoing(const platform::Endpoint&, const platform::Endpoint& target) override {
    capture_.connected(target);
  }
  void traffic(Side from, const char* data, std::size_t n) override { capture_.data(peer(from), data, n); }
  void peer_closed(Side, bool) override {}
  void io_failed(Side side, IoOperation operation, int error) override;
  void close_passed_on(Side from) override { capture_.closed_by(peer(from)); }
  void reset_passed_on(Side failed) override { capture_.reset_by(peer(failed)); }
  void tls_intercepted(const TlsInterception& tls) override;
  void tls_failed(Side side, bool in_handshake, const char* reason) override;
  void closed(std::size_t unsent_to_server, std::size_t unsent_to_client) override;
  void summary(std::uint64_t to_server, std::uint64_t to_client, std::int64_t elapsed_us,
               Ending ending) override;

 private:
  static capture::Peer peer(Side side) {
    return side == Side::kClient ? capture::Peer::kClient : capture::Peer::kServer;
  }

  capture::ConnectionCapture capture_;
  bool intercepted_ = false;
  bool tls_failed_[2] = {false, false};  // by Side: the error that follows says nothing more
};
