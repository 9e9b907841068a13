// Real datagrams on loopback: what arrives on which port, in which order and with which bytes;
// the report; refusals counted rather than fatal; pacing.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "loopback_receiver.hpp"
#include "support/row_name.hpp"
#include "network/packet_format.hpp"
#include "udp_sender/packet_schedule.hpp"
#include "udp_sender/send_frames.hpp"

namespace arvex {
namespace {

using test_support::LoopbackReceiver;

// 3 frames of 4 packets of 32 bytes.
SendPlan small_plan(const std::string& host, std::uint64_t start_port, std::uint64_t sockets) {
  SendPlan plan;
  plan.host = host;
  plan.start_port = start_port;
  plan.sockets = sockets;
  plan.frames = 3;
  plan.packets_per_frame = 4;
  plan.packet_length = 32;
  return plan;
}

struct LoopbackCase {
  const char* name;
  const char* host;          // as the sender is given it
  const char* bind_address;  // where the receiver listens
  std::uint64_t sockets;
  std::function<void(SendPlan&)> change = [](SendPlan&) {};
};

void PrintTo(const LoopbackCase& row, std::ostream* out) { *out << row.name; }

const LoopbackCase kLoopbackRuns[] = {
    {"OneSocket", "127.0.0.1", "127.0.0.1", 1},
    {"ThreeSockets", "127.0.0.1", "127.0.0.1", 3},
    {"FaultPackets", "127.0.0.1", "127.0.0.1", 2,
     [](SendPlan& p) {
       p.shuffle = true;
       p.send_first = 1;
       p.short_packets = 2;
       p.duplicates = 3;
       p.late = 1;
       p.late_lag = 1;
     }},
    {"Ipv6Bracketed", "[::1]", "::1", 2},
};

class LoopbackSend : public ::testing::TestWithParam<LoopbackCase> {};

TEST_P(LoopbackSend, EachPortReceivesItsDatagramsInScheduleOrder) {
  const LoopbackCase& row = GetParam();
  const LoopbackReceiver receiver(row.bind_address, row.sockets);
  if (!receiver.valid()) GTEST_SKIP() << "cannot bind " << row.sockets << " ports on " << row.bind_address;
  SendPlan plan = small_plan(row.host, receiver.start_port(), row.sockets);
  row.change(plan);
  const std::vector<ScheduledPacket> schedule = packet_schedule(plan);

  const auto report = send_frames(plan);
  ASSERT_TRUE(report.has_value()) << report.error();
  std::uint64_t bytes = 0;
  for (const ScheduledPacket& packet : schedule) bytes += packet.length;
  EXPECT_EQ(report->packets_sent, schedule.size());
  EXPECT_EQ(report->bytes_sent, bytes);
  EXPECT_EQ(report->send_errors, 0u) << report->first_send_error;

  for (std::uint32_t offset = 0; offset < row.sockets; ++offset) {
    for (const ScheduledPacket& packet : schedule) {
      if (packet.port_offset != offset) continue;
      const auto datagram = receiver.receive(offset);
      ASSERT_TRUE(datagram.has_value()) << "port +" << offset << " is missing " << debug_name(packet.kind)
                                        << " packet " << packet.index << " of frame " << packet.frame;
      ASSERT_EQ(datagram->size(), packet.length);
      if (packet.length >= kPacketHeaderBytes) {
        EXPECT_EQ(read_packet_header(*datagram), (PacketHeader{packet.frame, packet.index}));
      }
      std::vector<std::uint8_t> expected(packet.length);
      fill_packet(packet.frame, packet.index, expected);
      EXPECT_EQ(*datagram, expected);
    }
    EXPECT_FALSE(receiver.receive(offset, false).has_value()) << "an extra datagram on port +" << offset;
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, LoopbackSend, ::testing::ValuesIn(kLoopbackRuns),
                         test_support::row_name<LoopbackCase>);

TEST(SendFrames, CountsRefusalsAndKeepsSending) {
  // One port: the socket is connected, so the ICMP port unreachable comes back as refusals.
  SendPlan plan = small_plan("127.0.0.1", test_support::closed_loopback_port(), 1);
  plan.frames = 10;
  const auto report = send_frames(plan);
  ASSERT_TRUE(report.has_value()) << report.error();
  EXPECT_GT(report->send_errors, 0u);
  EXPECT_GT(report->packets_sent, 0u) << "refusals must not end the run";
  EXPECT_EQ(report->packets_sent + report->send_errors, 40u);
  EXPECT_EQ(report->bytes_sent, report->packets_sent * 32);
  EXPECT_FALSE(report->first_send_error.empty());
}

TEST(SendFrames, PacesDatagramsFromTheFirst) {
  const LoopbackReceiver receiver("127.0.0.1", 1);
  ASSERT_TRUE(receiver.valid());
  SendPlan plan = small_plan("127.0.0.1", receiver.start_port(), 1);
  plan.frames = 10;
  plan.short_packets = 1;  // 41 datagrams: the last is due 40 / 2000 s after the first
  plan.rate = 2000;
  const auto report = send_frames(plan);
  ASSERT_TRUE(report.has_value()) << report.error();
  EXPECT_EQ(report->packets_sent, 41u);
  EXPECT_GE(report->elapsed_seconds, 0.020);
  EXPECT_LT(report->elapsed_seconds, 1.0);
}

TEST(SendFrames, RefusesABadPlanBeforeSending) {
  SendPlan plan = small_plan("127.0.0.1", 9000, 1);
  plan.packet_length = 4;
  const auto report = send_frames(plan);
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error(), check_plan(plan));
}

}  // namespace
}  // namespace arvex
