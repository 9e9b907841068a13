// The engine end to end: small graphs run through ArvexRt on real schedulers and are judged by
// what their kernels saw. Each kernel gets the data its arguments name; successors start only
// after what they wait for; conditions, post nodes, slots, stale work, inline continuation,
// barrier coalescing and fan-out bulk tasks behave as configured; every scheduler and setting
// computes the same frames; a failing kernel and the run limits end the run cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "arvex/register_kernel.hpp"
#include "instrumentation/time_buffer_manager.hpp"
#include "runtime/condition_evaluation.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/successor_release.hpp"
#include "runtime/task_execution.hpp"
#include "runtime_fixture.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

using namespace arvex::test;
using Args = std::vector<std::uint64_t>;

// How the recording kernels write down arguments that are not usize.
constexpr std::uint64_t kNone = 999'999;
constexpr std::uint64_t kOther = 888'888;

// One kernel call as the kernels below saw it.
struct Call {
  std::string kernel;
  Args args;

  friend bool operator==(const Call&, const Call&) = default;
  friend auto operator<=>(const Call&, const Call&) = default;
};

void PrintTo(const Call& call, std::ostream* os) {
  *os << call.kernel << '(';
  for (std::size_t i = 0; i < call.args.size(); ++i) *os << (i == 0 ? "" : ", ") << call.args[i];
  *os << ')';
}

std::mutex calls_mutex;
std::vector<Call> calls;  // in the order the kernels ran

void note(const char* kernel, const CmTypes* args, std::size_t count) {
  Call call{kernel, {}};
  for (std::size_t i = 0; i < count; ++i) {
    const CmTypes& arg = args[i];
    call.args.push_back(arg.is(CmTag::Usize) ? arg.get_usize() : arg.is(CmTag::None) ? kNone : kOther);
  }
  const std::lock_guard lock(calls_mutex);
  calls.push_back(std::move(call));
}

std::vector<Call> recorded() {
  const std::lock_guard lock(calls_mutex);
  return calls;
}

void forget_calls() {
  const std::lock_guard lock(calls_mutex);
  calls.clear();
}

std::vector<Call> sorted(std::vector<Call> list) {
  std::sort(list.begin(), list.end());
  return list;
}

std::vector<Call> calls_of(const std::string& kernel) {
  std::vector<Call> out;
  for (Call& call : recorded()) {
    if (call.kernel == kernel) out.push_back(std::move(call));
  }
  return out;
}

std::uint64_t usize_of(const CmTypes& value) { return value.is(CmTag::Usize) ? value.get_usize() : 0; }

// Ten times its first argument.
void times_ten(const CmTypes* args, std::size_t count, CmTypes* result) {
  note("engine.times_ten", args, count);
  *result = CmTypes::make_usize(usize_of(args[0]) * 10);
}
// One more than its last argument.
void add_one(const CmTypes* args, std::size_t count, CmTypes* result) {
  note("engine.add_one", args, count);
  *result = CmTypes::make_usize(usize_of(args[count - 1]) + 1);
}
void sum(const CmTypes* args, std::size_t count, CmTypes* result) {
  note("engine.sum", args, count);
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += usize_of(args[i]);
  *result = CmTypes::make_usize(total);
}
void mark(const CmTypes* args, std::size_t count, CmTypes* /*result*/) { note("engine.mark", args, count); }
// The condition function: its first argument, unrecorded so that conditions add no calls.
void echo(const CmTypes* args, std::size_t /*count*/, CmTypes* result) { *result = args[0]; }
// Fails for instance 1 (its first argument).
void throw_at_one(const CmTypes* args, std::size_t count, CmTypes* result) {
  note("engine.throw_at_one", args, count);
  if (usize_of(args[0]) == 1) throw std::runtime_error("boom");
  *result = CmTypes::none();
}

ARVEX_REGISTER_KERNEL("engine.times_ten", times_ten);
ARVEX_REGISTER_KERNEL("engine.add_one", add_one);
ARVEX_REGISTER_KERNEL("engine.sum", sum);
ARVEX_REGISTER_KERNEL("engine.mark", mark);
ARVEX_REGISTER_KERNEL("engine.echo", echo);
ARVEX_REGISTER_KERNEL("engine.throw_at_one", throw_at_one);

CmTypes usize(std::uint64_t v) { return CmTypes::make_usize(v); }

Call call(std::string kernel, Args args) { return Call{std::move(kernel), std::move(args)}; }

// `kernel` called once for each instance i < `instances` with args_of(i).
template <class ArgsOf>
std::vector<Call> each(const char* kernel, std::size_t instances, ArgsOf args_of) {
  std::vector<Call> out;
  for (std::uint64_t i = 0; i < instances; ++i) out.push_back(call(kernel, args_of(i)));
  return out;
}

