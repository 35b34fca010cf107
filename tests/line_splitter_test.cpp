#include "traffic_log/line_splitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/line_splitter_model.h"

namespace {

// Collects the lines a splitter logs, as the log shows them.
class CollectedLines : public LineSink {
 public:
  void add_event(const char* text, std::size_t length) override {
    lines_.push_back("event: " + std::string(text, length));
  }
  void add_line(const char* prefix, const char* text, std::size_t length) override {
    lines_.push_back(length == 0 ? std::string(prefix)
                                 : std::string(prefix) + " " + std::string(text, length));
  }
  std::vector<std::string> new_lines() { return std::exchange(lines_, {}); }

 private:
  std::vector<std::string> lines_;
};

void feed(LineSplitter& splitter, CollectedLines& log, const std::string& bytes) {
  splitter.feed(bytes.data(), bytes.size(), log);
}

std::string pending_of(const LineSplitter& splitter) {
  return std::string(splitter.pending_text(), splitter.pending_length());
}

// A log line as it must read: the prefix alone for an empty text.
std::string log_line(const std::string& prefix, const std::string& text) {
  return text.empty() ? prefix : prefix + " " + text;
}

std::string times(int count, char c) {
  return std::string(static_cast<std::size_t>(count), c);
}

struct Feed {
  std::string bytes;
  std::vector<std::string> texts;  // "" stands for the prefix alone
  int pending_len;
  int blank_run;
  bool flush_held = false;  // this step logs the held text instead of feeding bytes
};

// A step that logs the held text as a line of its own.
Feed flush(std::vector<std::string> texts, int blank_run) {
  return {"", std::move(texts), 0, blank_run, true};
}

struct Row {
  const char* name;
  std::vector<Feed> feeds;
};

const std::string CR = "\r", LF = "\n", CRLF = "\r\n";

std::vector<Row> example_rows() {
  const std::string x256 = times(256, 'x');
  return {
      {"HELO a CRLF", {{"HELO a" + CRLF, {"HELO a"}, 0, 1}}},
      {"empty CRLF line between lines", {{"A" + CRLF + CRLF + "B" + CRLF, {"A", "", "", "B"}, 0, 1}}},
      {"one empty LF line", {{"A" + LF + LF + "B" + LF, {"A", "B"}, 0, 0}}},
      {"two empty LF lines", {{"A" + LF + LF + LF + "B" + LF, {"A", "", "B"}, 0, 0}}},
      {"CRLF alone", {{CRLF, {}, 0, 1}}},
      {"LF LF", {{LF + LF, {""}, 0, 2}}},
      {"CR CR LF", {{CR + CR + LF, {}, 0, 1}}},
      {"two empty CRLF lines", {{"A" + CRLF + CRLF + CRLF, {"A", "", "", "", ""}, 0, 3}}},
      {"line split over two feeds", {{"HEL", {}, 3, 0}, {"O" + CRLF, {"HELO"}, 0, 1}}},
      {"CR and LF in different feeds", {{"A" + CR, {"A"}, 0, 0}, {LF + "B" + CRLF, {"B"}, 0, 1}}},
      {"LF; A; LF", {{LF, {}, 0, 1}, {"A", {}, 1, 0}, {LF, {"A"}, 0, 0}}},
      {"unprintable bytes become dots",
       {{std::string("a\tb") + '\0' + "c\x7F\x80\xFF" + "d~ " + CRLF, {"a.b.c...d~ "}, 0, 1}}},
      {"300 x CRLF", {{times(300, 'x') + CRLF, {x256, times(44, 'x')}, 0, 1}}},
      {"256 x CRLF", {{x256 + CRLF, {x256}, 0, 1}}},
      {"256 x, y CRLF", {{x256 + "y" + CRLF, {x256, "y"}, 0, 1}}},
      {"257 x CRLF", {{times(257, 'x') + CRLF, {x256, "x"}, 0, 1}}},
      {"256 x LF", {{x256 + LF, {x256}, 0, 0}}},
      {"512 x", {{times(512, 'x'), {x256}, 256, 0}}},
      {"256 x; y", {{x256, {}, 256, 0}, {"y", {x256}, 1, 0}}},
      {"300 x; 300 y",
       {{times(300, 'x'), {x256}, 44, 0}, {times(300, 'y'), {times(44, 'x') + times(212, 'y')}, 88, 0}}},
      {"nothing", {{"", {}, 0, 0}}},
      // An empty feed only rescans the tail: no cut at 256, no change to the run.
      {"256 x; nothing", {{x256, {}, 256, 0}, {"", {}, 256, 0}}},
      {"LF LF; nothing", {{LF + LF, {""}, 0, 2}, {"", {}, 0, 2}}},
      // Held text logged early: the line end that completes it logs nothing
      // and counts for the blank-line rule as if the line had not been cut.
      {"abc; flush; LF LF B LF", {{"abc", {}, 3, 0}, flush({"abc"}, 0), {LF + LF + "B" + LF, {"B"}, 0, 0}}},
      {"abc; flush; CRLF CRLF", {{"abc", {}, 3, 0}, flush({"abc"}, 0), {CRLF + CRLF, {"", ""}, 0, 2}}},
      {"abc; flush; def CRLF", {{"abc", {}, 3, 0}, flush({"abc"}, 0), {"def" + CRLF, {"def"}, 0, 1}}},
      {"256 x; flush; LF", {{x256, {}, 256, 0}, flush({x256}, 0), {LF, {}, 0, 0}}},
      {"flush with nothing held", {{CRLF, {}, 0, 1}, flush({}, 1), {LF, {""}, 0, 2}}},
  };
}

TEST(LineSplitter, ExampleTable) {
  for (const char* prefix : {">>>", "<<<"}) {
    for (const Row& row : example_rows()) {
      SCOPED_TRACE(std::string(prefix) + " " + row.name);
      CollectedLines log;
      LineSplitter splitter(prefix);
      LineSplitterModel model(prefix);  // the model must read the table the same way
      const bool cut =
          std::any_of(row.feeds.begin(), row.feeds.end(), [](const Feed& f) { return f.flush_held; });
      for (std::size_t index = 0; index < row.feeds.size(); ++index) {
        SCOPED_TRACE("feed " + std::to_string(index + 1));
        const Feed& step = row.feeds[index];
        std::vector<std::string> expected;
        for (const std::string& text : step.texts) expected.push_back(log_line(prefix, text));

        if (step.flush_held) {
          splitter.flush_held(log);
        } else {
          feed(splitter, log, step.bytes);
        }
        EXPECT_EQ(log.new_lines(), expected);
        EXPECT_EQ(static_cast<int>(splitter.pending_length()), step.pending_len);
        EXPECT_EQ(splitter.blank_run(), step.blank_run);

        if (cut) continue;  // the model knows only whole streams
        const std::size_t model_lines_before = model.lines.size();
        model.feed(step.bytes);
        EXPECT_EQ(std::vector<std::string>(model.lines.begin() + static_cast<long>(model_lines_before),
                                           model.lines.end()),
                  expected);
        EXPECT_EQ(static_cast<int>(model.line.size()), step.pending_len);
        EXPECT_EQ(model.blank_run, step.blank_run);
      }
    }
  }
}

TEST(LineSplitter, LeavesTheFedBytesUnchanged) {
  CollectedLines log;
  std::string all_bytes;
  for (int value = 0; value < 256; ++value) all_bytes += static_cast<char>(value);
  const std::string copy = all_bytes;
  LineSplitter splitter(">>>");
  feed(splitter, log, all_bytes);
  EXPECT_EQ(all_bytes, copy);
  // 10 and 13 end lines; every other byte outside 0x20..0x7E is shown as a dot.
  std::string printable;
  for (int value = 0x20; value <= 0x7E; ++value) printable += static_cast<char>(value);
  EXPECT_EQ(log.new_lines(), (std::vector<std::string>{">>> " + times(10, '.'), ">>> .."}));
  EXPECT_EQ(pending_of(splitter), times(18, '.') + printable + times(129, '.'));
}

// Bytes are shown sixteen or eight at a time: every value at every place of
// a chunk, a word and the bytes behind them, among neighbours of each kind,
// is shown as itself or a dot, and a line end stops the copy right at it.
TEST(LineSplitter, EveryByteAtEveryPlaceIsShownAsItselfOrADot) {
  for (const char neighbour : {'a', '~', ' ', '\x1F', '\x7F', '\x80', '\xFF', '\0'}) {
    for (int value = 0; value < 256; ++value) {
      for (std::size_t place = 0; place < 27; ++place) {
        std::string bytes(27, neighbour);
        bytes[place] = static_cast<char>(value);
        char shown[27];
        const std::size_t copied = copy_shown(bytes.data(), bytes.size(), shown);
        const bool line_end = value == '\r' || value == '\n';
        ASSERT_EQ(copied, line_end ? place : bytes.size()) << value << " at " << place;
        for (std::size_t index = 0; index < copied; ++index) {
          const unsigned char byte = static_cast<unsigned char>(bytes[index]);
          const char expected = byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
          ASSERT_EQ(shown[index], expected) << value << " at " << place << " beside " << int(neighbour);
        }
      }
    }
  }
}

TEST(LineSplitter, A512ByteFeedFitsOnTopOfAFull256ByteTail) {
  CollectedLines log;
  LineSplitter splitter("<<<");
  feed(splitter, log, times(256, 'x'));
  ASSERT_EQ(splitter.pending_length(), 256u);
  // Every one of the 512 bytes must be taken: the last one ends the line.
  feed(splitter, log, times(300, 'y') + times(211, 'z') + LF);
  EXPECT_EQ(log.new_lines(), (std::vector<std::string>{"<<< " + times(256, 'x'), "<<< " + times(256, 'y'),
                                                       "<<< " + times(44, 'y') + times(211, 'z')}));
  EXPECT_EQ(splitter.pending_length(), 0u);
}

// Traffic with the shapes that matter: text lines around the 256 cut, CR LF
// and LF-only line ends, runs of empty lines, binary bytes.
std::string random_traffic(std::mt19937& random, std::size_t size) {
  std::string stream;
  auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
  while (stream.size() < size) {
    switch (pick(0, 5)) {
      case 0:
        stream += times(pick(0, 600), static_cast<char>(pick('a', 'z')));
        break;
      case 1:
        stream += times(256 + pick(-2, 2), 'w');
        break;
      case 2:
        stream += CRLF;
        break;
      case 3:
        stream += times(pick(1, 4), pick(0, 1) ? '\n' : '\r');
        break;
      case 4:
        for (int count = pick(1, 40); count > 0; --count) stream += static_cast<char>(pick(0, 255));
        break;
      default:
        stream += "MAIL FROM:<a@b>" + CRLF;
        break;
    }
  }
  return stream;
}

void expect_well_formed(const std::string& line, const std::string& prefix) {
  ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
  if (line.size() == prefix.size()) return;
  const std::string text = line.substr(prefix.size() + 1);
  EXPECT_EQ(line[prefix.size()], ' ');
  EXPECT_GE(text.size(), 1u);
  EXPECT_LE(text.size(), 256u);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    ASSERT_TRUE(byte >= 0x20 && byte <= 0x7E) << "byte " << int{byte} << " in " << line;
  }
}

