// Argument resolution over a small compiled graph: every marker kind, one-to-one reads,
// wrapped offsets, gathers, grouped consumers, both argument-list paths (template and per
// argument), and the waits for results that arrive late or belong to a frame that is gone.

#include "runtime/arg_resolution.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/thread_scratch.hpp"
#include "runtime_fixture.hpp"

namespace arvex {
namespace {

using namespace arvex::test;
using Values = std::vector<CmTypes>;

CmTypes i32(std::int32_t v) {
  return CmTypes::make_i32(v);
}
CmTypes usize(std::uint64_t v) {
  return CmTypes::make_usize(v);
}

enum NodeId : std::uint16_t { kSrc, kOne, kWindow, kWrap, kMarks, kGrouped, kAllOf };

// src (4 instances) is read by every other node in a different way.
GraphCompiled reader_graph() {
  Node grouped = node(kGrouped, "grouped", 4, {res(kSrc, {1}, /*group_by=*/2)});
  grouped.group_size = 2;
  GraphSpec graph_spec;
  for (Node& n : std::vector<Node>{
           node(kSrc, "src", 4),
           node(kOne, "one", 4, {res(kSrc)}),
           node(kWindow, "window", 4, {res(kSrc, {0, 1, 2})}),
           node(kWrap, "wrap", 4, {res(kSrc, {-1}), res(kSrc, {2})}),
           node(kMarks, "marks", 6,
                {ref(0), ref(1), literal(i32(7)), ref(2), ref(3), dep(kSrc), barrier(kSrc)}),
           std::move(grouped),
           node(kAllOf, "allof", 3, {res(kSrc, {0, 1, 2})}),
       }) {
    graph_spec.graph.add_node(std::move(n));
  }
  // Objects 0 and 1 stand for "$index" and "$workers"; 2 holds one value, 3 three.
  graph_spec.init_objects = {
      {usize(0)}, {usize(1)}, {CmTypes::make_string("one")}, {i32(100), i32(101), i32(102)}};
  return compile(std::move(graph_spec),
                 [](const std::optional<WorkerRangeSpec>&) { return std::size_t{0}; });
}

ArvexRt build_runtime(std::size_t slots, GraphCompiled compiled = reader_graph()) {
  ArvexRtBuilder builder = builder_for(std::move(compiled));
  builder.slots = slots;
  builder.max_frames = slots;
  auto built = build(std::move(builder));
  EXPECT_TRUE(built.has_value());
  return std::move(built).value();
}

NodeInfo task_of(std::uint16_t node_id, std::size_t index, std::size_t slot = 1,
                 std::uint32_t generation = 0) {
  NodeInfo task;
  task.slot = slot;
  task.node_id = node_id;
  task.index = index;
  task.generation = generation;
  return task;
}

// Instance i of src in `slot` produced 10 + i.
void store_src_results(SharedData& shared, std::size_t slot = 1) {
  for (std::size_t i = 0; i < 4; ++i) {
    shared.exec.result_map->set(task_of(kSrc, i, slot), i32(10 + static_cast<std::int32_t>(i)));
  }
}

TEST(ArgResolutionTest, CollectsEachArgumentKind) {
  struct Case {
    const char* name;
    std::uint16_t node;
    std::size_t arg;
    std::size_t index;
    std::size_t batch_width;
    std::size_t direct_index;
    std::optional<Values> expected;
  };
  const Case cases[] = {
      {"one offset reads the same instance", kOne, 0, 2, 4, 2, Values{i32(12)}},
      {"negative offset wraps", kWrap, 0, 0, 4, 0, Values{i32(13)}},
      {"offset past the end wraps", kWrap, 1, 3, 4, 3, Values{i32(11)}},
      {"gather in offset order", kWindow, 0, 3, 4, 3, Values{i32(13), i32(10), i32(11)}},
      {"width equal to the offsets reads the direct index", kWindow, 0, 3, 3, 5, Values{i32(11)}},
      {"grouped consumer, first group", kGrouped, 0, 1, 4, 1, Values{i32(11)}},
      {"grouped consumer, second group", kGrouped, 0, 2, 4, 2, Values{i32(13)}},
      {"$index", kMarks, 0, 3, 6, 3, Values{usize(3)}},
      {"$workers is the worker count", kMarks, 1, 3, 6, 3, Values{usize(1)}},
      {"literal", kMarks, 2, 3, 6, 3, Values{i32(7)}},
      {"init object with one value", kMarks, 3, 5, 6, 5, Values{CmTypes::make_string("one")}},
      {"init object with several values", kMarks, 4, 4, 6, 4, Values{i32(101)}},
      {"$dep passes None", kMarks, 5, 0, 6, 0, Values{CmTypes::none()}},
      {"barrier passes nothing", kMarks, 6, 0, 6, 0, std::nullopt},
  };
  const ArvexRt rt = build_runtime(2);
  SharedData& shared = *rt.shared();
  store_src_results(shared);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Arg& arg = shared.graph.nodes()[c.node].args[c.arg];
    bool stale = false;
    EXPECT_EQ(
        collect_arg_result(arg, c.node, c.index, c.batch_width, 1, c.direct_index, shared, stale),
        c.expected);
    EXPECT_FALSE(stale);
  }
}

TEST(ArgResolutionTest, ResultReferenceWithoutValueOrAfterStaleYieldsNothing) {
  const ArvexRt rt = build_runtime(2);
  SharedData& shared = *rt.shared();
  store_src_results(shared);
  Arg no_offsets;
  no_offsets.value = CmTypes::make_res(kSrc);
  bool stale = false;
  EXPECT_EQ(collect_arg_result(no_offsets, kOne, 0, 4, 1, 0, shared, stale), std::nullopt);
  EXPECT_FALSE(stale);

  stale = true;  // an earlier argument of the task found it stale
  EXPECT_EQ(collect_arg_result(shared.graph.nodes()[kOne].args[0], kOne, 0, 4, 1, 0, shared, stale),
            std::nullopt);

  EXPECT_EQ(fetch_res_results(i32(3)), Values{i32(3)});
  EXPECT_EQ(fetch_res_results(std::nullopt), std::nullopt);
}

TEST(ArgResolutionTest, BuildsTaskArgumentsWithAndWithoutTemplates) {
  struct Case {
    const char* name;
    std::uint16_t node;
    std::size_t index;
    Values with_template;
    Values without_template;
  };
  const Case cases[] = {
      {"one to one", kOne, 2, {i32(12)}, {i32(12)}},
      {"two wrapped offsets", kWrap, 0, {i32(13), i32(12)}, {i32(13), i32(12)}},
      // Never templated: three offsets for four instances.
      {"gather", kWindow, 3, {i32(13), i32(10), i32(11)}, {i32(13), i32(10), i32(11)}},
      // Three offsets for three instances: one value each, at the instance's own index.
      {"one offset per instance", kAllOf, 2, {i32(12)}, {i32(12)}},
      {"grouped", kGrouped, 3, {i32(13)}, {i32(13)}},
      // The template keeps the barrier's position (None); per argument it adds nothing.
      {"markers",
       kMarks,
       4,
       {usize(4), usize(1), i32(7), CmTypes::make_string("one"), i32(101), CmTypes::none(),
        CmTypes::none()},
       {usize(4), usize(1), i32(7), CmTypes::make_string("one"), i32(101), CmTypes::none()}},
  };
  for (const bool templates : {true, false}) {
    SCOPED_TRACE(templates ? "templates" : "per argument");
    const ScopedEnv env("ARVEX_DISABLE_ARG_TEMPLATES",
                        templates ? std::nullopt : std::optional<std::string>(""));
    const ArvexRt rt = build_runtime(2);
    SharedData& shared = *rt.shared();
    ASSERT_EQ(shared.cache.node_cache[kMarks].use_arg_template, templates);
    store_src_results(shared);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      Values out{i32(-1)};  // left over from an earlier task
      EXPECT_EQ(build_task_args(shared, task_of(c.node, c.index), out), ArgsStatus::Ready);
      EXPECT_EQ(out, templates ? c.with_template : c.without_template);
    }
  }
}

