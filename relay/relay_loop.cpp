#include "relay/relay_loop.h"

#include <cstring>

RelayLoop::RelayLoop(RelayIo& io, ConnectionEvents& events) : io_(io), events_(events) {}

RelayLoop::~RelayLoop() = default;

void RelayLoop::start() {
  client_.writable = server_.writable = true;
}

void RelayLoop::failed_at_start(int which, int error) {
  Peer& peer = which == RelayIo::kClient ? client_ : server_;
  events_.io_failed(peer.side, IoOperation::kRead, error);
  fail(peer);
}

bool RelayLoop::finished() const {
  return (c2s_.finished() && s2c_.finished()) || client_.failed || server_.failed;
}

bool RelayLoop::step() {
  if (finished()) return false;
  if (next_ != Wait::kNone) collect_notifications(next_ == Wait::kForever);
  if (can_read(c2s_)) read_source(c2s_);
  if (can_send(s2c_)) send_to_destination(s2c_);
  if (can_read(s2c_)) read_source(s2c_);
  if (can_send(c2s_)) send_to_destination(c2s_);
  pass_on_close(c2s_);
  pass_on_close(s2c_);
  next_ = next_wait();
  return !finished();
}

// Nothing to do: the next step needs a notification. A read could go on:
// collect news of the other socket on the way, so that a busy direction
// never hides the other. Only a send of what was just read could go on: it
// needs no news.
RelayLoop::Wait RelayLoop::next_wait() const {
  if (can_read(c2s_) || can_read(s2c_)) return Wait::kPoll;
  if (can_send(c2s_) || can_send(s2c_)) return Wait::kNone;
  return Wait::kForever;
}

void RelayLoop::collect_notifications(bool forever) {
  int error = 0;
  if (io_.wait(forever, &error) != RelayIo::WaitResult::kRecorded) return;
  collect(client_);
  collect(server_);
}

// Applies one socket's notifications. A peer's close means it will send no
// more: it is read until its end of stream, and still sent to.
void RelayLoop::collect(Peer& peer) {
  const platform::SocketReadiness ready = io_.collect(peer.index);
  if (ready.readable) peer.readable = true;
  if (ready.writable && !peer.writable) {
    peer.writable = true;
    // A watch that stays on only wakes the relay more often than needed.
    int ignored = 0;
    (void)io_.watch_writable(peer.index, false, &ignored);
  }
  if (ready.closed) {
    if (!peer.close_seen) events_.peer_closed(peer.side, io_.nothing_to_read(peer.index));
    peer.close_seen = true;
    peer.readable = true;
  }
}

bool RelayLoop::can_read(const Direction& d) const {
  return d.source.readable && d.room() && !d.source.ended && !d.source.failed;
}

bool RelayLoop::can_send(const Direction& d) const {
  return d.destination.writable && d.pending() && !d.destination.failed;
}

void RelayLoop::read_source(Direction& d) {
  d.take_buffer();
  const std::size_t room = kBufferSize - d.length;
  const platform::IoResult result = io_.receive(d.source.index, d.buffer + d.length, room);
  if (result.would_block) {
    d.source.readable = false;
  } else if (result.failed()) {
    events_.io_failed(d.source.side, IoOperation::kRead, result.error);
    fail(d.source);
  } else if (result.count == 0) {
    if (!d.source.close_seen) events_.peer_closed(d.source.side, true);
    d.source.close_seen = true;
    d.source.ended = true;
  } else {
    const auto count = static_cast<std::size_t>(result.count);
    // A short read emptied the socket and the next arrival is notified
    // again, so no read is spent on would-block. A closed peer is read on
    // until its end of stream.
    if (count < room && !d.source.close_seen) d.source.readable = false;
    events_.traffic(d.source.side, d.buffer + d.length, count);
    d.length += count;
  }
  if (d.length == 0) d.give_back_buffer();
}

void RelayLoop::send_to_destination(Direction& d) {
  const platform::IoResult result = io_.send(d.destination.index, d.buffer, d.length);
  if (result.would_block) {
    wait_for_room(d.destination);
  } else if (result.failed()) {
    events_.io_failed(d.destination.side, IoOperation::kSend, result.error);
    fail(d.destination);
  } else {
    const auto sent = static_cast<std::size_t>(result.count);
    d.delivered += sent;
    std::memmove(d.buffer, d.buffer + sent, d.length - sent);
    d.length -= sent;
    if (d.length == 0) d.give_back_buffer();
  }
}

// Without the watch no notification would ever say there is room again: the
// send cannot go on, and fails as if the peer had gone.
void RelayLoop::wait_for_room(Peer& peer) {
  peer.writable = false;
  int error = 0;
  if (io_.watch_writable(peer.index, true, &error)) return;
  events_.io_failed(peer.side, IoOperation::kSend, error);
  fail(peer);
}

// The source's close is passed on only once everything it sent was delivered.
void RelayLoop::pass_on_close(Direction& d) {
  if (d.finished() && !d.destination.failed && !d.destination.send_shut) {
    io_.shutdown_sending(d.destination.index);
    d.destination.send_shut = true;
    events_.close_passed_on(d.source.side);
  }
}

void RelayLoop::fail(Peer& peer) {
  if (first_failed_ < 0) first_failed_ = peer.index;
  peer.failed = true;
}

void RelayLoop::finish() {
  if (client_.failed || server_.failed) end_after_failure();
  report_closing();
}

// A peer that failed is gone both ways. What the other peer is still owed
// gets one try, then it gets a reset: a cut stream must never look complete.
void RelayLoop::end_after_failure() {
  Direction& owed = client_.failed ? c2s_ : s2c_;
  Peer& survivor = owed.destination;
  if (!survivor.failed && owed.pending()) {
    const platform::IoResult result = io_.send(survivor.index, owed.buffer, owed.length);
    if (!result.failed()) {
      owed.length -= static_cast<std::size_t>(result.count);
      owed.delivered += static_cast<std::uint64_t>(result.count);
    }
  }
  io_.reset_on_close(RelayIo::kClient);
  io_.reset_on_close(RelayIo::kServer);
  events_.reset_passed_on(first_failed_ == RelayIo::kClient ? Side::kClient : Side::kServer);
}

void RelayLoop::report_closing() {
  events_.closed(c2s_.length, s2c_.length);
}
