// Slot assignment, completion claims, reset, release, restart and hand-over, on a real runtime
// whose engine threads are not started: the test plays the resolution thread and observes
// dispatches through the slot hooks.

#include "runtime/slot_lifecycle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/slot_management.hpp"
#include "runtime_fixture.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

using namespace arvex::test;

// "a" (2 instances, initial) feeds "b" (3): five counted tasks per frame.
GraphCompiled chain_graph() {
  return compile_graph({node(0, "a", 2), node(1, "b", 3, {res(0)})});
}

struct Options {
  std::size_t slots = 1;
  std::size_t max_frames = 1;
  bool slot_priority = false;
};

ArvexRt build_runtime(const Options& options, GraphCompiled compiled = chain_graph()) {
  ArvexRtBuilder builder = builder_for(std::move(compiled));
  builder.slots = options.slots;
  builder.max_frames = options.max_frames;
  builder.slot_priority = options.slot_priority;
  auto built = build(std::move(builder));
  EXPECT_TRUE(built.has_value());
  return std::move(built).value();
}

// What the hooks saw, in call order.
struct Recorder {
  std::mutex mutex;
  std::vector<std::vector<NodeInfo>> dispatched;
  std::vector<std::size_t> buffered_counts;
  std::vector<std::size_t> timing_started;
  std::vector<std::size_t> timing_finished;
  std::optional<std::string> finish_error;

  SlotHooks hooks() {
    SlotHooks h;
    h.dispatch = [this](std::vector<NodeInfo>& tasks) {
      const std::lock_guard lock(mutex);
      dispatched.push_back(tasks);
    };
    h.drive_buffered = [this](std::vector<TaskCompletion>& completions, std::uint64_t) {
      const std::lock_guard lock(mutex);
      buffered_counts.push_back(completions.size());
    };
    h.start_slot_timing = [this](std::size_t slot) {
      const std::lock_guard lock(mutex);
      timing_started.push_back(slot);
    };
    h.finish_slot_timing = [this](std::size_t slot) {
      const std::lock_guard lock(mutex);
      timing_finished.push_back(slot);
      return finish_error;
    };
    return h;
  }
};

std::vector<SlotState> states_of(const SharedData& shared) {
  return *shared.slots.slot_states.read();
}
std::vector<RunningFrame> frames_of(const SharedData& shared) {
  return *shared.slots.running_frames.read();
}

// What every slot must agree on between operations: an Inactive slot has no frame, exactly
// the Active slots have their bitmap bit, and running_frames lists the occupied slots.
void expect_consistent(const SharedData& shared) {
  const std::vector<SlotState> states = states_of(shared);
  const std::vector<RunningFrame> frames = frames_of(shared);
  for (std::size_t s = 0; s < states.size(); ++s) {
    SCOPED_TRACE(s);
    const bool inactive = states[s] == SlotState::Inactive;
    EXPECT_EQ(shared.slots.frame_id[s].load() == -1, inactive);
    EXPECT_EQ((shared.slots.active_bitmap.load() >> s & 1U) == 1U, states[s] == SlotState::Active);
    const auto listed = std::count_if(frames.begin(), frames.end(),
                                      [&](const RunningFrame& f) { return f.slot == s; });
    EXPECT_EQ(listed, inactive ? 0 : 1);
  }
}

// The frame in `slot` has run all its tasks; the next check may complete it.
void finish_frame(SharedData& shared, std::size_t slot) {
  shared.slots.pending_tasks[slot].store(0);
  shared.slots.pending_cond_tasks[slot].store(0);
  shared.slots.needs_check[slot].store(true);
}

// One resolution thread's slot-check state.
struct Checker {
  std::vector<std::size_t> running_slots;
  bool dirty = false;
  void run(SharedData& shared, const SlotHooks& hooks, std::size_t thread_id = 0) {
    check_slots(shared, thread_id, hooks, running_slots, dirty);
  }
};

