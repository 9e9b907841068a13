#pragma once
// NodeCacheEntry: everything the engine needs about one node on the per-task path, resolved once
// at compilation so that nothing is looked up by name during a run. Indexed by node id in
// GraphCompiled::node_cache.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "arvex/cm_types.hpp"
#include "arvex/kernel.hpp"
#include "compiler/arg_cache.hpp"
#include "graph/node.hpp"

namespace arvex {

// A kernel run once for the instances [first, end) of a bulk task, with the shared arguments.
using RangeKernelFn = void (*)(std::size_t first, std::size_t end, const CmTypes* args,
                               std::size_t count, CmTypes* result);

// A node-level condition: the node's task runs only when `function` applied to `args` compares
// to `value` by `op`. Evaluated by the resolution threads.
struct NodeConditionCache {
  ArgCacheEntry args;  // all condition arguments, conditional or not
  CmTypes value;
  CondOp op = CondOp::Eq;
  KernelFn function = nullptr;
};

struct NodeCacheEntry {
  // Indexed by predecessor id: the last kept argument position reading that predecessor, 0 for
  // ids no argument reads. At least one entry.
  std::vector<std::size_t> pred_last_position;
  std::string name;
  std::string function_name;  // empty for the network source
  KernelFn function = nullptr;
  std::optional<RangeKernelFn> range_function;  // no node gets one from compilation
  ArgCacheEntry args;                           // the arguments that carry no condition
  std::optional<NodeConditionCache> condition;
  std::size_t factor = 0;
  std::size_t successor_count = 0;
  std::size_t worker_group = 0;
  Priority priority = Priority::Normal;

  bool is_initial = false;
  bool is_condition = false;
  // No successor has a node-level condition (true without successors).
  bool no_conditional_successors = false;
  // No successor is a condition node (node-level or argument conditions): a worker completing a
  // task may release the successors itself, since no condition needs a resolution thread.
  bool worker_resolves = false;
  // Some successor reads this node's results ("$res"), so they must be stored.
  bool result_consumed = false;
  // Instance i depends on exactly instance i of one predecessor of the same factor.
  bool one_to_one = false;
  // Arguments are built from the template; off when some "$res" gathers a number of values that
  // differs from the node's factor, or when ARVEX_DISABLE_ARG_TEMPLATES is set.
  bool use_arg_template = false;
  bool unchecked_wrapper = false;  // chosen by the runtime builder, never here
};

}  // namespace arvex
