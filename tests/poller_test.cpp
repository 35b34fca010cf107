// The poller over real loopback connections: what it reports for what a peer
// does, edge-like, for many sockets at once, and a wake from another thread.
#include "platform/poller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::Poller;
using platform::Socket;
using platform::SocketReadiness;

constexpr int kWaitMs = 20000;  // bounds a wait that an event should end
constexpr int kCapacity = 16;
constexpr int kRounds = 1000;
// Every bit of a token comes back.
constexpr std::uint64_t kToken = 0xFEDCBA9876543210;
#if defined(_WIN32)
constexpr int kResetError = 10054;  // WSAECONNRESET
constexpr bool kLevelTriggered = true;
#else
constexpr int kResetError = ECONNRESET;
constexpr bool kLevelTriggered = false;
#endif

// A loopback connection: near is watched, far plays the peer.
struct Connection {
  Socket near;
  Socket far;
};

void send_text(Socket& socket, const std::string& text) {
  ASSERT_EQ(socket.send(text.data(), text.size()).count, static_cast<long>(text.size()));
}

// What the watched end read until would-block, its end of stream or a failure.
struct Received {
  std::string bytes;
  bool ended = false;
  int error = 0;
};

void read_to_would_block(Poller& poller, Socket& socket, std::uint64_t token, Received* received) {
  char buffer[64 * 1024];
  for (int read = 0; read < kRounds; ++read) {
    const platform::IoResult result = socket.receive(buffer, sizeof buffer);
    if (result.would_block) {
      poller.want_read(socket, token, true);
      return;
    }
    if (result.failed()) received->error = result.error;
    if (result.count <= 0) {
      received->ended = result.count == 0;
      return;
    }
    received->bytes.append(buffer, static_cast<std::size_t>(result.count));
  }
}

class PollerTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::start_networking();
    int error = 0;
    listener_ = platform::Listener::open(platform::Endpoint::ipv4(0x7F000001, 0), &error);
    ASSERT_TRUE(listener_) << error;
    std::optional<Poller> opened = Poller::open(&error);
    ASSERT_TRUE(opened) << error;
    poller_.emplace(std::move(*opened));
  }

  Connection connect(std::uint64_t token) {
    Connection connection;
    int error = 0;
    connection.far = Socket::open_tcp(platform::Family::kIPv4, &error);
    EXPECT_NE(connection.far.start_connect(listener_->endpoint(), &error), platform::Connecting::kFailed) << error;
    platform::Endpoint peer;
    connection.near = listener_->accept(&peer, &error);
    EXPECT_TRUE(connection.near.is_open()) << error;
    EXPECT_TRUE(poller_->add(connection.near, token, &error)) << error;
    return connection;
  }

  // One wait; its events in events_.
  int wait(int timeout_ms) {
    int error = 0;
    const int count = poller_->wait(events_, kCapacity, timeout_ms, &error);
    EXPECT_GE(count, 0) << error;
    return count;
  }

  // Waits, handing every event to on_event, until it returns true; false
  // when a wait ends without events first.
  template <typename OnEvent>
  bool wait_until(OnEvent on_event) {
    for (int round = 0; round < kRounds; ++round) {
      const int count = wait(kWaitMs);
      bool done = false;
      for (int index = 0; index < count; ++index) done = on_event(events_[index]) || done;
      if (count <= 0 || done) return done;
    }
    return false;
  }
  // What one wait reports while one socket is watched: nothing once
  // timeout_ms is over.
  SocketReadiness report(int timeout_ms = kWaitMs) {
    return wait(timeout_ms) > 0 ? events_[0].readiness : SocketReadiness{};
  }

  std::optional<platform::Listener> listener_;
  std::optional<Poller> poller_;
  Poller::Event events_[kCapacity];
};

