// Plan checks: every rejected plan names the offending values; plans at the edges pass.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "support/row_name.hpp"
#include "udp_sender/send_plan.hpp"

namespace arvex {
namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// 10 frames of 4 packets of 32 bytes to port 9000.
SendPlan valid_plan() {
  SendPlan plan;
  plan.start_port = 9000;
  plan.frames = 10;
  plan.packets_per_frame = 4;
  plan.packet_length = 32;
  return plan;
}

struct PlanCase {
  const char* name;
  std::function<void(SendPlan&)> change;
  std::string message;  // empty: the plan is valid
};

void PrintTo(const PlanCase& row, std::ostream* out) { *out << row.name; }

const PlanCase kPlans[] = {
    {"Defaults", [](SendPlan&) {}, ""},
    {"EmptyHost", [](SendPlan& p) { p.host = ""; }, "the host is empty"},
    {"PortZero", [](SendPlan& p) { p.start_port = 0; }, "port 0 is not in 1..65535"},
    {"PortTooLarge", [](SendPlan& p) { p.start_port = 65536; }, "port 65536 is not in 1..65535"},
    {"LastPort", [](SendPlan& p) { p.start_port = 65535; }, ""},
    {"SocketsZero", [](SendPlan& p) { p.sockets = 0; }, "the number of sockets must be at least 1"},
    {"SocketsUpToLastPort", [](SendPlan& p) { p.start_port = 65533, p.sockets = 3; }, ""},
    {"SocketsBeyondLastPort", [](SendPlan& p) { p.start_port = 65534, p.sockets = 3; },
     "3 sockets from port 65534 go beyond port 65535"},
    {"HugeSocketCount", [](SendPlan& p) { p.sockets = kMaxU64; },
     "18446744073709551615 sockets from port 9000 go beyond port 65535"},
    {"HeaderOnlyLength", [](SendPlan& p) { p.packet_length = 12; }, ""},
    {"LengthBelowHeader", [](SendPlan& p) { p.packet_length = 11; },
     "packet length 11 is shorter than the 12-byte header"},
    {"LargestUdpPayload", [](SendPlan& p) { p.packet_length = 65507; }, ""},
    {"LengthBeyondUdp", [](SendPlan& p) { p.packet_length = 65508; },
     "packet length 65508 exceeds the largest UDP payload (65507 bytes)"},
    {"PacketsZero", [](SendPlan& p) { p.packets_per_frame = 0; },
     "the number of packets per frame must be at least 1"},
    {"PacketsBeyondIndex", [](SendPlan& p) { p.packets_per_frame = (std::uint64_t{1} << 32) + 1; },
     "4294967297 packets per frame do not fit the 32-bit packet index"},
    {"FramesZero", [](SendPlan& p) { p.frames = 0; }, "the number of frames must be at least 1"},
    {"LastFrameId", [](SendPlan& p) { p.first_frame = kMaxU64 - 9; }, ""},
    {"FrameIdOverflow", [](SendPlan& p) { p.first_frame = kMaxU64 - 8; },
     "10 frames from frame 18446744073709551607 go beyond the 64-bit frame id"},
    {"PacketCountOverflow", [](SendPlan& p) { p.frames = std::uint64_t{1} << 63; },
     "9223372036854775808 frames of 4 packets are too many packets to count"},
    {"NegativeRate", [](SendPlan& p) { p.rate = -1; }, "rate -1 is not a number of packets per second >= 0"},
    {"NanRate", [](SendPlan& p) { p.rate = std::nan(""); }, "rate nan is not a number of packets per second >= 0"},
    {"InfiniteRate", [](SendPlan& p) { p.rate = INFINITY; }, "rate inf is not a number of packets per second >= 0"},
    {"SendFirstLastFrame", [](SendPlan& p) { p.first_frame = 5, p.send_first = 14; }, ""},
    {"SendFirstBeforeRange", [](SendPlan& p) { p.first_frame = 5, p.send_first = 4; },
     "frame 4 to send first is not among the frames sent (5..14)"},
    {"SendFirstAfterRange", [](SendPlan& p) { p.first_frame = 5, p.send_first = 15; },
     "frame 15 to send first is not among the frames sent (5..14)"},
    {"DuplicateEveryPacket", [](SendPlan& p) { p.duplicates = 40; }, ""},
    {"TooManyDuplicates", [](SendPlan& p) { p.duplicates = 41; },
     "41 duplicates exceed the 40 frame packets of the run"},
    {"LateFitsExactly", [](SendPlan& p) { p.late = 2, p.late_lag = 8; }, ""},
    {"LateNeedsMoreFrames", [](SendPlan& p) { p.late = 3, p.late_lag = 8; },
     "3 late packets with a lag of 8 frames need 8 + 3 frames, the run has 10"},
    {"HugeLateLag", [](SendPlan& p) { p.late = 1, p.late_lag = kMaxU64; },
     "1 late packets with a lag of 18446744073709551615 frames need 18446744073709551615 + 1 frames, the run has 10"},
    {"LateLagZero", [](SendPlan& p) { p.late = 1, p.late_lag = 0; }, "the late lag must be at least 1 frame"},
    {"LagIgnoredWithoutLate", [](SendPlan& p) { p.late_lag = 0; }, ""},
};

class PlanCheck : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanCheck, AcceptsOrNamesTheProblem) {
  const PlanCase& row = GetParam();
  SendPlan plan = valid_plan();
  row.change(plan);
  EXPECT_EQ(check_plan(plan).value_or(""), row.message);
}

INSTANTIATE_TEST_SUITE_P(Plans, PlanCheck, ::testing::ValuesIn(kPlans),
                         test_support::row_name<PlanCase>);

}  // namespace
}  // namespace arvex
