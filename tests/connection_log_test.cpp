// How a connection's log shows the relay's events, table-driven: text held
// back (a line without its end yet) goes out before the other side's bytes,
// before a close once all was read and before the closing line, so that the
// log reads in the order the conversation was read, whatever the protocol.
#include "traffic_log/connection_log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/file.h"
#include "traffic_log/log.h"

namespace {

constexpr Side kClient = Side::kClient;
constexpr Side kServer = Side::kServer;
constexpr int kReset = 104;
constexpr int kGone = 32;

// One event of the relay, as it tells the connection's log.
struct Event {
  enum Kind { kTraffic, kPeerClosed, kIoFailed, kClosed };
  Kind kind;
  Side side = kClient;
  std::string bytes = {};  // kTraffic
  bool all_read = true;    // kPeerClosed
  IoOperation operation = IoOperation::kRead;
  int error = 0;
  std::size_t unsent_to_server = 0;  // kClosed
};

Event sent(Side from, std::string bytes) {
  return {Event::kTraffic, from, std::move(bytes)};
}
Event closes(Side side) {
  return {Event::kPeerClosed, side};
}
// Its close is noticed while bytes it sent wait unread.
Event closes_before_read(Side side) {
  return {Event::kPeerClosed, side, {}, false};
}
Event fails(Side side, IoOperation operation, int error) {
  return {Event::kIoFailed, side, {}, true, operation, error};
}
Event ends(std::size_t unsent_to_server = 0) {
  return {Event::kClosed, kClient, {}, true, IoOperation::kRead, 0, unsent_to_server};
}

void tell(ConnectionLog& log, const Event& event) {
  switch (event.kind) {
    case Event::kTraffic:
      log.traffic(event.side, event.bytes.data(), event.bytes.size());
      break;
    case Event::kPeerClosed:
      log.peer_closed(event.side, event.all_read);
      break;
    case Event::kIoFailed:
      log.io_failed(event.side, event.operation, event.error);
      break;
    case Event::kClosed:
      log.closed(event.unsent_to_server, 0);
      break;
  }
}

struct Row {
  const char* name;
  std::vector<Event> events;
  std::vector<std::string> log;  // every line the connection logs, in order
};

// A redis reply of count short elements in one read: its log is longer
// than one turn's batch holds at once when count is large.
Row long_reply(int count) {
  Row row{"a read whose lines outgrow a turn's batch: every line, in order", {}, {}};
  std::string reply;
  for (int element = 0; element < count; ++element) {
    reply += "$3\r\n" + std::to_string(100 + element % 900) + "\r\n";
    row.log.push_back("<<< $3");
    row.log.push_back("<<< " + std::to_string(100 + element % 900));
  }
  row.events.push_back(sent(kServer, reply));
  return row;
}

std::vector<Row> rows() {
  const std::string reset = std::to_string(kReset);
  return {
      long_reply(8000),
      {"an SMTP goodbye: each read's lines, the closes in the order they were seen, the closing line",
       {sent(kServer, "220 hi\r\n"), sent(kClient, "QUIT\r\n"), closes(kClient), sent(kServer, "221 bye\r\n"),
        closes(kServer), ends()},
       {"<<< 220 hi", ">>> QUIT", "Client has initiated shutdown", "<<< 221 bye",
        "Server has initiated shutdown", "Connection closed"}},
      {"a close noticed before the peer's last bytes were read stands before their line",
       {sent(kServer, "220 hi\r\n"), closes_before_read(kClient), sent(kClient, "QUIT\r\n"), closes(kServer),
        ends()},
       {"<<< 220 hi", "Client has initiated shutdown", ">>> QUIT", "Server has initiated shutdown",
        "Connection closed"}},
      {"a close noticed while bytes that go on with the held line wait unread: the line stays whole",
       {sent(kClient, "HEL"), closes_before_read(kClient), sent(kClient, "O a\r\n"), closes(kServer), ends()},
       {"Client has initiated shutdown", ">>> HELO a", "Server has initiated shutdown", "Connection closed"}},
      {"a peer's reset: its read error after its close",
       {sent(kClient, "HELO a\r\n"), closes(kClient), fails(kClient, IoOperation::kRead, kReset), ends()},
       {">>> HELO a", "Client has initiated shutdown", "Client socket read error " + reset,
        "Connection closed"}},
      {"the server's reset",
       {sent(kClient, "GET\r\n"), sent(kServer, "partial reply\r\n"), closes(kServer),
        fails(kServer, IoOperation::kRead, kReset), ends()},
       {">>> GET", "<<< partial reply", "Server has initiated shutdown", "Server socket read error " + reset,
        "Connection closed"}},
      {"text without a line end goes out before its peer's close once all it sent was read",
       {sent(kClient, "0123456789"), closes(kClient), closes(kServer), ends()},
       {">>> 0123456789", "Client has initiated shutdown", "Server has initiated shutdown",
        "Connection closed"}},
      {"an error line leaves held text held; the closing line takes it out and counts what was not sent",
       {sent(kClient, "0123456789"), fails(kServer, IoOperation::kSend, kGone), ends(10)},
       {"Server socket send error " + std::to_string(kGone), ">>> 0123456789",
        "Connection closed (unsent data! C->S: 10 , S->C: 0"}},
      {"text held back is logged before the other side's bytes and before the next event",
       {sent(kClient, "select 1;"), sent(kServer, "one\r\n"), sent(kClient, "\r\nbye"), closes(kClient),
        closes(kServer), ends()},
       {">>> select 1;", "<<< one", ">>> bye", "Client has initiated shutdown",
        "Server has initiated shutdown", "Connection closed"}},
      {"a ping-pong without line ends reads in the order it was sent",
       {sent(kServer, "HELLO"), sent(kClient, "REQ0"), sent(kServer, "REPLY0"), sent(kClient, "REQ1"),
        sent(kServer, "REPLY1"), sent(kClient, "BYE"), closes(kClient), closes(kServer), ends()},
       {"<<< HELLO", ">>> REQ0", "<<< REPLY0", ">>> REQ1", "<<< REPLY1", ">>> BYE",
        "Client has initiated shutdown", "Server has initiated shutdown", "Connection closed"}},
      {"binary messages of a database protocol: each reply stands after its query",
       {sent(kClient, std::string("\0\0\0\x08\x04\xd2\x16\x2f", 8)), sent(kServer, "N"),
        sent(kClient, std::string("Q\0\0\0\x0eselect 1;\0", 15)),
        sent(kServer, std::string("D\0\0\0\x0b\0\x01\0\0\0\x01"
                                  "1Z\0\0\0\x05I",
                                  18)),
        sent(kClient, std::string("X\0\0\0\x04", 5)), closes(kClient), closes(kServer), ends()},
       {">>> ......./", "<<< N", ">>> Q....select 1;.", "<<< D..........1Z....I", ">>> X....",
        "Client has initiated shutdown", "Server has initiated shutdown", "Connection closed"}},
      {"a line sent in several reads with nothing from the other side between stays one line",
       {sent(kClient, "HEL"), sent(kClient, "O a"), sent(kClient, "\r\n"), sent(kServer, "250 ok\r\n")},
       {">>> HELO a", "<<< 250 ok"}},
      {"a held line followed by the other side's bytes without a line end either",
       {sent(kClient, "abc"), sent(kServer, "def"), sent(kClient, "\r\nghi"), sent(kServer, "\njkl")},
       {">>> abc", "<<< def", ">>> ghi"}},
  };
}

std::vector<std::string> lines_of(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

TEST(ConnectionLogTable, Lines) {
  std::filesystem::path path = std::filesystem::temp_directory_path();
  path /= "qorvand-connection-log-" + std::to_string(reinterpret_cast<std::uintptr_t>(&path)) + ".log";
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    {
      int error = 0;
      Log log;
      log.attach(platform::open_log_file(path.string().c_str(), &error));
      ConnectionLog connection(log, 1, TrafficView{});
      for (const Event& event : row.events) tell(connection, event);
    }
    EXPECT_EQ(lines_of(path), row.log);
  }
  std::filesystem::remove(path);
}
