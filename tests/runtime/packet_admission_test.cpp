// Packet admission, parking and frame assembly on a real runtime whose threads are not
// started: the test plays the resolution thread with packets made by hand (no sockets are
// read), and looks at the slots, the pending-frame table and the completions admission records.

#include "runtime/packet_admission.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "network/packet_format.hpp"
#include "runtime/kernel_call.hpp"
#include "runtime/slot_lifecycle.hpp"
#include "runtime/task_execution.hpp"
#include "runtime_fixture.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

using namespace arvex::test;

constexpr std::size_t kPacketLength = 64;

// The payload of packet `index` of `frame`, as the stock extract function returns it.
CmTypes packet(std::uint64_t frame, std::uint32_t index) {
  std::vector<std::uint8_t> bytes(kPacketLength);
  fill_packet(frame, index, bytes);
  return CmTypes::make_bytes(bytes);
}

struct Options {
  std::size_t slots = 1;
  std::size_t max_frames = 20;
  std::size_t frame_packets = 3;
  bool indexed = false;
  bool slot_priority = false;
};

// One resolution thread's side of admission: its completion list, running-slot list and the
// initial tasks it was asked to dispatch.
class PacketAdmissionTest : public test_support::LogCaptureTest {
 protected:
  void build_runtime(const Options& options) {
    const std::size_t port = free_udp_ports(1);
    ASSERT_NE(port, 0U);
    ArvexRtBuilder builder = builder_for(network_graph(options.frame_packets, port, 1, options.indexed));
    builder.slots = options.slots;
    builder.max_frames = options.max_frames;
    builder.slot_priority = options.slot_priority;
    auto built = build(std::move(builder));
    ASSERT_TRUE(built.has_value()) << built.error();
    rt_ = std::make_unique<ArvexRt>(std::move(built).value());
    hooks_.dispatch = [this](std::vector<NodeInfo>& tasks) { dispatched_.insert(dispatched_.end(), tasks.begin(), tasks.end()); };
  }

  SharedData& shared() { return *rt_->shared(); }
  PacketAdmissionCtx ctx() { return PacketAdmissionCtx{0, 1, &dirty_, &completions_, &hooks_}; }

  void admit(std::size_t frame, std::uint32_t index) {
    PacketAdmissionCtx admission = ctx();
    admit_packet(shared(), frame, packet(frame, index), std::chrono::steady_clock::now(), 0, admission);
  }
  void park(std::size_t frame, std::uint32_t index) {
    park_pending_packet(shared(), frame, packet(frame, index), std::chrono::steady_clock::now(), 0);
  }
  void reinject() {
    PacketAdmissionCtx admission = ctx();
    reinject_parked_packets(shared(), admission);
  }
  void give_up_stalled() {
    PacketAdmissionCtx admission = ctx();
    give_up_stalled_frames(shared(), admission);
  }

  // The frame id of each recorded completion's payload (kNoPayload for none), and its
  // instance, in order.
  static constexpr std::uint64_t kNoPayload = ~std::uint64_t{0};
  std::vector<std::pair<std::uint64_t, std::size_t>> completed() const {
    std::vector<std::pair<std::uint64_t, std::size_t>> out;
    for (const TaskCompletion& c : completions_) {
      EXPECT_EQ(c.task.node_id, 0U);
      EXPECT_EQ(c.task.count, 1U);
      const std::uint64_t frame = c.result->is(CmTag::Bytes) ? read_packet_header(c.result->bytes())->frame : kNoPayload;
      out.emplace_back(frame, c.task.index);
    }
    return out;
  }
  std::vector<std::size_t> parked_frames() {
    std::vector<std::size_t> frames;
    const std::lock_guard lock(shared().network.pending_frames.mutex);
    for (const auto& [frame, packets] : shared().network.pending_frames.frames) frames.push_back(frame);
    return frames;
  }

  // The frame in `slot` has run all its tasks; a slot check completes it.
  void complete_slot(std::size_t slot) {
    shared().slots.pending_tasks[slot].store(0);
    shared().slots.pending_cond_tasks[slot].store(0);
    shared().slots.needs_check[slot].store(true);
    bool dirty = true;
    std::vector<std::size_t> running;
    check_slots(shared(), 0, hooks_, running, dirty);
  }

  std::unique_ptr<ArvexRt> rt_;
  SlotHooks hooks_;
  bool dirty_ = false;
  std::vector<TaskCompletion> completions_;
  std::vector<NodeInfo> dispatched_;
};