TEST_F(PollerTest, WhatThePeerDoesIsReportedAndReadToItsEnd) {
  enum class End { kShutdown, kClose, kReset };
  struct Row {
    const char* name;
    const char* sent;
    End end;
    int error;  // of the read after what was sent; 0: the end of stream
  };
  const Row rows[] = {
      {"sends, then shuts down sending", "hello", End::kShutdown, 0},
      {"closes", "", End::kClose, 0},
      {"sends, then closes", "bye", End::kClose, 0},
      {"resets", "", End::kReset, kResetError},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Connection connection = connect(kToken);
    if (*row.sent != '\0') send_text(connection.far, row.sent);
    if (row.end == End::kShutdown) connection.far.shutdown_sending();
    if (row.end == End::kReset) platform::reset_on_close(connection.far.get());
    if (row.end != End::kShutdown) connection.far = Socket();

    // Read the way a loop reads: on each read report, until would-block.
    SocketReadiness reported;
    Received received;
    EXPECT_TRUE(wait_until([&](const Poller::Event& event) {
      reported.add(event.readiness);
      if (event.readiness.readable) read_to_would_block(*poller_, connection.near, kToken, &received);
      return reported.closed && (received.ended || received.error != 0);
    }));
    EXPECT_EQ(received.bytes, row.sent);
    EXPECT_EQ(received.error, row.error);
    EXPECT_TRUE(reported.readable && reported.closed);
    // A reset must also make a waiting send try, and fail.
    EXPECT_EQ(reported.writable, row.end == End::kReset);
    EXPECT_FALSE(report(0).any()) << "the end was reported again";
    poller_->remove(connection.near);
  }
}

TEST_F(PollerTest, ReadIsReportedAgainOnlyAfterTheReaderMetWouldBlock) {
  Connection connection = connect(kToken);
  EXPECT_FALSE(report(0).any());
  send_text(connection.far, "one");
  const SocketReadiness ready = report();
  EXPECT_TRUE(ready.readable && !ready.writable && !ready.closed);
  EXPECT_FALSE(report(0).any()) << "data that waits unread was reported again";

  // Where polls are level-triggered the caller's wish decides; epoll's edges ignore it.
  poller_->want_read(connection.near, kToken, true);
  EXPECT_EQ(report(0).readable, kLevelTriggered);
  poller_->want_read(connection.near, kToken, false);
  EXPECT_FALSE(report(0).any());

  Received received;
  read_to_would_block(*poller_, connection.near, kToken, &received);
  EXPECT_EQ(received.bytes, "one");
  EXPECT_FALSE(report(0).any());
  send_text(connection.far, "two");
  EXPECT_TRUE(report().readable);
}

TEST_F(PollerTest, WritableIsReportedOnlyWhileWatched) {
  constexpr std::uint64_t kFar = 1;
  Connection connection = connect(kToken);
  int error = 0;
  EXPECT_FALSE(report(0).any()) << "room was reported unwatched";
  ASSERT_TRUE(poller_->watch_writable(connection.near, kToken, true, &error)) << error;
  EXPECT_TRUE(report().writable);
  ASSERT_TRUE(poller_->watch_writable(connection.near, kToken, false, &error)) << error;
  send_text(connection.far, "x");
  const SocketReadiness ready = report();
  EXPECT_TRUE(ready.readable && !ready.writable);

  // A send buffer filled up: room is reported once the peer has read.
  static const std::string kChunk(64 * 1024, 'f');
  std::size_t sent = 0;
  platform::IoResult result;
  for (int send = 0; send < kRounds && !(result = connection.near.send(kChunk.data(), kChunk.size())).failed();
       ++send) {
    sent += static_cast<std::size_t>(result.count);
  }
  ASSERT_TRUE(result.would_block);
  ASSERT_TRUE(poller_->watch_writable(connection.near, kToken, true, &error)) << error;
  EXPECT_FALSE(report(0).writable);
  ASSERT_TRUE(poller_->add(connection.far, kFar, &error)) << error;
  Received received;
  EXPECT_TRUE(wait_until([&](const Poller::Event& event) {
    if (event.token == kFar) read_to_would_block(*poller_, connection.far, kFar, &received);
    return event.token == kToken && event.readiness.writable;
  })) << "read " << received.bytes.size() << " of " << sent;
}

