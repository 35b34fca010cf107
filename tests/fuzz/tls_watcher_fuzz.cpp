// Feeds arbitrary bytes to TlsWatchers in arbitrary reads and checks what
// they say: the relay's way (begins_hello at the start of every read while
// not active), and one stream read as TLS from its first byte, cut into reads
// and whole, which must give the same lines.
//
// Input: byte 0 picks the side (bit 7) and how many read sizes follow (1 to
// 8, two bytes each, read modulo 512, plus one); the rest is the traffic, cut into
// reads of those sizes in turn.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "traffic_log/tls/tls_watcher.h"

namespace {

constexpr std::size_t kMaxRead = 512;

// An event line is whole: every part it has is complete, a host name holds
// up to 255 characters (no blanks: they show as dots), and at most eight
// versions are shown, the rest counted.
const std::string kVersion = "(SSL 3\\.0|TLS 1\\.[0-3]|0x[0-9a-f]{4})";
const std::regex kClientEvent("TLS from client: ClientHello(, server name [!-~]{1,255}|, no server name)?"
                              "(, offers (" + kVersion + "(, " + kVersion + "){0,7}|(" + kVersion + ", ){7}" +
                              kVersion + " and [1-9][0-9]* more))?");
const std::regex kServerEvent("TLS from server: ServerHello(, version " + kVersion + ")?");

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "tls watcher fuzz: %s\n", what);
  std::abort();
}

bool is_printable(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte > 0x7E) return false;
  }
  return true;
}

bool starts_with(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

// Checks every text as it comes; keeps them in order, events marked.
class CheckingSink : public LineSink {
 public:
  explicit CheckingSink(Side side) : event_form_(side == Side::kClient ? kClientEvent : kServerEvent) {}

  void add_event(const char* text, std::size_t length) override {
    const std::string line(text, length);
    require(std::regex_match(line, event_form_), "event line not whole, or not of the side's hello");
    require(!event_seen_, "a second event line after one start");
    event_seen_ = true;
    lines.push_back("event: " + line);
  }

  void add_line(const char*, const char* text, std::size_t length) override {
    require(length > 0 && is_printable(text, length), "unprintable byte or line end in a record line");
    const std::string line(text, length);
    require(starts_with(line, "[TLS ") && line.back() == ']', "record line not bracketed");
    require(event_seen_, "record line before the event line");
    lines.push_back(line);
  }

  void started() { event_seen_ = false; }

  std::vector<std::string> lines;

 private:
  const std::regex& event_form_;
  bool event_seen_ = false;
};

std::size_t checked_feed(TlsWatcher& watcher, const unsigned char* data, std::size_t n, CheckingSink& sink) {
  const std::size_t taken = watcher.feed(data, n, sink);
  require(taken <= n, "feed took more than it was given");
  require(taken == n || !watcher.active(), "still active after a short feed");
  return taken;
}

// As the relay will use it: a hello is looked for at the start of each read.
void watch_like_the_relay(Side side, const unsigned char* traffic, std::size_t size,
                          const std::vector<std::size_t>& read_sizes) {
  TlsWatcher watcher(side);
  CheckingSink sink(side);
  std::size_t offset = 0;
  for (std::size_t turn = 0; offset < size && turn < size + read_sizes.size(); ++turn) {
    std::size_t length = read_sizes[turn % read_sizes.size()];
    if (length > size - offset) length = size - offset;
    if (!watcher.active() && watcher.begins_hello(traffic + offset, length)) {
      watcher.start();
      sink.started();
    }
    if (watcher.active()) checked_feed(watcher, traffic + offset, length, sink);
    offset += length;
  }
}

struct Reading {
  std::vector<std::string> lines;
  std::size_t taken = 0;
  bool active = false;
};

// The stream read as TLS from its first byte, in reads of the given sizes.
Reading read_as_tls(Side side, const unsigned char* traffic, std::size_t size,
                    const std::vector<std::size_t>& read_sizes) {
  TlsWatcher watcher(side);
  CheckingSink sink(side);
  watcher.start();
  Reading reading;
  for (std::size_t turn = 0; reading.taken < size && turn < size + read_sizes.size(); ++turn) {
    std::size_t length = read_sizes[turn % read_sizes.size()];
    if (length > size - reading.taken) length = size - reading.taken;
    const std::size_t taken = checked_feed(watcher, traffic + reading.taken, length, sink);
    reading.taken += taken;
    if (taken < length) break;
  }
  reading.lines = sink.lines;
  reading.active = watcher.active();
  return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Side side = (data[0] & 0x80) ? Side::kServer : Side::kClient;
  const std::size_t size_count = (data[0] & 0x07) + 1;
  if (size < 1 + 2 * size_count) return 0;
  std::vector<std::size_t> read_sizes;
  for (std::size_t i = 0; i < size_count; ++i)
    read_sizes.push_back((data[1 + 2 * i] | (data[2 + 2 * i] << 8)) % kMaxRead + 1);
  const unsigned char* traffic = data + 1 + 2 * size_count;
  const std::size_t traffic_size = size - 1 - 2 * size_count;

  watch_like_the_relay(side, traffic, traffic_size, read_sizes);

  // Lines come from whole headers and hello fields, never from where a read
  // stopped. Only the bytes taken may differ: up to five bytes of a refused
  // header that came in earlier reads were taken with them.
  const Reading split = read_as_tls(side, traffic, traffic_size, read_sizes);
  const Reading whole = read_as_tls(side, traffic, traffic_size, {traffic_size});
  require(split.lines == whole.lines, "lines differ from the whole stream's");
  require(split.active == whole.active, "active differs from the whole stream's");
  require(split.taken >= whole.taken && split.taken <= whole.taken + 5,
          "taken differs from the whole stream's");
  return 0;
}
