#include "network/packet_format.hpp"

#include <algorithm>
#include <array>

namespace arvex {

namespace {

// Byte by byte, so that the layout does not depend on the host's byte order.
template <class Int>
void put_le(std::uint8_t* out, Int value) noexcept {
  for (std::size_t i = 0; i < sizeof(Int); ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

template <class Int>
Int get_le(const std::uint8_t* in) noexcept {
  Int value = 0;
  for (std::size_t i = 0; i < sizeof(Int); ++i) {
    value = static_cast<Int>(value | static_cast<Int>(Int{in[i]} << (8 * i)));
  }
  return value;
}

}  // namespace

void fill_packet(std::uint64_t frame, std::uint32_t index, std::span<std::uint8_t> packet) noexcept {
  std::array<std::uint8_t, kPacketHeaderBytes> header{};
  put_le(header.data(), frame);
  put_le(header.data() + 8, index);
  const std::size_t header_bytes = std::min(packet.size(), kPacketHeaderBytes);
  std::copy_n(header.begin(), header_bytes, packet.begin());

  std::uint8_t value = payload_byte(frame, index, 0);
  for (std::size_t i = header_bytes; i < packet.size(); ++i) packet[i] = value++;
}

std::optional<PacketHeader> read_packet_header(std::span<const std::uint8_t> packet) noexcept {
  if (packet.size() < kPacketHeaderBytes) return std::nullopt;
  return PacketHeader{get_le<std::uint64_t>(packet.data()), get_le<std::uint32_t>(packet.data() + 8)};
}

}  // namespace arvex
