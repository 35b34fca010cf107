#include "traffic_log/hex_rows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct CollectedRows : LineSink {
  void add_event(const char* text, std::size_t length) override { rows.push_back("event: " + std::string(text, length)); }
  void add_line(const char* prefix, const char* text, std::size_t length) override {
    rows.push_back(std::string(prefix) + " " + std::string(text, length));
  }
  std::vector<std::string> rows;
};

std::string row_of(std::uint64_t offset, const std::string& bytes) {
  char row[HexRows::kRowSize];
  return {row,
          format_hex_row(offset, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), row)};
}

}  // namespace

TEST(HexRows, OneRowPerSixteenBytesWithTheOffsetCountedAcrossReads) {
  using namespace std::string_literals;
  const struct {
    std::string read;
    std::vector<std::string> rows;
  } reads[] = {
      {"HELO a\r\n\0\x1b"
       "ary\n\0\0"
       "bin"s,
       {">>> 00000000  48 45 4c 4f 20 61 0d 0a  00 1b 61 72 79 0a 00 00  |HELO a....ary...|",
        ">>> 00000010  62 69 6e                                          |bin|"}},
      // A new read starts a new row; its offset goes on from the last read's end.
      {"0123456789\x7f\x80\xff~ !",
       {">>> 00000013  30 31 32 33 34 35 36 37  38 39 7f 80 ff 7e 20 21  |0123456789...~ !|"}},
      {"12345678", {">>> 00000023  31 32 33 34 35 36 37 38                           |12345678|"}},
      {"123456789", {">>> 0000002b  31 32 33 34 35 36 37 38  39                       |123456789|"}},
  };
  HexRows hex(">>>");
  for (const auto& read : reads) {
    CollectedRows log;
    hex.feed(read.read.data(), read.read.size(), log);
    EXPECT_EQ(log.rows, read.rows);
  }
}

TEST(HexRows, TheOffsetGrowsPastEightDigitsAndSkippedBytesCount) {
  EXPECT_EQ(row_of(0xffffffffull, "A"), "ffffffff  41                                                |A|");
  EXPECT_EQ(row_of(0x123456789abull, "A"),
            "123456789ab  41                                                |A|");
  HexRows hex("<<<");
  hex.skip(0x20);
  CollectedRows log;
  hex.feed("Z", 1, log);
  EXPECT_EQ(log.rows,
            std::vector<std::string>{"<<< 00000020  5a                                                |Z|"});
}
