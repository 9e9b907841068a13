#pragma once
// The prepared argument list of a node (or of a node condition): everything that stays the same
// from task to task is copied into a template once, and the positions that must be filled per
// task are listed by kind. Built by the compiler; read by argument resolution on every task.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "arvex/cm_types.hpp"
#include "graph/node.hpp"
#include "graph/variables.hpp"

namespace arvex {

// One "$res" or "$dep" argument as argument resolution needs it, without reaching back into the
// graph. A "$dep" edge carries no data: its offsets are empty, both group sizes absent and
// pred_factor 0.
struct ResPredCache {
  std::optional<std::size_t> pred_group_size;
  std::optional<std::size_t> group_size;
  std::vector<std::int64_t> offsets;
  std::size_t pred_factor = 0;
  std::size_t factor = 0;
  std::uint16_t node = 0;
  std::uint16_t pred = 0;  // the id carried by the argument's Res/Dep value
  bool is_dep = false;

  friend bool operator==(const ResPredCache&, const ResPredCache&) = default;
};

// The positions of one predecessor's "$res"/"$dep" arguments, in increasing order.
struct PredPositions {
  std::uint16_t pred = 0;
  std::vector<std::size_t> positions;

  friend bool operator==(const PredPositions&, const PredPositions&) = default;
};

struct ArgCacheEntry {
  // One value per kept argument: the literal, or None where the value is filled per task.
  std::vector<CmTypes> template_values;
  std::vector<std::size_t> index_positions;   // Ref(0): the task's instance index
  std::vector<std::size_t> worker_positions;  // Ref(1): the worker value
  // Ref(j) of an init object with several values; instance i takes value i modulo their count.
  std::vector<std::size_t> multi_positions;
  std::vector<std::vector<CmTypes>> multi_values;  // parallel to multi_positions
  // "$res"/"$dep" positions and, in parallel, each argument's index in the full argument list.
  std::vector<std::size_t> res_positions;
  std::vector<std::size_t> res_arg_indexes;
  // Sorted by predecessor id; a graph node has few predecessors, so a flat list beats a map.
  std::vector<PredPositions> pred_positions;
  std::vector<ResPredCache> res_preds;

  // The positions of `pred`'s arguments, or null when no kept argument reads it.
  const std::vector<std::size_t>* positions_of(std::uint16_t pred) const noexcept;
};

// Prepares `args`. With `skip_conditional`, arguments carrying a condition are left out and take
// no position. A Ref(j), j >= 2, must name an init object holding at least one value; otherwise
// the program stops with a message that starts with `owner` (for example "Node 'scale'").
// res_preds is left empty: it needs the graph (build_res_preds).
ArgCacheEntry build_arg_cache(std::span<const Arg> args, const InitObjects& objects,
                              bool skip_conditional, std::string_view owner);

// One ResPredCache per "$res"/"$dep" argument of `args` of node `node`, in argument order; with
// `skip_conditional`, arguments carrying a condition are left out. Every predecessor id must be
// a node of `nodes`.
std::vector<ResPredCache> build_res_preds(std::span<const Arg> args, const Node& node,
                                          std::span<const Node> nodes, bool skip_conditional);

}  // namespace arvex
