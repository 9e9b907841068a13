// The per-edge tables and the successor arena built from them: shifts, windows, group_by, and
// each node's contiguous range of edges.
#include <gtest/gtest.h>

#include "test_graphs.hpp"

namespace arvex {

void PrintTo(const EdgeWindow& w, std::ostream* out) {
  *out << "[" << w.start << ", " << w.end << ")";
}

namespace {

using namespace arvex::test;

struct ShiftCase {
  const char* name;
  std::size_t pred_factor;
  std::size_t factor;
  Arg arg;  // from node 0 into node 1
  std::optional<std::int64_t> table;
  std::uint32_t edge_shift;
  bool one_to_one;
};

TEST(EdgeTables, ShiftTable) {
  const ShiftCase cases[] = {
      {"same factor, offset 0", 4, 4, res(0), 0, 0, true},
      {"a negative offset is kept, the edge holds it modulo the factor", 4, 4, res(0, {-1}), -1, 3,
       true},
      {"an offset beyond the factor wraps on the edge", 4, 4, res(0, {5}), 5, 1, true},
      {"a dep edge shifts too", 4, 4, dep(0), 0, 0, false},
      {"a barrier never shifts", 4, 4, barrier(0), std::nullopt, 0, false},
      {"factor 1 needs no shift", 1, 1, res(0), std::nullopt, 0, false},
      {"different factors", 4, 2, res(0), std::nullopt, 0, false},
      {"two offsets", 4, 4, res(0, {0, 1}), std::nullopt, 0, true},
  };
  for (const ShiftCase& c : cases) {
    SCOPED_TRACE(c.name);
    const GraphCompiled g =
        compile_nodes({node(0, "a", c.pred_factor), node(1, "b", c.factor, {c.arg})});
    const std::int64_t* shift = g.shift_table.find(1, 0);
    EXPECT_EQ(shift ? std::optional(*shift) : std::nullopt, c.table);
    EXPECT_EQ(g.node_cache[1].one_to_one, c.one_to_one);

    const auto edges = g.successor_arena.successors_of(0);
    ASSERT_EQ(edges.size(), 1u);
    EXPECT_EQ(edges[0].has_shift, c.table ? 1 : 0);
    EXPECT_EQ(edges[0].shift, c.edge_shift);
    EXPECT_EQ(edges[0].succ_one_to_one, c.one_to_one ? 1 : 0);
    EXPECT_EQ(edges[0].succ_factor, c.factor);
  }
}

struct WindowCase {
  const char* name;
  std::size_t pred_factor;
  std::size_t factor;
  Arg arg;  // from node 0 into node 1
  std::optional<EdgeWindow> window;
  std::optional<std::size_t> group_by;
  bool use_arg_template;
};

TEST(EdgeTables, WindowAndGroupByTables) {
  const WindowCase cases[] = {
      {"every instance gathered into one: span 4 is not the factor",
       4,
       1,
       res(0, {0, 1, 2, 3}),
       {},
       {},
       false},
      {"exact span, smaller than the producer", 4, 2, res(0, {0, 1}), EdgeWindow{0, 2}, {}, true},
      {"exact span at an offset, in any order", 4, 2, res(0, {3, 2}), EdgeWindow{2, 4}, {}, true},
      {"span as large as the producer", 4, 4, res(0, {0, 1, 2, 3}), {}, {}, true},
      {"a hole in the span", 4, 2, res(0, {0, 2}), {}, {}, true},
      {"group_by gives a window whatever the span", 8, 1, res(0, {0, 1, 2, 3}, 2), EdgeWindow{0, 4},
       2, false},
      {"group_by with one offset", 4, 4, res(0, {1}, 1), EdgeWindow{1, 2}, 1, true},
      {"group_by without offsets: no window", 4, 1, res(0, {}, 2), {}, 2, true},
      {"a dep edge gathering values never disables the template",
       4,
       1,
       edge(CmTypes::make_dep(0), 0, {0, 1, 2, 3}),
       {},
       {},
       true},
  };
  for (const WindowCase& c : cases) {
    SCOPED_TRACE(c.name);
    const GraphCompiled g =
        compile_nodes({node(0, "a", c.pred_factor), node(1, "b", c.factor, {c.arg})});
    const EdgeWindow* window = g.window_table.find(1, 0);
    EXPECT_EQ(window ? std::optional(*window) : std::nullopt, c.window);
    const std::size_t* group_by = g.group_by_table.find(1, 0);
    EXPECT_EQ(group_by ? std::optional(*group_by) : std::nullopt, c.group_by);
    EXPECT_EQ(g.node_cache[1].use_arg_template, c.use_arg_template);

    const auto edges = g.successor_arena.successors_of(0);
    ASSERT_EQ(edges.size(), 1u);
    const EdgeWindow expected = c.window.value_or(EdgeWindow{0, SuccEdge::kNoWindowEnd});
    EXPECT_EQ(static_cast<std::int64_t>(edges[0].window_start), expected.start);
    EXPECT_EQ(static_cast<std::int64_t>(edges[0].window_end), expected.end);
    EXPECT_EQ(edges[0].group_by, c.group_by.value_or(0));
  }
}

TEST(EdgeTables, LaterArgumentsOverwriteEarlierOnes) {
  const GraphCompiled g =
      compile_nodes({node(0, "a", 4), node(1, "b", 4, {res(0, {0}), res(0, {1})})});
  ASSERT_NE(g.shift_table.find(1, 0), nullptr);
  EXPECT_EQ(*g.shift_table.find(1, 0), 1);
  EXPECT_EQ(g.successor_arena.successors_of(0)[0].shift, 1u);
}

TEST(EdgeTables, EntriesBelongToTheirConsumerAndPredecessor) {
  // c reads a and b through different shifts; nothing leaks into other cells.
  const GraphCompiled g = compile_nodes(
      {node(0, "a", 4), node(1, "b", 4), node(2, "c", 4, {res(1, {2}), res(0, {3})})});
  EXPECT_EQ(*g.shift_table.find(2, 0), 3);
  EXPECT_EQ(*g.shift_table.find(2, 1), 2);
  EXPECT_EQ(g.shift_table.find(1, 0), nullptr);
  EXPECT_EQ(g.shift_table.find(0, 2), nullptr);
  EXPECT_EQ(g.shift_table.find(3, 0), nullptr) << "a consumer beyond the graph has no entries";
  EXPECT_EQ(g.shift_table.row_count(), 3u);
  EXPECT_EQ(g.shift_table.entry_count(), 2u);
}

TEST(SuccessorArena, RangesFollowTheSuccessorLists) {
  // Successor lists: 0 -> [1, 2], 1 -> [2, 3]; 2, 3 and 4 have none (beyond the list's end).
  const GraphCompiled g = compile_nodes({node(0, "src", 2), node(1, "a", 2, {res(0)}),
                                         node(2, "b", 2, {res(0), res(1)}),
                                         node(3, "c", 1, {dep(1)}), node(4, "d", 1)});
  const auto& arena = g.successor_arena;
  EXPECT_EQ(arena.ranges, (std::vector<SuccessorRange>{{0, 2}, {2, 4}, {4, 4}, {4, 4}, {4, 4}}));

  struct Expected {
    std::uint16_t succ;
    std::uint32_t factor;
    std::uint8_t has_shift;
    std::uint8_t one_to_one;
  };
  const Expected expected[] = {{1, 2, 1, 1}, {2, 2, 1, 0}, {2, 2, 1, 0}, {3, 1, 0, 0}};
  ASSERT_EQ(arena.edges.size(), std::size(expected));
  for (std::size_t i = 0; i < arena.edges.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(arena.edges[i].succ, expected[i].succ);
    EXPECT_EQ(arena.edges[i].succ_factor, expected[i].factor);
    EXPECT_EQ(arena.edges[i].has_shift, expected[i].has_shift);
    EXPECT_EQ(arena.edges[i].succ_one_to_one, expected[i].one_to_one);
    EXPECT_EQ(arena.edges[i].succ_is_condition, 0);
  }
  EXPECT_TRUE(arena.successors_of(2).empty());
  EXPECT_EQ(arena.successors_of(1).data(), arena.edges.data() + 2);
}

TEST(SuccessorArena, EdgesIntoConditionNodesAreMarked) {
  Node gated = node(1, "gated", 2, {dep(0)});
  gated.condition = gate();
  const GraphCompiled g =
      compile_nodes({node(0, "src", 2), std::move(gated), node(2, "plain", 2, {dep(0)})});
  const auto edges = g.successor_arena.successors_of(0);
  ASSERT_EQ(edges.size(), 2u);
  EXPECT_EQ(edges[0].succ_is_condition, 1);
  EXPECT_EQ(edges[1].succ_is_condition, 0);
}

}  // namespace
}  // namespace arvex
