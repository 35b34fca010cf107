// How fast relayed blocks become log lines.
//
//   SplitterOwnCost: LineSplitter::feed into a sink that only counts: the
//     splitting, the dots and the copies, no system call.
//   ConnectionLogToDevNull: a connection's traffic log writing to /dev/null,
//     one write per relayed block, as a running relay does; plainly, with -a
//     (annotated lines, TLS watched) and with -x (hex rows).
//
// Traffic: 76-character CR LF mail lines, and random binary; fed in blocks of
// the relay's read size.
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

const std::string& traffic_of(int kind) {
  static const std::string lines = crlf_lines();
  static const std::string binary = random_binary();
  return kind == 0 ? lines : binary;
}

class CountingSink : public LineSink {
 public:
  void add_event(const char*, std::size_t) override {}
  void add_line(const char*, const char* text, std::size_t length) override {
    ++lines;
    bytes += length;
    if (length > 0) last = text[length - 1];
  }
  std::size_t lines = 0;
  std::size_t bytes = 0;
  char last = 0;
};

template <typename Feed>
void for_each_block(const std::string& traffic, Feed feed) {
  for (std::size_t offset = 0; offset < traffic.size(); offset += kBlock) {
    feed(traffic.data() + offset, std::min(kBlock, traffic.size() - offset));
  }
}

void SplitterOwnCost(benchmark::State& state, int kind) {
  const std::string& traffic = traffic_of(kind);
  LineSplitter splitter(">>>");
  CountingSink sink;
  for (auto _ : state) {
    for_each_block(traffic, [&](const char* data, std::size_t n) { splitter.feed(data, n, sink); });
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
    for_each_block(traffic,
                   [&](const char* data, std::size_t n) { connection.traffic(Side::kClient, data, n); });
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * traffic.size()));
}

}  // namespace

BENCHMARK_CAPTURE(SplitterOwnCost, crlf_lines, 0);
BENCHMARK_CAPTURE(SplitterOwnCost, binary, 1);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, crlf_lines, 0, Options::kPlain);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, binary, 1, Options::kPlain);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, crlf_lines_annotated, 0, Options::kAnnotate);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, binary_annotated, 1, Options::kAnnotate);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, crlf_lines_hex, 0, Options::kHex);
BENCHMARK_CAPTURE(ConnectionLogToDevNull, binary_hex, 1, Options::kHex);
