// Feeds arbitrary bytes to a LineSplitter in arbitrary reads and checks,
// after every read, what it keeps pending and what it logged; at the end the
// logged lines must be those of the whole stream taken at once.
//
// Input: byte 0 picks the prefix (bit 7) and how many read sizes follow
// (1 to 8, two bytes each, read modulo 32 KiB + 1); the rest is the traffic, cut
// into reads of those sizes in turn.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/line_splitter_model.h"
#include "traffic_log/line_splitter.h"

namespace {

// Reads larger than the relay's buffer, so that every size of read is covered.
constexpr std::size_t kMaxRead = 32 * 1024;

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
  require(splitter.pending_length() <= 256, "pending length above 256");
  for (std::size_t i = 0; i < splitter.pending_length(); ++i)
    require(is_shown(splitter.pending_text()[i]), "CR, LF or unprintable byte pending");
}

// Every line: the prefix alone, or the prefix, a blank and 1 to 256 shown
// characters.
class CheckedLines : public LineSink {
 public:
  explicit CheckedLines(std::string prefix) : prefix_(std::move(prefix)) {}
  void add_event(const char*, std::size_t) override { require(false, "an event line from the splitter"); }
  void add_line(const char* prefix, const char* text, std::size_t length) override {
    require(prefix_ == prefix, "line without the prefix");
    require(length <= 256, "text longer than 256");
    for (std::size_t i = 0; i < length; ++i)
      require(is_shown(text[i]), "CR, LF or unprintable byte in a line");
    lines.push_back(length == 0 ? prefix_ : prefix_ + " " + std::string(text, length));
  }
  std::vector<std::string> lines;

 private:
  std::string prefix_;
};

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

  LineSplitter splitter(prefix.c_str());
  CheckedLines log(prefix);
  std::size_t offset = 0;
  std::size_t empty_reads_in_a_row = 0;
  for (std::size_t turn = 0; offset < traffic_size && empty_reads_in_a_row <= size_count; ++turn) {
    std::size_t length = read_sizes[turn % size_count];
    if (length > traffic_size - offset) length = traffic_size - offset;
    empty_reads_in_a_row = length == 0 ? empty_reads_in_a_row + 1 : 0;

    const std::string before(traffic + offset, length);
    splitter.feed(traffic + offset, length, log);
    require(before.compare(0, length, traffic + offset, length) == 0, "fed bytes changed");
    check_pending(splitter);
    offset += length;
  }

  LineSplitterModel whole(prefix);
  whole.feed(std::string(traffic, offset));
  require(log.lines == whole.lines, "lines differ from the whole stream's");
  require(std::string(splitter.pending_text(), splitter.pending_length()) == whole.line,
          "pending tail differs from the whole stream's");
  require(splitter.blank_run() == whole.blank_run, "blank_run differs from the whole stream's");
  return 0;
}