TEST(ArgResolutionTest, TaskArgumentsAreBuiltInTheThreadsArgBuffer) {
  const ArvexRt rt = build_runtime(2);
  SharedData& shared = *rt.shared();
  store_src_results(shared);
  Values seen;
  const ArgsStatus status =
      with_task_args(shared, task_of(kOne, 1), [&](std::span<const CmTypes> args) {
        EXPECT_TRUE(ARG_BUF.borrowed());
        seen.assign(args.begin(), args.end());
      });
  EXPECT_EQ(status, ArgsStatus::Ready);
  EXPECT_EQ(seen, Values{i32(11)});
  EXPECT_FALSE(ARG_BUF.borrowed());
}

TEST(ArgResolutionTest, WaitsForAResultStoredLaterByAnotherThread) {
  const ArvexRt rt = build_runtime(2);
  SharedData& shared = *rt.shared();
  std::thread producer([&] {
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();  // let the reader start waiting
    shared.exec.result_map->set(task_of(kSrc, 3), i32(42));
  });
  Values out;
  EXPECT_EQ(build_task_args(shared, task_of(kOne, 3), out), ArgsStatus::Ready);
  producer.join();
  EXPECT_EQ(out, Values{i32(42)});
}

TEST(ArgResolutionTest, AWaitInASlotThatMovedOnEndsStaleUnlessTheRunHasOneSlot) {
  struct Case {
    std::size_t slots;
    ArgsStatus expected;
  };
  const Case cases[] = {{2, ArgsStatus::Stale}, {1, ArgsStatus::Missing}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slots);
    const ArvexRt rt = build_runtime(c.slots);
    SharedData& shared = *rt.shared();
    shared.slots.generation[0].store(5);
    Values out;
    EXPECT_EQ(build_task_args(shared, task_of(kOne, 0, /*slot=*/0, /*generation=*/4), out),
              c.expected);
  }
}

