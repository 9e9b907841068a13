// The rule table that turns the report's figures into advice for the graph's author.
#include "instrumentation/optimization_suggestions.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace arvex {

void PrintTo(const OptimizationSuggestion& s, std::ostream* os) {
  *os << "{priority " << s.priority << ", " << s.category << "/" << s.knob << ", value index "
      << s.suggested_value.index() << ", speedup " << s.estimated_speedup << ", confidence "
      << s.confidence << ",\n description: " << s.description << "\n action: " << s.action << "}";
}

namespace {

std::optional<ReportCriticalPath> path_of(std::size_t length) {
  ReportCriticalPath path;
  for (std::size_t i = 0; i < length; ++i) path.nodes.push_back("n" + std::to_string(i));
  return path;
}

// The rule a suggestion came from, told apart by category and knob.
int rule_of(const OptimizationSuggestion& s) {
  if (s.category == "graph_topology" && s.knob == "tile_size") return 1;
  if (s.knob == "graph_structure") return 2;
  if (s.knob == "factor") return 3;
  if (s.knob == "coalesce_barriers") return 4;
  if (s.knob == "batching_size") return 5;
  if (s.category == "parallelism" && s.knob == "tile_size") return 6;
  return 0;
}

struct Inputs {
  std::uint64_t f = 0;
  std::uint64_t t = 0;
  std::optional<std::size_t> l;  // none: no critical path
  std::vector<double> busy;
  double o = 0;
};

std::vector<OptimizationSuggestion> run(const Inputs& in) {
  return generate_optimization_suggestions(in.f, in.t, in.l ? path_of(*in.l) : std::nullopt,
                                           in.busy, in.o);
}

std::vector<int> rules_of(const std::vector<OptimizationSuggestion>& suggestions) {
  std::vector<int> rules;
  for (const auto& s : suggestions) rules.push_back(rule_of(s));
  return rules;
}

struct RuleCase {
  const char* what;
  Inputs in;
  std::vector<int> rules;
};

TEST(OptimizationSuggestionRules, FireExactlyAtTheirBoundariesInRuleOrder) {
  const std::vector<double> idle{10.0, 49.9};
  const RuleCase cases[] = {
      {"coarsening and barriers", {64, 5000, 12, {}, 70}, {1, 4}},
      {"F 63 is below coarsening", {63, 5000, 12, {}, 70}, {4}},
      {"O 60 is not above 60", {64, 5000, 12, {}, 60}, {4}},
      {"O just above 60", {64, 5000, 12, {}, 60.0001}, {1, 4}},
      {"coarsening needs a path", {64, 5000, std::nullopt, {}, 70}, {4}},
      {"all rules that can fire together", {64, 20000, 60, {}, 90}, {1, 4, 5}},
      {"sequential graph", {4, 201, 51, {}, 61}, {2}},
      {"sequential with barriers", {15, 201, 51, {}, 61}, {2, 4}},
      {"F 16 is not sequential", {16, 201, 51, {}, 61}, {4}},
      {"T 200 is not sequential", {4, 200, 51, {}, 61}, {}},
      {"L 50 is not sequential", {4, 201, 50, {}, 61}, {}},
      {"sequential needs O above 60", {4, 201, 51, {}, 60}, {}},
      {"over-coarsened", {4, 100, 6, {}, 35}, {3}},
      {"over-coarsened F 1", {1, 100, 4, {}, 20.5}, {3}},
      {"over-coarsened F 7", {7, 100, 4, {}, 59.9}, {3}},
      {"O 20 is not mixed", {4, 100, 6, {}, 20}, {}},
      {"O 60 is not mixed", {4, 100, 6, {}, 60}, {}},
      {"F 0 is not over-coarsened", {0, 100, 6, {}, 35}, {}},
      {"F 8 is not over-coarsened", {8, 100, 6, {}, 35}, {}},
      {"L 3 is too short", {4, 100, 3, {}, 35}, {}},
      {"barriers alone", {8, 100, std::nullopt, {}, 40.5}, {4}},
      {"barriers need O above 40", {8, 100, std::nullopt, {}, 40}, {}},
      {"barriers need F 8", {7, 100, std::nullopt, {}, 41}, {}},
      {"no path: batching at T 10001", {0, 10001, std::nullopt, {}, 100}, {5}},
      {"no path: nothing at T 10000", {0, 10000, std::nullopt, {}, 100}, {}},
      {"batching needs O above 40", {0, 20000, std::nullopt, {}, 40}, {}},
      {"idle workers", {9, 100, 11, idle, 30}, {6}},
      {"idle workers just below 60", {12, 100, 11, idle, 59.9}, {4, 6}},
      {"O 60 disables idle workers", {12, 100, 11, idle, 60}, {4}},
      {"peak 50 is not idle", {9, 100, 11, {10.0, 50.0}, 30}, {}},
      {"F 8 is too small for idle workers", {8, 100, 11, idle, 30}, {}},
      {"L 10 is too short for idle workers", {9, 100, 10, idle, 30}, {}},
      {"idle workers need a path", {9, 100, std::nullopt, idle, 30}, {}},
      {"empty busy list disables idle workers", {9, 100, 11, {}, 30}, {}},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(rules_of(run(c.in)), c.rules);
  }
}

TEST(OptimizationSuggestionTexts, CoarseningForFactor64) {
  const auto out = run({64, 5000, 12, {}, 70});
  ASSERT_EQ(out.size(), 2u);
  const OptimizationSuggestion expected{
      .action =
          "In your graph builder, reduce the per-node factor from 64 to ~8 by increasing tile_size "
          "from 1 to 8.",
      .category = "graph_topology",
      .confidence = "high",
      .description =
          "Critical path has 12 nodes; highest-factor critical-path node has factor 64 (5000 total "
          "tasks/frame). Graph coarsening will cut scheduling overhead by ~8x.",
      .estimated_speedup = "4\u20138x",
      .knob = "tile_size",
      .priority = 1,
      .suggested_value = std::uint64_t{8},
  };
  EXPECT_EQ(out[0], expected);
  // Integer division: 100 / 16 = 6, 100 / 8 = 12.
  const auto uneven = run({100, 5000, 12, {}, 70});
  EXPECT_EQ(uneven[0].estimated_speedup, "6\u201312x");
  EXPECT_EQ(uneven[0].suggested_value, SuggestedValue{std::uint64_t{12}});
}

TEST(OptimizationSuggestionTexts, SequentialGraphRoundsOverheadAndHasNoValue) {
  const auto out = run({4, 300, 51, {}, 61.6});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].description,
            "Critical path has 51 nodes with max per-node factor 4 (62% overhead). The graph is "
            "too sequential: the critical path is long but each node does little parallel work. "
            "Restructure so each node covers one parallel work unit with a large factor (e.g. one "
            "node per diagonal, factor = cells_in_diagonal).");
  EXPECT_EQ(out[0].action,
            "Rewrite your graph builder to create one node per parallel work unit with factor = "
            "number_of_parallel_items. For a wavefront sweep: loop over anti-diagonals (d in "
            "0..2N-1), one node per diagonal with factor = min(d+1, N, 2N-1-d), then apply "
            "coarsening as shown in AGENT.md \u00a7 Graph Coarsening Recipe. Do NOT simply change "
            "tile_size \u2014 the graph loop structure itself needs to change.");
  EXPECT_EQ(out[0].estimated_speedup, "3\u201310x");
  EXPECT_EQ(out[0].priority, 1u);
  EXPECT_EQ(out[0].confidence, "high");
  EXPECT_EQ(out[0].suggested_value, SuggestedValue{});
}

