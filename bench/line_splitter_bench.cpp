// How fast LineSplitter::feed turns relayed blocks into log lines, next to
// the cost of the log's own writes for the same lines. The relay reads at
// most 512 bytes at a time, so the traffic is fed in 512-byte blocks.
//
//   SplitterOwnCost: the log goes to a memory stream, so no system call is
//     counted: splitting, dots, building the lines.
//   FeedLoggingToDevNull: the log file and the console echo are both
//     /dev/null, as a running relay writes them.
//   LogWritesPerLine / LogWritesPerBlock: only the log's writes for the
//     lines the same traffic produces (a write and flush to the file and a
//     write to the console), one line per write or one block's lines per
//     write.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "traffic_log/line_splitter.h"
#include "traffic_log/log_output.h"

namespace {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kTrafficSize = 64 * 1024;

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

void feed_all(LineSplitter& splitter, const std::string& traffic) {
  for (std::size_t offset = 0; offset < traffic.size(); offset += kBlock) {
    const std::size_t length = std::min(kBlock, traffic.size() - offset);
    splitter.feed(traffic.data() + offset, static_cast<std::int32_t>(length));
  }
}

// Sets the log's two streams for one benchmark and puts them back after.
class LogStreams {
 public:
  LogStreams(std::FILE* file, std::FILE* console) : saved_stream_(log_stream), saved_console_(log_console) {
    log_stream = file;
    log_console = console;
  }
  ~LogStreams() {
    log_stream = saved_stream_;
    log_console = saved_console_;
  }
  LogStreams(const LogStreams&) = delete;
  LogStreams& operator=(const LogStreams&) = delete;

 private:
  std::FILE* saved_stream_;
  std::FILE* saved_console_;
};

// The text the log gets for each 512-byte block of the traffic.
std::vector<std::string> logged_blocks(const std::string& traffic) {
  static char memory[64 * 1024];
  std::FILE* stream = fmemopen(memory, sizeof memory, "w");
  LogStreams streams(stream, stream);
  LineSplitter splitter(">>>");
  std::vector<std::string> blocks;
  for (std::size_t offset = 0; offset < traffic.size(); offset += kBlock) {
    std::fseek(stream, 0, SEEK_SET);
    splitter.feed(traffic.data() + offset,
                  static_cast<std::int32_t>(std::min(kBlock, traffic.size() - offset)));
    blocks.emplace_back(memory, static_cast<std::size_t>(std::ftell(stream)));
  }
  std::fclose(stream);
  return blocks;
}

std::vector<std::string> logged_lines(const std::string& traffic) {
  std::vector<std::string> lines;
  for (const std::string& block : logged_blocks(traffic)) {
    for (std::size_t start = 0, end; (end = block.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(block.substr(start, end - start + 1));
  }
  return lines;
}

void report(benchmark::State& state, const std::string& traffic, std::size_t line_count) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * traffic.size()));
  state.counters["lines"] = static_cast<double>(line_count);
}

void SplitterOwnCost(benchmark::State& state, int kind) {
  const std::string& traffic = traffic_of(kind);
  static char memory[64 * 1024];
  std::FILE* stream = fmemopen(memory, sizeof memory, "w");
  LogStreams streams(stream, stream);
  LineSplitter splitter(">>>");
  for (auto _ : state) {
    for (std::size_t offset = 0; offset < traffic.size(); offset += kBlock) {
      std::fseek(stream, 0, SEEK_SET);  // a block logs far less than the buffer holds
      splitter.feed(traffic.data() + offset,
                    static_cast<std::int32_t>(std::min(kBlock, traffic.size() - offset)));
    }
  }
  std::fclose(stream);
  report(state, traffic, logged_lines(traffic).size());
}

void FeedLoggingToDevNull(benchmark::State& state, int kind) {
  const std::string& traffic = traffic_of(kind);
  std::FILE* file = std::fopen("/dev/null", "w");
  std::FILE* console = std::fopen("/dev/null", "w");
  {
    LogStreams streams(file, console);
    LineSplitter splitter(">>>");
    for (auto _ : state) feed_all(splitter, traffic);
  }
  std::fclose(file);
  std::fclose(console);
  report(state, traffic, logged_lines(traffic).size());
}

void log_writes(benchmark::State& state, int kind, const std::vector<std::string>& texts) {
  const std::string& traffic = traffic_of(kind);
  std::FILE* file = std::fopen("/dev/null", "w");
  std::FILE* console = std::fopen("/dev/null", "w");
  {
    LogStreams streams(file, console);
    for (auto _ : state) {
      for (const std::string& text : texts) log_text(text.data(), text.size());
    }
  }
  std::fclose(file);
  std::fclose(console);
  report(state, traffic, logged_lines(traffic).size());
}

void LogWritesPerLine(benchmark::State& state, int kind) {
  log_writes(state, kind, logged_lines(traffic_of(kind)));
}

void LogWritesPerBlock(benchmark::State& state, int kind) {
  log_writes(state, kind, logged_blocks(traffic_of(kind)));
}

constexpr int kCrlfLines = 0;
constexpr int kRandomBinary = 1;

BENCHMARK_CAPTURE(SplitterOwnCost, crlf_lines_76, kCrlfLines);
BENCHMARK_CAPTURE(SplitterOwnCost, random_binary, kRandomBinary);
BENCHMARK_CAPTURE(FeedLoggingToDevNull, crlf_lines_76, kCrlfLines);
BENCHMARK_CAPTURE(FeedLoggingToDevNull, random_binary, kRandomBinary);
BENCHMARK_CAPTURE(LogWritesPerLine, crlf_lines_76, kCrlfLines);
BENCHMARK_CAPTURE(LogWritesPerLine, random_binary, kRandomBinary);
BENCHMARK_CAPTURE(LogWritesPerBlock, crlf_lines_76, kCrlfLines);
BENCHMARK_CAPTURE(LogWritesPerBlock, random_binary, kRandomBinary);

}  // namespace
