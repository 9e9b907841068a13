#pragma once
// GraphCompiled: the read-only run-time tables made from a loaded graph. Every per-task lookup is
// a direct index by node id (node cache, successor ranges, edge table rows). Built once by
// compile() on the main thread, then shared unchanged by every thread of the run.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "compiler/edge_tables.hpp"
#include "compiler/node_cache.hpp"
#include "compiler/successor_arena.hpp"
#include "graph/graph.hpp"
#include "graph/variables.hpp"

namespace arvex {

struct GraphCompiled {
  Graph graph;
  InitObjects init_objects;
  std::vector<NodeCacheEntry> node_cache;  // index = node id
  SuccessorArena successor_arena;

  // [consumer][predecessor]: present when the consumer reads a bounded window of the
  // predecessor's instances (gathers, grouped edges).
  EdgeTable<EdgeWindow> window_table;
  // [consumer][predecessor]: the edge's group_by, when it has one.
  EdgeTable<std::size_t> group_by_table;
  // [consumer][predecessor]: the single offset of an instance-to-instance edge between nodes of
  // the same factor (> 1).
  EdgeTable<std::int64_t> shift_table;

  std::vector<std::size_t> dep_counts;  // Graph::dependency_count_vec()
  // Tasks a slot counts per frame: nodes that are neither initial nor condition nodes (the
  // network source included), and condition nodes separately.
  std::size_t total_tasks_per_frame = 0;
  std::size_t total_cond_tasks_per_frame = 0;
  std::size_t max_factor = 1;
  std::size_t node_count = 0;
};

}  // namespace arvex
