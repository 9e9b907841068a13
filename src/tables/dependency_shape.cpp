#include "tables/dependency_shape.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <optional>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"

namespace arvex {

namespace {

// The group size asked for by the node: the one its barrier arguments imply when any of them
// groups its offsets, else the node's own group_size.
std::optional<std::size_t> candidate_group_size(const Node& node, bool has_barrier, std::size_t total_deps) {
  std::size_t group_by = 0;      // largest group_by among the grouped barrier arguments
  std::size_t pred_packets = 0;  // largest offset count among them
  bool grouped = false;
  if (has_barrier) {
    for (const Arg& arg : node.args) {
      if (!arg.value.is(CmTag::Barrier) || !arg.pred || !arg.pred->group_by) continue;
      grouped = true;
      group_by = std::max(group_by, *arg.pred->group_by);
      pred_packets = std::max(pred_packets, arg.pred->indexes.size());
    }
  }
  if (!grouped) return node.group_size;

  const std::size_t factor = node.factor;
  std::size_t barrier_groups = 1;
  std::size_t instances_per_group = factor;
  if (group_by != 0 && pred_packets != 0) {
    // Each barrier group gathers group_by predecessor packets; more groups than packets allow
    // (group_by > offsets) leaves the node as one group.
    barrier_groups = pred_packets / group_by;
    instances_per_group = group_by <= pred_packets ? factor / barrier_groups : factor;
  }
  ARVEX_DEBUG_PRINT(
      "DB: BARRIER GROUPING: node={}, factor={}, total_deps={}, group_by={}, num_pred_packets={}, "
      "num_barrier_groups={}, instances_per_group={}",
      node.name, factor, total_deps, group_by, pred_packets, barrier_groups, instances_per_group);
  return instances_per_group;
}

std::uint32_t to_count(std::size_t count, const Node& node) {
  if (count > std::numeric_limits<std::uint32_t>::max()) {
    fatal_stop(fmt::format("dependency count {} of node {} does not fit a 32-bit counter", count, node.name));
  }
  return static_cast<std::uint32_t>(count);
}

}  // namespace

DependencyShape dependency_shape(const Node& node, std::size_t total_deps) {
  DependencyShape shape;
  shape.factor = node.factor;
  shape.has_barrier =
      std::any_of(node.args.begin(), node.args.end(), [](const Arg& a) { return a.value.is(CmTag::Barrier); });
  shape.is_condition = node.condition.has_value();

  const std::optional<std::size_t> gs = candidate_group_size(node, shape.has_barrier, total_deps);
  if (gs && *gs != 0 && *gs < shape.factor) {
    shape.group_size = *gs;
    shape.num_groups = shape.factor / *gs;
    shape.deps_per_group = to_count(total_deps / shape.num_groups, node);
    shape.deps_per_instance = shape.deps_per_group / *gs;
  } else {
    shape.group_size = shape.factor;
    shape.num_groups = 1;
    shape.deps_per_group = to_count(total_deps, node);
    shape.deps_per_instance = shape.factor == 0 ? 0 : total_deps / shape.factor;
  }
  return shape;
}

}  // namespace arvex