std::vector<Call> concat(std::initializer_list<std::vector<Call>> pieces) {
  std::vector<Call> out;
  for (const std::vector<Call>& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

// What `frames` frames of `per_frame` record, sorted.
std::vector<Call> repeated(const std::vector<Call>& per_frame, std::size_t frames) {
  std::vector<Call> out;
  for (std::size_t f = 0; f < frames; ++f) out.insert(out.end(), per_frame.begin(), per_frame.end());
  return sorted(std::move(out));
}

Node kernel_node(std::uint16_t id, std::string name, std::string function, std::size_t factor,
                 std::vector<Arg> args) {
  Node n = node(id, std::move(name), factor, std::move(args));
  n.function = std::move(function);
  return n;
}

// The node runs an instance only when node 0's result for that instance compares to `value`.
// Condition arguments make no edge: the node needs one of its own to node 0, or it is an
// initial node and runs unconditionally.
Node gated(Node n, CondOp op, CmTypes value) {
  n.condition = NodeCondition{op, std::move(value), "engine.echo", {res(0)}};
  return n;
}

// Node 0's result for the instance, read only to decide whether the instance runs.
Arg res_of_source_if(CondOp op, CmTypes value) {
  Arg arg = res(0);
  arg.condition = ArgCondition{op, std::move(value)};
  return arg;
}

// Init objects 0 and 1 stand behind $index and $workers; `objects` follow from ref(2) on.
GraphCompiled compile_nodes(std::vector<Node> nodes, std::vector<Node> post = {}, InitObjects objects = {}) {
  GraphSpec graph_spec;
  for (Node& n : nodes) graph_spec.graph.add_node(std::move(n));
  for (Node& n : post) graph_spec.graph.add_post_node(std::move(n));
  graph_spec.init_objects = {{usize(0)}, {usize(1)}};
  for (std::vector<CmTypes>& object : objects) graph_spec.init_objects.push_back(std::move(object));
  return compile(std::move(graph_spec), [](const std::optional<WorkerRangeSpec>&) { return std::size_t{0}; });
}

// "a" (2 instances) multiplies init object 0 by ten; "s" sums both results.
GraphCompiled times_ten_then_sum() {
  return compile_nodes(
      {kernel_node(0, "a", "engine.times_ten", 2, {ref(0)}), kernel_node(1, "s", "engine.sum", 1, {res(0, offsets(2))})});
}

ArvexRt runtime_of(ArvexRtBuilder builder) {
  auto built = build(std::move(builder));
  EXPECT_TRUE(built.has_value()) << built.error();
  return std::move(built).value();
}

std::uint64_t spawned(const ArvexRt& rt) { return rt.shared()->exec.scheduler->total_spawned(); }

std::size_t frames_completed(const ArvexRt& rt) { return rt.shared()->telemetry.frames_completed.load(); }

// Waits until every spawned job has run.
void drain(const ArvexRt& rt) {
  const SchedulerImpl& scheduler = *rt.shared()->exec.scheduler;
  EXPECT_TRUE(eventually([&] { return scheduler.total_completed() == scheduler.total_spawned(); }));
}

// A run that stops early (a failure, a limit) returns while jobs it dispatched may still be
// queued; they hold the run's state and call their kernels later. Waiting for them keeps their
// calls out of the next case.
Expected<void, std::string> run_settled(const ArvexRt& rt, std::optional<RunPredicate> until = std::nullopt) {
  Expected<void, std::string> outcome = until ? rt.run_until(std::move(*until)) : rt.run();
  drain(rt);
  return outcome;
}

// Recorded calls and the log are reset per test. Logs are read only once the runtime is gone:
// its workers may still be writing debug lines until then.
class EngineTest : public test_support::LogCaptureTest {
 protected:
  void SetUp() override {
    LogCaptureTest::SetUp();
    forget_calls();
  }
  void TearDown() override {
    forget_calls();
    LogCaptureTest::TearDown();
  }
};

using EngineRunTest = EngineTest;
using EngineReleaseTest = EngineTest;
using EngineStaleTest = EngineTest;

// A source a (4 instances, ten times its index) read one to one, gathered, and gated.
std::vector<Node> reference_nodes() {
  return {
      kernel_node(0, "a", "engine.times_ten", 4, {ref(0)}),
      kernel_node(1, "b", "engine.add_one", 4, {res(0)}),
      kernel_node(2, "c", "engine.sum", 1, {res(1, offsets(4))}),
      gated(kernel_node(3, "g", "engine.mark", 4, {ref(0), dep(0)}), CondOp::Gt, usize(15)),
  };
}

std::vector<Call> reference_frame() {
  return concat({
      each("engine.times_ten", 4, [](std::uint64_t i) { return Args{i}; }),
      each("engine.add_one", 4, [](std::uint64_t i) { return Args{10 * i}; }),
      {call("engine.sum", {1, 11, 21, 31})},
      {call("engine.mark", {2, kNone}), call("engine.mark", {3, kNone})},
  });
}

TEST_F(EngineRunTest, EachKernelReceivesWhatItsArgumentsName) {
  constexpr std::size_t kFrames = 3;
  struct Case {
    const char* name;
    std::vector<Node> nodes;
    InitObjects objects;
    std::vector<Call> per_frame;
  };
  const auto source = [](std::size_t factor) { return kernel_node(0, "a", "engine.times_ten", factor, {ref(0)}); };
  const auto source_calls = [](std::size_t factor) {
    return each("engine.times_ten", factor, [](std::uint64_t i) { return Args{i}; });
  };
  std::vector<Case> cases;
  cases.push_back({"one to one",
                   {source(4), kernel_node(1, "b", "engine.add_one", 4, {ref(0), res(0)})},
                   {},
                   concat({source_calls(4), each("engine.add_one", 4, [](std::uint64_t i) { return Args{i, 10 * i}; })})});
  cases.push_back({"a gather over four offsets",
                   {source(4), kernel_node(1, "s", "engine.sum", 1, {res(0, offsets(4))})},
                   {},
                   concat({source_calls(4), {call("engine.sum", {0, 10, 20, 30})}})});
  cases.push_back({"offsets wrap around the source's instances",
                   {source(4), kernel_node(1, "back", "engine.mark", 4, {ref(0), res(0, {-1})}),
                    kernel_node(2, "ahead", "engine.mark", 4, {ref(0), res(0, {5})})},
                   {},
                   concat({source_calls(4),
                           each("engine.mark", 4, [](std::uint64_t i) { return Args{i, 10 * ((i + 3) % 4)}; }),
                           each("engine.mark", 4, [](std::uint64_t i) { return Args{i, 10 * ((i + 1) % 4)}; })})});
  // One worker, so $workers is 1; a one-value object is the same for every instance, a
  // three-value one cycles with the instance. x hangs off a source because a frame does not
  // wait for its initial nodes.
  cases.push_back({"index, workers and init objects",
                   {source(5), kernel_node(1, "x", "engine.mark", 5, {ref(0), ref(1), ref(2), ref(3), dep(0)})},
                   {{usize(7)}, {usize(100), usize(101), usize(102)}},
                   concat({source_calls(5), each("engine.mark", 5, [](std::uint64_t i) {
                             return Args{i, 1, 7, 100 + i % 3, kNone};
                           })})});
  cases.push_back({"dependencies pass None",
                   {source(3), kernel_node(1, "all", "engine.mark", 1, {edge(CmTypes::make_dep(0), 0, offsets(3))}),
                    kernel_node(2, "each", "engine.mark", 3, {ref(0), dep(0)})},
                   {},
                   concat({source_calls(3), {call("engine.mark", {kNone})},
                           each("engine.mark", 3, [](std::uint64_t i) { return Args{i, kNone}; })})});

  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    forget_calls();
    ArvexRtBuilder builder = builder_for(compile_nodes(std::move(c.nodes), {}, std::move(c.objects)));
    builder.slots = 2;
    builder.max_frames = kFrames;
    const ArvexRt rt = runtime_of(std::move(builder));
    ASSERT_EQ(rt.shared()->config.workers, 1u) << "the expected calls pass $workers = 1";
    const auto outcome = run_settled(rt);
    ASSERT_TRUE(outcome.has_value()) << outcome.error();
    EXPECT_EQ(frames_completed(rt), kFrames);
    EXPECT_EQ(sorted(recorded()), repeated(c.per_frame, kFrames));
  }
}

TEST_F(EngineRunTest, SuccessorsStartOnlyAfterWhatTheyWaitFor) {
  // One slot: a frame's calls all come before the next frame's.
  constexpr std::size_t kFrames = 3;
  struct Case {
    const char* name;
    std::vector<Node> nodes;
    std::size_t calls_per_frame;
    std::vector<std::pair<Call, std::vector<Call>>> waits;  // a call, and the calls before it
  };
  const auto source = [](std::size_t factor) { return kernel_node(0, "a", "engine.times_ten", factor, {ref(0)}); };
  const auto source_call = [](std::uint64_t i) { return call("engine.times_ten", {i}); };
  std::vector<Case> cases;
  cases.push_back({"a dependency on every instance",
                   {source(3), kernel_node(1, "d", "engine.mark", 1, {edge(CmTypes::make_dep(0), 0, offsets(3))})},
                   4,
                   {{call("engine.mark", {kNone}), {source_call(0), source_call(1), source_call(2)}}}});
  {
    Case c{"a dependency per instance", {source(3), kernel_node(1, "d", "engine.mark", 3, {ref(0), dep(0)})}, 6, {}};
    for (std::uint64_t i = 0; i < 3; ++i) c.waits.push_back({call("engine.mark", {i, kNone}), {source_call(i)}});
    cases.push_back(std::move(c));
  }
  {
    // The template keeps the barrier's argument position, as None.
    Case c{"barrier groups of two",
           {source(4), kernel_node(1, "b", "engine.mark", 2, {ref(0), barrier(0, offsets(4), 2)})},
           6,
           {}};
    for (std::uint64_t g = 0; g < 2; ++g) {
      c.waits.push_back({call("engine.mark", {g, kNone}), {source_call(2 * g), source_call(2 * g + 1)}});
    }
    cases.push_back(std::move(c));
  }

  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    forget_calls();
    ArvexRtBuilder builder = builder_for(compile_nodes(std::move(c.nodes)));
    builder.slots = 1;
    builder.max_frames = kFrames;
    const ArvexRt rt = runtime_of(std::move(builder));
    const auto outcome = run_settled(rt);
    ASSERT_TRUE(outcome.has_value()) << outcome.error();

    const std::vector<Call> all = recorded();
    ASSERT_EQ(all.size(), kFrames * c.calls_per_frame);
    for (std::size_t f = 0; f < kFrames; ++f) {
      SCOPED_TRACE(::testing::Message() << "frame " << f);
      const auto first = all.begin() + static_cast<std::ptrdiff_t>(f * c.calls_per_frame);
      const auto last = first + static_cast<std::ptrdiff_t>(c.calls_per_frame);
      const auto position = [&](const Call& wanted) { return std::find(first, last, wanted) - first; };
      for (const auto& [waiter, waited] : c.waits) {
        const auto at = position(waiter);
        ASSERT_LT(at, last - first) << ::testing::PrintToString(waiter) << " did not run";
        for (const Call& before : waited) {
          EXPECT_LT(position(before), at) << ::testing::PrintToString(before) << " must run before "
                                          << ::testing::PrintToString(waiter);
        }
      }
    }
  }
}

