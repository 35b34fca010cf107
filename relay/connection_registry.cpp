#include "relay/connection_registry.h"

void ConnectionRegistry::add(Entry& entry, platform::Socket client) {
  const std::lock_guard<std::mutex> guard(lock_);
  entry.client = client;
  entry.previous = nullptr;
  entry.next = first_;
  if (first_ != nullptr) first_->previous = &entry;
  first_ = &entry;
}

void ConnectionRegistry::set_server(Entry& entry, platform::Socket server) {
  const std::lock_guard<std::mutex> guard(lock_);
  entry.server = server;
}

void ConnectionRegistry::remove(Entry& entry) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (entry.previous != nullptr) entry.previous->next = entry.next;
  if (entry.next != nullptr) entry.next->previous = entry.previous;
  if (first_ == &entry) first_ = entry.next;
  entry.previous = entry.next = nullptr;
}

void ConnectionRegistry::reset_all() {
  // Kept locked: no connection may close a socket from here on.
  lock_.lock();
  for (const Entry* entry = first_; entry != nullptr; entry = entry->next) {
    platform::reset_on_close(entry->client);
    if (entry->server != platform::kNoSocket) platform::reset_on_close(entry->server);
  }
}