TEST(OptimizationSuggestionTexts, OverCoarsenedTargetIsAtLeastEight) {
  struct {
    std::uint64_t f;
    std::uint64_t g;
  } const cases[] = {{1, 8}, {4, 8}, {5, 10}, {6, 12}, {7, 14}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.f);
    const auto out = run({c.f, 100, 6, {}, 35});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].suggested_value, SuggestedValue{c.g});
  }
  const auto out = run({6, 100, 6, {}, 34.4});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].description,
            "Overhead is 34% (mixed profile) with only 6 tasks per CP node. The graph may be "
            "over-coarsened: too few parallel tasks per node to keep all workers busy. Increasing "
            "factor to ~12 exposes more parallel work per node.");
  EXPECT_EQ(out[0].action,
            "Double the factor on critical-path nodes to ~12 (currently 6). If your graph builder "
            "uses a tile_size or group_size to compute factor, halve that parameter. If you set "
            "factor directly in graph.node(), increase it to ~12. Then re-benchmark.");
  EXPECT_EQ(out[0].priority, 2u);
  EXPECT_EQ(out[0].confidence, "medium");
  EXPECT_EQ(out[0].estimated_speedup, "1.3\u20132x");
}

TEST(OptimizationSuggestionTexts, RuntimeFlags) {
  const auto out = run({8, 10001, std::nullopt, {}, 41});
  ASSERT_EQ(out.size(), 2u);
  const OptimizationSuggestion barriers{
      .action = "Set coalesce_barriers=True in graph.run()",
      .category = "runtime_flags",
      .confidence = "medium",
      .description =
          "Barrier fan-out overhead is likely significant with max critical-path factor 8. "
          "coalesce_barriers groups simultaneous completions into bulk tasks.",
      .estimated_speedup = "1.2\u20132x",
      .knob = "coalesce_barriers",
      .priority = 2,
      .suggested_value = true,
  };
  const OptimizationSuggestion batching{
      .action = "Try batching_size=64 (or 16, 256) in graph.run()",
      .category = "runtime_flags",
      .confidence = "medium",
      .description =
          "10001 tasks/frame creates high scheduler-submission pressure. Larger batching_size "
          "amortizes per-batch overhead.",
      .estimated_speedup = "1.1\u20131.5x",
      .knob = "batching_size",
      .priority = 3,
      .suggested_value = std::uint64_t{64},
  };
  EXPECT_EQ(out[0], barriers);
  EXPECT_EQ(out[1], batching);
}

TEST(OptimizationSuggestionTexts, IdleWorkersComparesUnroundedPeakAndWarnsAgainstKernelThreads) {
  // 49.6 is below 50 although it prints as 50.
  const auto out = run({9, 100, 11, {12.0, 49.6, 3.0}, 30});
  ASSERT_EQ(out.size(), 1u);
  const OptimizationSuggestion& s = out[0];
  EXPECT_EQ(s.priority, 4u);
  EXPECT_EQ(s.category, "parallelism");
  EXPECT_EQ(s.confidence, "medium");
  EXPECT_EQ(s.estimated_speedup, "1.5\u20133x");
  EXPECT_EQ(s.suggested_value, SuggestedValue{std::uint64_t{2}});
  EXPECT_TRUE(
      s.description.starts_with("Peak worker utilization is only 50% \u2014 workers are mostly "
                                "idle because the critical path serialises execution. "))
      << s.description;
  EXPECT_NE(s.description.find("thread pool"), std::string::npos);
  EXPECT_TRUE(
      s.action.starts_with("Reduce tile_size to create more parallel tasks per diagonal (e.g. "
                           "tile_size = max_node_factor / 4). "))
      << s.action;
  EXPECT_NE(s.action.find("thread pool"), std::string::npos);
}

}  // namespace
}  // namespace arvex
