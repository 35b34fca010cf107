#include "capture/pcapng.h"

#include <algorithm>
#include <cstring>

namespace capture {
namespace {

constexpr std::uint32_t kSectionHeaderType = 0x0A0D0D0A;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint32_t kInterfaceType = 1;
constexpr std::uint32_t kPacketType = 6;
// Raw IPv4 or IPv6 packets, no link layer.
constexpr std::uint16_t kLinkTypeRaw = 101;
constexpr std::uint32_t kSnapLength = 65535;

constexpr std::uint16_t kEndOfOptions = 0;
constexpr std::uint16_t kComment = 1;
constexpr std::uint16_t kApplication = 4;  // shb_userappl
constexpr std::uint16_t kInterfaceName = 2;
constexpr std::uint16_t kTimeResolution = 9;  // if_tsresol
constexpr std::uint8_t kMicroseconds = 6;     // 10^-6 s
constexpr std::uint16_t kPacketFlags = 2;     // epb_flags
// An option's value is at most this long.
constexpr std::size_t kOptionRoom = 0xFFFF;

// Type, length, interface, time (two halves), captured and original length.
constexpr std::size_t kPacketHeaderSize = 28;
constexpr std::size_t kTimeOffset = 12;
// The end of options and the trailing length.
constexpr std::size_t kPacketTrailerSize = 8;

std::size_t padded(std::size_t length) {
  return (length + 3) & ~static_cast<std::size_t>(3);
}

void put16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::uint8_t* at, std::uint32_t value) {
  put16(at, static_cast<std::uint16_t>(value));
  put16(at + 2, static_cast<std::uint16_t>(value >> 16));
}

void append16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.resize(out.size() + 2);
  put16(out.data() + out.size() - 2, value);
}

void append32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.resize(out.size() + 4);
  put32(out.data() + out.size() - 4, value);
}

// An option: its code, its length, its value padded to 32 bits.
void append_option(std::vector<std::uint8_t>& out, std::uint16_t code, const void* value,
                   std::size_t length) {
  length = std::min(length, kOptionRoom);
  append16(out, code);
  append16(out, static_cast<std::uint16_t>(length));
  const std::size_t at = out.size();
  out.resize(at + padded(length));
  if (length > 0) std::memcpy(out.data() + at, value, length);
}

void append_text_option(std::vector<std::uint8_t>& out, std::uint16_t code, const std::string& text) {
  append_option(out, code, text.data(), text.size());
}

// A block's type, its body and its length before and after.
void append_block(std::vector<std::uint8_t>& out, std::uint32_t type, const std::vector<std::uint8_t>& body) {
  const auto length = static_cast<std::uint32_t>(12 + body.size());
  append32(out, type);
  append32(out, length);
  out.insert(out.end(), body.begin(), body.end());
  append32(out, length);
}

// The lengths at both ends of the block that starts there and ends at end.
void set_block_length(std::vector<std::uint8_t>& bytes, std::size_t start, std::size_t end) {
  const auto length = static_cast<std::uint32_t>(end - start);
  put32(bytes.data() + start + 4, length);
  put32(bytes.data() + end - 4, length);
}

}  // namespace

std::string file_header(const char* application) {
  std::vector<std::uint8_t> section;
  append32(section, kByteOrderMagic);
  append16(section, 1);  // version 1.0
  append16(section, 0);
  append32(section, 0xFFFFFFFF);  // section length: not given
  append32(section, 0xFFFFFFFF);
  append_text_option(section, kApplication, application);
  append32(section, kEndOfOptions);

  std::vector<std::uint8_t> interface;
  append16(interface, kLinkTypeRaw);
  append16(interface, 0);
  append32(interface, kSnapLength);
  append_text_option(interface, kInterfaceName, "qorvand");
  append_option(interface, kTimeResolution, &kMicroseconds, 1);
  append32(interface, kEndOfOptions);

  std::vector<std::uint8_t> header;
  append_block(header, kSectionHeaderType, section);
  append_block(header, kInterfaceType, interface);
  return std::string(header.begin(), header.end());
}

void PacketBlocks::clear() {
  bytes_.clear();
  starts_.clear();
}

std::uint8_t* PacketBlocks::begin_packet(std::size_t length) {
  const std::size_t start = bytes_.size();
  starts_.push_back(start);
  bytes_.resize(start + kPacketHeaderSize + padded(length));
  std::uint8_t* block = bytes_.data() + start;
  put32(block, kPacketType);
  put32(block + 8, 0);  // the one interface
  put32(block + 20, static_cast<std::uint32_t>(length));
  put32(block + 24, static_cast<std::uint32_t>(length));
  return block + kPacketHeaderSize;
}

void PacketBlocks::end_packet(Direction direction, const std::vector<std::string>& comments) {
  const auto flags = static_cast<std::uint32_t>(direction);
  std::uint8_t value[4];
  put32(value, flags);
  append_option(bytes_, kPacketFlags, value, sizeof value);
  for (const std::string& comment : comments) append_text_option(bytes_, kComment, comment);
  append32(bytes_, kEndOfOptions);
  append32(bytes_, 0);
  set_block_length(bytes_, starts_.back(), bytes_.size());
}

void PacketBlocks::stamp(std::int64_t microseconds) {
  const auto time = static_cast<std::uint64_t>(microseconds);
  for (const std::size_t start : starts_) {
    put32(bytes_.data() + start + kTimeOffset, static_cast<std::uint32_t>(time >> 32));
    put32(bytes_.data() + start + kTimeOffset + 4, static_cast<std::uint32_t>(time));
  }
}

// The comment goes in before the first block's end of options; the blocks
// after it move along.
void PacketBlocks::comment_first(const std::string& text) {
  if (starts_.empty()) return;
  const std::size_t first_end = starts_.size() > 1 ? starts_[1] : bytes_.size();
  std::vector<std::uint8_t> option;
  append_text_option(option, kComment, text);
  bytes_.insert(bytes_.begin() + static_cast<std::ptrdiff_t>(first_end - kPacketTrailerSize), option.begin(),
                option.end());
  for (std::size_t index = 1; index < starts_.size(); ++index) starts_[index] += option.size();
  set_block_length(bytes_, starts_.front(), first_end + option.size());
}

}  // namespace capture
