// The send order without sockets: frame and index order, ports, and where the duplicate, late
// and short datagrams go; then the shuffle's guarantees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

#include "support/row_name.hpp"
#include "udp_sender/packet_schedule.hpp"

namespace arvex {

void PrintTo(const ScheduledPacket& p, std::ostream* out) {
  *out << debug_name(p.kind) << "(frame " << p.frame << ", index " << p.index << ", port +" << p.port_offset
       << ", " << p.length << " bytes)";
}

namespace {

constexpr std::size_t kLength = 20;

SendPlan plan_of(std::uint64_t frames, std::uint64_t packets) {
  SendPlan plan;
  plan.start_port = 9000;
  plan.frames = frames;
  plan.packets_per_frame = packets;
  plan.packet_length = kLength;
  return plan;
}

// A datagram as a row writes it: which packet and of what kind.
struct Sent {
  std::uint64_t frame;
  std::uint32_t index;
  PacketKind kind = PacketKind::Normal;
};

constexpr PacketKind D = PacketKind::Duplicate;
constexpr PacketKind L = PacketKind::Late;
constexpr PacketKind S = PacketKind::Short;

struct ScheduleCase {
  const char* name;
  std::function<SendPlan()> plan;
  std::vector<Sent> expected;
};

void PrintTo(const ScheduleCase& row, std::ostream* out) { *out << row.name; }

const ScheduleCase kSchedules[] = {
    {"FramesThenIndexes", [] { return plan_of(2, 3); }, {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}}},
    {"FromFirstFrameOverSockets",
     [] {
       SendPlan p = plan_of(2, 3);
       p.first_frame = 10;
       p.sockets = 2;
       return p;
     },
     {{10, 0}, {10, 1}, {10, 2}, {11, 0}, {11, 1}, {11, 2}}},
    {"SendFirstMiddle",
     [] {
       SendPlan p = plan_of(4, 1);
       p.send_first = 2;
       return p;
     },
     {{2, 0}, {0, 0}, {1, 0}, {3, 0}}},
    {"SendFirstLast",
     [] {
       SendPlan p = plan_of(4, 1);
       p.first_frame = 5;
       p.send_first = 8;
       return p;
     },
     {{8, 0}, {5, 0}, {6, 0}, {7, 0}}},
    // T = 6 frame packets, D = 2: positions 0 and 3.
    {"DuplicatesEvenlySpaced",
     [] {
       SendPlan p = plan_of(2, 3);
       p.duplicates = 2;
       return p;
     },
     {{0, 0}, {0, 0, D}, {0, 1}, {0, 2}, {1, 0}, {1, 0, D}, {1, 1}, {1, 2}}},
    // T = 7, D = 3: positions 0, floor(7/3) = 2, floor(14/3) = 4.
    {"DuplicatesUnevenTotal",
     [] {
       SendPlan p = plan_of(1, 7);
       p.duplicates = 3;
       return p;
     },
     {{0, 0}, {0, 0, D}, {0, 1}, {0, 2}, {0, 2, D}, {0, 3}, {0, 4}, {0, 4, D}, {0, 5}, {0, 6}}},
    {"DuplicateEveryPacket",
     [] {
       SendPlan p = plan_of(1, 2);
       p.duplicates = 2;
       return p;
     },
     {{0, 0}, {0, 0, D}, {0, 1}, {0, 1, D}}},
    {"LateAfterLagFrames",
     [] {
       SendPlan p = plan_of(5, 2);
       p.sockets = 2;
       p.late = 2;
       p.late_lag = 2;
       return p;
     },
     {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {0, 0, L}, {3, 0}, {3, 1}, {1, 0, L}, {4, 0}, {4, 1}}},
    // The lag counts frames in send order: the late packet follows frames sent after it.
    {"LateFollowsSendOrder",
     [] {
       SendPlan p = plan_of(3, 1);
       p.send_first = 2;
       p.late = 2;
       p.late_lag = 1;
       return p;
     },
     {{2, 0}, {0, 0}, {2, 0, L}, {1, 0}, {0, 0, L}}},
    {"ShortPacketsBeforeFirstFrame",
     [] {
       SendPlan p = plan_of(2, 2);
       p.first_frame = 7;
       p.short_packets = 3;
       p.send_first = 8;
       return p;
     },
     {{7, 0, S}, {7, 1, S}, {7, 0, S}, {8, 0}, {8, 1}, {7, 0}, {7, 1}}},
};

class Schedule : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(Schedule, SendsInTheDocumentedOrder) {
  const ScheduleCase& row = GetParam();
  const SendPlan plan = row.plan();
  ASSERT_EQ(check_plan(plan), std::nullopt);
  std::vector<ScheduledPacket> expected;
  for (const Sent& sent : row.expected) {
    const std::size_t length = sent.kind == PacketKind::Short ? kLength - 1 : kLength;
    const auto port = static_cast<std::uint32_t>(sent.index % plan.sockets);
    expected.push_back({sent.frame, sent.index, port, length, sent.kind});
  }
  EXPECT_EQ(packet_schedule(plan), expected);
}

INSTANTIATE_TEST_SUITE_P(Plans, Schedule, ::testing::ValuesIn(kSchedules),
                         test_support::row_name<ScheduleCase>);

// ---- shuffle ----

constexpr std::uint64_t kFrames = 6;
constexpr std::uint32_t kPackets = 16;

SendPlan shuffled_plan(std::uint64_t seed) {
  SendPlan plan = plan_of(kFrames, kPackets);
  plan.shuffle = true;
  plan.seed = seed;
  return plan;
}

// The packet indexes of each frame, in send order, checking that frames stay contiguous.
std::vector<std::vector<std::uint32_t>> frame_orders(const std::vector<ScheduledPacket>& schedule) {
  std::vector<std::vector<std::uint32_t>> orders;
  for (const ScheduledPacket& packet : schedule) {
    if (packet.kind != PacketKind::Normal) continue;
    if (orders.empty() || orders.back().size() == kPackets) orders.emplace_back();
    EXPECT_EQ(packet.frame, orders.size() - 1) << "frames interleave";
    orders.back().push_back(packet.index);
  }
  return orders;
}

TEST(ShuffledSchedule, PermutesEachFrameWithoutMixingFrames) {
  std::vector<std::uint32_t> identity(kPackets);
  std::iota(identity.begin(), identity.end(), 0u);
  for (const std::uint64_t seed : {kDefaultSendSeed, std::uint64_t{0}, std::uint64_t{42}}) {
    const auto orders = frame_orders(packet_schedule(shuffled_plan(seed)));
    ASSERT_EQ(orders.size(), kFrames);
    bool reordered = false;
    for (std::vector<std::uint32_t> order : orders) {
      reordered = reordered || order != identity;
      std::sort(order.begin(), order.end());
      EXPECT_EQ(order, identity) << "seed " << seed;
    }
    EXPECT_TRUE(reordered) << "seed " << seed;
  }
}

TEST(ShuffledSchedule, RepeatsForASeedAndDiffersAcrossSeeds) {
  EXPECT_EQ(packet_schedule(shuffled_plan(1)), packet_schedule(shuffled_plan(1)));
  EXPECT_NE(packet_schedule(shuffled_plan(1)), packet_schedule(shuffled_plan(2)));
  // Frames are shuffled differently from each other, not all alike.
  const auto orders = frame_orders(packet_schedule(shuffled_plan(1)));
  EXPECT_NE(orders[0], orders[1]);
}

TEST(ShuffledSchedule, FrameOrderDependsOnlyOnSeedAndFrame) {
  SendPlan moved = shuffled_plan(3);
  moved.send_first = 4;
  moved.short_packets = 2;
  const auto plain = frame_orders(packet_schedule(shuffled_plan(3)));
  std::vector<ScheduledPacket> frame4;
  for (const ScheduledPacket& packet : packet_schedule(moved)) {
    if (packet.kind == PacketKind::Normal && packet.frame == 4) frame4.push_back(packet);
  }
  ASSERT_EQ(frame4.size(), kPackets);
  for (std::size_t i = 0; i < kPackets; ++i) EXPECT_EQ(frame4[i].index, plain[4][i]);
}

TEST(ShuffledSchedule, DuplicatesRepeatThePacketJustSent) {
  SendPlan plan = shuffled_plan(5);
  plan.sockets = 3;
  plan.duplicates = 7;
  const auto schedule = packet_schedule(plan);
  std::size_t duplicates = 0;
  for (std::size_t i = 0; i < schedule.size(); ++i) {
    if (schedule[i].kind != PacketKind::Duplicate) continue;
    ++duplicates;
    ASSERT_GT(i, 0u);
    ScheduledPacket original = schedule[i];
    original.kind = PacketKind::Normal;
    EXPECT_EQ(schedule[i - 1], original);
  }
  EXPECT_EQ(duplicates, 7u);
}

}  // namespace
}  // namespace arvex
