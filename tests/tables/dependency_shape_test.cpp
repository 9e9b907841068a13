// How the dependency counter groups a node's instances, built from real graphs: the node's own
// group_size, the barrier-grouping rule and the per-group and per-instance thresholds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "logging/log.hpp"
#include "tables/dependency_counter.hpp"
#include "test_graphs.hpp"

namespace arvex {
namespace {

using test::barrier_edge;
using test::make_graph;
using test::NodeSpec;
using test::offsets;
using test::res_edge;

struct ShapeCase {
  const char* name;
  std::size_t source_factor;  // node 0, the predecessor of every edge
  NodeSpec node;              // node 1
  std::size_t total_deps;     // what the graph counts for node 1
  DependencyShape expected;   // factor, group_size, num_groups, deps_per_group, deps_per_instance, barrier, cond
};

TEST(DependencyShape, GroupingRulesTable) {
  const ShapeCase cases[] = {
      {"one group, one completion per instance", 4, {"n", 4, {res_edge(0)}}, 4, {4, 4, 1, 4, 1, false, false}},
      {"group_size 4 of 8, sixteen completions", 16, {"n", 8, {res_edge(0)}, 4}, 16, {8, 4, 2, 8, 2, false, false}},
      {"group_size equal to the factor is one group", 4, {"n", 4, {res_edge(0)}, 4}, 4, {4, 4, 1, 4, 1, false, false}},
      {"group_size 0 is one group", 4, {"n", 4, {res_edge(0)}, 0}, 4, {4, 4, 1, 4, 1, false, false}},
      {"instances past the last whole group", 14, {"n", 7, {res_edge(0)}, 2}, 14, {7, 2, 3, 4, 2, false, false}},
      {"fewer completions than instances", 2, {"n", 4, {res_edge(0)}}, 2, {4, 4, 1, 2, 0, false, false}},
      {"barrier group_by 2 over six offsets", 6, {"n", 6, {barrier_edge(0, offsets(6), 2)}}, 6,
       {6, 2, 3, 2, 1, true, false}},
      {"barrier grouping wins over the node's group_size", 6, {"n", 6, {barrier_edge(0, offsets(6), 2)}, 3}, 6,
       {6, 2, 3, 2, 1, true, false}},
      {"largest group_by and largest offset count across barrier edges", 8,
       {"n", 8, {barrier_edge(0, offsets(4), 4), barrier_edge(0, offsets(8), 1)}}, 4, {8, 4, 2, 2, 0, true, false}},
      {"barrier group_by larger than its offsets is one group", 4, {"n", 4, {barrier_edge(0, offsets(2), 4)}}, 0,
       {4, 4, 1, 0, 0, true, false}},
      {"barrier group_by 0 is one group", 4, {"n", 4, {barrier_edge(0, offsets(4), 0)}, 2}, 0,
       {4, 4, 1, 0, 0, true, false}},
      {"more barrier groups than instances is one group", 6, {"n", 2, {barrier_edge(0, offsets(6), 1)}}, 6,
       {2, 2, 1, 6, 3, true, false}},
      {"barrier without group_by keeps the node's group_size", 8, {"n", 8, {barrier_edge(0)}, 2}, 32,
       {8, 2, 4, 8, 4, true, false}},
      {"node-level condition", 4, {"n", 4, {res_edge(0)}, std::nullopt, true}, 4, {4, 4, 1, 4, 1, false, true}},
      {"factor 0 has no instances", 3, {"n", 0, {res_edge(0)}}, 3, {0, 0, 1, 3, 0, false, false}},
  };
  for (const ShapeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Graph graph = make_graph({{"src", c.source_factor}, c.node});
    const std::vector<std::size_t> counts = graph.dependency_count_vec();
    ASSERT_EQ(counts[1], c.total_deps);
    const MultiThreadedCounter counter(2, counts, graph.nodes());
    EXPECT_EQ(counter.shape(1), c.expected);
    EXPECT_EQ(counter.shape(0), (DependencyShape{c.source_factor, c.source_factor, 1, 0, 0, false, false}));
  }
}

class BarrierGroupingLog : public testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("RUST_LOG");
    ASSERT_TRUE(log::install_logger({log::Level::Debug, false, &out_}));
  }
  void TearDown() override { log::uninstall_logger(); }
  std::ostringstream out_;
};

TEST_F(BarrierGroupingLog, NamesTheChosenGroupingOfGroupedBarriersOnly) {
  const Graph graph = make_graph({{"src", 6},
                                  {"gather", 6, {barrier_edge(0, offsets(6), 2)}},
                                  {"plain_barrier", 6, {barrier_edge(0)}, 3},
                                  {"wide", 4, {barrier_edge(0, offsets(2), 4)}}});
  const MultiThreadedCounter counter(1, graph.dependency_count_vec(), graph.nodes());
  const std::string text = out_.str();
  for (const char* expected : {
           "arvex_core::debug: DB: BARRIER GROUPING: node=gather, factor=6, total_deps=6, group_by=2, "
           "num_pred_packets=6, num_barrier_groups=3, instances_per_group=2",
           "DB: BARRIER GROUPING: node=wide, factor=4, total_deps=0, group_by=4, num_pred_packets=2, "
           "num_barrier_groups=0, instances_per_group=4",
       }) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n--- in ---\n" << text;
  }
  EXPECT_EQ(text.find("BARRIER GROUPING: node=plain_barrier"), std::string::npos) << "no grouped barrier edge, no grouping line";
}

TEST(DependencyShapeDeath, BrokenConfigurationsStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Graph graph = make_graph({{"src", 4}, {"big", 1, {res_edge(0)}}});
  const std::vector<std::size_t> too_large = {0, std::size_t{1} << 32};
  const std::vector<std::size_t> too_few = {0};
  EXPECT_EXIT(MultiThreadedCounter(1, too_large, graph.nodes()), testing::ExitedWithCode(101),
              "dependency count 4294967296 of node big does not fit a 32-bit counter");
  EXPECT_EXIT(MultiThreadedCounter(65, graph.dependency_count_vec(), graph.nodes()), testing::ExitedWithCode(101),
              "the dependency counter supports at most 64 slots, got 65");
  EXPECT_EXIT(MultiThreadedCounter(1, too_few, graph.nodes()), testing::ExitedWithCode(101),
              "dependency counts for 1 nodes given for a graph of 2 nodes");
}

}  // namespace
}  // namespace arvex