TEST_F(PacketAdmissionTest, WithoutAnIndexFunctionPacketsAreNumberedInArrivalOrder) {
  build_runtime({.frame_packets = 3});
  // Sent 2, 0, 1: the instances follow arrival, not the header.
  admit(0, 2);
  admit(0, 0);
  EXPECT_EQ(shared().network.frames_received.load(), 0U);
  admit(0, 1);
  EXPECT_EQ(completed(), (std::vector<std::pair<std::uint64_t, std::size_t>>{{0, 0}, {0, 1}, {0, 2}}));
  EXPECT_EQ(shared().slots.packet_count[0].load(), 3U);
  EXPECT_TRUE(shared().slots.packet_complete[0].load());
  EXPECT_EQ(shared().network.frames_received.load(), 1U);
  EXPECT_TRUE(dirty_) << "the frame's first packet activated its slot";

  admit(0, 0);
  EXPECT_EQ(completions_.size(), 3U) << "a full frame takes no more packets";
  EXPECT_EQ(shared().network.excess_packets.load(), 1U);
  EXPECT_TRUE(logged("excess packet discarded")) << logged();
}

TEST_F(PacketAdmissionTest, AnIndexFunctionPlacesPacketsAndRejectsWhatNamesNoFreeInstance) {
  build_runtime({.frame_packets = 3, .indexed = true});
  admit(0, 2);
  admit(0, 2);  // duplicate
  admit(0, 7);  // beyond frame_packets
  admit(0, 0);
  EXPECT_EQ(shared().network.frames_received.load(), 0U) << "a duplicate must not stand in for instance 1";
  admit(0, 1);
  EXPECT_EQ(completed(), (std::vector<std::pair<std::uint64_t, std::size_t>>{{0, 2}, {0, 0}, {0, 1}}));
  EXPECT_EQ(shared().network.excess_packets.load(), 2U);
  EXPECT_EQ(shared().network.frames_received.load(), 1U);
  EXPECT_TRUE(shared().network.receive_finished.load() == false);
}

TEST_F(PacketAdmissionTest, ReceivingTheBudgetSwitchesTheNetworkStepOff) {
  build_runtime({.slots = 2, .max_frames = 2, .frame_packets = 1});
  admit(0, 0);
  EXPECT_FALSE(shared().network.receive_finished.load());
  admit(1, 0);
  EXPECT_TRUE(shared().network.receive_finished.load());
  EXPECT_TRUE(logged("all frames received, receivers will shut down")) << logged();
}

TEST_F(PacketAdmissionTest, FramesStartInTheirSlotsAtOnceUnlessSlotPriorityHoldsThemBack) {
  for (const bool slot_priority : {false, true}) {
    SCOPED_TRACE(slot_priority);
    completions_.clear();
    build_runtime({.slots = 2, .frame_packets = 2, .slot_priority = slot_priority});
    admit(0, 0);
    admit(1, 0);
    const std::vector<SlotState> states = *shared().slots.slot_states.read();
    const std::vector<TaskCompletion> buffered = (*shared().slots.slot_buffers.read())[1];
    if (slot_priority) {
      EXPECT_EQ(states, (std::vector{SlotState::Active, SlotState::Buffering}));
      EXPECT_EQ(completions_.size(), 1U);
      ASSERT_EQ(buffered.size(), 1U) << "a Buffering slot holds its packets until it is handed the turn";
      EXPECT_EQ(buffered[0].task.slot, 1U);
    } else {
      EXPECT_EQ(states, (std::vector{SlotState::Active, SlotState::Active}));
      EXPECT_EQ(completed(), (std::vector<std::pair<std::uint64_t, std::size_t>>{{0, 0}, {1, 0}}));
      EXPECT_TRUE(buffered.empty());
    }
  }
}

TEST_F(PacketAdmissionTest, APacketOfACompletedFrameIsLateAndStartsNoFrame) {
  build_runtime({.slots = 1, .frame_packets = 1});
  admit(0, 0);
  complete_slot(0);
  ASSERT_EQ(shared().telemetry.frames_completed.load(), 1U);

  admit(0, 0);
  admit(0, 0);
  EXPECT_EQ(completions_.size(), 1U);
  EXPECT_TRUE(shared().slots.running_frames.read()->empty()) << "the late packet took a slot";
  EXPECT_EQ(shared().network.late_packets.load(), 2U);
  EXPECT_EQ(logged().find("late packet discarded"), logged().rfind("late packet discarded")) << "warned once per frame";

  admit(1, 0);
  EXPECT_EQ(completed().back(), (std::pair<std::uint64_t, std::size_t>{1, 0})) << "the next frame runs as usual";
}