// The splitter decides each line end from the bytes up to it, never from
// where a read happened to stop, so any cutting of a stream into reads logs
// the same lines as the whole stream taken at once, and keeps the same tail.
TEST(LineSplitter, RandomPiecesLogTheSameLinesAsTheWholeStream) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::string stream = random_traffic(random, 24 * 1024);
    const std::string prefix = seed % 2 ? ">>>" : "<<<";

    LineSplitterModel whole(prefix);
    whole.feed(stream);

    CollectedLines log;
    LineSplitter splitter(prefix.c_str());
    std::vector<std::string> lines;
    for (std::size_t offset = 0; offset < stream.size();) {
      const std::size_t piece = std::min<std::size_t>(
          std::uniform_int_distribution<std::size_t>(1, seed <= 6 ? 512 : 20000)(random),
          stream.size() - offset);
      feed(splitter, log, stream.substr(offset, piece));
      offset += piece;
      ASSERT_LE(splitter.pending_length(), 256u);
      for (std::string& line : log.new_lines()) lines.push_back(std::move(line));
    }

    EXPECT_EQ(lines, whole.lines);
    EXPECT_EQ(pending_of(splitter), whole.line);
    EXPECT_EQ(splitter.blank_run(), whole.blank_run);
    for (const std::string& line : lines) expect_well_formed(line, prefix);
  }
}

}  // namespace
