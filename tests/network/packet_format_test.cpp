// The datagram layout: header bytes, the payload pattern (with its wrap at 256) and the
// truncated header of datagrams shorter than a header.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/row_name.hpp"
#include "network/packet_format.hpp"

namespace arvex {
namespace {

struct FormatCase {
  const char* name;
  std::uint64_t frame;
  std::uint32_t index;
  std::vector<std::uint8_t> bytes;  // the whole packet, written out by hand
};

const FormatCase kFormats[] = {
    {"SmallIds", 1, 2, {1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 45, 46, 47, 48}},
    // Every header byte distinct, so a swapped or misplaced byte shows; 8 * 31 + 0xD0 * 7 = 1704.
    {"LittleEndian",
     0x0102030405060708,
     0xA0B0C0D0,
     {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0, 1704 % 256, 1704 % 256 + 1}},
    {"PatternWrapsAt256", 8, 1, {8, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 255, 0, 1}},
    {"HeaderOnly", 3, 4, {3, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0}},
    {"TruncatedHeader", 0x1122, 5, {0x22, 0x11, 0, 0, 0, 0, 0, 0, 5, 0, 0}},
};

class PacketFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(PacketFormat, FillsHeaderAndPattern) {
  const FormatCase& row = GetParam();
  std::vector<std::uint8_t> packet(row.bytes.size(), 0xEE);
  fill_packet(row.frame, row.index, packet);
  EXPECT_EQ(packet, row.bytes);
}

TEST_P(PacketFormat, HeaderReadsBackOnlyWhenComplete) {
  const FormatCase& row = GetParam();
  const auto header = read_packet_header(row.bytes);
  if (row.bytes.size() < kPacketHeaderBytes) {
    EXPECT_FALSE(header.has_value());
  } else {
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(*header, (PacketHeader{row.frame, row.index}));
  }
}

INSTANTIATE_TEST_SUITE_P(Packets, PacketFormat, ::testing::ValuesIn(kFormats),
                         test_support::row_name<FormatCase>);

}  // namespace
}  // namespace arvex
