#include "relay/tls_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "tls/client_hello.h"

namespace {

using platform::IoResult;
using Outcome = tls::Session::Outcome;
using Progress = tls::Interceptor::Progress;

static_assert(tls::Interceptor::kClientLeg == RelayIo::kClient &&
              tls::Interceptor::kServerLeg == RelayIo::kServer);

constexpr unsigned char kHandshakeRecord = 22;
// What reads and sends report once TLS with a peer has failed: the relay
// ends the connection as after a reset.
constexpr int kTlsFailure = ECONNABORTED;

IoResult would_block() {
  return {-1, EAGAIN, true};
}
IoResult read_bytes(std::size_t count) {
  return {static_cast<long>(count), 0, false};
}
IoResult failed_with(int error) {
  return {-1, error, false};
}

Side side_of(int which) {
  return which == RelayIo::kClient ? Side::kClient : Side::kServer;
}

const unsigned char* bytes_of(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

TlsIo::TlsIo(RelayIo& inner, const tls::Interception& interception, ConnectionEvents& events)
    : inner_(inner), interception_(interception), events_(events) {}

// Notifications of this class's own are news: the wait only polls the
// sockets beside them.
RelayIo::WaitResult TlsIo::wait(bool forever, int* error) {
  if (!peers_[kClient].owed.any() && !peers_[kServer].owed.any()) return inner_.wait(forever, error);
  (void)inner_.wait(false, error);
  return WaitResult::kRecorded;
}

// Room again for ciphertext that waited is used here: the relay may have
// nothing to send, and a close_notify may wait behind it. A read that met
// a full queue (an answer to write) is tried again once it was emptied.
platform::SocketReadiness TlsIo::collect(int which) {
  platform::SocketReadiness ready = inner_.collect(which);
  Peer& peer = peers_[which];
  if (ready.writable && peer.own_watch) {
    peer.own_watch = false;
    if (flush(which)) pass_on_close(which);
    int error = 0;
    if (!update_watch(which, &error)) peer.send_failure = error;
    if (mode_ == Mode::kIntercepted) ready.readable = true;
  }
  ready.add(std::exchange(peer.owed, {}));
  return ready;
}

bool TlsIo::watch_writable(int which, bool watch, int* error) {
  peers_[which].relay_watch = watch;
  return update_watch(which, error);
}

// While the handshakes run the relay has nothing to send: its wait for
// room starts once they are done.
bool TlsIo::update_watch(int which, int* error) {
  Peer& peer = peers_[which];
  const bool wanted = (peer.relay_watch && mode_ != Mode::kHandshaking) || peer.own_watch;
  if (wanted == peer.inner_watch) return true;
  if (!inner_.watch_writable(which, wanted, error)) return false;
  peer.inner_watch = wanted;
  return true;
}

IoResult TlsIo::receive(int which, char* buffer, std::size_t capacity) {
  const bool client = which == kClient;
  switch (mode_) {
    case Mode::kWatching:
      return client ? watch_client(buffer, capacity) : inner_.receive(which, buffer, capacity);
    case Mode::kHolding:
      return client ? hold(buffer, capacity) : inner_.receive(which, buffer, capacity);
    case Mode::kReleasing:
      return client ? release(buffer, capacity) : inner_.receive(which, buffer, capacity);
    case Mode::kHandshaking:
      return handshake(which, buffer, capacity);
    case Mode::kIntercepted:
      return read_plain(which, buffer, capacity);
    case Mode::kFailed:
      break;
  }
  return failure_of(which);
}

// A read at a boundary that begins like a handshake record is held.
IoResult TlsIo::watch_client(char* buffer, std::size_t capacity) {
  if (held_failure_.failed()) return std::exchange(held_failure_, IoResult{});
  const IoResult read = inner_.receive(kClient, buffer, capacity);
  if (read.count <= 0 || static_cast<unsigned char>(buffer[0]) != kHandshakeRecord) return read;
  const auto count = static_cast<std::size_t>(read.count);
  const auto* bytes = reinterpret_cast<const unsigned char*>(buffer);
  if (tls::inspect_client_hello(bytes, count).verdict == tls::HelloVerdict::kNotClientHello) return read;
  held_.assign(buffer, count);
  held_taken_ = 0;
  mode_ = Mode::kHolding;
  return hold(buffer, capacity);
}

// Reads on until the held bytes decide, or the socket is drained (the relay
// then waits for the next arrival, with nothing to show for this read).
IoResult TlsIo::hold(char* buffer, std::size_t capacity) {
  for (;;) {
    const tls::HelloInspection seen = tls::inspect_client_hello(bytes_of(held_), held_.size());
    if (seen.verdict == tls::HelloVerdict::kClientHello) {
      mode_ = Mode::kHandshaking;
      if (!interceptor_.emplace(interception_, carriers_[kClient], carriers_[kServer]).open()) {
        return handshake_failed(kClient, kClient, interceptor_->failure());
      }
      return handshake(kClient, buffer, capacity);
    }
    if (seen.verdict == tls::HelloVerdict::kNotClientHello) break;
    const std::size_t had = held_.size();
    held_.resize(std::max(seen.length, had + 1));
    const IoResult read = inner_.receive(kClient, held_.data() + had, held_.size() - had);
    held_.resize(had + static_cast<std::size_t>(std::max(read.count, 0L)));
    if (read.would_block) return read;
    if (read.count > 0) continue;
    // An end of stream or a failure: the held bytes go on first.
    if (read.failed()) held_failure_ = read;
    break;
  }
  mode_ = Mode::kReleasing;
  return release(buffer, capacity);
}

// The held bytes go to the relay as they are, as much as its room takes;
// what room is left takes what follows them, so that a short read still
// means a drained socket.
IoResult TlsIo::release(char* buffer, std::size_t capacity) {
  const std::size_t count = take_held(buffer, capacity);
  if (!held_.empty()) return read_bytes(count);
  mode_ = Mode::kWatching;
  if (held_failure_.failed()) {
    notify(kClient, true, false);
    return read_bytes(count);
  }
  if (count == capacity) return read_bytes(count);
  const IoResult more = inner_.receive(kClient, buffer + count, capacity - count);
  if (more.count > 0) return read_bytes(count + static_cast<std::size_t>(more.count));
  if (more.failed() && !more.would_block) {
    held_failure_ = more;
    notify(kClient, true, false);
  }
  return read_bytes(count);
}

// Drives both handshakes: each leg receives from its socket as it needs.
// Until they are done the relay reads nothing.
IoResult TlsIo::handshake(int which, char* buffer, std::size_t capacity) {
  tls::Interceptor& interceptor = *interceptor_;
  peers_[kClient].drained = peers_[kServer].drained = false;
  const Progress progress = interceptor.advance();
  flush(kClient);
  flush(kServer);
  if (progress == Progress::kFailed) {
    return handshake_failed(which, interceptor.failed_leg(), interceptor.failure());
  }
  if (progress == Progress::kDone) {
    intercepted_now();
    return read_plain(which, buffer, capacity);
  }
  return handshake_waits(which);
}

// The handshakes wait for input: a peer that ended or failed meanwhile ends
// them (either socket may have been read).
IoResult TlsIo::handshake_waits(int which) {
  for (int leg : {which, 1 - which}) {
    const Peer& peer = peers_[leg];
    if (peer.ended) return handshake_failed(which, leg, "the connection ended during the handshake");
    if (peer.read_failure != 0) {
      // A reset: the relay tells it as it is.
      mode_ = Mode::kFailed;
      notify(leg, true, false);
      return failure_of(which);
    }
  }
  return would_block();
}

// What a leg receives: the client's held hello first, then its socket until
// a receive comes back short (the socket is drained until the relay reads
// it again), it ends or it fails.
std::size_t TlsIo::carry_in(int which, char* buffer, std::size_t capacity) {
  if (which == kClient && !held_.empty()) return take_held(buffer, capacity);
  Peer& peer = peers_[which];
  if (peer.drained || peer.ended || peer.read_failure != 0) return 0;
  const IoResult read = inner_.receive(which, buffer, capacity);
  if (read.would_block) {
    peer.drained = true;
  } else if (read.failed()) {
    peer.read_failure = read.error;
  } else if (read.count == 0) {
    peer.ended = true;
  }
  if (read.count <= 0) return 0;
  const auto count = static_cast<std::size_t>(read.count);
  peer.drained = count < capacity;
  return count;
}

// Held bytes, as many as capacity takes; once all are taken none are kept.
std::size_t TlsIo::take_held(char* buffer, std::size_t capacity) {
  const std::size_t count = std::min(capacity, held_.size() - held_taken_);
  std::memcpy(buffer, held_.data() + held_taken_, count);
  held_taken_ += count;
  if (held_taken_ == held_.size()) {
    std::string().swap(held_);
    held_taken_ = 0;
  }
  return count;
}

// Plaintext for the relay, read until its room is full, or the socket is
// drained and the leg holds no more whole record, or the peer ended or
// failed.
IoResult TlsIo::read_plain(int which, char* buffer, std::size_t capacity) {
  tls::Session& leg = interceptor_->leg(which);
  Peer& peer = peers_[which];
  peer.drained = false;
  std::size_t total = 0;
  while (total < capacity) {
    std::size_t count = 0;
    const Outcome outcome = leg.read(buffer + total, capacity - total, &count);
    total += count;
    if (outcome == Outcome::kDone) continue;
    // kWantInput: the carrier had no more (drained, ended or failed).
    if (outcome == Outcome::kClosed) peer.ended = true;
    if (outcome == Outcome::kFailed) fail_leg(which, false, leg.reason());
    break;
  }
  flush(which);  // what reading wrote: the answer to a key update, an alert
  // A close_notify or a failure behind the plaintext may come with no
  // notification of the socket's: the relay hears of it from this class.
  if (total > 0 && (peer.ended || peer.read_failure != 0)) notify(which, true, false);
  if (total > 0) return read_bytes(total);
  if (peer.read_failure != 0) return failed_with(peer.read_failure);
  if (peer.ended) return read_bytes(0);
  return would_block();
}

IoResult TlsIo::send(int which, const char* data, std::size_t count) {
  switch (mode_) {
    case Mode::kIntercepted:
      return send_plain(which, data, count);
    case Mode::kHandshaking:
      return would_block();
    case Mode::kFailed:
      return failed_with(kTlsFailure);
    case Mode::kWatching:
    case Mode::kHolding:
    case Mode::kReleasing:
      break;
  }
  return inner_.send(which, data, count);
}

// Takes what the leg can protect into its queue, which goes out in one send
// once full or once all is taken; nothing taken while the queue is full and
// the socket takes no more is would-block, and the relay waits for room.
IoResult TlsIo::send_plain(int which, const char* data, std::size_t count) {
  tls::Session& leg = interceptor_->leg(which);
  Peer& peer = peers_[which];
  std::size_t taken = 0;
  while (taken < count) {
    std::size_t written = 0;
    const Outcome outcome = leg.write(data + taken, count - taken, &written);
    taken += written;
    if (outcome == Outcome::kDone) continue;
    if (outcome == Outcome::kFailed) fail_leg(which, false, leg.reason());
    if (outcome != Outcome::kWantOutput || !flush(which)) break;
  }
  flush(which);
  if (taken > 0) return read_bytes(taken);
  if (peer.send_failure != 0) return failed_with(peer.send_failure);
  return would_block();
}

// Sends the leg's ciphertext; true when none is left. A socket that takes
// no more is watched for room.
bool TlsIo::flush(int which) {
  if (!interceptor_) return true;
  tls::Session& leg = interceptor_->leg(which);
  Peer& peer = peers_[which];
  if (!leg.is_open()) return true;
  for (;;) {
    const char* at = nullptr;
    const std::size_t count = leg.output(&at);
    if (count == 0) return true;
    if (peer.send_failure != 0) return false;
    const IoResult sent = inner_.send(which, at, count);
    if (sent.would_block) {
      peer.own_watch = true;
      int error = 0;
      if (!update_watch(which, &error)) peer.send_failure = error;
      return false;
    }
    if (sent.failed()) {
      peer.send_failure = sent.error;
      return false;
    }
    leg.output_sent(static_cast<std::size_t>(sent.count));
  }
}

void TlsIo::shutdown_sending(int which) {
  if (mode_ != Mode::kIntercepted) {
    inner_.shutdown_sending(which);
    return;
  }
  peers_[which].close_wanted = true;
  pass_on_close(which);
}

// A close goes on as close_notify, then the end of stream, once all
// ciphertext before it has gone out.
void TlsIo::pass_on_close(int which) {
  Peer& peer = peers_[which];
  if (!peer.close_wanted || peer.close_passed) return;
  tls::Session& leg = interceptor_->leg(which);
  while (!peer.close_written && flush(which)) peer.close_written = leg.close();
  if (!peer.close_written || !flush(which)) return;
  inner_.shutdown_sending(which);
  peer.close_passed = true;
}

bool TlsIo::nothing_to_read(int which) {
  if (which == kClient && !held_.empty()) return false;
  if (interceptor_ && interceptor_->leg(which).is_open() && interceptor_->leg(which).holds_input())
    return false;
  return inner_.nothing_to_read(which);
}

// Both sides are read again (a leg may hold records received with its
// handshake's, or its socket was left unread while its handshake waited),
// and a relay that waited for room gets it.
void TlsIo::intercepted_now() {
  mode_ = Mode::kIntercepted;
  tls::Interceptor& interceptor = *interceptor_;
  tls::Session& client = interceptor.leg(kClient);
  tls::Session& server = interceptor.leg(kServer);
  events_.tls_intercepted({interceptor.server_name(), client.version(), server.version(), server.cipher(),
                           interceptor.protocol(), interceptor.verify_failure()});
  for (int which : {kClient, kServer}) {
    notify(which, true, peers_[which].relay_watch);
    int error = 0;
    if (!update_watch(which, &error)) peers_[which].send_failure = error;
  }
}

// The relay meets the failure when it reads the side that failed: that
// peer's failure ends the connection, and the summary names it.
IoResult TlsIo::handshake_failed(int which, int failed_leg, const char* reason) {
  fail_leg(failed_leg, true, reason);
  mode_ = Mode::kFailed;
  notify(failed_leg, true, false);
  return failure_of(which);
}

void TlsIo::fail_leg(int which, bool in_handshake, const char* reason) {
  Peer& peer = peers_[which];
  if (peer.read_failure == 0) events_.tls_failed(side_of(which), in_handshake, reason);
  peer.read_failure = peer.send_failure = kTlsFailure;
}

IoResult TlsIo::failure_of(int which) {
  const int failure = peers_[which].read_failure;
  return failure != 0 ? failed_with(failure) : would_block();
}

void TlsIo::notify(int which, bool readable, bool writable) {
  platform::SocketReadiness& owed = peers_[which].owed;
  owed.readable = owed.readable || readable;
  owed.writable = owed.writable || writable;
}
