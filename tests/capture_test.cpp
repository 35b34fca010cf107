// The capture's rules, read back from the pcapng bytes it writes: packets
// worked out by hand (both checksums), how a connection's events become
// segments, acknowledgements, FINs and RSTs with sequence numbers that add
// up, and a full disk that loses whole blocks and says how many.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture/capture_file.h"
#include "capture/connection_capture.h"
#include "capture/pcapng.h"
#include "capture/tcp_conversation.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/resource.h>
#endif

namespace {

using capture::Peer;

constexpr std::int64_t kTime = 1765231869045178;  // 2025-12-08 22:11:09.045178 UTC

std::uint32_t le32(const std::string& data, std::size_t at) {
  std::uint32_t value = 0;
  for (int index = 3; index >= 0; --index) value = value << 8 | static_cast<unsigned char>(data[at + index]);
  return value;
}

std::uint32_t be(const std::string& data, std::size_t at, int bytes) {
  std::uint32_t value = 0;
  for (int index = 0; index < bytes; ++index)
    value = value << 8 | static_cast<unsigned char>(data[at + index]);
  return value;
}

struct Packet {
  std::string bytes;
  std::uint32_t flags = 0;
  std::vector<std::string> comments;
  std::uint64_t time = 0;
};

// The packet blocks of pcapng data; other blocks are skipped. The data must
// end with a whole block.
std::vector<Packet> read_packets(const std::string& data) {
  std::vector<Packet> packets;
  std::size_t at = 0;
  while (at < data.size()) {
    const std::uint32_t length = le32(data, at + 4);
    EXPECT_TRUE(length >= 12 && at + length <= data.size() && le32(data, at + length - 4) == length)
        << "a block cut short at " << at;
    if (length < 12 || at + length > data.size()) break;
    if (le32(data, at) == 6) {
      Packet packet;
      packet.time = static_cast<std::uint64_t>(le32(data, at + 12)) << 32 | le32(data, at + 16);
      const std::uint32_t captured = le32(data, at + 20);
      packet.bytes = data.substr(at + 28, captured);
      for (std::size_t option = at + 28 + ((captured + 3) & ~3u); option < at + length - 4;) {
        const std::uint32_t code = le32(data, option) & 0xFFFF;
        const std::uint32_t size = le32(data, option) >> 16;
        if (code == 2) packet.flags = le32(data, option + 4);
        if (code == 1) packet.comments.push_back(data.substr(option + 4, size));
        if (code == 0) break;
        option += 4 + ((size + 3) & ~3u);
      }
      packets.push_back(packet);
    }
    at += length;
  }
  return packets;
}

std::vector<Packet> read_packets(const capture::PacketBlocks& blocks) {
  return read_packets(std::string(blocks.data(), blocks.size()));
}

std::string hex(const std::string& bytes) {
  std::string text;
  char digits[3];
  for (const char byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(byte));
    text += digits;
  }
  return text;
}

platform::Endpoint ipv4(std::uint32_t address, std::uint16_t port) {
  return platform::Endpoint::ipv4(address, port);
}

platform::Endpoint ipv6_loopback(std::uint16_t port) {
  platform::Endpoint endpoint;
  endpoint.family = platform::Family::kIPv6;
  endpoint.address[15] = 1;
  endpoint.port = port;
  return endpoint;
}

class CaptureFolder : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("qorvand-capture-test-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  void open(capture::CaptureFile& file) {
    int error = 0;
    ASSERT_TRUE(file.open(path().string().c_str(), "qorvand 9.9.9", &error)) << error;
    file.set_clock([] { return kTime; });
  }
  std::string contents() const {
    std::ifstream in(path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  std::filesystem::path path() const { return folder_ / "capture.pcapng"; }
  std::filesystem::path folder_;
};

}  // namespace

