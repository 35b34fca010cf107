// The relay's rules, table-driven against a script of what the two peers do:
// half-closes, resets, would-block, unsent counts and the events they give,
// in milliseconds and without sockets.
#include "relay/relay_loop.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <string>
#include <vector>

#include "tests/recorded_events.h"

namespace {

constexpr int kClient = RelayIo::kClient;
constexpr int kServer = RelayIo::kServer;
constexpr int kReset = ECONNRESET;
constexpr int kGone = EPIPE;
constexpr int kNoMemory = ENOMEM;

// One thing a peer does, released to the relay at its next wait.
struct Act {
  enum Kind { kSends, kSendsAndCloses, kCloses, kResets, kTakes, kLeaves };
  int peer;
  Kind kind;
  std::string bytes = {};  // kSends
  std::size_t room = 0;    // kTakes: the peer reads this many bytes, making room
};

Act sends(int peer, std::string bytes) {
  return {peer, Act::kSends, std::move(bytes)};
}
// Its last bytes and its close, seen in one notification.
Act sends_and_closes(int peer, std::string bytes) {
  return {peer, Act::kSendsAndCloses, std::move(bytes)};
}
Act closes(int peer) {
  return {peer, Act::kCloses};
}
Act resets(int peer) {
  return {peer, Act::kResets};
}
Act takes(int peer, std::size_t room) {
  return {peer, Act::kTakes, {}, room};
}
Act leaves(int peer) {
  return {peer, Act::kLeaves};
}  // it is gone: sends to it fail

struct ScriptedPeer {
  std::deque<std::string> unread;  // sent by the peer, not yet read by the relay
  bool closed = false;             // its end of stream follows what is unread
  bool reset = false;              // a reset follows what is unread
  bool gone = false;
  std::size_t room = 1 << 30;  // what it takes before a send would block
  bool watched = false;
  int watch_error = 0;  // watching it for room fails with this code
  platform::SocketReadiness recorded;
  // What the relay sent it, and "|FIN" where it passed a close on, "|RST"
  // where it made the close a reset.
  std::string received;
};

// Releases one act at each wait; once the script is done, a wait that would
// sleep for ever marks the relay as idle.
class ScriptedIo final : public RelayIo {
 public:
  explicit ScriptedIo(std::vector<Act> script) : script_(script.begin(), script.end()) {}

  ScriptedPeer peers[2];
  bool idle = false;

  WaitResult wait(bool forever, int*) override {
    if (!script_.empty()) {
      release(script_.front());
      script_.pop_front();
    } else if (forever) {
      idle = true;
    }
    const bool any = has_news(peers[0]) || has_news(peers[1]);
    return any ? WaitResult::kRecorded : WaitResult::kNothing;
  }
  platform::SocketReadiness collect(int which) override { return std::exchange(peers[which].recorded, {}); }
  bool watch_writable(int which, bool watch, int* error) override {
    ScriptedPeer& peer = peers[which];
    if (watch && peer.watch_error != 0) {
      *error = peer.watch_error;
      return false;
    }
    peer.watched = watch;
    return true;
  }
  platform::IoResult receive(int which, char* buffer, std::size_t capacity) override {
    ScriptedPeer& peer = peers[which];
    if (!peer.unread.empty()) {
      std::string& front = peer.unread.front();
      const std::size_t count = std::min(capacity, front.size());
      front.copy(buffer, count);
      front.erase(0, count);
      if (front.empty()) peer.unread.pop_front();
      return {static_cast<long>(count), 0, false};
    }
    if (peer.reset) return {-1, kReset, false};
    if (peer.closed) return {0, 0, false};
    return {-1, EAGAIN, true};
  }
  platform::IoResult send(int which, const char* data, std::size_t count) override {
    ScriptedPeer& peer = peers[which];
    if (peer.gone || peer.reset) return {-1, kGone, false};
    if (peer.room == 0) return {-1, EAGAIN, true};
    const std::size_t taken = std::min(count, peer.room);
    peer.received.append(data, taken);
    peer.room -= taken;
    return {static_cast<long>(taken), 0, false};
  }
  void shutdown_sending(int which) override { peers[which].received += "|FIN"; }
  bool nothing_to_read(int which) override { return peers[which].unread.empty(); }
  void reset_on_close(int which) override { peers[which].received += "|RST"; }

 private:
  static bool has_news(const ScriptedPeer& peer) {
    return peer.recorded.readable || peer.recorded.writable || peer.recorded.closed;
  }
  void release(const Act& act) {
    ScriptedPeer& peer = peers[act.peer];
    switch (act.kind) {
      case Act::kSends:
        peer.unread.push_back(act.bytes);
        peer.recorded.readable = true;
        break;
      case Act::kSendsAndCloses:
        peer.unread.push_back(act.bytes);
        peer.closed = peer.recorded.readable = peer.recorded.closed = true;
        break;
      case Act::kCloses:
        peer.closed = peer.recorded.readable = peer.recorded.closed = true;
        break;
      case Act::kResets:
        peer.reset = true;
        peer.recorded = {true, true, true};
        break;
      case Act::kTakes:
        peer.room += act.room;
        if (peer.watched) peer.recorded.writable = true;
        break;
      case Act::kLeaves:
        peer.gone = true;
        break;
    }
  }

