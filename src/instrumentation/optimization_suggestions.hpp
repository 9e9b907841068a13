#pragma once
// The advice that closes the JSON performance report: a fixed rule table turns the report's
// measured figures into concrete changes for the author of the graph (coarsen or restructure
// it, change a node's factor, or turn on knobs of graph.run()). The texts address that author
// and are part of the report's format.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace arvex {

// The longest path through the graph, its nodes weighted by their mean measured time.
struct ReportCriticalPath {
  std::vector<std::string> nodes;  // from the source to the end node
  double estimated_latency_us = 0.0;

  std::size_t length_nodes() const noexcept { return nodes.size(); }

  friend bool operator==(const ReportCriticalPath&, const ReportCriticalPath&) = default;
};

// A suggestion's value for its knob: none (JSON null), a number or a switch.
using SuggestedValue = std::variant<std::monostate, std::uint64_t, bool>;

struct OptimizationSuggestion {
  std::string action;             // what to change
  std::string category;           // "graph_topology", "runtime_flags" or "parallelism"
  std::string confidence;         // "high" or "medium"
  std::string description;        // the diagnosis
  std::string estimated_speedup;  // a range such as "1.2–2x"
  std::string knob;               // the setting concerned
  std::uint32_t priority = 0;     // 1 is the most important
  SuggestedValue suggested_value;

  friend bool operator==(const OptimizationSuggestion&, const OptimizationSuggestion&) = default;
};

// At most one suggestion per rule, in rule order. `max_node_factor` is 0 without a critical
// path; `worker_busy_pct` and `overhead_pct` are the report's unrounded figures, and every
// comparison uses them unrounded.
std::vector<OptimizationSuggestion> generate_optimization_suggestions(
    std::uint64_t max_node_factor, std::uint64_t total_tasks_per_frame,
    const std::optional<ReportCriticalPath>& critical_path,
    const std::vector<double>& worker_busy_pct, double overhead_pct);

}  // namespace arvex
