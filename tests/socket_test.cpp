// The platform's sockets on loopback: how a connect ends, as the relay sees
// it, when the target is quicker than the relay.
#include "platform/net.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <poll.h>

#include <cerrno>
#include <optional>
#include <string>

namespace {

using platform::Connecting;
using platform::Endpoint;
using platform::Socket;

const Endpoint kLoopback = Endpoint::ipv4(0x7F000001, 0);
constexpr int kWaitMs = 20000;

// Waits until the socket's connection is down (a reset arrived), without
// taking its error.
bool is_down(const Socket& socket) {
  pollfd entry{static_cast<int>(socket.get()), 0, 0};
  return poll(&entry, 1, kWaitMs) == 1 && (entry.revents & POLLHUP) != 0;
}

// A connect's end as the relay sees it: once the socket reports room or an
// error, its outcome.
Connecting outcome_of(Socket& server, int* error) {
  pollfd entry{static_cast<int>(server.get()), POLLOUT, 0};
  if (poll(&entry, 1, kWaitMs) != 1) return Connecting::kPending;
  return server.connect_outcome(error);
}

// A connect as the relay makes it: started, then its end waited for.
Connecting connect(Socket& server, const Endpoint& target, int* error) {
  const Connecting started = server.start_connect(target, error);
  return started == Connecting::kPending ? outcome_of(server, error) : started;
}

struct Row {
  const char* name;
  bool listening;    // false: nothing listens on the target's port
  const char* sent;  // what the target sends before it resets, or nullptr: it is never accepted
  Connecting outcome;
  int error;  // the connect's error, or that of the read after what was sent
};

}  // namespace

TEST(SocketTest, AConnectThatTheTargetEndsBeforeTheRelaySeesIt) {
  const Row rows[] = {
      {"accepted, sent and reset: the bytes are read, then the reset", true, "220 hi\r\n",
       Connecting::kConnected, ECONNRESET},
      {"accepted and reset at once: the first read meets the reset", true, "", Connecting::kConnected,
       ECONNRESET},
      {"refused: the connect failed", false, nullptr, Connecting::kFailed, ECONNREFUSED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int error = 0;
    Endpoint peer;
    std::optional<platform::Listener> target = platform::Listener::open(kLoopback, &error);
    ASSERT_TRUE(target) << error;
    const Endpoint target_end = target->endpoint();
    if (!row.listening) target.reset();

    Socket server = Socket::open_tcp(kLoopback.family, &error);
    Connecting outcome = Connecting::kPending;
    if (row.sent != nullptr) {
      ASSERT_NE(server.start_connect(target_end, &error), Connecting::kFailed) << error;
      {
        Socket accepted = target->accept(&peer, &error);
        ASSERT_TRUE(accepted.is_open()) << error;
        const std::string sent = row.sent;
        if (!sent.empty()) {
          ASSERT_EQ(accepted.send(sent.data(), sent.size()).count, static_cast<long>(sent.size()));
        }
        platform::reset_on_close(accepted.get());
      }
      ASSERT_TRUE(is_down(server));
      outcome = outcome_of(server, &error);
    } else {
      outcome = connect(server, target_end, &error);
    }

    EXPECT_EQ(outcome, row.outcome) << error;
    if (outcome != row.outcome) continue;
    if (outcome != Connecting::kConnected) {
      EXPECT_EQ(error, row.error);
      continue;
    }
    char buffer[64];
    std::string read;
    platform::IoResult result;
    while ((result = server.receive(buffer, sizeof buffer)).count > 0) read.append(buffer, result.count);
    EXPECT_EQ(read, row.sent);
    EXPECT_TRUE(result.failed()) << "a reset was read as a clean end of stream";
    EXPECT_EQ(result.error, row.error);
  }
}
#endif
