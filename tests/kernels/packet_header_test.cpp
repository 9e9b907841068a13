// The stock kernels for the test packet header, called as the network step calls them.

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/builtin_kernels.hpp"
#include "network/packet_format.hpp"

namespace arvex {
namespace {

CmTypes packet_of(std::uint64_t frame, std::uint32_t index, std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  fill_packet(frame, index, bytes);
  return CmTypes::make_bytes(bytes);
}

CmTypes call(KernelFn kernel, const CmTypes& arg) {
  CmTypes result;
  kernel(&arg, 1, &result);
  return result;
}

TEST(PacketHeaderKernels, ReadTheHeaderOfAPacket) {
  struct Case {
    std::uint64_t frame;
    std::uint32_t index;
  };
  for (const Case c : {Case{0, 0}, Case{1, 7}, Case{0x0102030405060708ULL, 0xA0B0C0D0U}, Case{~0ULL, ~0U}}) {
    SCOPED_TRACE(c.frame);
    const CmTypes packet = packet_of(c.frame, c.index, 64);
    EXPECT_EQ(call(frame_id_u64le_kernel, packet), CmTypes::make_u64(c.frame));
    EXPECT_EQ(call(packet_index_u32le_kernel, packet), CmTypes::make_u64(c.index));
    EXPECT_EQ(call(packet_payload_kernel, packet), packet) << "the payload is the whole packet";
  }
  // Exactly as long as each kernel needs.
  EXPECT_EQ(call(frame_id_u64le_kernel, packet_of(9, 1, 8)), CmTypes::make_u64(9));
  EXPECT_EQ(call(packet_index_u32le_kernel, packet_of(9, 1, 12)), CmTypes::make_u64(1));
}

TEST(PacketHeaderKernels, FailWithAClearMessageOnWhatTheyCannotRead) {
  struct Case {
    const char* name;
    KernelFn kernel;
    CmTypes arg;
    std::string message;
  };
  const Case cases[] = {
      {"short for a frame id", frame_id_u64le_kernel, packet_of(1, 1, 7),
       "frame_id_u64le: packet of 7 bytes is shorter than the 8 bytes it needs"},
      {"short for an index", packet_index_u32le_kernel, packet_of(1, 1, 10),
       "packet_index_u32le: packet of 10 bytes is shorter than the 12 bytes it needs"},
      {"not bytes", frame_id_u64le_kernel, CmTypes::make_u64(3), "frame_id_u64le: expected a Bytes argument, got U64"},
      {"payload of a string", packet_payload_kernel, CmTypes::make_string("x"),
       "packet_payload: expected a Bytes argument, got String"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      call(c.kernel, c.arg);
      ADD_FAILURE() << "no failure";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  CmTypes result;
  EXPECT_THROW(frame_id_u64le_kernel(nullptr, 0, &result), std::invalid_argument);
}

}  // namespace
}  // namespace arvex