TEST(ArgResolutionTest, AWaitingTaskNoticesItsSlotBeingReset) {
  const ArvexRt rt = build_runtime(2);
  SharedData& shared = *rt.shared();
  std::thread reset([&] {
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    shared.slots.generation[1].fetch_add(1);
  });
  Values out;
  EXPECT_EQ(build_task_args(shared, task_of(kWindow, 0), out), ArgsStatus::Stale);
  reset.join();
}

TEST(ArgResolutionTest, ShutdownEndsAWaitAsStale) {
  const ArvexRt rt = build_runtime(2);
  SharedData& shared = *rt.shared();
  shared.shutdown.store(true);
  bool stale = false;
  EXPECT_EQ(collect_arg_result(shared.graph.nodes()[kOne].args[0], kOne, 0, 4, 1, 0, shared, stale),
            std::nullopt);
  EXPECT_TRUE(stale);
  Values out;
  EXPECT_EQ(build_task_args(shared, task_of(kOne, 0), out), ArgsStatus::Stale);
}

TEST(ArgResolutionDeathTest, GroupedReadOutsideThePredecessorStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const ArvexRt rt = build_runtime(2);
        bool stale = false;
        // 1 + (4 / 2) * 2 = 5, past src's four instances.
        (void)collect_arg_result(rt.shared()->graph.nodes()[kGrouped].args[0], kGrouped, 4, 4, 1, 4,
                                 *rt.shared(), stale);
      },
      ::testing::ExitedWithCode(101), "node 5 instance 4 reads instance 5 of node 0");
}

}  // namespace
}  // namespace arvex
