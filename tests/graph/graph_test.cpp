// The graph model: adjacency kept as nodes arrive, dependency counts, condition indexes, the
// printed summary and predecessor instance arithmetic.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "graph/graph.hpp"
#include "support/graph_builders.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

using namespace test_support;

Arg conditional_literal() { return conditional(literal(CmTypes::make_i32(1))); }

TEST(GraphModel, NodesWithoutArgumentsAreInitialExceptTheNetworkSource) {
  Graph g;
  g.add_node(node(0, "$network", 4));
  g.add_node(node(1, "a", 2));
  g.add_node(node(2, "b"));
  EXPECT_EQ(g.initial_nodes(), (std::vector<std::uint16_t>{1, 2}));
  EXPECT_TRUE(g.successors().empty());
  EXPECT_EQ(g.dependency_count_vec(), (std::vector<std::size_t>{0, 0, 0}));
  EXPECT_TRUE(g.condition_nodes().empty());
  EXPECT_EQ(g.post_nodes(), std::nullopt);
}

TEST(GraphModel, SuccessorsListEachConsumerOnceInIdOrder) {
  Graph g;
  g.add_node(node(0, "src", 4));
  g.add_node(node(1, "mid", 4, {res(0)}));
  g.add_node(node(2, "twice", 4, {res(0), res(0, {1})}));
  g.add_node(node(3, "late", 1, {res(2, {0, 1, 2, 3}), res(0, {0, 1, 2, 3})}));
  EXPECT_EQ(g.successors(), (std::vector<std::vector<std::uint16_t>>{{1, 2, 3}, {}, {3}}));
  EXPECT_EQ(g.initial_nodes(), (std::vector<std::uint16_t>{0}));
  EXPECT_EQ(g.dependency_count_vec()[2], 4u) << "node 0 counts once although two arguments read it";
}

TEST(GraphModel, LoopAndConditionArgumentsAreNoEdges) {
  Graph g;
  g.add_node(node(0, "src", 2));
  Node n = node(1, "looped", 2);
  n.loop_args = std::vector<Arg>{res(0)};
  n.condition = NodeCondition{CondOp::Eq, CmTypes::make_bool(true), "noop", {res(0)}};
  g.add_node(std::move(n));
  EXPECT_TRUE(g.successors().empty());
  EXPECT_EQ(g.initial_nodes(), (std::vector<std::uint16_t>{0, 1}));
  EXPECT_EQ(g.dependency_count_vec()[1], 0u);
}

struct DepCountCase {
  const char* name;
  std::size_t pred_factor;
  std::size_t factor;
  std::optional<std::size_t> group_size;
  std::vector<Arg> args;  // all from node 0
  std::size_t expected;
};

TEST(DependencyCount, Table) {
  const DepCountCase cases[] = {
      {"one-to-one offset", 4, 4, {}, {res(0)}, 4},
      {"four offsets covering the consumer, fewer than the producer has", 8, 4, {}, {res(0, {0, 1, 2, 3})}, 4},
      {"the same edge into a single instance", 8, 1, {}, {res(0, {0, 1, 2, 3})}, 8},
      {"offsets spanning more than they hold", 8, 4, {}, {res(0, {0, 3})}, 8},
      {"no offsets", 3, 2, {}, {res(0, {})}, 3},
      {"ordinary edge with group_by counts its offsets", 8, 2, {}, {res(0, {0, 1, 2}, 2)}, 3},
      {"dep edge: one offset covering a single instance", 5, 1, {}, {edge(CmTypes::make_dep(0), 0)}, 1},
      {"dep edge from a narrower producer", 1, 3, {}, {edge(CmTypes::make_dep(0), 0)}, 1},
      {"barrier group_by 2 over five offsets", 8, 1, {}, {barrier(0, {0, 1, 2, 3, 4}, 2)}, 4},
      {"barrier group_by 0", 8, 1, {}, {barrier(0, {0, 1, 2, 3, 4}, 0)}, 0},
      {"barrier per group: contribution times four groups", 8, 8, 2, {barrier(0)}, 32},
      {"group_size not smaller than the factor is one group", 8, 8, 8, {barrier(0)}, 8},
      {"group_size 0 is one group", 8, 8, 0, {barrier(0)}, 8},
      {"barrier counted first, the result edge from the same node not again", 4, 4, 2,
       {res(0), barrier(0)}, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Graph g;
    g.add_node(node(0, "src", c.pred_factor));
    Node consumer = node(1, "consumer", c.factor, c.args);
    consumer.group_size = c.group_size;
    g.add_node(std::move(consumer));
    EXPECT_EQ(g.dependency_count_vec(), (std::vector<std::size_t>{0, c.expected}));
  }
}

TEST(DependencyCount, SumsOverDistinctPredecessors) {
  Graph g;
  g.add_node(node(0, "a", 4));
  g.add_node(node(1, "b", 2));
  g.add_node(node(2, "c", 4, {res(0), barrier(1), res(1)}));
  EXPECT_EQ(g.dependency_count_vec()[2], 4u + 2u);
}

using DependencyCountLog = test_support::LogCaptureTest;

TEST_F(DependencyCountLog, DebugLinesNameTheEdgeArithmetic) {
  Graph g;
  g.add_node(node(0, "src", 8));
  Node grouped = node(1, "grouped", 8, {barrier(0)});
  grouped.group_size = 2;
  g.add_node(std::move(grouped));
  g.add_node(node(2, "gathered", 1, {barrier(0, {0, 1, 2, 3, 4}, 2)}));
  g.add_node(node(3, "single", 1, {barrier(0, {0})}));
  (void)g.dependency_count_vec();
  const std::string text = logged();
  for (const char* expected : {
           "arvex_core::debug: DEPCOUNT: node=grouped, factor=8, group_size=Some(2), num_groups=4, group_by=None, "
           "contributing=8, dep_count_before=0, adding=32",
           "DEPCOUNT FINAL: node=grouped, factor=8, total_dep_count=32, threshold=4",
           "DEPCOUNT: node=gathered, factor=1, group_size=None, num_barrier_groups=2, group_by=Some(2), "
           "indexes.len()=5, dep_count_before=0, adding=4",
           "DEPCOUNT: node=single, factor=1, group_size=None, num_groups=1 (<=1), contributing=1, "
           "dep_count_before=0, adding=1",
           "DEPCOUNT FINAL: node=src, factor=8, total_dep_count=0, threshold=0",
       }) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n--- in ---\n" << text;
  }
}

