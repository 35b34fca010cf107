// The relay's events as texts, one per event, for tests that check what a
// relay over scripted peers reported.
#pragma once

#include <string>
#include <vector>

#include "traffic_log/connection_events.h"

// What the relay reported, one text per event.
class RecordedEvents final : public ConnectionEvents {
 public:
  std::vector<std::string> seen;

  void received() override { seen.push_back("received"); }
  void connect_failed(const platform::Endpoint&, int error) override {
    seen.push_back("connect failed " + std::to_string(error));
  }
  void outgoing(const platform::Endpoint&, const platform::Endpoint&) override { seen.push_back("outgoing"); }
  void traffic(Side from, const char* data, std::size_t n) override {
    seen.push_back(name(from) + " sent " + std::string(data, n));
  }
  void peer_closed(Side side, bool all_read) override {
    seen.push_back(name(side) + (all_read ? " closed, all read" : " closed, bytes unread"));
  }
  void io_failed(Side side, IoOperation operation, int error) override {
    seen.push_back(name(side) + (operation == IoOperation::kRead ? " read" : " send") + " failed " +
                   std::to_string(error));
  }
  void close_passed_on(Side from) override { seen.push_back(name(from) + "'s close passed on"); }
  void reset_passed_on(Side failed) override { seen.push_back(name(failed) + " failed, reset passed on"); }
  void tls_intercepted(const TlsInterception& tls) override {
    seen.push_back(std::string("intercepted ") + tls.server_name + " " + tls.client_version);
  }
  void tls_failed(Side side, bool in_handshake, const char* reason) override {
    seen.push_back(name(side) + (in_handshake ? " handshake failed: " : " TLS failed: ") + reason);
  }
  void closed(std::size_t unsent_to_server, std::size_t unsent_to_client) override {
    seen.push_back("closed, unsent " + std::to_string(unsent_to_server) + " to server, " +
                   std::to_string(unsent_to_client) + " to client");
  }
  void summary(std::uint64_t, std::uint64_t, std::int64_t, Ending) override { seen.push_back("summary"); }

 private:
  static std::string name(Side side) { return side == Side::kClient ? "client" : "server"; }
};
