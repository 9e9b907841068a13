#include "instrumentation/optimization_suggestions.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace arvex {

std::vector<OptimizationSuggestion> generate_optimization_suggestions(
    std::uint64_t max_node_factor, std::uint64_t total_tasks_per_frame,
    const std::optional<ReportCriticalPath>& critical_path,
    const std::vector<double>& worker_busy_pct, double overhead_pct) {
  const std::uint64_t f = max_node_factor;
  const std::uint64_t t = total_tasks_per_frame;
  const double o = overhead_pct;
  const bool has_path = critical_path.has_value();
  const std::size_t l = has_path ? critical_path->length_nodes() : 0;
  std::vector<OptimizationSuggestion> out;

  if (o > 60 && f >= 64 && has_path) {
    out.push_back({
        .action = fmt::format("In your graph builder, reduce the per-node factor from {} to ~{} by "
                              "increasing tile_size from 1 to {}.",
                              f, f / 8, f / 8),
        .category = "graph_topology",
        .confidence = "high",
        .description = fmt::format(
            "Critical path has {} nodes; highest-factor critical-path node has factor {} ({} total "
            "tasks/frame). Graph coarsening will cut scheduling overhead by ~{}x.",
            l, f, t, f / 8),
        .estimated_speedup = fmt::format("{}–{}x", f / 16, f / 8),
        .knob = "tile_size",
        .priority = 1,
        .suggested_value = f / 8,
    });
  }

  if (o > 60 && has_path && f < 16 && t >= 201 && l >= 51) {
    out.push_back({
        .action =
            "Rewrite your graph builder to create one node per parallel work unit with factor = "
            "number_of_parallel_items. For a wavefront sweep: loop over anti-diagonals (d in "
            "0..2N-1), one node per diagonal with factor = min(d+1, N, 2N-1-d), then apply "
            "coarsening as shown in AGENT.md § Graph Coarsening Recipe. Do NOT simply change "
            "tile_size — the graph loop structure itself needs to change.",
        .category = "graph_topology",
        .confidence = "high",
        .description = fmt::format(
            "Critical path has {} nodes with max per-node factor {} ({:.0f}% overhead). The graph "
            "is too sequential: the critical path is long but each node does little parallel work. "
            "Restructure so each node covers one parallel work unit with a large factor (e.g. one "
            "node per diagonal, factor = cells_in_diagonal).",
            l, f, o),
        .estimated_speedup = "3–10x",
        .knob = "graph_structure",
        .priority = 1,
        .suggested_value = std::monostate{},
    });
  }

  if (has_path && o > 20 && o < 60 && f >= 1 && f <= 7 && l >= 4) {
    const std::uint64_t g = 2 * f <= 8 ? 8 : 2 * f;
    out.push_back({
        .action = fmt::format(
            "Double the factor on critical-path nodes to ~{} (currently {}). If your graph builder "
            "uses a tile_size or group_size to compute factor, halve that parameter. If you set "
            "factor directly in graph.node(), increase it to ~{}. Then re-benchmark.",
            g, f, g),
        .category = "graph_topology",
        .confidence = "medium",
        .description = fmt::format(
            "Overhead is {:.0f}% (mixed profile) with only {} tasks per CP node. The graph may be "
            "over-coarsened: too few parallel tasks per node to keep all workers busy. Increasing "
            "factor to ~{} exposes more parallel work per node.",
            o, f, g),
        .estimated_speedup = "1.3–2x",
        .knob = "factor",
        .priority = 2,
        .suggested_value = g,
    });
  }

  if (o > 40 && f >= 8) {
    out.push_back({
        .action = "Set coalesce_barriers=True in graph.run()",
        .category = "runtime_flags",
        .confidence = "medium",
        .description = fmt::format(
            "Barrier fan-out overhead is likely significant with max critical-path factor {}. "
            "coalesce_barriers groups simultaneous completions into bulk tasks.",
            f),
        .estimated_speedup = "1.2–2x",
        .knob = "coalesce_barriers",
        .priority = 2,
        .suggested_value = true,
    });
  }

  if (o > 40 && t > 10000) {
    out.push_back({
        .action = "Try batching_size=64 (or 16, 256) in graph.run()",
        .category = "runtime_flags",
        .confidence = "medium",
        .description = fmt::format("{} tasks/frame creates high scheduler-submission pressure. "
                                   "Larger batching_size amortizes per-batch overhead.",
                                   t),
        .estimated_speedup = "1.1–1.5x",
        .knob = "batching_size",
        .priority = 3,
        .suggested_value = std::uint64_t{64},
    });
  }

  if (!worker_busy_pct.empty()) {
    const double peak = *std::max_element(worker_busy_pct.begin(), worker_busy_pct.end());
    if (f >= 9 && o < 60 && peak < 50 && has_path && l >= 11) {
      // Users who see idle workers tend to start threads inside kernels; say plainly that the
      // workers are the pool's and that kernel-side threading is not the remedy.
      out.push_back({
          .action = "Reduce tile_size to create more parallel tasks per diagonal (e.g. tile_size = "
                    "max_node_factor / 4). Do not add a thread pool or start threads inside kernel "
                    "functions.",
          .category = "parallelism",
          .confidence = "medium",
          .description = fmt::format(
              "Peak worker utilization is only {:.0f}% — workers are mostly idle because the "
              "critical path serialises execution. The workers are the task pool's worker threads, "
              "which consume graph tasks; parallelism inside a task (starting threads or a thread "
              "pool inside a kernel function) is not the fix and is rejected by the thread-safety "
              "requirements on kernel code.",
              peak),
          .estimated_speedup = "1.5–3x",
          .knob = "tile_size",
          .priority = 4,
          .suggested_value = f / 4,
      });
    }
  }

  return out;
}

}  // namespace arvex
