// How fast relayed blocks become log lines.
//
//   SplitterOwnCost: LineSplitter::feed into a sink that only counts: the
//     splitting, the dots and the copies into the sink's room, no system
//     call.
//   ConnectionLogToDevNull: a connection's traffic log writing to /dev/null,
//     one write per relayed block, as a running relay does; plainly, with -a
//     (annotated lines, TLS watched) and with -x (hex rows).
//
// Traffic: 76-character CR LF mail lines, and random binary, fed in blocks of
// the relay's read size; and redis replies of a hundred short elements (as
// redis-benchmark's LRANGE_100 gets), one reply per block as a relay reads
// them under request/response load.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>

#include "platform/file.h"
#include "traffic_log/connection_log.h"
#include "traffic_log/line_splitter.h"
#include "traffic_log/log.h"

namespace {

constexpr std::size_t kBlock = 16 * 1024;
constexpr std::size_t kTrafficSize = 1024 * 1024;

std::string crlf_lines() {
  std::string traffic;
  for (int line = 0; traffic.size() < kTrafficSize; ++line) {
    std::string text = "Line " + std::to_string(line) + " of a message body, long as mail lines tend to be ";
    text.resize(76, '.');
    traffic += text + "\r\n";
  }
  return traffic;
}

std::string random_binary() {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string traffic;
  while (traffic.size() < kTrafficSize) traffic += static_cast<char>(byte(random));
  return traffic;
}

// "*100", then "$3" and "xxx" a hundred times, each line ending in CR LF.
std::string redis_reply() {
  std::string reply = "*100\r\n";
  for (int element = 0; element < 100; ++element) reply += "$3\r\nxxx\r\n";
  return reply;
}

std::string redis_replies() {
  const std::string reply = redis_reply();
  std::string traffic;
  while (traffic.size() + reply.size() <= kTrafficSize) traffic += reply;
  return traffic;
}

enum Traffic { kMailLines, kBinary, kRedisReplies };

const std::string& traffic_of(int kind) {
  static const std::string lines = crlf_lines();
  static const std::string binary = random_binary();
  static const std::string replies = redis_replies();
  return kind == kMailLines ? lines : (kind == kBinary ? binary : replies);
}

std::size_t block_of(int kind) {
  static const std::size_t reply_size = redis_reply().size();
  return kind == kRedisReplies ? reply_size : kBlock;
}

// Takes lines in place as the log's batch does, into a buffer it reuses.
class CountingSink : public LineSink {
 public:
  void add_event(const char*, std::size_t) override {}
  void add_line(const char*, const char* text, std::size_t length) override {
    bytes += length;
    if (length > 0) last = text[length - 1];
  }
  LineRoom line_room(const char*, std::size_t) override {
    return LineRoom{room, sizeof room, ">>> ", 4};
  }
  void lines_written(const char*, std::size_t length) override {
    bytes += length;
    if (length > 0) last = room[length - 1];
  }
  std::size_t bytes = 0;
  char last = 0;

 private:
  char room[64 * 1024];
};

template <typename Feed>
void for_each_block(int kind, Feed feed) {
  const std::string& traffic = traffic_of(kind);
  const std::size_t block = block_of(kind);
  for (std::size_t offset = 0; offset < traffic.size(); offset += block) {
    feed(traffic.data() + offset, std::min(block, traffic.size() - offset));
  }
}

void SplitterOwnCost(benchmark::State& state, int kind) {
  const std::string& traffic = traffic_of(kind);
  LineSplitter splitter(">>>");
  CountingSink sink;
  for (auto _ : state) {
    for_each_block(kind, [&](const char* data, std::size_t n) { splitter.feed(data, n, sink); });
    benchmark::DoNotOptimize(sink.last);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * traffic.size()));
}

enum class Options { kPlain, kAnnotate, kHex };

void ConnectionLogToDevNull(benchmark::State& state, int kind, Options options) {
  const std::string& traffic = traffic_of(kind);
  int error = 0;
  Log log;
  log.attach(platform::open_log_file("/dev/null", &error));
  log.set_annotate(options == Options::kAnnotate);
  ConnectionLog connection(log, 1, TrafficView{options == Options::kHex, options == Options::kAnnotate});
  for (auto _ : state) {
    for_each_block(kind, [&](const char* data, std::size_t n) { connection.traffic(Side::kClient, data, n); });
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * traffic.size()));
}

}  // namespace

BENCHMARK_CAPTURE(SplitterOwnCost, crlf_lines, kMailLines);
BENCHMARK_CAPTURE(SplitterOwnCost, binary, kBinary);
BENCHMARK_CAPTURE(SplitterOwnCost, redis_replies, kRedisReplies);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, crlf_lines, kMailLines, Options::kPlain);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, binary, kBinary, Options::kPlain);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, redis_replies, kRedisReplies, Options::kPlain);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, crlf_lines_annotated, kMailLines, Options::kAnnotate);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, binary_annotated, kBinary, Options::kAnnotate);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, crlf_lines_hex, kMailLines, Options::kHex);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, binary_hex, kBinary, Options::kHex);
