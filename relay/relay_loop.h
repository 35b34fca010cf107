// The relay's rules for one connected client and server: read what either
// peer sends, log it, send it on at once; a peer's close only means it sends
// no more, and is passed on once everything it sent was delivered; a peer
// whose read or send fails is gone both ways, and the other peer gets what
// it is owed in one try and then a reset. A direction holds a 64 KiB buffer
// only while bytes are in flight.
#pragma once

#include <cstddef>
#include <cstdint>

#include "relay/buffer_pool.h"
#include "relay/relay_io.h"
#include "traffic_log/connection_events.h"

class RelayLoop {
 public:
  static constexpr std::size_t kBufferSize = buffer_pool::kBufferSize;

  RelayLoop(RelayIo& io, ConnectionEvents& events);
  RelayLoop(const RelayLoop&) = delete;
  RelayLoop& operator=(const RelayLoop&) = delete;
  ~RelayLoop();

  // Both sockets are connected and armed: each can be sent to.
  void start();
  // A socket could not be armed: that peer is gone before any traffic.
  void failed_at_start(int which, int error);
  // One pass: collects the notifications recorded (unless the last pass
  // found a send alone could go on), then reads and sends what can go, at
  // most one read or send per step. False once the connection is finished: both
  // directions done, or a peer failed.
  bool step();
  // After the last step: the resets a failure calls for, then the held text
  // and the closing line.
  void finish();

  bool finished() const;
  // Nothing can go on until a notification arrives: the next step would
  // wait for one.
  bool waits_for_news() const { return next_ == Wait::kForever; }
  // Bytes delivered each way, for the summary line.
  std::uint64_t delivered_to_server() const { return c2s_.delivered; }
  std::uint64_t delivered_to_client() const { return s2c_.delivered; }
  // The peer that failed first (RelayIo::kClient or kServer), or -1.
  int first_failed() const { return first_failed_; }

 private:
  struct Peer {
    Peer(Side peer_side, int io_index) : side(peer_side), index(io_index) {}
    Side side;
    int index;         // RelayIo::kClient or kServer
    // What the platform reported, kept until a call meets would-block.
    bool readable = false;
    bool writable = false;
    bool close_seen = false;  // its close was noticed (and logged)
    bool ended = false;       // its end of stream was read: it sends no more
    bool failed = false;      // a read or send failed: it is gone both ways
    bool send_shut = false;   // the other peer's close was passed on to it
  };

  // What was read from source and not yet sent to destination.
  struct Direction {
    Direction(Peer& from, Peer& to) : source(from), destination(to) {}
    Direction(const Direction&) = delete;
    Direction& operator=(const Direction&) = delete;
    ~Direction() { give_back_buffer(); }
    void take_buffer() {
      if (buffer == nullptr) buffer = buffer_pool::take();
    }
    void give_back_buffer() {
      if (buffer != nullptr) buffer_pool::give(buffer);
      buffer = nullptr;
    }
    bool pending() const { return length > 0; }
    bool room() const { return length < kBufferSize; }
    // The source has said all it will and all of it was delivered.
    bool finished() const { return source.ended && length == 0; }

    Peer& source;
    Peer& destination;
    std::uint64_t delivered = 0;
    std::size_t length = 0;
    char* buffer = nullptr;  // while length > 0, or a read is under way
  };

  enum class Wait { kForever, kPoll, kNone };

  Wait next_wait() const;
  void collect_notifications(bool forever);
  void collect(Peer& peer);
  bool can_read(const Direction& d) const;
  bool can_send(const Direction& d) const;
  void read_source(Direction& d);
  void send_to_destination(Direction& d);
  void wait_for_room(Peer& peer);
  void pass_on_close(Direction& d);
  void fail(Peer& peer);
  void end_after_failure();
  void report_closing();

  RelayIo& io_;
  ConnectionEvents& events_;
  Peer client_{Side::kClient, RelayIo::kClient};
  Peer server_{Side::kServer, RelayIo::kServer};
  Direction c2s_{client_, server_};
  Direction s2c_{server_, client_};
  Wait next_ = Wait::kForever;
  int first_failed_ = -1;
};
