#include "tls/session_cache.h"

#include <utility>

namespace tls {

SessionCache::Entry* SessionCache::entry_for(const char* name) {
  for (Entry& entry : entries_) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

// The entry of name; else a new one while there is room; else the one used
// longest ago, given to name.
SessionCache::Entry* SessionCache::room_for(const char* name) {
  Entry* entry = entry_for(name);
  if (entry != nullptr) return entry;
  if (entries_.size() < kCapacity) {
    entry = &entries_.emplace_back();
  } else {
    entry = &entries_.front();
    for (Entry& candidate : entries_) {
      if (candidate.used < entry->used) entry = &candidate;
    }
  }
  entry->name = name;
  return entry;
}

SslSessionOwner SessionCache::find(const char* name) {
  const std::lock_guard<std::mutex> guard(lock_);
  Entry* entry = entry_for(name);
  if (entry == nullptr || entry->session == nullptr) return nullptr;
  entry->used = ++clock_;
  return SslSessionOwner(SSL_SESSION_dup(entry->session.get()));
}

void SessionCache::keep(const char* name, const SSL_SESSION* session) {
  SslSessionOwner copy(SSL_SESSION_dup(session));
  if (copy == nullptr) return;
  const std::lock_guard<std::mutex> guard(lock_);
  Entry* entry = room_for(name);
  // The copy freed with it is the one replaced, once the lock is let go.
  std::swap(entry->session, copy);
  entry->used = ++clock_;
}

void SessionCache::forget(const char* name) {
  SslSessionOwner dropped;
  const std::lock_guard<std::mutex> guard(lock_);
  Entry* entry = entry_for(name);
  if (entry != nullptr) dropped = std::move(entry->session);
}

}  // namespace tls