TEST_F(PacketAdmissionTest, AParkedFrameIsReinjectedOnceItComesWithinReach) {
  build_runtime({.slots = 2, .frame_packets = 2});
  shared().telemetry.frames_completed.store(5);
  park(7, 0);
  park(7, 1);
  reinject();
  EXPECT_EQ(parked_frames(), (std::vector<std::size_t>{7})) << "7 is not below 5 + 2";
  EXPECT_TRUE(completions_.empty());

  shared().telemetry.frames_completed.store(6);
  reinject();
  EXPECT_TRUE(parked_frames().empty());
  EXPECT_EQ(shared().network.parked_packets.load(), 0U);
  EXPECT_EQ(completed(), (std::vector<std::pair<std::uint64_t, std::size_t>>{{7, 0}, {7, 1}}));
  EXPECT_EQ(shared().network.frames_received.load(), 1U);
}

TEST_F(PacketAdmissionTest, WithNoFreeSlotAPacketIsParked) {
  build_runtime({.slots = 1, .frame_packets = 2});
  admit(0, 0);
  admit(1, 0);  // frame 0 still holds the only slot
  EXPECT_EQ(parked_frames(), (std::vector<std::size_t>{1}));
  EXPECT_EQ(completions_.size(), 1U);
}

TEST_F(PacketAdmissionTest, AFullPendingTableDropsTheHighestFrame) {
  // Two slots of one packet: the table holds two packets.
  build_runtime({.slots = 2, .max_frames = 20, .frame_packets = 1});
  park(8, 0);
  park(9, 0);

  park(12, 0);
  EXPECT_EQ(parked_frames(), (std::vector<std::size_t>{8, 9})) << "the new frame is the highest";
  EXPECT_EQ(shared().network.dropped_frames.load(), 1U);

  park(7, 0);
  EXPECT_EQ(parked_frames(), (std::vector<std::size_t>{7, 8})) << "9 gives way to the older frame";
  EXPECT_EQ(shared().network.dropped_frames.load(), 2U);
  EXPECT_EQ(shared().network.parked_packets.load(), 2U);
  EXPECT_EQ(shared().telemetry.frames_completed.load(), 2U) << "dropped frames count toward the budget";
  EXPECT_TRUE(logged("reason=pending-frame buffer full")) << logged();

  // Later packets of a dropped frame vanish, parked or admitted, and count nothing twice.
  park(9, 0);
  admit(12, 0);
  EXPECT_EQ(parked_frames(), (std::vector<std::size_t>{7, 8}));
  EXPECT_TRUE(completions_.empty());
  mark_frame_dropped(shared(), 9, "again");
  EXPECT_EQ(shared().network.dropped_frames.load(), 2U);
  EXPECT_EQ(shared().telemetry.frames_completed.load(), 2U);
}

TEST_F(PacketAdmissionTest, FramesBeyondTheTrackableRangeAreDiscarded) {
  // Frame ids 0 .. max_frames + slots - 1 = 0 .. 5 can be tracked.
  build_runtime({.slots = 1, .max_frames = 5, .frame_packets = 1});
  park(6, 0);
  admit(6, 0);
  EXPECT_TRUE(parked_frames().empty());
  EXPECT_TRUE(completions_.empty());
  EXPECT_TRUE(shared().slots.running_frames.read()->empty());
  EXPECT_TRUE(logged("packet beyond trackable frame range, discarded")) << logged();
  park(5, 0);
  EXPECT_EQ(parked_frames(), (std::vector<std::size_t>{5}));
}

TEST_F(PacketAdmissionTest, AnOverflowGivesUpTheOldestFrameStillMissingPackets) {
  build_runtime({.slots = 1, .frame_packets = 2});
  admit(0, 0);  // its packet 1 is lost
  park(1, 0);
  park(1, 1);
  park(2, 0);  // the table holds two packets: frame 2 is dropped
  give_up_stalled();

  EXPECT_TRUE(frame_abandoned(shared(), 0));
  ASSERT_EQ(completions_.size(), 2U);
  EXPECT_EQ(completions_[1].task.index, 1U);
  EXPECT_EQ(completions_[1].result, CmTypes::none()) << "the missing instance completes with no payload";
  EXPECT_EQ(shared().network.frames_received.load(), 1U);
  EXPECT_EQ(shared().network.dropped_frames.load(), 2U);
  EXPECT_TRUE(logged("reason=incomplete while the pending-frame buffer is full")) << logged();

  admit(0, 1);  // the lost packet after all
  EXPECT_EQ(completions_.size(), 2U);

  // The frame drains and completes through its slot; the parked frame takes the slot after it.
  complete_slot(0);
  EXPECT_EQ(shared().telemetry.frames_completed.load(), 2U) << "frame 0 completed, frame 2 dropped";
  EXPECT_FALSE(frame_abandoned(shared(), 0));
  reinject();
  EXPECT_EQ(completed().back(), (std::pair<std::uint64_t, std::size_t>{1, 1}));
  EXPECT_EQ(shared().slots.frame_id[0].load(), 1);
}

