// Release rules of the dependency counter on one thread: progressive, barrier and exact
// release, generations, re-arming through increment_dependency and reset_sent, the completion
// bitmap, arguments out of range and the debug text.
#include <gtest/gtest.h>

#include <limits>

#include "allocation_counter.hpp"
#include "tables/dependency_counter.hpp"
#include "test_graphs.hpp"

namespace arvex {
namespace {

using test::barrier_edge;
using test::make_graph;
using test::NodeSpec;
using test::offsets;
using test::res_edge;
using Instances = std::vector<std::size_t>;

// A counter over a source node 0 of `source_factor` instances and the node under test, node 1.
struct TwoNodes {
  TwoNodes(std::size_t source_factor, NodeSpec node, std::size_t slots = 2)
      : graph(make_graph({{"src", source_factor}, std::move(node)})),
        counter(slots, graph.dependency_count_vec(), graph.nodes()) {}

  Instances decrease(std::optional<std::size_t> group, std::uint32_t by, std::uint32_t generation = 1,
                     std::size_t slot = 1) {
    counter.decrease_and_get_ready_into(slot, 1, generation, group, by, false, 0, out);
    return out;
  }

  Graph graph;
  MultiThreadedCounter counter;
  Instances out;
};

NodeSpec progressive(std::size_t factor, std::optional<std::size_t> group_size = std::nullopt) {
  return {"n", factor, {res_edge(0)}, group_size};
}
// Three groups of two instances, two completions each.
NodeSpec barrier_groups_of_two(bool condition = false) {
  return {"n", 6, {barrier_edge(0, offsets(6), 2)}, std::nullopt, condition};
}

struct Call {
  std::optional<std::size_t> group;
  std::uint32_t by;
  Instances released;
  std::uint32_t generation = 1;
  bool exact = false;
  std::size_t instance = 0;
};

struct ReleaseCase {
  const char* name;
  std::size_t source_factor;
  NodeSpec node;
  std::vector<Call> calls;
};

TEST(DependencyCounterRelease, ScriptsTable) {
  const std::optional<std::size_t> all;
  const ReleaseCase cases[] = {
      {"progressive: one instance per completion, then nothing more", 4, progressive(4),
       {{all, 1, {0}}, {all, 1, {1}}, {all, 1, {2}}, {all, 1, {3}}, {all, 1, {}}}},
      {"progressive in groups of four, two completions per instance", 16, progressive(8, 4),
       {{1, 1, {}}, {1, 1, {4}}, {1, 2, {5}}, {1, 4, {6, 7}}, {1, 1, {}}, {0, 8, {0, 1, 2, 3}}, {2, 1, {}}}},
      {"without a group every group is decremented, in order", 16, progressive(8, 4),
       {{all, 2, {0, 4}}, {all, 6, {1, 2, 3, 5, 6, 7}}, {all, 1, {}}}},
      {"a decrement beyond the count stops at zero", 4, progressive(4), {{all, 10, {0, 1, 2, 3}}, {all, 1, {}}}},
      {"fewer completions than instances: all at zero", 2, progressive(4), {{all, 1, {}}, {all, 1, {0, 1, 2, 3}}}},
      {"instances past the last whole group are never released", 14, progressive(7, 2),
       {{all, 4, {0, 1, 2, 3, 4, 5}}, {all, 4, {}}}},
      {"barrier: a group is released whole when it reaches zero, once", 6, barrier_groups_of_two(),
       {{0, 1, {}}, {0, 1, {0, 1}}, {0, 1, {}}, {2, 5, {4, 5}}, {1, 0, {}}, {all, 2, {2, 3}}, {3, 1, {}}}},
      {"condition barrier releases like a barrier", 6, barrier_groups_of_two(true),
       {{1, 1, {}}, {1, 1, {2, 3}}, {1, 1, {}}}},
      {"exact: only the named instance, once; one past the factor only counts", 4, progressive(4),
       {{all, 1, {2}, 1, true, 2}, {all, 1, {}, 1, true, 2}, {all, 1, {}, 1, true, 9}, {all, 0, {0, 1}}}},
      {"a newer generation starts from the full count, nothing sent", 4, progressive(4),
       {{all, 4, {0, 1, 2, 3}, 1}, {all, 1, {0}, 2}, {all, 1, {1}, 2}}},
      {"a newer generation re-arms a barrier group at zero", 6, barrier_groups_of_two(),
       {{0, 2, {0, 1}, 7}, {0, 1, {}, 8}, {0, 1, {0, 1}, 8}}},
  };
  for (const ReleaseCase& c : cases) {
    SCOPED_TRACE(c.name);
    TwoNodes t(c.source_factor, c.node);
    for (std::size_t k = 0; k < c.calls.size(); ++k) {
      const Call& call = c.calls[k];
      t.out = {99};  // cleared by every call
      t.counter.decrease_and_get_ready_into(1, 1, call.generation, call.group, call.by, call.exact, call.instance,
                                            t.out);
      EXPECT_EQ(t.out, call.released) << "call " << k;
    }
  }
}

TEST(DependencyCounterRelease, SlotsAreIndependent) {
  TwoNodes t(4, progressive(4), 3);
  EXPECT_EQ(t.decrease(std::nullopt, 4, 1, 1), (Instances{0, 1, 2, 3}));
  EXPECT_EQ(t.decrease(std::nullopt, 1, 1, 0), (Instances{0}));
  EXPECT_EQ(t.decrease(std::nullopt, 1, 1, 2), (Instances{0}));
}

struct IncrementCase {
  const char* name;
  std::size_t source_factor;
  NodeSpec node;
  std::size_t index;
  std::uint32_t generation;
  std::uint32_t expected;
};

TEST(DependencyCounterIncrement, AddsOneToTheGroupOfTheInstance) {
  const IncrementCase cases[] = {
      {"one group", 4, progressive(4), 3, 1, 5},
      {"second of two groups", 16, progressive(8, 4), 5, 1, 9},
      {"past the last whole group counts with the last group", 14, progressive(7, 2), 6, 1, 5},
      {"a generation never used starts from the full count", 16, progressive(8, 4), 0, 42, 9},
  };
  for (const IncrementCase& c : cases) {
    SCOPED_TRACE(c.name);
    TwoNodes t(c.source_factor, c.node);
    const NodeInfo task{.slot = 1, .index = c.index, .node_id = 1};
    EXPECT_EQ(t.counter.increment_dependency(task, c.generation), (DependencyIncrement{true, c.expected}));
    EXPECT_EQ(t.counter.increment_dependency(task, c.generation), (DependencyIncrement{true, c.expected + 1}));
  }
}

TEST(DependencyCounterIncrement, DelaysOnlyItsOwnGroup) {
  TwoNodes t(16, progressive(8, 4));
  EXPECT_EQ(t.counter.increment_dependency({.slot = 1, .index = 7, .node_id = 1}, 1).count, 9u);
  EXPECT_EQ(t.decrease(1, 2), Instances{}) << "group 1 is at 7, one completion short of its first instance";
  EXPECT_EQ(t.decrease(0, 2), (Instances{0}));
  EXPECT_EQ(t.decrease(1, 1), (Instances{4}));
}

TEST(DependencyCounterIncrement, SaturatesAtTheLargestCount) {
  const Graph graph = make_graph({{"src", 1}, progressive(1)});
  const std::size_t counts[] = {0, std::numeric_limits<std::uint32_t>::max()};
  MultiThreadedCounter counter(1, counts, graph.nodes());
  const NodeInfo task{.node_id = 1};
  EXPECT_EQ(counter.increment_dependency(task, 0), (DependencyIncrement{true, 0xFFFFFFFFu}));
  EXPECT_EQ(counter.increment_dependency(task, 0), (DependencyIncrement{true, 0xFFFFFFFFu}));
}

// The condition-failure path: a released instance waits again for one more completion.
struct RearmCase {
  const char* name;
  NodeSpec node;  // two instances, two completions, one group
  bool reset_sent;
  Instances released_again;
};

TEST(DependencyCounterRearm, IncrementAndResetSentTable) {
  const NodeSpec barrier = {"n", 2, {barrier_edge(0, offsets(2), 2)}};
  NodeSpec condition_barrier = barrier;
  condition_barrier.condition = true;
  const RearmCase cases[] = {
      {"progressive: the sent mark holds", progressive(2), false, {}},
      {"progressive: reset_sent releases the instance again", progressive(2), true, {1}},
      {"barrier: nothing is marked, the group goes again", barrier, false, {0, 1}},
      {"barrier: reset_sent changes nothing", barrier, true, {0, 1}},
      {"condition barrier: the marks hold", condition_barrier, false, {}},
      {"condition barrier: only the reset instance goes again", condition_barrier, true, {1}},
  };
  for (const RearmCase& c : cases) {
    SCOPED_TRACE(c.name);
    TwoNodes t(2, c.node);
    ASSERT_EQ(t.decrease(std::nullopt, 2), (Instances{0, 1}));
    EXPECT_EQ(t.counter.increment_dependency({.slot = 1, .index = 1, .node_id = 1}, 1).count, 1u);
    if (c.reset_sent) t.counter.reset_sent(1, 1, 1, 1);
    EXPECT_EQ(t.decrease(std::nullopt, 1), c.released_again);
  }
}

TEST(DependencyCounterCompletion, OneClaimPerFrameUntilUnmarked) {
  TwoNodes t(1, progressive(1), 4);
  EXPECT_TRUE(t.counter.try_complete_slot(3));
  EXPECT_FALSE(t.counter.try_complete_slot(3));
  EXPECT_TRUE(t.counter.try_complete_slot(2)) << "slots are claimed independently";
  EXPECT_FALSE(t.counter.try_complete_slot(4)) << "beyond the slot count";
  t.counter.unmark_slot_completed(3);
  EXPECT_TRUE(t.counter.try_complete_slot(3));
  EXPECT_FALSE(t.counter.try_complete_slot(2)) << "unmarking one slot leaves the others claimed";
}

TEST(DependencyCounterRange, OutOfRangeArgumentsChangeNothing) {
  // Two slots; node 2 has no instances; node 3 does not exist.
  const Graph graph = make_graph({{"src", 2}, progressive(2), {"empty", 0, {res_edge(0)}}});
  MultiThreadedCounter counter(2, graph.dependency_count_vec(), graph.nodes());
  const std::string before = counter.debug_info();
  struct Target {
    const char* name;
    std::size_t slot;
    std::size_t node;
  };
  for (const Target& target : {Target{"slot", 2, 1}, Target{"node", 0, 3}, Target{"factor 0", 0, 2}}) {
    SCOPED_TRACE(target.name);
    Instances out = {7};
    counter.decrease_and_get_ready_into(target.slot, target.node, 1, std::nullopt, 1, false, 0, out);
    EXPECT_TRUE(out.empty());
    counter.decrease_and_get_ready_into(target.slot, target.node, 1, 0, 1, true, 0, out);
    EXPECT_TRUE(out.empty());
    const NodeInfo task{.slot = target.slot, .node_id = static_cast<std::uint16_t>(target.node)};
    EXPECT_FALSE(counter.increment_dependency(task, 1).applied);
    counter.reset_sent(target.slot, target.node, 0, 1);
  }
  counter.reset_sent(0, 1, 2, 1);  // instance beyond the factor
  counter.unmark_slot_completed(2);
  EXPECT_FALSE(counter.try_complete_slot(2));
  EXPECT_EQ(counter.debug_info(), before);
}

TEST(DependencyCounterDebug, OneLineNestedStructure) {
  const Graph graph = make_graph({{"src", 1}, progressive(2)});
  MultiThreadedCounter counter(2, graph.dependency_count_vec(), graph.nodes());
  std::vector<std::size_t> out;
  counter.decrease_and_get_ready_into(1, 1, 1, std::nullopt, 1, false, 0, out);
  ASSERT_EQ(out, (Instances{0, 1}));
  ASSERT_TRUE(counter.try_complete_slot(1));
  const std::string src_entry =
      "NodeDependencyEntry { remaining_deps: [0], instances_sent: [0], factor: 1, group_size: 1, num_groups: 1, "
      "deps_per_group: 0, deps_per_instance: 0, has_barrier: false, is_condition: false }";
  const std::string entry_tail =
      "factor: 2, group_size: 2, num_groups: 1, deps_per_group: 1, deps_per_instance: 0, has_barrier: false, "
      "is_condition: false }";
  EXPECT_EQ(counter.debug_info(),
            "MultiThreadedCounter { node_dep_map: NodeDepMap { slots: [[" + src_entry +
                ", NodeDependencyEntry { remaining_deps: [1], instances_sent: [0, 0], " + entry_tail + "], [" +
                src_entry +
                ", NodeDependencyEntry { remaining_deps: [4294967296], instances_sent: [4294967297, 4294967297], " +
                entry_tail + "]] }, completed_slots: 2 }");
}

TEST(DependencyCounterHotPath, DecrementsDoNotAllocateIntoAReusedVector) {
  const Graph graph = make_graph({{"src", 16}, progressive(8, 4), barrier_groups_of_two()});
  MultiThreadedCounter counter(1, graph.dependency_count_vec(), graph.nodes());
  std::vector<std::size_t> out;
  out.reserve(8);
  std::size_t released = 0;
  const test::AllocationScope scope;
  for (std::uint32_t generation = 1; generation <= 3; ++generation) {
    for (int k = 0; k < 8; ++k) {
      counter.decrease_and_get_ready_into(0, 1, generation, std::nullopt, 1, false, 0, out);
      released += out.size();
      counter.decrease_and_get_ready_into(0, 2, generation, std::nullopt, 1, false, 0, out);
      released += out.size();
    }
  }
  EXPECT_EQ(scope.count(), 0u);
  EXPECT_EQ(released, 3u * (8 + 6));
}

}  // namespace
}  // namespace arvex
