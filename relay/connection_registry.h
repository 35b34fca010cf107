// The connections alive right now, so that a stop can pass itself on to
// every peer as a reset instead of a clean end of stream.
#pragma once

#include <mutex>

#include "platform/net.h"

class ConnectionRegistry {
 public:
  // One connection's sockets, kept in the registry for as long as they are
  // open: removed before its sockets are closed.
  struct Entry {
    platform::Socket client = platform::kNoSocket;
    platform::Socket server = platform::kNoSocket;
    Entry* previous = nullptr;
    Entry* next = nullptr;
  };

  void add(Entry& entry, platform::Socket client);
  void set_server(Entry& entry, platform::Socket server);
  void remove(Entry& entry);
  // Makes the close of every registered socket abortive; the process's end
  // then resets every connection.
  void reset_all();

 private:
  std::mutex lock_;
  Entry* first_ = nullptr;
};
