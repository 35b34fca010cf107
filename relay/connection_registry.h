// The connections alive right now, so that a stop can pass itself on to
// every peer as a reset instead of a clean end of stream.
#pragma once

#include <memory>
#include <mutex>

#include "platform/net.h"

class ConnectionRegistry {
 public:
  struct Entry;

  // A connection's place in the registry, from its client's accept on. It is
  // left when this is destroyed: its owner declares it after the sockets it
  // names, so that it goes first and a stop never touches a closed socket.
  class Registration {
   public:
    Registration() = default;
    // The server socket that a stop resets too; kNoSocket before the one
    // named so far is closed.
    void set_server(platform::SocketHandle server);

   private:
    friend class ConnectionRegistry;
    struct Leave {
      ConnectionRegistry* registry;
      void operator()(Entry* entry) const;
    };
    std::unique_ptr<Entry, Leave> entry_;
  };

  Registration join(const platform::Socket& client);
  // Makes the close of every registered socket abortive; the process's end
  // then resets every connection.
  void reset_all();

 private:
  void remove(Entry& entry);

  std::mutex lock_;
  Entry* first_ = nullptr;
};