TEST(GraphModel, ConditionNodesAndTheirConditionalArgumentPositions) {
  Graph g;
  g.add_node(node(0, "src"));
  g.add_node(node(1, "plain", 1, {res(0), conditional_literal(), res(0), conditional_literal()}));
  Node gated = node(2, "gated", 1, {res(0)});
  gated.condition = NodeCondition{CondOp::Lt, CmTypes::make_u32(3), "noop", {}};
  g.add_node(std::move(gated));
  EXPECT_EQ(g.condition_nodes(), (std::set<std::uint16_t>{1, 2}));
  EXPECT_EQ(g.get_condition_indexes(), (std::vector<std::vector<std::size_t>>{{1, 3}})) << "node 2 has no conditional arguments";
}

TEST(GraphModel, PrintedSummary) {
  Graph g;
  g.add_node(node(0, "src", 4));
  g.add_node(node(1, "say \"hi\"", 4, {res(0)}));
  g.add_node(node(2, "sum", 1, {res(1, {0, 1, 2, 3})}));
  EXPECT_EQ(g.graph_text(),
            "Graph:\n"
            "  0: \"src\" (4)\n"
            "  1: \"say \\\"hi\\\"\" (4)\n"
            "  2: \"sum\" (1)\n"
            "No post nodes.\n"
            "Initial Nodes: [0]\n"
            "Successors: [[1], [2]]\n");

  g.add_post_node(node(0, "flush"));
  g.add_post_node(node(1, "report", 2));
  EXPECT_EQ(g.graph_text(),
            "Graph:\n"
            "  0: \"src\" (4)\n"
            "  1: \"say \\\"hi\\\"\" (4)\n"
            "  2: \"sum\" (1)\n"
            "Post Nodes:\n"
            "  0: \"flush\" (1)\n"
            "  1: \"report\" (2)\n"
            "Initial Nodes: [0]\n"
            "Successors: [[1], [2]]\n");
  EXPECT_EQ(g.successors().size(), 2u) << "post nodes change no adjacency";

  testing::internal::CaptureStdout();
  Graph().print_graph();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Graph:\nNo post nodes.\nInitial Nodes: []\nSuccessors: []\n");
}

TEST(GraphModel, NetworkConfigIsReplacedAndShared) {
  Graph g;
  g.set_network_config(GraphNetworkConfig{.address = "127.0.0.1", .num_sockets = 1});
  const auto first = g.network_config();
  g.set_network_config(GraphNetworkConfig{.address = "::1", .num_sockets = 2});
  EXPECT_EQ(first->address, "127.0.0.1") << "holders of the old handle keep it";
  EXPECT_EQ(g.network_config()->num_sockets, 2u);
}

TEST(FindPredIndex, WrapsAroundThePredecessorFactor) {
  struct Case {
    std::size_t index;
    std::int64_t offset;
    std::size_t factor;
    std::size_t expected;
  };
  const Case cases[] = {
      {0, 0, 4, 0}, {1, 2, 4, 3}, {3, 1, 4, 0}, {2, 9, 4, 3}, {0, -1, 4, 3}, {1, -6, 4, 3}, {5, 0, 1, 0},
      {0, INT64_MIN, 3, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Graph::find_pred_index(c.index, c.offset, c.factor), c.expected)
        << c.index << " + " << c.offset << " mod " << c.factor;
  }
}

TEST(GraphModelDeathTest, BrokenPreconditionsStopTheProgram) {
  EXPECT_EXIT((void)Graph::find_pred_index(0, 0, 0), testing::ExitedWithCode(101),
              "Predecessor factor is 0 - check your graph configuration");
  EXPECT_EXIT(Graph().add_node(node(1, "x")), testing::ExitedWithCode(101),
              "assertion failed: node.id as usize == self.nodes.len\\(\\)");
  EXPECT_EXIT(Graph().add_post_node(node(1, "x")), testing::ExitedWithCode(101), "assertion failed: node.id == 0");
  EXPECT_EXIT(
      {
        Graph g;
        g.add_post_node(node(0, "a"));
        g.add_post_node(node(0, "b"));
      },
      testing::ExitedWithCode(101), "assertion failed: node.id as usize == post_nodes.len\\(\\)");
}

}  // namespace
}  // namespace arvex