TEST_F(EngineRunTest, ConditionsDecideWhichInstancesRun) {
  constexpr std::size_t kFrames = 4;
  // The source's results are 0, 10, 20 and 30.
  struct Case {
    const char* name;
    bool argument_condition;
    CondOp op;
    std::uint64_t value;
    std::vector<std::uint64_t> passing;
  };
  const Case cases[] = {
      {"node condition, greater", false, CondOp::Gt, 15, {2, 3}},
      {"node condition, equal", false, CondOp::Eq, 10, {1}},
      {"node condition, not equal", false, CondOp::Neq, 999, {0, 1, 2, 3}},
      {"node condition, none pass", false, CondOp::Lt, 0, {}},
      {"argument condition, less", true, CondOp::Lt, 15, {0, 1}},
      {"argument condition, none pass", true, CondOp::Gt, 30, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    forget_calls();
    // The conditional argument decides only; the kernel gets the index alone.
    Node gate_node = c.argument_condition
                         ? kernel_node(1, "g", "engine.mark", 4, {ref(0), res_of_source_if(c.op, usize(c.value))})
                         : gated(kernel_node(1, "g", "engine.mark", 4, {ref(0), dep(0)}), c.op, usize(c.value));
    ArvexRtBuilder builder =
        builder_for(compile_nodes({kernel_node(0, "a", "engine.times_ten", 4, {ref(0)}), std::move(gate_node)}));
    builder.slots = 2;
    builder.max_frames = kFrames;
    const ArvexRt rt = runtime_of(std::move(builder));
    const auto outcome = run_settled(rt);
    ASSERT_TRUE(outcome.has_value()) << outcome.error();
    EXPECT_EQ(frames_completed(rt), kFrames) << "failed instances still count as done for their frame";

    std::vector<Call> per_frame = each("engine.times_ten", 4, [](std::uint64_t i) { return Args{i}; });
    for (const std::uint64_t i : c.passing) {
      per_frame.push_back(call("engine.mark", c.argument_condition ? Args{i} : Args{i, kNone}));
    }
    EXPECT_EQ(sorted(recorded()), repeated(per_frame, kFrames));
  }
}

TEST_F(EngineRunTest, PostNodesRunOnceAfterTheLastFrameIntoThePostSlot) {
  constexpr std::size_t kFrames = 3;
  std::vector<Node> post;
  post.push_back(kernel_node(0, "p", "engine.sum", 3, {ref(0), ref(2)}));
  ArvexRtBuilder builder = builder_for(compile_nodes(
      {kernel_node(0, "a", "engine.times_ten", 2, {ref(0)}), kernel_node(1, "b", "engine.add_one", 2, {res(0)})},
      std::move(post), {{usize(5)}}));
  builder.slots = 2;
  builder.max_frames = kFrames;
  const ArvexRt rt = runtime_of(std::move(builder));
  const auto outcome = run_settled(rt);
  ASSERT_TRUE(outcome.has_value()) << outcome.error();

  const std::vector<Call> post_calls = each("engine.sum", 3, [](std::uint64_t i) { return Args{i, 5}; });
  const std::vector<Call> all = recorded();
  ASSERT_EQ(all.size(), kFrames * 4 + 3) << "each post instance runs once, not once per frame";
  EXPECT_EQ(sorted(std::vector<Call>(all.end() - 3, all.end())), post_calls) << "after every frame's kernels";

  const SharedData& shared = *rt.shared();
  const std::size_t post_slot = shared.config.slots + shared.config.system_threads;
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const std::optional<CmTypes> result = shared.exec.result_map->get(task(0, post_slot, i, 0));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(usize_of(*result), i + 5);
  }
}

