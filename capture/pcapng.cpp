#include "capture/pcapng.h"

#include <algorithm>
#include <cstring>
#include <utility>

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
  used_ = 0;
  starts_.clear();
}

void PacketBlocks::reserve(std::size_t bytes) {
  if (bytes <= capacity_) return;
  auto larger = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
  if (used_ > 0) std::memcpy(larger.get(), bytes_.get(), used_);
  bytes_ = std::move(larger);
  capacity_ = bytes;
}

std::uint8_t* PacketBlocks::grow(std::size_t length) {
  if (used_ + length > capacity_) reserve(std::max(used_ + length, 2 * capacity_));
  std::uint8_t* at = bytes_.get() + used_;
  used_ += length;
  return at;
}

void PacketBlocks::append_option(std::uint16_t code, const void* value, std::size_t length) {
  length = std::min(length, kOptionRoom);
  std::uint8_t* at = grow(4 + padded(length));
  put16(at, code);
  put16(at + 2, static_cast<std::uint16_t>(length));
  if (length > 0) std::memcpy(at + 4, value, length);
  std::memset(at + 4 + length, 0, padded(length) - length);
}

void PacketBlocks::set_block_length(std::size_t start, std::size_t end) {
  const auto length = static_cast<std::uint32_t>(end - start);
  put32(bytes_.get() + start + 4, length);
  put32(bytes_.get() + end - 4, length);
}

std::uint8_t* PacketBlocks::begin_packet(std::size_t length) {
  starts_.push_back(used_);
  std::uint8_t* block = grow(kPacketHeaderSize + padded(length));
  put32(block, kPacketType);
  put32(block + 8, 0);  // the one interface
  put32(block + 20, static_cast<std::uint32_t>(length));
  put32(block + 24, static_cast<std::uint32_t>(length));
  std::memset(block + kPacketHeaderSize + length, 0, padded(length) - length);
  return block + kPacketHeaderSize;
}

void PacketBlocks::end_packet(Direction direction, const std::vector<std::string>& comments) {
  std::uint8_t flags[4];
  put32(flags, static_cast<std::uint32_t>(direction));
  append_option(kPacketFlags, flags, sizeof flags);
  for (const std::string& comment : comments) append_option(kComment, comment.data(), comment.size());
  put32(grow(kPacketTrailerSize), kEndOfOptions);
  set_block_length(starts_.back(), used_);
}

void PacketBlocks::stamp(std::int64_t microseconds) {
  const auto time = static_cast<std::uint64_t>(microseconds);
  for (const std::size_t start : starts_) {
    put32(bytes_.get() + start + kTimeOffset, static_cast<std::uint32_t>(time >> 32));
    put32(bytes_.get() + start + kTimeOffset + 4, static_cast<std::uint32_t>(time));
  }
}

// The comment goes in before the first block's end of options; the blocks
// after it move along.
void PacketBlocks::comment_first(const std::string& text) {
  if (starts_.empty()) return;
  const std::size_t first_end = starts_.size() > 1 ? starts_[1] : used_;
  const std::size_t moved = used_ - (first_end - kPacketTrailerSize);
  const std::size_t option = 4 + padded(std::min(text.size(), kOptionRoom));
  grow(option);
  std::uint8_t* at = bytes_.get() + first_end - kPacketTrailerSize;
  std::memmove(at + option, at, moved);
  // Written at the end, then moved into place.
  const std::size_t end = used_;
  used_ = first_end - kPacketTrailerSize;
  append_option(kComment, text.data(), text.size());
  used_ = end;
  for (std::size_t index = 1; index < starts_.size(); ++index) starts_[index] += option;
  set_block_length(starts_.front(), first_end + option);
}

void PacketBlocks::append(const PacketBlocks& other) {
  const std::size_t offset = used_;
  if (other.used_ > 0) std::memcpy(grow(other.used_), other.bytes_.get(), other.used_);
  for (const std::size_t start : other.starts_) starts_.push_back(offset + start);
}

}  // namespace capture
