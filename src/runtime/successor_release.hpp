#pragma once
// The release arithmetic shared by batch resolution (resolution threads) and successor release
// on workers: which successor instances an edge releases for completed predecessor instances,
// when a successor goes out as bulk tasks, and how bulk tasks split a range of instances.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "compiler/successor_arena.hpp"
#include "runtime/run_config.hpp"
#include "runtime/slot_data.hpp"
#include "tables/dependency_counter.hpp"
#include "tables/node_info.hpp"

namespace arvex {

// Whether the edge applies to the completion of predecessor instance `index`.
inline bool edge_covers(const SuccEdge& edge, std::size_t index) noexcept {
  return edge.window_end == SuccEdge::kNoWindowEnd || (edge.window_start <= index && index < edge.window_end);
}

// Counts the completed predecessor instances [first, first + count) through `edge` and puts the
// successor instances they released into `ready` (cleared first). Instances outside the edge's
// window count for nothing. A range that spans several groups is counted group by group, and
// a shifted edge instance by instance, so bulk completions release exactly what the same
// completions one by one would. `scratch` is reused between calls.
void release_through_edge(DependencyCounter& counter, std::size_t slot, std::uint32_t generation,
                          const SuccEdge& edge, std::size_t first, std::size_t count,
                          std::vector<std::size_t>& ready, std::vector<std::size_t>& scratch);

// A successor reached through `edge` is run as bulk tasks once all its instances are ready:
// it reads one instance of its predecessor per instance. Inline continuation takes precedence
// when there are several workers to continue on.
inline bool fanout_bulk_edge(const RunConfig& config, const SuccEdge& edge) noexcept {
  return edge.succ_one_to_one != 0 && !config.no_fanout_bulk && (!config.inline_continuation || config.workers == 1);
}

// Adds `ready` instances to a (generation << 32 | count) word; a word of another generation
// restarts from zero, and the count saturates at 2^32 - 1. True for the one caller whose
// addition makes the count reach `factor`.
bool add_bulk_ready(std::atomic<std::uint64_t>& word, std::uint32_t generation, std::size_t ready,
                    std::size_t factor) noexcept;

// Appends tasks for the `total` instances from `first` of `base`'s node: min(total, parts)
// tasks (at least one) of consecutive ranges, the first total % tasks of them one instance
// longer. Each task copies `base` apart from index and count.
void append_bulk_tasks(const NodeInfo& base, std::size_t first, std::size_t total, std::size_t parts,
                       std::vector<NodeInfo>& out);

// The task template for successors released through `edge` by `completed`: same slot, stamped
// with `generation`, triggered by the completed instance; index and count still to be set.
inline NodeInfo released_task_base(const NodeInfo& completed, const SuccEdge& edge, std::uint32_t generation) noexcept {
  NodeInfo base;
  base.slot = completed.slot;
  base.trigger_index = completed.index;
  base.generation = generation;
  base.node_id = edge.succ;
  return base;
}

// For a fan-out bulk edge: counts `ready` instances of the successor and, once all are ready,
// appends its bulk tasks to `out`. Returns false (doing nothing) for other edges.
inline bool release_fanout_bulk(SlotData& slots, const RunConfig& config, const SuccEdge& edge, const NodeInfo& base,
                                std::size_t ready, std::vector<NodeInfo>& out) {
  if (!fanout_bulk_edge(config, edge)) return false;
  if (add_bulk_ready(slots.bulk_ready(base.slot, edge.succ), base.generation, ready, edge.succ_factor)) {
    append_bulk_tasks(base, 0, edge.succ_factor, config.workers, out);
  }
  return true;
}

// Whether `indexes` is a run of consecutive increasing instances.
bool consecutive_run(const std::vector<std::size_t>& indexes) noexcept;

}  // namespace arvex