// Worked out apart from the code, from the IP and TCP headers' layout.
TEST(TcpConversation, PacketsAreTheOnesWorkedOutByHand) {
  capture::PacketBlocks blocks;
  capture::TcpConversation plain(ipv4(0x0A000001, 40000), 1000);
  plain.set_server(ipv4(0x0A000002, 25), 5000);
  plain.handshake(blocks);
  plain.send(Peer::kServer, "220 hi\r\n", 8, blocks);
  std::vector<Packet> packets = read_packets(blocks);
  ASSERT_EQ(packets.size(), 5u);
  EXPECT_EQ(
      hex(packets[0].bytes),
      "4500003000004000400626c60a0000010a0000029c400019000003e8000000007002ffffcfd40000020405b401030307");
  EXPECT_EQ(
      hex(packets[3].bytes),
      "4500003000014000400626c50a0000020a00000100199c4000001389000003e950180800083100003232302068690d0a");

  // An IPv6 client and an IPv4 target: IPv6, the target's address mapped.
  blocks.clear();
  capture::TcpConversation mixed(ipv6_loopback(40000), 1000);
  mixed.set_server(ipv4(0x0A000002, 25), 5000);
  mixed.handshake(blocks);
  mixed.send(Peer::kClient, "QUIT\r\n", 6, blocks);
  packets = read_packets(blocks);
  ASSERT_EQ(packets.size(), 5u);
  EXPECT_EQ(
      hex(packets[3].bytes),
      "60000000001a06400000000000000000000000000000000100000000000000000000ffff0a0000029c400019000003e90000"
      "13895018080042450000515549540d0a");
}

namespace {

// What one connection's capture is told.
struct Step {
  enum Kind { kConnected, kConnectFailed, kData, kClosed, kReset, kNote, kEnd };
  Kind kind;
  Peer peer = Peer::kClient;
  std::size_t size = 0;   // kData: bytes of one read; kConnectFailed: the target's port
  std::string text = {};  // kNote
};

Step data(Peer from, std::size_t size) {
  return {Step::kData, from, size};
}
Step closed(Peer from) {
  return {Step::kClosed, from};
}
Step note(std::string text) {
  return {Step::kNote, Peer::kClient, 0, std::move(text)};
}

// A packet as "C 1 ack 1 len 1460 PA # comment": who sent it, sequence and
// acknowledgement numbers relative to each side's first, the payload's
// length, the flags (S, F, R, P, A).
std::string describe(const Packet& packet, std::uint32_t client_isn, std::uint32_t server_isn) {
  const std::size_t tcp = (static_cast<unsigned char>(packet.bytes[0]) >> 4) == 4 ? 20 : 40;
  const bool from_client = be(packet.bytes, tcp, 2) == 40000;
  EXPECT_EQ(packet.flags, from_client ? 1u : 2u) << "direction";
  const std::uint32_t flags = be(packet.bytes, tcp + 13, 1);
  const std::size_t payload = packet.bytes.size() - tcp - (be(packet.bytes, tcp + 12, 1) >> 4) * 4;
  std::string text = std::string(from_client ? "C " : "S ") +
                     std::to_string(be(packet.bytes, tcp + 4, 4) - (from_client ? client_isn : server_isn));
  if (flags & 0x10)
    text += " ack " + std::to_string(be(packet.bytes, tcp + 8, 4) - (from_client ? server_isn : client_isn));
  if (payload > 0) text += " len " + std::to_string(payload);
  text += " ";
  for (const auto& [bit, letter] :
       {std::pair{0x02u, 'S'}, {0x01u, 'F'}, {0x04u, 'R'}, {0x08u, 'P'}, {0x10u, 'A'}}) {
    if (flags & bit) text += letter;
  }
  for (const std::string& comment : packet.comments) text += " # " + comment;
  return text;
}

const std::vector<std::string> kHandshake = {"C 0 S", "S 0 ack 1 SA", "C 1 ack 1 A"};

std::vector<std::string> after_handshake(std::vector<std::string> packets) {
  packets.insert(packets.begin(), kHandshake.begin(), kHandshake.end());
  return packets;
}

struct CaptureRow {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::string> packets;
};

std::vector<CaptureRow> capture_rows() {
  const Step connected{Step::kConnected};
  const Step end{Step::kEnd};
  return {
      {"segments of at most 1,460 bytes, PSH on a read's last, each read acknowledged at once",
       {connected, data(Peer::kClient, 3000), data(Peer::kServer, 1460), data(Peer::kClient, 1)},
       after_handshake({"C 1 ack 1 len 1460 A", "C 1461 ack 1 len 1460 A", "C 2921 ack 1 len 80 PA",
                        "S 1 ack 3001 A", "S 1 ack 3001 len 1460 PA", "C 3001 ack 1461 A",
                        "C 3001 ack 1461 len 1 PA", "S 1461 ack 3002 A"})},
      {"the first close is acknowledged at once; the second's acknowledgement ends the conversation at the "
       "end, "
       "with the last comments",
       {connected, closed(Peer::kClient), data(Peer::kServer, 5), closed(Peer::kServer), note("Summary"),
        end},
       after_handshake({"C 1 ack 1 FA", "S 1 ack 2 A", "S 1 ack 2 len 5 PA", "C 2 ack 6 A", "S 6 ack 2 FA",
                        "C 2 ack 7 A # Summary"})},
      {"a reset: the failed peer's RST at the end, with the comments since the last packet",
       {connected,
        data(Peer::kClient, 4),
        note("Client socket read error 104"),
        {Step::kReset, Peer::kClient},
        note("Summary"),
        end},
       after_handshake(
           {"C 1 ack 1 len 4 PA", "S 1 ack 5 A", "C 5 ack 1 RA # Client socket read error 104 # Summary"})},
      {"a connect that failed at every address: the client's SYN alone, with every comment",
       {{Step::kConnectFailed, Peer::kClient, 25},
        note("Error connecting to 10.0.0.2:25 (111)"),
        {Step::kConnectFailed, Peer::kClient, 26},
        note("Error connecting to 10.0.0.2:26 (111)"),
        note("Summary"),
        end},
       {"C 0 S # Error connecting to 10.0.0.2:25 (111) # Error connecting to 10.0.0.2:26 (111) # Summary"}},
  };
}

void run(capture::ConnectionCapture& connection, const Step& step) {
  static const std::string kBytes(4096, 'x');
  switch (step.kind) {
    case Step::kConnected:
      return connection.connected(ipv4(0x0A000002, 25));
    case Step::kConnectFailed:
      return connection.connect_failed(ipv4(0x0A000002, static_cast<std::uint16_t>(step.size)));
    case Step::kData:
      return connection.data(step.peer, kBytes.data(), step.size);
    case Step::kClosed:
      return connection.closed_by(step.peer);
    case Step::kReset:
      return connection.reset_by(step.peer);
    case Step::kNote:
      return connection.note(step.text);
    case Step::kEnd:
      return connection.end();
  }
}

}  // namespace