TEST_F(EngineRunTest, SlotsTakeTurnsUntilTheBudgetIsSpent) {
  constexpr std::size_t kFrames = 12;
  const std::vector<Call> per_frame = {call("engine.times_ten", {0}), call("engine.times_ten", {1}),
                                       call("engine.sum", {0, 10})};
  for (const std::size_t slots : {1u, 3u, 5u}) {
    SCOPED_TRACE(::testing::Message() << slots << " slots");
    forget_calls();
    ArvexRtBuilder builder = builder_for(times_ten_then_sum());
    builder.slots = slots;
    builder.max_frames = kFrames;
    const ArvexRt rt = runtime_of(std::move(builder));
    const auto outcome = run_settled(rt);
    ASSERT_TRUE(outcome.has_value()) << outcome.error();
    EXPECT_EQ(frames_completed(rt), kFrames);
    EXPECT_EQ(sorted(recorded()), repeated(per_frame, kFrames));

    // Slot 0's generation moves when the first frame is placed; every slot's moves with each frame
    // it completes, and each completes at least the frame it started with.
    const SlotData& slot_data = rt.shared()->slots;
    std::uint64_t generations = 0;
    for (std::size_t s = 0; s < slots; ++s) {
      EXPECT_GE(slot_data.generation[s].load(), 1u) << "slot " << s;
      generations += slot_data.generation[s].load();
    }
    EXPECT_EQ(generations, kFrames + 1);
  }
}

TEST_F(EngineRunTest, TimingRecordsEveryFrameItsKernelsAndTheResolutionThreadsWork) {
  constexpr std::size_t kFrames = 9;
  ArvexRtBuilder builder = builder_for(times_ten_then_sum());
  builder.slots = 2;
  builder.max_frames = kFrames;
  builder.timing_enabled = true;
  const ArvexRt rt = runtime_of(std::move(builder));
  const auto outcome = run_settled(rt);
  ASSERT_TRUE(outcome.has_value()) << outcome.error();

  rt.shared()->telemetry.time_buffers->with_buffer([&](const TimeBuffer& buffer) {
    ASSERT_EQ(buffer.num_slots, 3u);
    std::size_t frames = 0;
    for (std::size_t slot = 0; slot < 2; ++slot) {
      for (const SlotStats& frame : buffer.slot_history[slot]) {
        ++frames;
        EXPECT_EQ(frame.slot, slot);
        ASSERT_EQ(frame.task_times.count("a"), 1u);
        EXPECT_EQ(frame.task_times.at("a").size(), 2u) << "one time per instance of a";
        EXPECT_EQ(frame.task_times.at("s").size(), 1u);
        EXPECT_GT(frame.total_time.count(), 0);
      }
    }
    EXPECT_EQ(frames, kFrames);
    // The resolution thread's own slot closes when the run ends.
    ASSERT_EQ(buffer.slot_history[2].size(), 1u);
    EXPECT_EQ(buffer.slot_history[2][0].task_times.count("Preparation"), 1u);
    EXPECT_EQ(buffer.slot_history[2][0].task_times.count("Slot Check"), 1u);
  });
  EXPECT_FALSE(rt.shared()->telemetry.time_buffers->stopped());
}