  std::deque<Act> script_;
};

const std::string kAllSent = "closed, unsent 0 to server, 0 to client";
// A close is passed on only after what it closes was delivered; a reset
// after what the survivor was owed got its one try.
const std::string kClientCloseOn = "client's close passed on";
const std::string kServerCloseOn = "server's close passed on";
const std::string kServerResetOn = "server failed, reset passed on";

struct Row {
  const char* name;
  std::vector<Act> script;
  std::vector<std::string> events;  // every event the relay reports, in order
  std::string to_client;            // what the client received, with |FIN and |RST
  std::string to_server;
  bool finished = true;                  // the connection ended (false: the relay waits for more)
  std::size_t room_to_server = 1 << 30;  // what the server takes before a send would block
  int server_watch_error = 0;            // watching the server for room fails with this code
};

std::vector<Row> rows() {
  return {
      {"an SMTP goodbye: the client closes right after QUIT",
       {sends(kServer, "220 hi\r\n"), sends(kClient, "QUIT\r\n"), closes(kClient),
        sends(kServer, "221 bye\r\n"), closes(kServer)},
       {"server sent 220 hi\r\n", "client sent QUIT\r\n", "client closed, all read", kClientCloseOn,
        "server sent 221 bye\r\n", "server closed, all read", kServerCloseOn, kAllSent},
       "220 hi\r\n221 bye\r\n|FIN",
       "QUIT\r\n|FIN"},
      {"a half-close is passed on only after what the peer sent was delivered, and the other side goes on",
       {sends(kClient, "GET /\r\n"), closes(kClient), sends(kServer, "a\r\n"), sends(kServer, "b\r\n"),
        closes(kServer)},
       {"client sent GET /\r\n", "client closed, all read", kClientCloseOn, "server sent a\r\n",
        "server sent b\r\n", "server closed, all read", kServerCloseOn, kAllSent},
       "a\r\nb\r\n|FIN",
       "GET /\r\n|FIN"},
      {"a close noticed with the last data is told before that data, which is read to the end",
       {sends(kServer, "220 hi\r\n"), sends_and_closes(kClient, "QUIT\r\n"), closes(kServer)},
       {"server sent 220 hi\r\n", "client closed, bytes unread", "client sent QUIT\r\n",
        "server closed, all read", kClientCloseOn, kServerCloseOn, kAllSent},
       "220 hi\r\n|FIN",
       "QUIT\r\n|FIN"},
      {"a client reset while the server is silent ends the connection and resets the server",
       {sends(kClient, "HELO a\r\n"), resets(kClient)},
       {"client sent HELO a\r\n", "client closed, all read", "client read failed " + std::to_string(kReset),
        "client failed, reset passed on", kAllSent},
       "|RST",
       "HELO a\r\n|RST"},
      {"a server reset: what it sent before is delivered in one try, then the client is reset",
       {sends(kClient, "GET\r\n"), sends(kServer, "partial reply\r\n"), resets(kServer)},
       {"client sent GET\r\n", "server sent partial reply\r\n", "server closed, all read",
        "server read failed " + std::to_string(kReset), kServerResetOn, kAllSent},
       "partial reply\r\n|RST",
       "GET\r\n|RST"},
      {"a server that takes nothing yet: the client's close waits behind its bytes, which go out as it takes "
       "them",
       {sends(kClient, "0123456789"), closes(kClient), takes(kServer, 4), takes(kServer, 100),
        closes(kServer)},
       {"client sent 0123456789", "client closed, all read", kClientCloseOn, "server closed, all read",
        kServerCloseOn, kAllSent},
       "|FIN",
       "0123456789|FIN",
       true,
       0},
      {"a server gone before the client's bytes could be sent: they are counted as unsent",
       {leaves(kServer), sends(kClient, "0123456789"), closes(kClient)},
       {"client sent 0123456789", "server send failed " + std::to_string(kGone), kServerResetOn,
        "closed, unsent 10 to server, 0 to client"},
       "|RST",
       "|RST"},
      {"a half-closed connection waits for the other side: the close passed on, no closing line",
       {sends(kServer, "220 hi\r\n"), closes(kClient)},
       {"server sent 220 hi\r\n", "client closed, all read", kClientCloseOn},
       "220 hi\r\n",
       "|FIN",
       false},
      {"a server that takes nothing and cannot be watched for room: its send fails instead of waiting for "
       "ever",
       {sends(kClient, "0123456789")},
       {"client sent 0123456789", "server send failed " + std::to_string(kNoMemory), kServerResetOn,
        "closed, unsent 10 to server, 0 to client"},
       "|RST",
       "|RST",
       true,
       0,
       kNoMemory},
  };
}

}  // namespace

TEST(RelayLoopTable, Rules) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    RecordedEvents events;
    ScriptedIo io(row.script);
    io.peers[kServer].room = row.room_to_server;
    io.peers[kServer].watch_error = row.server_watch_error;
    auto* loop = new RelayLoop(io, events);  // two 64 KiB buffers: not on the stack
    loop->start();
    for (int pass = 0; pass < 1000 && !io.idle && loop->step(); ++pass) {
    }
    EXPECT_EQ(loop->finished(), row.finished);
    if (loop->finished()) loop->finish();
    delete loop;
    EXPECT_EQ(events.seen, row.events);
    EXPECT_EQ(io.peers[kClient].received, row.to_client);
    EXPECT_EQ(io.peers[kServer].received, row.to_server);
  }
}
