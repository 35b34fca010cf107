// The pcapng blocks a capture file is made of: a section header naming the
// program, one interface of raw IP packets with times in microseconds, and
// an enhanced packet block per packet, with its direction and comments.
// Everything is written little-endian, as the section header's byte-order
// magic declares, whatever the machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace capture {

// Which way a packet went, as the packet block's flags tell it: from the
// client towards the server is inbound, the answers outbound.
enum class Direction : std::uint32_t { kInbound = 1, kOutbound = 2 };

// The section header and the interface description that start every capture
// file; application names the writer ("qorvand 1.0.0").
std::string file_header(const char* application);

// The packet blocks of one moment, gathered for one write: a read's
// segments and their acknowledgement, or a close. Their time is set when
// they are written. The buffer is kept from one moment to the next.
class PacketBlocks {
 public:
  void clear();
  // Room for this many bytes of blocks in all, taken at once.
  void reserve(std::size_t bytes);
  // Starts a block for a packet of length bytes; returns where its bytes go,
  // valid until end_packet.
  std::uint8_t* begin_packet(std::size_t length);
  // Ends the block begun last, with its direction and comments.
  void end_packet(Direction direction, const std::vector<std::string>& comments);
  // The time of every packet, in microseconds since 1970.
  void stamp(std::int64_t microseconds);
  // One more comment on the first packet.
  void comment_first(const std::string& text);
  // The blocks of other after these.
  void append(const PacketBlocks& other);

  const char* data() const { return reinterpret_cast<const char*>(bytes_.get()); }
  std::size_t size() const { return used_; }
  std::size_t count() const { return starts_.size(); }

 private:
  // Room for length more bytes at the end; returns where they go.
  std::uint8_t* grow(std::size_t length);
  void append_option(std::uint16_t code, const void* value, std::size_t length);
  void set_block_length(std::size_t start, std::size_t end);

  // Only ever grows, and is never cleared nor zeroed: every byte of a block
  // is written when the block is. The blocks are its first used_ bytes.
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::vector<std::size_t> starts_;  // where each block starts
};

}  // namespace capture
