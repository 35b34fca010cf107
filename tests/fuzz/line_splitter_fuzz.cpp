// Feeds arbitrary bytes to a LineSplitter in arbitrary reads and checks,
// after every read, what it keeps pending and what it logged; at the end the
// logged lines must be those of the whole stream taken at once.
//
// Input: byte 0 picks the prefix (bit 7) and how many read sizes follow
// (1 to 8, two bytes each, read modulo 513); the rest is the traffic, cut
// into reads of those sizes in turn.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/line_splitter_model.h"
#include "traffic_log/line_splitter.h"
#include "traffic_log/log_output.h"

namespace {

constexpr std::size_t kMaxRead = 512;

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "line splitter fuzz: %s\n", what);
  std::abort();
}

bool is_shown(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && byte <= 0x7E;
}

void check_pending(const LineSplitter& splitter) {
  require(splitter.pending_len >= 0 && splitter.pending_len <= 256, "pending_len outside 0..256");
  for (std::int32_t i = 0; i < splitter.pending_len; ++i)
    require(is_shown(splitter.pending[i]), "CR, LF or unprintable byte pending");
}

// Every line: the prefix alone, or the prefix, a blank and 1 to 256 shown
// characters; ended by a line feed.
void collect_lines(const char* text, std::size_t length, const std::string& prefix,
                   std::vector<std::string>& lines) {
  std::size_t start = 0;
  while (start < length) {
    std::size_t end = start;
    while (end < length && text[end] != '\n') ++end;
    require(end < length, "log text not ended by a line feed");
    const std::string line(text + start, end - start);
    require(line.compare(0, prefix.size(), prefix) == 0, "line without the prefix");
    if (line.size() > prefix.size()) {
      require(line[prefix.size()] == ' ', "no blank after the prefix");
      require(line.size() >= prefix.size() + 2 && line.size() <= prefix.size() + 1 + 256,
              "text length outside 1..256");
      for (std::size_t i = prefix.size() + 1; i < line.size(); ++i)
        require(is_shown(line[i]), "CR, LF or unprintable byte in a line");
    }
    lines.push_back(line);
    start = end + 1;
  }
}

// One read brings at most 512 bytes over a tail of at most 256: a few KB of log.
char log_buffer[64 * 1024];
std::FILE* const log_memory = fmemopen(log_buffer, sizeof log_buffer, "w");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string prefix = (data[0] & 0x80) ? "<<<" : ">>>";
  const std::size_t size_count = (data[0] & 0x07) + 1;
  if (size < 1 + 2 * size_count) return 0;
  std::vector<std::size_t> read_sizes;
  for (std::size_t i = 0; i < size_count; ++i)
    read_sizes.push_back((data[1 + 2 * i] | (data[2 + 2 * i] << 8)) % (kMaxRead + 1));
  const char* traffic = reinterpret_cast<const char*>(data + 1 + 2 * size_count);
  const std::size_t traffic_size = size - 1 - 2 * size_count;

  log_stream = log_memory;
  log_console = log_memory;
  LineSplitter splitter(prefix.c_str());
  std::vector<std::string> lines;
  std::size_t offset = 0;
  std::size_t empty_reads_in_a_row = 0;
  for (std::size_t turn = 0; offset < traffic_size && empty_reads_in_a_row <= size_count; ++turn) {
    std::size_t length = read_sizes[turn % size_count];
    if (length > traffic_size - offset) length = traffic_size - offset;
    empty_reads_in_a_row = length == 0 ? empty_reads_in_a_row + 1 : 0;

    const std::string before(traffic + offset, length);
    std::fseek(log_memory, 0, SEEK_SET);
    splitter.feed(traffic + offset, static_cast<std::int32_t>(length));
    require(before.compare(0, length, traffic + offset, length) == 0, "fed bytes changed");
    check_pending(splitter);
    const long logged = std::ftell(log_memory);
    require(logged >= 0 && static_cast<std::size_t>(logged) < sizeof log_buffer, "log buffer overrun");
    collect_lines(log_buffer, static_cast<std::size_t>(logged), prefix, lines);
    offset += length;
  }

  LineSplitterModel whole(prefix);
  whole.feed(std::string(traffic, offset));
  require(lines == whole.lines, "lines differ from the whole stream's");
  require(std::string(splitter.pending, static_cast<std::size_t>(splitter.pending_len)) == whole.line,
          "pending tail differs from the whole stream's");
  require(splitter.blank_run == whole.blank_run, "blank_run differs from the whole stream's");
  return 0;
}