TEST_F(PacketAdmissionTest, AnOverflowDropsTheFramesTheStreamSkipped) {
  // One slot of one packet: frames 0 and 1 never arrive, 2 waits, 3 overflows the table.
  build_runtime({.slots = 1, .max_frames = 20, .frame_packets = 1});
  park(2, 0);
  park(3, 0);
  give_up_stalled();
  EXPECT_EQ(shared().network.dropped_frames.load(), 3U) << "3 by the overflow, 0 and 1 as skipped";
  EXPECT_EQ(shared().telemetry.frames_completed.load(), 3U);
  EXPECT_TRUE(logged("frame dropped frame=0")) << logged();
  EXPECT_TRUE(logged("frame dropped frame=1")) << logged();
  EXPECT_EQ(parked_frames(), (std::vector<std::size_t>{2}));

  // The window has moved past the holes: the waiting frame runs.
  reinject();
  EXPECT_EQ(completed(), (std::vector<std::pair<std::uint64_t, std::size_t>>{{2, 0}}));
}

TEST_F(PacketAdmissionTest, FramesPastTheBudgetGiveUpWhatNeverArrivedOrStaysIncomplete) {
  // Frames 0 .. 5 can be tracked; 6 is past the budget of 4 frames on 2 slots.
  build_runtime({.slots = 2, .max_frames = 4, .frame_packets = 2, .indexed = true});
  admit(0, 0);
  admit(0, 1);
  admit(1, 1);  // frame 1 lost its packet 0; frames 2 and 3 never arrive
  give_up_stalled();
  EXPECT_EQ(shared().network.dropped_frames.load(), 0U) << "nothing is given up before the stream passes the budget";

  admit(6, 0);
  give_up_stalled();
  EXPECT_EQ(shared().network.dropped_frames.load(), 3U);
  EXPECT_EQ(shared().telemetry.frames_completed.load(), 2U) << "frames 2 and 3 count now, frame 1 when it drains";
  EXPECT_TRUE(logged("reason=never received")) << logged();
  EXPECT_TRUE(frame_abandoned(shared(), 1));
  EXPECT_EQ(completed().back(), (std::pair<std::uint64_t, std::size_t>{kNoPayload, 0}))
      << "frame 1's missing instance 0 completes with no payload";

  admit(7, 0);
  give_up_stalled();
  EXPECT_EQ(shared().network.dropped_frames.load(), 3U) << "nothing is given up twice";
}

TEST_F(PacketAdmissionTest, AGivenUpFrameRunsNoKernels) {
  build_runtime({.slots = 1, .frame_packets = 1});
  admit(0, 0);
  static std::atomic<int> calls{0};
  const KernelFn counting = [](const CmTypes*, std::size_t, CmTypes* result) {
    calls.fetch_add(1);
    *result = CmTypes::make_u64(1);
  };
  const std::vector<CmTypes> args;
  NodeInfo sink = task(1, 0, 0, static_cast<std::uint32_t>(shared().slots.generation[0].load()));
  execute_single_task(rt_->shared(), sink, std::span<const CmTypes>(args), counting);
  EXPECT_EQ(calls.load(), 1);

  shared().slots.abandoned[0].store(true);
  execute_single_task(rt_->shared(), sink, std::span<const CmTypes>(args), counting);
  EXPECT_EQ(calls.load(), 1);
}

TEST(PacketNumber, AcceptsNonNegativeIntegersOfEveryWidthOnly) {
  struct Case {
    const char* name;
    CmTypes value;
    std::optional<std::size_t> expected;
  };
  const Case cases[] = {
      {"I8", CmTypes::make_i8(7), 7},
      {"I16", CmTypes::make_i16(300), 300},
      {"I32", CmTypes::make_i32(70000), 70000},
      {"I64", CmTypes::make_i64(1) , 1},
      {"I64 negative", CmTypes::make_i64(-1), std::nullopt},
      {"I8 negative", CmTypes::make_i8(-3), std::nullopt},
      {"U8", CmTypes::make_u8(255), 255},
      {"U16", CmTypes::make_u16(65535), 65535},
      {"U32", CmTypes::make_u32(4000000000U), 4000000000U},
      {"U64", CmTypes::make_u64(1ULL << 40), std::size_t{1} << 40},
      {"Usize", CmTypes::make_usize(9), 9},
      {"I128 low bits", CmTypes::make_i128((Int128{1} << 64) + 5), 5},
      {"I128 negative", CmTypes::make_i128(-1), std::nullopt},
      {"U128 low bits", CmTypes::make_u128((UInt128{3} << 64) + 11), 11},
      {"Isize", CmTypes::make_isize(4), std::nullopt},
      {"Bool", CmTypes::make_bool(true), std::nullopt},
      {"F64", CmTypes::make_f64(2.0), std::nullopt},
      {"None", CmTypes::none(), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(packet_number(c.value), c.expected);
  }
}

}  // namespace
}  // namespace arvex
