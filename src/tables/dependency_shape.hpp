#pragma once
// DependencyShape: how the dependency counter splits the instances of one node into groups and
// how many predecessor completions each group, and each instance within it, waits for. Derived
// once per node when the counter is built; read-only afterwards.

#include <cstddef>
#include <cstdint>

#include "graph/node.hpp"

namespace arvex {

struct DependencyShape {
  std::size_t factor = 0;
  // Instances per group; the last factor % group_size instances belong to no group.
  std::size_t group_size = 0;
  std::size_t num_groups = 1;
  // Completions each group waits for in one frame: its count at the start of a generation.
  std::uint32_t deps_per_group = 0;
  // Completions after which the next instance of a group becomes ready (progressive release).
  std::size_t deps_per_instance = 0;
  // Some argument is a barrier: a group's instances are released together when it reaches zero.
  bool has_barrier = false;
  // The node has a node-level condition.
  bool is_condition = false;

  friend bool operator==(const DependencyShape&, const DependencyShape&) = default;
};

// The shape of `node` when it waits for `total_deps` completions per frame (its entry of
// Graph::dependency_count_vec). Barrier arguments with group_by decide the grouping over the
// node's own group_size; that choice is reported as a "DB: BARRIER GROUPING" debug line.
// A count per group beyond 32 bits is a broken graph and stops the program.
DependencyShape dependency_shape(const Node& node, std::size_t total_deps);

}  // namespace arvex
