// One thread per live connection. A thread whose connection has ended waits
// for the next one instead of ending, up to kMaxWaiting of them: here,
// starting a thread costs more than the whole set-up of a connection, so a
// warm thread serves a new client several times sooner.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

#include "program/runtime.h"
#include "relay/connection.h"

// A client on its way to a relay thread, with its number in accept order
// and its address.
struct RelayStart {
  AcceptedClient client;
  ConnectionNumber number = 0;
  platform::Endpoint peer;
};

class RelayThreads {
 public:
  static constexpr int kMaxWaiting = 16;

  explicit RelayThreads(Runtime& runtime) : runtime_(runtime) {}
  RelayThreads(const RelayThreads&) = delete;
  RelayThreads& operator=(const RelayThreads&) = delete;

  // Relays the client on a waiting thread, or on a new one, taking start
  // over. False when no thread could be started, with the system's reason
  // in *error: start is then the caller's again.
  bool relay(RelayStart& start, int* error);

 private:
  static void run(void* self);
  void serve();
  bool take_back(ConnectionNumber number, RelayStart* start);

  Runtime& runtime_;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<RelayStart> waiting_connections_;
  int waiting_threads_ = 0;
};
