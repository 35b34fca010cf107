// What one connection is written to: its part of the log and, with -w, of
// the capture file. The relay tells its events here, the log first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "program/captured_events.h"
#include "program/runtime.h"
#include "traffic_log/connection_log.h"

class ConnectionOutputs final : public ConnectionEvents {
 public:
  ConnectionOutputs(Runtime& runtime, ConnectionNumber number, const platform::Endpoint& peer)
      : log_(runtime.log, number, TrafficView{runtime.settings.hex, runtime.settings.annotate}) {
    if (runtime.capture.is_open()) captured_.emplace(runtime.capture, peer);
  }

  void received() override {
    log_.received();
    if (captured_) captured_->received();
  }
  void connect_failed(const platform::Endpoint& target, int error) override {
    log_.connect_failed(target, error);
    if (captured_) captured_->connect_failed(target, error);
  }
  void outgoing(const platform::Endpoint& local, const platform::Endpoint& target) override {
    log_.outgoing(local, target);
    if (captured_) captured_->outgoing(local, target);
  }
  void traffic(Side from, const char* data, std::size_t n) override {
    log_.traffic(from, data, n);
    if (captured_) captured_->traffic(from, data, n);
  }
  void peer_closed(Side side, bool all_read) override {
    log_.peer_closed(side, all_read);
    if (captured_) captured_->peer_closed(side, all_read);
  }
  void io_failed(Side side, IoOperation operation, int error) override {
    log_.io_failed(side, operation, error);
    if (captured_) captured_->io_failed(side, operation, error);
  }
  void close_passed_on(Side from) override {
    log_.close_passed_on(from);
    if (captured_) captured_->close_passed_on(from);
  }
  void reset_passed_on(Side failed) override {
    log_.reset_passed_on(failed);
    if (captured_) captured_->reset_passed_on(failed);
  }
  void tls_intercepted(const TlsInterception& tls) override {
    log_.tls_intercepted(tls);
    if (captured_) captured_->tls_intercepted(tls);
  }
  void tls_failed(Side side, bool in_handshake, const char* reason) override {
    log_.tls_failed(side, in_handshake, reason);
    if (captured_) captured_->tls_failed(side, in_handshake, reason);
  }
  void closed(std::size_t unsent_to_server, std::size_t unsent_to_client) override {
    log_.closed(unsent_to_server, unsent_to_client);
    if (captured_) captured_->closed(unsent_to_server, unsent_to_client);
  }
  void summary(std::uint64_t to_server, std::uint64_t to_client, std::int64_t elapsed_us,
               Ending ending) override {
    log_.summary(to_server, to_client, elapsed_us, ending);
    if (captured_) captured_->summary(to_server, to_client, elapsed_us, ending);
  }

 private:
  ConnectionLog log_;
  std::optional<CapturedEvents> captured_;
};
