#pragma once
// The --report output: a JSON performance report of the steady-state frames of a TimeBuffer
// (latency summary and percentiles, per-node statistics, the critical path through the graph
// weighted by measured node times, the scheduling overhead that path does not explain, worker
// utilisation, bottleneck hints and optimisation suggestions). Built after the run from the
// frame history and the graph's edges.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "instrumentation/optimization_suggestions.hpp"
#include "instrumentation/time_buffer.hpp"

namespace arvex {

// One node of the graph and the names of its successors; the report takes one entry per node,
// in the graph's node order. Successor names that are not nodes are ignored.
struct NodeEdges {
  std::string node;
  std::vector<std::string> successors;

  friend bool operator==(const NodeEdges&, const NodeEdges&) = default;
};

// Execution statistics of one task name over the steady frames, times in microseconds.
struct NodeStats {
  std::uint64_t invocations = 0;
  double mean_exec_us = 0.0;
  double p99_exec_us = 0.0;
  double total_exec_us = 0.0;
  double pct_of_total = 0.0;  // share of the workers' capacity over all steady frames
};

// The longest path through `edges`, each node weighted by the mean time of its name (0 without
// statistics); nodes on a cycle only end a path. None when `edges` is empty.
std::optional<ReportCriticalPath> find_critical_path(
    const std::vector<NodeEdges>& edges, const std::map<std::string, NodeStats>& node_stats);

// The report as pretty-printed JSON (two-space indentation, keys in byte order, no trailing
// newline), or none when no frame of the worker slots remains after leaving out the first
// `exclude_frames` of them (slot-major order).
std::optional<std::string> build_json_report(const TimeBuffer& buffer,
                                             const std::vector<NodeEdges>& edges,
                                             std::size_t exclude_frames);

// Writes the report to `path` (created or truncated). Failures are logged, never returned:
// without steady frames nothing is written, not even an empty file.
void write_json_report(const TimeBuffer& buffer, const std::vector<NodeEdges>& edges,
                       const std::string& path, std::size_t exclude_frames);

}  // namespace arvex