TEST_F(EngineRunTest, InitialInstancesThatFeedNothingAllRunBeforeTheirFrameEnds) {
  // Nothing downstream waits for these instances; the frame must still wait for all of them
  // rather than end at the first and drop the rest with the slot.
  constexpr std::size_t kFrames = 5;
  for (const std::size_t slots : {1u, 2u}) {
    SCOPED_TRACE(::testing::Message() << slots << " slots");
    forget_calls();
    ArvexRtBuilder builder = builder_for(compile_nodes({kernel_node(0, "a", "engine.times_ten", 4, {ref(0)})}));
    builder.slots = slots;
    builder.max_frames = kFrames;
    const ArvexRt rt = runtime_of(std::move(builder));
    const auto outcome = run_settled(rt);
    ASSERT_TRUE(outcome.has_value()) << outcome.error();
    EXPECT_EQ(frames_completed(rt), kFrames);
    EXPECT_EQ(sorted(recorded()),
              repeated(each("engine.times_ten", 4, [](std::uint64_t i) { return Args{i}; }), kFrames));
  }
}

TEST_F(EngineRunTest, EverySchedulerAndSettingComputesTheSameFrames) {
  constexpr std::size_t kFrames = 6;
  struct Case {
    const char* name;
    SchedulerKind kind;
    std::size_t slots;
    bool inline_continuation = false;
    bool coalesce_barriers = false;
    bool no_fanout_bulk = false;
    std::size_t batching_size = 1;
    std::size_t sched_flush_threshold = 32;
  };
  const Case cases[] = {
      {"pool", SchedulerKind::Pool, 1},
      {"pool, fifo", SchedulerKind::PoolFifo, 2},
      {"custom", SchedulerKind::Custom, 2},
      {"custom, inline continuation", SchedulerKind::Custom, 3, true},
      {"pool, whole queue per batch, flush every task", SchedulerKind::Pool, 3, false, false, false, 0, 1},
      {"fifo, no fan-out bulk, coalesced barriers, batches of four", SchedulerKind::PoolFifo, 2, false, true, true, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    forget_calls();
    ArvexRtBuilder builder = builder_for(compile_nodes(reference_nodes()), c.kind);
    builder.slots = c.slots;
    builder.max_frames = kFrames;
    builder.inline_continuation = c.inline_continuation;
    builder.coalesce_barriers = c.coalesce_barriers;
    builder.no_fanout_bulk = c.no_fanout_bulk;
    builder.batching_size = c.batching_size;
    builder.sched_flush_threshold = c.sched_flush_threshold;
    const ArvexRt rt = runtime_of(std::move(builder));
    const auto outcome = run_settled(rt);
    ASSERT_TRUE(outcome.has_value()) << outcome.error();
    EXPECT_EQ(frames_completed(rt), kFrames);
    EXPECT_EQ(sorted(recorded()), repeated(reference_frame(), kFrames));
  }
}

TEST_F(EngineRunTest, AFailingKernelEndsTheRunWithItsError) {
  struct Case {
    const char* name;
    std::vector<Node> nodes;
    const char* error;
  };
  std::vector<Case> cases;
  cases.push_back({"a node's kernel",
                   {kernel_node(0, "a", "engine.times_ten", 2, {ref(0)}),
                    kernel_node(1, "b", "engine.throw_at_one", 2, {ref(0), res(0)})},
                   "kernel 'b' failed (frame 0, instance 1): boom"});
  {
    Node g = kernel_node(1, "g", "engine.mark", 2, {ref(0), dep(0)});
    g.condition = NodeCondition{CondOp::Eq, CmTypes::none(), "engine.throw_at_one", {ref(0)}};
    cases.push_back({"a condition function",
                     {kernel_node(0, "a", "engine.times_ten", 2, {ref(0)}), std::move(g)},
                     "kernel 'g' failed (frame 0, instance 1): boom"});
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    forget_calls();
    clear_log();
    {
      std::vector<Node> post;
      post.push_back(kernel_node(0, "p", "engine.sum", 1, {ref(0)}));
      ArvexRtBuilder builder = builder_for(compile_nodes(std::move(c.nodes), std::move(post)));
      builder.slots = 1;
      builder.max_frames = 50;
      const ArvexRt rt = runtime_of(std::move(builder));
      const auto outcome = run_settled(rt);
      ASSERT_FALSE(outcome.has_value());
      EXPECT_EQ(outcome.error(), c.error);
      EXPECT_EQ(frames_completed(rt), 0u) << "the failed instance never completes its frame";
    }
    EXPECT_TRUE(calls_of("engine.sum").empty()) << "post nodes do not run after a failure";
    EXPECT_TRUE(logged("skipping post-nodes: a kernel failed during the run"));
  }
}

TEST_F(EngineReleaseTest, BarrierReleasesAGroupOnceAllItsMembersCompleted) {
  struct Case {
    const char* name;
    std::size_t consumer_factor;  // two groups of half of it each
    bool coalesce;
    std::size_t tasks_per_group;
  };
  const Case cases[] = {
      {"one instance per group", 2, false, 1},
      {"two instances per group", 4, false, 2},
      {"two instances per group, coalesced", 4, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    forget_calls();
    ArvexRtBuilder builder = builder_for(
        compile_nodes({kernel_node(0, "a", "engine.times_ten", 4, {ref(0)}),
                       kernel_node(1, "b", "engine.mark", c.consumer_factor, {ref(0), barrier(0, offsets(4), 2)})}));
    builder.max_frames = 1;
    builder.coalesce_barriers = c.coalesce;
    const ArvexRt rt = runtime_of(std::move(builder));
    const std::size_t per_group = c.consumer_factor / 2;

    // Sources 0 and 1 make group 0, 2 and 3 group 1; the second group completes first.
    struct Step {
      std::size_t source;
      std::optional<std::size_t> completes_group;
    };
    const Step steps[] = {{2, std::nullopt}, {0, std::nullopt}, {3, 1}, {1, 0}};
    std::vector<Call> released;
    for (const Step& step : steps) {
      SCOPED_TRACE(::testing::Message() << "source " << step.source);
      const std::uint64_t before = spawned(rt);
      run_task_job(rt.shared(), task(0, 0, step.source, 0), std::nullopt, &times_ten);
      if (!step.completes_group) {
        EXPECT_EQ(spawned(rt), before) << "a group with members missing releases nothing";
        continue;
      }
      EXPECT_EQ(spawned(rt) - before, c.tasks_per_group);
      for (std::uint64_t k = 0; k < per_group; ++k) {
        released.push_back(call("engine.mark", {*step.completes_group * per_group + k, kNone}));
      }
      EXPECT_TRUE(eventually([&] { return sorted(calls_of("engine.mark")) == sorted(released); }));
    }
    drain(rt);
    EXPECT_EQ(sorted(calls_of("engine.mark")), sorted(released));
  }
}

TEST_F(EngineReleaseTest, InlineContinuationRunsTheLastReadySuccessorInTheSameJob) {
  constexpr std::size_t kFrames = 10;
  const std::vector<Node> chain = {
      kernel_node(0, "a", "engine.times_ten", 1, {literal(usize(4))}),
      kernel_node(1, "b", "engine.add_one", 1, {res(0)}),
      kernel_node(2, "c", "engine.add_one", 1, {res(1)}),
      kernel_node(3, "d", "engine.add_one", 1, {res(2)}),
  };
  const std::vector<Call> chain_calls = {call("engine.times_ten", {4}), call("engine.add_one", {40}),
                                         call("engine.add_one", {41}), call("engine.add_one", {42})};
  const std::vector<Node> fork = {
      kernel_node(0, "a", "engine.times_ten", 1, {literal(usize(4))}),
      kernel_node(1, "b", "engine.add_one", 1, {res(0)}),
      kernel_node(2, "c", "engine.mark", 1, {res(0)}),
  };
  const std::vector<Call> fork_calls = {call("engine.times_ten", {4}), call("engine.add_one", {40}),
                                        call("engine.mark", {40})};
  struct Case {
    const char* name;
    const std::vector<Node>& nodes;
    bool inline_continuation;
    std::size_t jobs_per_frame;
    const std::vector<Call>& per_frame;
  };
  const Case cases[] = {
      {"chain, inline", chain, true, 1, chain_calls},
      {"chain, one job per node", chain, false, 4, chain_calls},
      {"two successors, inline", fork, true, 2, fork_calls},
      {"two successors, one job per node", fork, false, 3, fork_calls},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    forget_calls();
    ArvexRtBuilder builder = builder_for(compile_nodes(c.nodes));
    builder.slots = 2;
    builder.max_frames = kFrames;
    builder.inline_continuation = c.inline_continuation;
    const ArvexRt rt = runtime_of(std::move(builder));
    const auto outcome = run_settled(rt);
    ASSERT_TRUE(outcome.has_value()) << outcome.error();
    EXPECT_EQ(spawned(rt), kFrames * c.jobs_per_frame);
    EXPECT_EQ(sorted(recorded()), repeated(c.per_frame, kFrames));
  }
}

TEST_F(EngineReleaseTest, OneToOneSuccessorsGoOutAsOneBulkTaskPerWorker) {
  constexpr std::size_t kFrames = 3;
  constexpr std::size_t kFactor = 10;
  for (const bool no_fanout_bulk : {false, true}) {
    SCOPED_TRACE(no_fanout_bulk ? "no fan-out bulk" : "fan-out bulk");
    forget_calls();
    // Four workers asked for; the core allocation grants what the machine has room for.
    SchedulerConfig config;
    config.core_offset = 0;
    config.workers = 4;
    config.system_threads = 1;
    ArvexRtBuilder builder;
    builder.scheduler = create_scheduler(config);
    builder.compiled = compile_nodes({kernel_node(0, "a", "engine.times_ten", kFactor, {ref(0)}),
                                      kernel_node(1, "b", "engine.mark", kFactor, {ref(0), ref(1), res(0)})});
    builder.max_frames = kFrames;
    builder.no_fanout_bulk = no_fanout_bulk;
    const ArvexRt rt = runtime_of(std::move(builder));
    const std::size_t workers = rt.shared()->config.workers;
    ASSERT_GE(workers, 1u);
    EXPECT_EQ(workers, rt.shared()->exec.scheduler->thread_layout().worker_threads);

    const auto outcome = run_settled(rt);
    ASSERT_TRUE(outcome.has_value()) << outcome.error();
    const std::size_t consumer_jobs = no_fanout_bulk ? kFactor : std::min(kFactor, workers);
    EXPECT_EQ(spawned(rt), kFrames * (kFactor + consumer_jobs));
    const std::vector<Call> per_frame = concat({
        each("engine.times_ten", kFactor, [](std::uint64_t i) { return Args{i}; }),
        each("engine.mark", kFactor, [&](std::uint64_t i) { return Args{i, workers, 10 * i}; }),
    });
    EXPECT_EQ(sorted(recorded()), repeated(per_frame, kFrames)) << "every instance ran, with its own arguments";
  }
}

TEST(EngineBulkSplitTest, RangesAreConsecutiveWithTheLongerOnesFirst) {
  using Range = std::pair<std::size_t, std::size_t>;  // first instance, count
  struct Case {
    const char* name;
    std::size_t first;
    std::size_t total;
    std::size_t parts;
    std::vector<Range> ranges;
  };
  const Case cases[] = {
      {"ten over four workers", 0, 10, 4, {{0, 3}, {3, 3}, {6, 2}, {8, 2}}},
      {"an even split from an offset", 4, 8, 4, {{4, 2}, {6, 2}, {8, 2}, {10, 2}}},
      {"fewer instances than workers", 0, 3, 4, {{0, 1}, {1, 1}, {2, 1}}},
      {"one worker", 2, 5, 1, {{2, 5}}},
      {"no workers still makes one task", 0, 4, 0, {{0, 4}}},
      {"no instances", 0, 0, 4, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NodeInfo base = task(7, 2, 99, 5);
    base.trigger_index = 3;
    const NodeInfo earlier = task(1, 0, 0, 0);
    std::vector<NodeInfo> out = {earlier};
    append_bulk_tasks(base, c.first, c.total, c.parts, out);
    ASSERT_EQ(out.size(), c.ranges.size() + 1);
    EXPECT_EQ(out[0], earlier) << "appends";
    for (std::size_t k = 0; k < c.ranges.size(); ++k) {
      SCOPED_TRACE(k);
      NodeInfo expected = base;
      expected.index = c.ranges[k].first;
      expected.count = c.ranges[k].second;
      EXPECT_EQ(out[k + 1], expected);
    }
  }
}

TEST_F(EngineStaleTest, TaskOfAnOlderGenerationNeitherRunsNorReleasesItsSuccessors) {
  struct Case {
    const char* name;
    std::uint32_t generation;
    bool runs;
  };
  const Case cases[] = {{"older generation", 4, false}, {"current generation", 5, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    forget_calls();
    clear_log();
    {
      ArvexRtBuilder builder = builder_for(compile_nodes(
          {kernel_node(0, "a", "engine.times_ten", 1, {ref(0)}), kernel_node(1, "b", "engine.add_one", 1, {res(0)})}));
      builder.slots = 2;
      builder.max_frames = 2;
      const ArvexRt rt = runtime_of(std::move(builder));
      rt.shared()->slots.generation[0].store(5);
      const std::uint64_t before = spawned(rt);
      run_task_job(rt.shared(), task(0, 0, 0, c.generation), std::nullopt, &times_ten);
      EXPECT_EQ(spawned(rt) - before, c.runs ? 1u : 0u) << "only a task that ran releases b";
      drain(rt);
      const std::vector<Call> expected =
          c.runs ? std::vector<Call>{call("engine.add_one", {0}), call("engine.times_ten", {0})} : std::vector<Call>{};
      EXPECT_EQ(sorted(recorded()), expected);
    }
    EXPECT_EQ(logged("Stale task dropped: node 0 slot 0 index 0 gen 4 (current 5)"), !c.runs);
  }
}

TEST_F(EngineStaleTest, TaskWaitingForAResultOfARecycledFrameGivesUp) {
  {
    ArvexRtBuilder builder = builder_for(compile_nodes(
        {kernel_node(0, "a", "engine.times_ten", 1, {ref(0)}), kernel_node(1, "b", "engine.add_one", 1, {res(0)})}));
    builder.slots = 2;
    builder.max_frames = 2;
    // Recording makes the job count itself once it passed its staleness check.
    builder.record = true;
    const ArvexRt rt = runtime_of(std::move(builder));
    SharedData& shared = *rt.shared();
    shared.slots.generation[1].store(5);
    const std::size_t pending = shared.slots.pending_tasks[1].load();
    const std::size_t records = shared.telemetry.jobs_recorded.load();

    // a never ran in slot 1, so b waits for its result.
    std::thread waiter([&] { run_task_job(rt.shared(), task(1, 1, 0, 5), std::nullopt, &add_one); });
    EXPECT_TRUE(eventually([&] { return shared.telemetry.jobs_recorded.load() > records; }));
    shared.slots.generation[1].store(6);  // the slot moves on to its next frame
    waiter.join();

    EXPECT_TRUE(recorded().empty());
    EXPECT_EQ(shared.slots.pending_tasks[1].load(), pending);
    NodeInfo completion;
    EXPECT_FALSE(shared.exec.batch_queue.try_pop(completion));
  }
  EXPECT_TRUE(logged("Stale task dropped during arg collection: node 1 slot 1 index 0 gen 5")) << logged();
}

// The supervisor's exit lines are at info level; debug lines of long runs would only bloat the log.
class EngineLimitTest : public EngineTest {
 protected:
  log::Level capture_level() const override { return log::Level::Info; }
};

TEST_F(EngineLimitTest, RunUntilEndsAtTheFirstPollThatCallsForIt) {
  // Far more frames than any of these runs gets through.
  constexpr std::size_t kEndless = 10'000'000;
  struct Case {
    const char* name;
    std::optional<std::uint64_t> max_runtime;  // seconds
    std::size_t max_frames;
    std::size_t stop_at_poll;  // 0: the predicate never asks to stop
    const char* exit_line;
  };
  const Case cases[] = {
      {"the predicate asks to stop", std::nullopt, kEndless, 3, "run_until predicate satisfied, exiting"},
      {"the time limit passes", 0, kEndless, 0, "Max runtime reached, exiting"},
      {"the frame budget is spent", std::nullopt, 3, 0, "All frames completed, exiting"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clear_log();
    std::vector<RunStatus> polls;
    std::size_t completed = 0;
    {
      ArvexRtBuilder builder = builder_for(compile_nodes(
          {kernel_node(0, "a", "engine.times_ten", 1, {ref(0)}), kernel_node(1, "b", "engine.add_one", 1, {res(0)})}));
      builder.slots = 2;
      builder.max_frames = c.max_frames;
      builder.max_runtime = c.max_runtime;
      const ArvexRt rt = runtime_of(std::move(builder));
      const auto outcome = run_settled(rt, [&](const RunStatus& status) {
        polls.push_back(status);
        return c.stop_at_poll != 0 && polls.size() >= c.stop_at_poll;
      });
      ASSERT_TRUE(outcome.has_value()) << outcome.error();
      completed = frames_completed(rt);
    }
    EXPECT_TRUE(logged(c.exit_line)) << logged();
    if (c.stop_at_poll != 0) {
      EXPECT_EQ(polls.size(), c.stop_at_poll);
    }
    if (c.max_frames == kEndless) {
      EXPECT_LT(completed, c.max_frames);
    } else {
      EXPECT_EQ(completed, c.max_frames);
    }
    for (std::size_t k = 0; k < polls.size(); ++k) {
      SCOPED_TRACE(::testing::Message() << "poll " << k);
      EXPECT_EQ(polls[k].max_frames, c.max_frames);
      EXPECT_LE(polls[k].frames_completed, completed);
      if (k > 0) {
        EXPECT_GE(polls[k].frames_completed, polls[k - 1].frames_completed);
      }
    }
  }
}

TEST(EngineConditionHoldsTest, ComparesByOperatorWithinOneAlternative) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const CmTypes none = CmTypes::none();
  const auto text = [](const char* s) { return CmTypes::make_string(s); };
  struct Case {
    const char* name;
    CmTypes value;
    CmTypes expected;
    CondOp op;
    bool holds;
  };
  const Case cases[] = {
      {"equal values", usize(3), usize(3), CondOp::Eq, true},
      {"different values", usize(3), usize(4), CondOp::Eq, false},
      {"the same number in another alternative", usize(3), CmTypes::make_u64(3), CondOp::Eq, false},
      {"None equals None", none, none, CondOp::Eq, true},
      {"NaN does not equal itself", CmTypes::make_f64(nan), CmTypes::make_f64(nan), CondOp::Eq, false},
      {"not equal, different values", text("x"), text("y"), CondOp::Neq, true},
      {"not equal, equal values", text("x"), text("x"), CondOp::Neq, false},
      {"not equal, other alternative", usize(3), CmTypes::make_u64(3), CondOp::Neq, true},
      {"greater signed integer", CmTypes::make_i32(5), CmTypes::make_i32(-3), CondOp::Gt, true},
      {"equal is not greater", CmTypes::make_i64(7), CmTypes::make_i64(7), CondOp::Gt, false},
      {"smaller signed integer", CmTypes::make_i8(-2), CmTypes::make_i8(1), CondOp::Lt, true},
      {"unsigned by value", CmTypes::make_u64(std::numeric_limits<std::uint64_t>::max()), CmTypes::make_u64(1),
       CondOp::Gt, true},
      {"128-bit integers", CmTypes::make_i128(Int128{1} << 100), CmTypes::make_i128(Int128{1} << 99), CondOp::Gt,
       true},
      {"greater float", CmTypes::make_f32(2.5f), CmTypes::make_f32(1.5f), CondOp::Gt, true},
      {"smaller float", CmTypes::make_f64(-0.5), CmTypes::make_f64(0.25), CondOp::Lt, true},
      {"NaN is never greater", CmTypes::make_f64(nan), CmTypes::make_f64(1.0), CondOp::Gt, false},
      {"NaN is never smaller", CmTypes::make_f64(nan), CmTypes::make_f64(1.0), CondOp::Lt, false},
      {"nothing is smaller than NaN", CmTypes::make_f64(1.0), CmTypes::make_f64(nan), CondOp::Lt, false},
      {"strings by byte order", text("b"), text("a"), CondOp::Gt, true},
      {"a prefix sorts first", text("ab"), text("abc"), CondOp::Lt, true},
      {"upper case before lower case", text("Z"), text("a"), CondOp::Lt, true},
      {"bytes above 0x7f sort last", text("\xc3\xa9"), text("z"), CondOp::Gt, true},
      {"integers of different widths", CmTypes::make_i32(5), CmTypes::make_i64(3), CondOp::Gt, false},
      {"usize against u64", usize(1), CmTypes::make_u64(2), CondOp::Lt, false},
      {"integer against float", CmTypes::make_i32(1), CmTypes::make_f64(2.0), CondOp::Lt, false},
      {"string against number", text("5"), CmTypes::make_i32(3), CondOp::Gt, false},
      {"None has no order", none, none, CondOp::Lt, false},
      {"bool has no order", CmTypes::make_bool(true), CmTypes::make_bool(false), CondOp::Gt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(condition_holds(c.value, c.expected, c.op), c.holds);
  }
}

}  // namespace
}  // namespace arvex