TEST_F(CaptureFolder, AConnectionsEventsBecomeItsPackets) {
  for (const CaptureRow& row : capture_rows()) {
    SCOPED_TRACE(row.name);
    capture::CaptureFile file;
    open(file);
    {
      capture::ConnectionCapture connection(file, ipv4(0x0A000001, 40000));
      for (const Step& step : row.steps) run(connection, step);
    }
    file.flush();
    const std::vector<Packet> packets = read_packets(contents());
    ASSERT_FALSE(packets.empty());
    const std::uint32_t client_isn = be(packets[0].bytes, 24, 4);
    const std::uint32_t server_isn = packets.size() > 1 ? be(packets[1].bytes, 24, 4) : 0;
    std::vector<std::string> described;
    for (const Packet& packet : packets) {
      described.push_back(describe(packet, client_isn, server_isn));
      EXPECT_EQ(packet.time, static_cast<std::uint64_t>(kTime));
    }
    EXPECT_EQ(described, row.packets);
  }
}

#if !defined(_WIN32)
// A file size limit stands in for a full disk: a write that crosses it is
// cut short (and cut off again), the next one fails.
TEST_F(CaptureFolder, AFullDiskLosesWholeBlocksAndTheNextPacketCountsThem) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  capture::CaptureFile file;
  open(file);
  capture::TcpConversation tcp(ipv4(0x0A000001, 40000), 1000);
  tcp.set_server(ipv4(0x0A000002, 25), 5000);
  capture::PacketBlocks blocks;
  const auto write = [&](std::size_t size) {
    tcp.send(Peer::kClient, std::string(size, 'x').data(), size, blocks);
    file.write(blocks);
    file.flush();
    blocks.clear();
  };
  write(100);
  rlimit small = saved;
  small.rlim_cur = static_cast<rlim_t>(std::filesystem::file_size(path()) + 1000);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  write(3000);  // four packets, more than the room left: none is written
  write(1500);  // three, still more than the room
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  write(20);

  const std::vector<Packet> packets = read_packets(contents());
  ASSERT_EQ(packets.size(), 4u);
  EXPECT_EQ(packets[1].comments, std::vector<std::string>{});
  EXPECT_EQ(packets[2].comments,
            std::vector<std::string>{"Capture write failed: 7 packets lost (File too large)"});
  EXPECT_EQ(packets[2].bytes.size(), 60u);
  EXPECT_TRUE(packets[3].comments.empty());
}
#endif
