// Kernels for the documented test packet (network/packet_format.hpp): little-endian, frame id
// as u64 at byte 0, packet index within the frame as u32 at byte 8, payload after. Enough to
// run a network graph with the stock program and the arvex-udp-send sender.

#include <fmt/format.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>

#include "arvex/register_kernel.hpp"
#include "kernels/builtin_kernels.hpp"
#include "network/packet_format.hpp"

namespace arvex {

namespace {

// The packet bytes of a kernel's first argument, at least `needed` long.
std::span<const std::uint8_t> packet_bytes(std::string_view kernel, const CmTypes* args, std::size_t count,
                                           std::size_t needed) {
  if (count == 0) throw std::invalid_argument(fmt::format("{}: expected a Bytes argument, got none", kernel));
  if (!args[0].is(CmTag::Bytes)) {
    throw std::invalid_argument(fmt::format("{}: expected a Bytes argument, got {}", kernel, tag_name(args[0].tag())));
  }
  const std::span<const std::uint8_t> bytes = args[0].bytes();
  if (bytes.size() < needed) {
    throw std::invalid_argument(
        fmt::format("{}: packet of {} bytes is shorter than the {} bytes it needs", kernel, bytes.size(), needed));
  }
  return bytes;
}

// Little-endian on every host, byte by byte.
template <class T>
T read_le(std::span<const std::uint8_t> bytes, std::size_t offset) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(bytes[offset + i]) << (8 * i));
  return value;
}

}  // namespace

void packet_payload_kernel(const CmTypes* args, std::size_t count, CmTypes* result) {
  packet_bytes("packet_payload", args, count, 0);
  *result = args[0];
}

void frame_id_u64le_kernel(const CmTypes* args, std::size_t count, CmTypes* result) {
  const auto bytes = packet_bytes("frame_id_u64le", args, count, kPacketIndexOffset);
  *result = CmTypes::make_u64(read_le<std::uint64_t>(bytes, 0));
}

void packet_index_u32le_kernel(const CmTypes* args, std::size_t count, CmTypes* result) {
  const auto bytes = packet_bytes("packet_index_u32le", args, count, kPacketHeaderBytes);
  *result = CmTypes::make_u64(read_le<std::uint32_t>(bytes, kPacketIndexOffset));
}

ARVEX_REGISTER_KERNEL("packet_payload", packet_payload_kernel);
ARVEX_REGISTER_KERNEL("frame_id_u64le", frame_id_u64le_kernel);
ARVEX_REGISTER_KERNEL("packet_index_u32le", packet_index_u32le_kernel);

}  // namespace arvex