TEST_F(PollerTest, ManySocketsAreEachReported) {
  constexpr int kConnections = 200;
  std::vector<Connection> connections;
  for (int index = 0; index < kConnections; ++index) connections.push_back(connect(kToken + index));
  int error = 0;
  for (int index = 0; index < kConnections; ++index) {
    // Room stays free: a level-triggered poll reports it at every wait.
    ASSERT_TRUE(poller_->watch_writable(connections[index].near, kToken + index, true, &error)) << error;
    send_text(connections[index].far, "x");
  }
  std::vector<int> reads(kConnections), writes(kConnections);
  EXPECT_TRUE(wait_until([&](const Poller::Event& event) {
    const std::uint64_t which = event.token - kToken;
    if (which >= reads.size()) return true;
    reads[which] += event.readiness.readable;
    writes[which] += event.readiness.writable;
    return std::count(reads.begin(), reads.end(), 0) + std::count(writes.begin(), writes.end(), 0) == 0;
  }));
  EXPECT_EQ(reads, std::vector<int>(kConnections, 1)) << "each byte is one read report";
}

TEST_F(PollerTest, ARemovedSocketIsReportedNoMore) {
  constexpr std::uint64_t kRemoved = 1, kSentinel = 2;
  Connection removed = connect(kRemoved), sentinel = connect(kSentinel);
  poller_->remove(removed.near);
  // Each step ends with a byte to the sentinel, sent last, reported after the
  // removed socket's own news would have been.
  const auto reports_nothing_for_removed_until_sentinel = [&] {
    send_text(sentinel.far, "s");
    EXPECT_TRUE(wait_until([&](const Poller::Event& event) {
      EXPECT_NE(event.token, kRemoved);
      return event.token == kSentinel;
    }));
    Received received;
    read_to_would_block(*poller_, sentinel.near, kSentinel, &received);
  };
  send_text(removed.far, "x");
  reports_nothing_for_removed_until_sentinel();
  removed.near = Socket();  // closed
  reports_nothing_for_removed_until_sentinel();
}

TEST_F(PollerTest, AWatchedListenerReportsNewClientsUntilAcceptMeetsWouldBlock) {
  int error = 0;
  ASSERT_TRUE(poller_->add_listener(*listener_, kToken, &error)) << error;
  EXPECT_FALSE(report(0).any());
  std::vector<Socket> clients;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    clients.push_back(Socket::open_tcp(platform::Family::kIPv4, &error));
    EXPECT_NE(clients.back().start_connect(listener_->endpoint(), &error), platform::Connecting::kFailed) << error;
    const int count = wait(kWaitMs);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(events_[0].token, kToken);
    EXPECT_TRUE(events_[0].readiness.readable);
    platform::Endpoint peer;
    EXPECT_TRUE(listener_->accept(&peer, &error).is_open()) << error;
    // Taken: the next accept does not wait, and says no client is there.
    error = -1;
    EXPECT_FALSE(listener_->accept(&peer, &error).is_open());
    EXPECT_EQ(error, 0);
    poller_->want_read(listener_->socket(), kToken, true);
    EXPECT_FALSE(report(0).any()) << "a client taken was reported again";
  }
}

TEST_F(PollerTest, AWakeFromAnotherThreadEndsTheWaitWithNoEvents) {
  // Its byte ends a wait that a wake failed to end, as an event the test
  // does not expect, instead of a hang.
  Connection rescue = connect(kToken);
  std::mutex mutex;
  std::condition_variable returned_signal;
  bool returned = false;
  constexpr int kWakes = 20;
  for (int wake = 0; wake < kWakes && !HasFailure(); ++wake) {
    const bool before_the_wait = wake == 0;  // counts as well
    if (before_the_wait) poller_->wake();
    returned = false;
    std::thread waker([&] {
      if (!before_the_wait) poller_->wake();
      std::unique_lock<std::mutex> lock(mutex);
      if (!returned_signal.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return returned; })) {
        send_text(rescue.far, "!");
      }
    });
    EXPECT_EQ(wait(-1), 0);
    {
      std::lock_guard<std::mutex> lock(mutex);
      returned = true;
    }
    returned_signal.notify_one();
    waker.join();
  }
}

}  // namespace
