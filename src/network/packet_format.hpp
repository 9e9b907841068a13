#pragma once
// The datagram layout of the UDP test traffic, shared by the sender and by whoever checks what
// arrives: a little-endian header (frame id, packet index) and a payload pattern that a
// receiver can verify from the header alone.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace arvex {

// Bytes 0..7: frame id (u64). Bytes 8..11: packet index within its frame (u32).
inline constexpr std::size_t kPacketIndexOffset = 8;
inline constexpr std::size_t kPacketHeaderBytes = 12;

struct PacketHeader {
  std::uint64_t frame = 0;
  std::uint32_t index = 0;

  friend bool operator==(const PacketHeader&, const PacketHeader&) = default;
};

// Payload byte `k`, counted from the end of the header, of packet `index` of `frame`. The
// arithmetic wraps modulo 2^64, which leaves the value modulo 256 unchanged.
constexpr std::uint8_t payload_byte(std::uint64_t frame, std::uint32_t index, std::size_t k) noexcept {
  return static_cast<std::uint8_t>(frame * 31 + std::uint64_t{index} * 7 + k);
}

// Writes the header and the payload pattern over all of `packet`. A buffer shorter than the
// header gets the header's leading bytes only.
void fill_packet(std::uint64_t frame, std::uint32_t index, std::span<std::uint8_t> packet) noexcept;

// The header of `packet`, or nothing when the packet is shorter than a header.
std::optional<PacketHeader> read_packet_header(std::span<const std::uint8_t> packet) noexcept;

}  // namespace arvex
