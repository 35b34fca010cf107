// The last TLS session with each server name the target was asked for,
// offered on the next connection there, so that the server can resume it
// instead of a whole handshake. Shared by the event loops; small and
// bounded: the names used longest ago make room for new ones. The cache
// holds copies of its own, and hands out copies: a connection's session is
// changed by its connection (OpenSSL marks the session of a connection
// that ended without close_notify as one not to resume), a copy is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tls/openssl_owners.h"

namespace tls {

class SessionCache {
 public:
  static constexpr std::size_t kCapacity = 64;

  // A copy of the session kept for name, or none.
  SslSessionOwner find(const char* name);
  // Keeps a copy of session for name, in place of the one before it.
  void keep(const char* name, const SSL_SESSION* session);
  void forget(const char* name);

 private:
  struct Entry {
    std::string name;
    SslSessionOwner session;
    std::uint64_t used = 0;  // the clock when it was last kept or found
  };
  Entry* entry_for(const char* name);
  Entry* room_for(const char* name);

  std::mutex lock_;
  std::vector<Entry> entries_;
  std::uint64_t clock_ = 0;
};

}  // namespace tls
