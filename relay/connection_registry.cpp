#include "relay/connection_registry.h"

struct ConnectionRegistry::Entry {
  platform::SocketHandle client = platform::kNoSocket;
  platform::SocketHandle server = platform::kNoSocket;
  Entry* previous = nullptr;
  Entry* next = nullptr;
};

ConnectionRegistry::Registration ConnectionRegistry::join(const platform::Socket& client) {
  Registration registration;
  registration.entry_ = std::unique_ptr<Entry, Registration::Leave>(new Entry, Registration::Leave{this});
  Entry& entry = *registration.entry_;
  entry.client = client.get();
  const std::lock_guard<std::mutex> guard(lock_);
  entry.next = first_;
  if (first_ != nullptr) first_->previous = &entry;
  first_ = &entry;
  return registration;
}

void ConnectionRegistry::Registration::set_server(platform::SocketHandle server) {
  const std::lock_guard<std::mutex> guard(entry_.get_deleter().registry->lock_);
  entry_->server = server;
}

void ConnectionRegistry::Registration::Leave::operator()(Entry* entry) const {
  registry->remove(*entry);
  delete entry;
}

void ConnectionRegistry::remove(Entry& entry) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (entry.previous != nullptr) entry.previous->next = entry.next;
  if (entry.next != nullptr) entry.next->previous = entry.previous;
  if (first_ == &entry) first_ = entry.next;
}

void ConnectionRegistry::reset_all() {
  // Kept locked: no connection may close a socket from here on.
  lock_.lock();
  for (const Entry* entry = first_; entry != nullptr; entry = entry->next) {
    platform::reset_on_close(entry->client);
    if (entry->server != platform::kNoSocket) platform::reset_on_close(entry->server);
  }
}