NodeInfo result_key(std::size_t slot) {
  NodeInfo key;
  key.slot = slot;
  key.node_id = 1;
  return key;
}

class SlotLifecycleTest : public test_support::LogCaptureTest {};

TEST_F(SlotLifecycleTest, AssignsLastAssignedFirstThenBuffersRoundRobin) {
  struct Step {
    std::size_t frame;
    SlotAssignResult expected;
    std::size_t last_assigned;
  };
  const Step steps[] = {
      {0, {0, SlotAssignment::Activated}, 0},
      {1, {1, SlotAssignment::Existing}, 1},
      {2, {2, SlotAssignment::Existing}, 2},
      {3, {2, SlotAssignment::NoSlot}, 2},    // all slots taken
      {1, {1, SlotAssignment::Existing}, 2},  // already placed: its slot again, nothing changes
  };
  const ArvexRt rt = build_runtime({.slots = 3, .max_frames = 10});
  SharedData& shared = *rt.shared();
  Recorder recorder;
  const SlotHooks hooks = recorder.hooks();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.frame);
    EXPECT_EQ(assign_frame_to_available_slot(shared, step.frame, hooks), step.expected);
    EXPECT_EQ(shared.slots.last_assigned.load(), step.last_assigned);
    expect_consistent(shared);
  }
  EXPECT_EQ(states_of(shared),
            (std::vector{SlotState::Active, SlotState::Buffering, SlotState::Buffering}));
  EXPECT_EQ(frames_of(shared), (std::vector<RunningFrame>{{0, 0}, {1, 1}, {2, 2}}));
  // Only the Active slot gets a bitmap bit, a check request and a new generation.
  EXPECT_EQ(shared.slots.active_bitmap.load(), 1U);
  const std::uint64_t generations[] = {1, 0, 0};
  const bool checks[] = {true, false, false};
  for (std::size_t s = 0; s < 3; ++s) {
    EXPECT_EQ(shared.slots.generation[s].load(), generations[s]) << s;
    EXPECT_EQ(shared.slots.needs_check[s].load(), checks[s]) << s;
    EXPECT_EQ(shared.slots.frame_id[s].load(), static_cast<std::int64_t>(s)) << s;
  }
  EXPECT_EQ(recorder.timing_started, (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_TRUE(recorder.dispatched.empty()) << "assignment leaves the initial nodes to its caller";
  EXPECT_TRUE(logged("Assigned frame 0 to slot 0 (Inactive) -> Active (last assigned)"))
      << logged();
  EXPECT_TRUE(logged("Assigned frame 2 to slot 2 (Inactive) -> Buffering")) << logged();
}

TEST_F(SlotLifecycleTest, InitialNodesListEveryInstanceOfEveryInitialNodePerSlot) {
  const GraphCompiled compiled =
      compile_graph({node(0, "a", 2), node(1, "b", 1), node(2, "c", 1, {res(0), res(1)})});
  const std::size_t slots[] = {3, 1};
  std::vector<std::pair<std::size_t, std::uint16_t>> seen;  // (slot, node) per task
  std::vector<std::size_t> indexes;
  for (const NodeInfo& task : initial_nodes(compiled.graph, slots)) {
    EXPECT_EQ(task.count, 1U);
    EXPECT_EQ(task.trigger_index, 0U);
    EXPECT_EQ(task.generation, 0U);
    EXPECT_FALSE(task.is_post);
    seen.emplace_back(task.slot, task.node_id);
    indexes.push_back(task.index);
  }
  const std::vector<std::pair<std::size_t, std::uint16_t>> expected = {{3, 0}, {3, 0}, {3, 1},
                                                                       {1, 0}, {1, 0}, {1, 1}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(indexes, (std::vector<std::size_t>{0, 1, 0, 0, 1, 0}));
  EXPECT_TRUE(initial_nodes(compiled.graph, {}).empty());
}

TEST_F(SlotLifecycleTest, OneSlotRunsEveryFrameInSlotZeroWithOneGenerationPerFrame) {
  constexpr std::size_t kFrames = 4;
  const ArvexRt rt = build_runtime({.slots = 1, .max_frames = kFrames});
  SharedData& shared = *rt.shared();
  Recorder recorder;
  const SlotHooks hooks = recorder.hooks();
  ASSERT_EQ(assign_frame_to_available_slot(shared, 0, hooks),
            (SlotAssignResult{0, SlotAssignment::Activated}));
  Checker checker;
  for (std::size_t frame = 0; frame < kFrames; ++frame) {
    SCOPED_TRACE(frame);
    EXPECT_EQ(shared.slots.frame_id[0].load(), static_cast<std::int64_t>(frame));
    EXPECT_EQ(shared.slots.generation[0].load(), frame + 1);
    shared.exec.result_map->set(result_key(0), CmTypes::make_i32(7));
    finish_frame(shared, 0);
    checker.run(shared, hooks);
    expect_consistent(shared);
    EXPECT_EQ(shared.telemetry.frames_completed.load(), frame + 1);
    EXPECT_EQ(shared.slots.pending_tasks[0].load(), 5U) << "reset to the per-frame total";
    const bool last = frame + 1 == kFrames;
    // The last frame's results stay: nothing else will use the slot.
    EXPECT_EQ(shared.exec.result_map->get(result_key(0)).has_value(), last);
  }
  EXPECT_EQ(recorder.dispatched.size(), kFrames - 1) << "one restart per frame after the first";
  for (const std::vector<NodeInfo>& tasks : recorder.dispatched) {
    EXPECT_EQ(tasks.size(), 2U);
    for (const NodeInfo& task : tasks) EXPECT_EQ(task.slot, 0U);
  }
  EXPECT_EQ(states_of(shared), std::vector{SlotState::Inactive});
  EXPECT_EQ(shared.slots.frame_id[0].load(), -1);
  EXPECT_EQ(shared.slots.active_bitmap.load(), 0U);
  EXPECT_TRUE(frames_of(shared).empty());
  EXPECT_TRUE(logged("slot completed, max frames reached")) << logged();
  EXPECT_TRUE(logged("Spawned 2 initial nodes for restarting slot 0")) << logged();
}

TEST_F(SlotLifecycleTest, SkipsSlotsThatAreNotFinishedOrAlreadyClaimed) {
  struct Case {
    const char* name;
    void (*prepare)(SharedData&);
  };
  const Case cases[] = {
      {"no check requested", [](SharedData& s) { s.slots.needs_check[0].store(false); }},
      {"tasks pending", [](SharedData& s) { s.slots.pending_tasks[0].store(1); }},
      {"condition tasks pending", [](SharedData& s) { s.slots.pending_cond_tasks[0].store(2); }},
      // The batch that holds the slot sets needs_check again when it ends.
      {"batch in progress", [](SharedData& s) { s.slots.processing_count[0].store(1); }},
      {"claimed by another thread",
       [](SharedData& s) { ASSERT_TRUE(s.exec.counter->try_complete_slot(0)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ArvexRt rt = build_runtime({.slots = 2, .max_frames = 10});
    SharedData& shared = *rt.shared();
    Recorder recorder;
    const SlotHooks hooks = recorder.hooks();
    assign_frame_to_available_slot(shared, 0, hooks);
    finish_frame(shared, 0);
    c.prepare(shared);
    Checker checker;
    checker.run(shared, hooks);
    EXPECT_EQ(shared.telemetry.frames_completed.load(), 0U);
    EXPECT_EQ(shared.slots.generation[0].load(), 1U);
    EXPECT_EQ(states_of(shared)[0], SlotState::Active);
    EXPECT_FALSE(shared.slots.needs_check[0].load()) << "a request is consumed by one examination";
    EXPECT_TRUE(recorder.dispatched.empty());
  }
}

// Delegates to the run's counter; runs `on_claim` inside a successful completion claim, as a
// completion counted by another thread right after the slot check's first read would.
class LateCompletionCounter final : public DependencyCounter {
 public:
  LateCompletionCounter(std::shared_ptr<DependencyCounter> inner, std::function<void()> on_claim)
      : inner_(std::move(inner)), on_claim_(std::move(on_claim)) {}
  void reset_sent(std::size_t slot, std::size_t node, std::size_t instance,
                  std::uint32_t generation) noexcept override {
    inner_->reset_sent(slot, node, instance, generation);
  }
  void unmark_slot_completed(std::size_t slot) noexcept override {
    ++unmarks;
    inner_->unmark_slot_completed(slot);
  }
  bool try_complete_slot(std::size_t slot) noexcept override {
    const bool won = inner_->try_complete_slot(slot);
    if (won && on_claim_) std::exchange(on_claim_, nullptr)();
    return won;
  }
  DependencyIncrement increment_dependency(const NodeInfo& task,
                                           std::uint32_t generation) noexcept override {
    return inner_->increment_dependency(task, generation);
  }
  void decrease_and_get_ready_into(std::size_t slot, std::size_t node, std::uint32_t generation,
                                   std::optional<std::size_t> group, std::uint32_t by, bool exact,
                                   std::size_t instance, std::vector<std::size_t>& out) override {
    inner_->decrease_and_get_ready_into(slot, node, generation, group, by, exact, instance, out);
  }
  std::string debug_info() const override { return inner_->debug_info(); }

  int unmarks = 0;

 private:
  std::shared_ptr<DependencyCounter> inner_;
  std::function<void()> on_claim_;
};

TEST_F(SlotLifecycleTest, ACompletionCountedDuringTheClaimReturnsIt) {
  const ArvexRt rt = build_runtime({.slots = 1, .max_frames = 5});
  SharedData& shared = *rt.shared();
  Recorder recorder;
  const SlotHooks hooks = recorder.hooks();
  assign_frame_to_available_slot(shared, 0, hooks);
  auto counter = std::make_shared<LateCompletionCounter>(shared.exec.counter, [&] {
    shared.slots.processing_count[0].store(1);  // a batch picked up the slot meanwhile
  });
  shared.exec.counter = counter;
  finish_frame(shared, 0);
  Checker checker;
  checker.run(shared, hooks);
  EXPECT_EQ(shared.telemetry.frames_completed.load(), 0U);
  EXPECT_EQ(shared.slots.generation[0].load(), 1U);
  EXPECT_EQ(counter->unmarks, 1) << "the claim is given back";

  // The batch ends and asks for a check again: now the slot completes.
  shared.slots.processing_count[0].store(0);
  shared.slots.needs_check[0].store(true);
  checker.run(shared, hooks);
  EXPECT_EQ(shared.telemetry.frames_completed.load(), 1U);
  EXPECT_EQ(shared.slots.generation[0].load(), 2U);
}

TEST_F(SlotLifecycleTest, ReleasesAndRestartsACompletedSlotWithTheNextFrame) {
  const ArvexRt rt = build_runtime({.slots = 3, .max_frames = 10});
  SharedData& shared = *rt.shared();
  Recorder recorder;
  const SlotHooks hooks = recorder.hooks();
  for (std::size_t frame = 0; frame < 3; ++frame)
    assign_frame_to_available_slot(shared, frame, hooks);
  Checker checker;
  checker.run(shared, hooks);  // builds the running-slot list; nothing has finished
  finish_frame(shared, 1);
  checker.run(shared, hooks);
  expect_consistent(shared);

  // Frame 3 = one completed + two slots in use.
  EXPECT_EQ(frames_of(shared), (std::vector<RunningFrame>{{0, 0}, {2, 2}, {3, 1}}));
  EXPECT_EQ(states_of(shared),
            (std::vector{SlotState::Active, SlotState::Active, SlotState::Buffering}));
  EXPECT_EQ(shared.slots.frame_id[1].load(), 3);
  EXPECT_EQ(shared.slots.generation[1].load(), 1U) << "a Buffering slot starts at generation 0";
  EXPECT_EQ(shared.slots.active_bitmap.load(), 0b011U);
  EXPECT_FALSE(shared.slots.needs_check[1].load()) << "the new frame's first completion sets it";
  ASSERT_EQ(recorder.dispatched.size(), 1U);
  EXPECT_EQ(recorder.dispatched[0].size(), 2U);
  EXPECT_EQ(recorder.dispatched[0][0].slot, 1U);
  EXPECT_EQ(recorder.timing_finished, std::vector<std::size_t>{1});
  EXPECT_TRUE(checker.dirty) << "the running-slot list changed";
  EXPECT_TRUE(logged("Released slot 1 from frame 1 (had state: Buffering)")) << logged();
  EXPECT_TRUE(logged("RESET slot 1 counters: slot_pending_tasks=5, slot_pending_cond_tasks=0"))
      << logged();

  // The completion claim was returned: the slot can complete its next frame.
  finish_frame(shared, 1);
  checker.run(shared, hooks);
  EXPECT_EQ(shared.telemetry.frames_completed.load(), 2U);
  EXPECT_EQ(shared.slots.frame_id[1].load(), 4);
}

TEST_F(SlotLifecycleTest, ReportsATimingFailureAndCarriesOn) {
  const ArvexRt rt = build_runtime({.slots = 1, .max_frames = 2});
  SharedData& shared = *rt.shared();
  Recorder recorder;
  recorder.finish_error = "boom";
  const SlotHooks hooks = recorder.hooks();
  assign_frame_to_available_slot(shared, 0, hooks);
  finish_frame(shared, 0);
  Checker checker;
  checker.run(shared, hooks);
  EXPECT_TRUE(logged("Failed to finish slot 0 timing: boom")) << logged();
  EXPECT_EQ(shared.telemetry.frames_completed.load(), 1U);
  EXPECT_EQ(recorder.dispatched.size(), 1U);
}

TEST_F(SlotLifecycleTest, SlotPriorityHandsTheTurnToTheOldestBufferingSlot) {
  const ArvexRt rt = build_runtime({.slots = 3, .max_frames = 10, .slot_priority = true});
  SharedData& shared = *rt.shared();
  Recorder recorder;
  const SlotHooks hooks = recorder.hooks();
  for (std::size_t frame = 0; frame < 3; ++frame)
    assign_frame_to_available_slot(shared, frame, hooks);
  {
    auto buffers = shared.slots.slot_buffers.write();
    (*buffers)[1].resize(2);
  }
  Checker checker;
  // Buffering slots are outside the active mask even when flagged.
  finish_frame(shared, 2);
  finish_frame(shared, 0);
  checker.run(shared, hooks);
  expect_consistent(shared);

  EXPECT_EQ(shared.telemetry.frames_completed.load(), 1U);
  EXPECT_EQ(states_of(shared),
            (std::vector{SlotState::Inactive, SlotState::Active, SlotState::Buffering}));
  EXPECT_EQ(frames_of(shared), (std::vector<RunningFrame>{{1, 1}, {2, 2}}));
  EXPECT_EQ(shared.slots.active_bitmap.load(), 0b010U);
  EXPECT_EQ(shared.slots.generation[1].load(), 1U);
  EXPECT_TRUE(shared.slots.needs_check[1].load());
  EXPECT_EQ(shared.slots.last_assigned.load(), 1U);
  EXPECT_TRUE(shared.slots.needs_check[2].load()) << "slot 2 was not examined";
  ASSERT_EQ(recorder.dispatched.size(), 1U);
  EXPECT_EQ(recorder.dispatched[0][0].slot, 1U);
  EXPECT_EQ(recorder.buffered_counts, std::vector<std::size_t>{2});
  EXPECT_TRUE(shared.slots.slot_buffers.read()->at(1).empty());
  EXPECT_TRUE(logged("Round-Robin: Activated slot 1 for frame 1 after completing slot 0"))
      << logged();
}

TEST_F(SlotLifecycleTest, SlotPriorityWithoutBufferingSlotRestartsTheCompletedSlot) {
  // As at the start of a --slot-priority run without network: only frame 0 is placed.
  const ArvexRt rt = build_runtime({.slots = 2, .max_frames = 3, .slot_priority = true});
  SharedData& shared = *rt.shared();
  Recorder recorder;
  const SlotHooks hooks = recorder.hooks();
  assign_frame_to_available_slot(shared, 0, hooks);
  Checker checker;
  for (std::size_t frame = 0; frame < 3; ++frame) {
    SCOPED_TRACE(frame);
    EXPECT_EQ(shared.slots.frame_id[0].load(), static_cast<std::int64_t>(frame));
    finish_frame(shared, 0);
    checker.run(shared, hooks);
    expect_consistent(shared);
  }
  EXPECT_EQ(shared.telemetry.frames_completed.load(), 3U);
  EXPECT_EQ(recorder.dispatched.size(), 2U);
  EXPECT_EQ(states_of(shared), (std::vector{SlotState::Inactive, SlotState::Inactive}));
}

TEST_F(SlotLifecycleTest, NetworkSlotsWaitForTheirNextFrameInsteadOfRestarting) {
  const std::size_t port = free_udp_ports(1);
  ASSERT_NE(port, 0U);
  const ArvexRt rt = build_runtime({.slots = 2, .max_frames = 5}, network_graph(2, port, 1));
  SharedData& shared = *rt.shared();
  Recorder recorder;
  const SlotHooks hooks = recorder.hooks();
  assign_frame_to_available_slot(shared, 0, hooks);
  shared.slots.packet_count[0].store(2);
  shared.slots.packet_complete[0].store(true);
  finish_frame(shared, 0);
  Checker checker;
  checker.run(shared, hooks);
  expect_consistent(shared);
  EXPECT_EQ(shared.telemetry.frames_completed.load(), 1U);
  EXPECT_EQ(states_of(shared)[0], SlotState::Inactive);
  EXPECT_EQ(shared.slots.frame_id[0].load(), -1);
  EXPECT_EQ(shared.slots.packet_count[0].load(), 0U);
  EXPECT_FALSE(shared.slots.packet_complete[0].load());
  EXPECT_TRUE(recorder.dispatched.empty());
}

TEST_F(SlotLifecycleTest, ExactlyOneOfRacingThreadsCompletesAFrame) {
  constexpr std::size_t kThreads = 4;
  constexpr std::size_t kRounds = 40;
  const ArvexRt rt = build_runtime({.slots = 1, .max_frames = kRounds + 1});
  SharedData& shared = *rt.shared();
  Recorder recorder;
  const SlotHooks hooks = recorder.hooks();
  assign_frame_to_available_slot(shared, 0, hooks);

  std::barrier sync(kThreads + 1);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Checker checker;
      for (std::size_t round = 0; round < kRounds; ++round) {
        sync.arrive_and_wait();  // the frame is finished
        // Several passes each: a thread that reads needs_check late must still not complete twice.
        for (int pass = 0; pass < 3; ++pass) {
          shared.slots.needs_check[0].store(true);
          checker.run(shared, hooks, t);
        }
        sync.arrive_and_wait();  // every thread is done with this frame
      }
    });
  }
  for (std::size_t round = 0; round < kRounds; ++round) {
    finish_frame(shared, 0);
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    ASSERT_EQ(shared.telemetry.frames_completed.load(), round + 1);
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(recorder.dispatched.size(), kRounds);
  EXPECT_EQ(shared.slots.generation[0].load(), kRounds + 1);
}

}  // namespace
}  // namespace arvex
