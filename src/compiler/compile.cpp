#include "compiler/compile.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arvex/fatal.hpp"
#include "graph/function_registry.hpp"
#include "kernels/builtin_kernels.hpp"
#include "logging/log.hpp"

namespace arvex {

namespace {

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

std::span<const std::uint16_t> successors_of(const Graph& graph, std::size_t node) {
  const auto& successors = graph.successors();
  if (node >= successors.size()) return {};
  return successors[node];
}

KernelFn lookup_or_stop(const std::string& name) {
  const auto function = function_registry::lookup(name);
  if (!function) fatal_stop(fmt::format("Function '{}' not found in registry", name));
  return *function;
}

std::uint64_t carried_pred(const CmTypes& value) {
  return value.is(CmTag::Dep) ? value.get_dep() : value.get_res();
}

// Every table below is indexed by predecessor id, so an argument naming a node that does not
// exist (possible only for graphs assembled by hand) is stopped here.
void check_predecessors(std::span<const Arg> args, std::size_t node_count, std::string_view owner) {
  const auto stop = [&](std::size_t i, std::uint64_t pred) {
    fatal_stop(fmt::format("{} argument {} refers to predecessor {} which does not exist", owner, i,
                           pred));
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const Arg& arg = args[i];
    if (arg.pred && arg.pred->node >= node_count) stop(i, arg.pred->node);
    const bool carries = arg.value.is(CmTag::Res) || arg.value.is(CmTag::Dep);
    if (carries && carried_pred(arg.value) >= node_count) stop(i, carried_pred(arg.value));
  }
}

std::uint32_t to_u32(std::uint64_t value, std::string_view what, const Node& node) {
  if (value > kU32Max) {
    fatal_stop(fmt::format("Node '{}' has {} {}, more than a successor edge can hold", node.name,
                           what, value));
  }
  return static_cast<std::uint32_t>(value);
}

std::vector<std::size_t> last_positions(const ArgCacheEntry& args) {
  std::size_t largest_pred = 0;
  for (const PredPositions& entry : args.pred_positions)
    largest_pred = std::max<std::size_t>(largest_pred, entry.pred);
  std::vector<std::size_t> last(largest_pred + 1, 0);
  for (const PredPositions& entry : args.pred_positions) last[entry.pred] = entry.positions.back();
  return last;
}

// What a node needs on its own, without looking at its successors.
NodeCacheEntry make_entry(const Node& node, const Graph& graph, const InitObjects& objects,
                          bool is_initial) {
  NodeCacheEntry entry;
  entry.name = node.name;
  entry.factor = node.factor;
  entry.priority = node.priority;
  entry.is_initial = is_initial;
  entry.is_condition = graph.condition_nodes().contains(node.id);

  const std::span<const Node> nodes = graph.nodes();
  const std::string owner = fmt::format("Node '{}'", node.name);
  check_predecessors(node.args, nodes.size(), owner);

  if (node.name == kNetworkNodeName) {
    // Its results are the received packets; the kernel only stands in for the task.
    entry.function = &network_source_kernel;
    entry.pred_last_position = {0};
    return entry;
  }

  entry.args = build_arg_cache(node.args, objects, /*skip_conditional=*/true, owner);
  entry.args.res_preds = build_res_preds(node.args, node, nodes, /*skip_conditional=*/true);
  entry.pred_last_position = last_positions(entry.args);
  entry.function_name = node.function;
  entry.function = lookup_or_stop(node.function);

  if (node.condition) {
    const NodeCondition& condition = *node.condition;
    const std::string condition_owner = owner + " condition";
    check_predecessors(condition.args, nodes.size(), condition_owner);
    NodeConditionCache cache;
    cache.args =
        build_arg_cache(condition.args, objects, /*skip_conditional=*/false, condition_owner);
    cache.args.res_preds = build_res_preds(condition.args, node, nodes, /*skip_conditional=*/false);
    cache.value = condition.value;
    cache.op = condition.op;
    cache.function = lookup_or_stop(condition.function);
    entry.condition = std::move(cache);
  }
  return entry;
}

bool reads_result_of(const Node& consumer, std::uint16_t pred) {
  const auto reads = [pred](const Arg& arg) {
    return arg.value.is(CmTag::Res) && arg.pred && arg.pred->node == pred;
  };
  if (std::any_of(consumer.args.begin(), consumer.args.end(), reads)) return true;
  return consumer.condition &&
         std::any_of(consumer.condition->args.begin(), consumer.condition->args.end(), reads);
}

bool is_one_to_one(const Node& node, const NodeCacheEntry& entry, std::span<const Node> nodes) {
  if (entry.is_condition || !entry.no_conditional_successors || node.name == kNetworkNodeName)
    return false;
  const Arg* only_res = nullptr;
  for (const Arg& arg : node.args) {
    if (arg.value.is(CmTag::Barrier)) return false;
    if (!arg.value.is(CmTag::Res)) continue;
    if (only_res != nullptr) return false;
    only_res = &arg;
  }
  if (only_res == nullptr) return false;
  return nodes[only_res->value.get_res()].factor == node.factor && node.factor > 1;
}

// A "$res" gathering several values per instance, other than one per instance of the node, is
// resolved per task through the multi-offset path of argument resolution: no template then.
bool template_fits(const NodeCacheEntry& entry) {
  return std::none_of(
      entry.args.res_preds.begin(), entry.args.res_preds.end(), [&](const ResPredCache& pred) {
        return !pred.is_dep && pred.offsets.size() > 1 && pred.offsets.size() != entry.factor;
      });
}

struct EdgeTables {
  EdgeTable<EdgeWindow> windows;
  EdgeTable<std::size_t> group_by;
  EdgeTable<std::int64_t> shifts;
};

EdgeTables build_edge_tables(std::span<const Node> nodes) {
  EdgeTables tables;
  for (const Node& consumer : nodes) {
    std::vector<EdgeTable<EdgeWindow>::Entry> windows;
    std::vector<EdgeTable<std::size_t>::Entry> group_by;
    std::vector<EdgeTable<std::int64_t>::Entry> shifts;
    for (const Arg& arg : consumer.args) {
      if (!arg.pred) continue;
      const PredRef& ref = *arg.pred;
      const Node& pred = nodes[ref.node];
      const std::size_t f = consumer.factor;
      const std::size_t n = ref.indexes.size();
      if (n > 0) {
        const auto [lo, hi] = std::minmax_element(ref.indexes.begin(), ref.indexes.end());
        // Unsigned difference: defined for any pair of offsets.
        const std::uint64_t span =
            static_cast<std::uint64_t>(*hi) - static_cast<std::uint64_t>(*lo) + 1;
        if (ref.group_by || (span == f && f < pred.factor && n == f)) {
          // The release code compares unsigned instance numbers with the window and keeps the
          // all-ones end for "no window", so the window must lie inside [0, 2^32 - 1).
          if (*lo < 0 || *hi >= static_cast<std::int64_t>(kU32Max) - 1) {
            fatal_stop(fmt::format(
                "Node '{}' reads instances {} to {} of node '{}' as a window, which a successor "
                "edge cannot hold",
                consumer.name, *lo, *hi, pred.name));
          }
          windows.push_back({ref.node, EdgeWindow{*lo, *hi + 1}});
        }
      }
      if (ref.group_by) group_by.push_back({ref.node, *ref.group_by});
      if (!arg.value.is(CmTag::Barrier) && f > 1 && f == pred.factor && n == 1) {
        shifts.push_back({ref.node, ref.indexes.front()});
      }
    }
    tables.windows.append_row(std::move(windows));
    tables.group_by.append_row(std::move(group_by));
    tables.shifts.append_row(std::move(shifts));
  }
  return tables;
}

// (offset mod factor), never negative: releasing (idx - shift) mod factor then needs no signed
// arithmetic and gives the instance that reads idx for any offset, negative ones included.
std::uint32_t reduced_shift(std::int64_t offset, std::uint32_t factor, const Node& succ) {
  if (factor == 0)
    fatal_stop(fmt::format("Node '{}' has factor 0 but a shifted edge into it", succ.name));
  const std::int64_t f = factor;
  return static_cast<std::uint32_t>(((offset % f) + f) % f);
}

SuccessorArena build_arena(const GraphCompiled& out) {
  const std::span<const Node> nodes = out.graph.nodes();
  SuccessorArena arena;
  arena.ranges.reserve(nodes.size());
  for (std::size_t p = 0; p < nodes.size(); ++p) {
    const auto start = static_cast<std::uint32_t>(arena.edges.size());
    for (const std::uint16_t s : successors_of(out.graph, p)) {
      const Node& succ = nodes[s];
      const NodeCacheEntry& entry = out.node_cache[s];
      const auto pred = static_cast<std::uint16_t>(p);
      SuccEdge edge;
      edge.succ_factor = to_u32(succ.factor, "factor", succ);
      if (const EdgeWindow* window = out.window_table.find(s, pred)) {
        edge.window_start = static_cast<std::uint32_t>(window->start);
        edge.window_end = static_cast<std::uint32_t>(window->end);
      }
      if (const std::size_t* group_by = out.group_by_table.find(s, pred)) {
        edge.group_by = to_u32(*group_by, "group_by", succ);
      }
      if (const std::int64_t* shift = out.shift_table.find(s, pred)) {
        edge.shift = reduced_shift(*shift, edge.succ_factor, succ);
        edge.has_shift = 1;
      }
      edge.succ = s;
      edge.succ_is_condition = entry.is_condition ? 1 : 0;
      edge.succ_one_to_one = entry.one_to_one ? 1 : 0;
      arena.edges.push_back(edge);
    }
    if (arena.edges.size() > kU32Max) fatal_stop("successor arena exceeds 2^32 edges");
    arena.ranges.push_back({start, static_cast<std::uint32_t>(arena.edges.size())});
  }
  return arena;
}

}  // namespace

GraphCompiled compile(GraphSpec graph_spec, const WorkerGroupLookup& worker_group) {
  GraphCompiled out;
  out.graph = std::move(graph_spec.graph);
  out.init_objects = std::move(graph_spec.init_objects);
  const Graph& graph = out.graph;
  const std::span<const Node> nodes = graph.nodes();
  const bool templates_disabled = std::getenv(kDisableArgTemplatesEnv) != nullptr;

  std::vector<bool> initial(nodes.size(), false);
  for (const std::uint16_t id : graph.initial_nodes()) initial[id] = true;

  out.node_cache.reserve(nodes.size());
  for (const Node& node : nodes) {
    ARVEX_DEBUG_PRINT("Creating node cache entry for node {} name {}", node.id, node.name);
    out.node_cache.push_back(make_entry(node, graph, out.init_objects, initial[node.id]));
  }

  // The flags need every entry: they look at the successors.
  for (const Node& node : nodes) {
    NodeCacheEntry& entry = out.node_cache[node.id];
    const auto successors = successors_of(graph, node.id);
    entry.successor_count = successors.size();
    entry.no_conditional_successors =
        std::none_of(successors.begin(), successors.end(),
                     [&](std::uint16_t s) { return nodes[s].condition.has_value(); });
    entry.worker_resolves = std::none_of(successors.begin(), successors.end(),
                                         [&](std::uint16_t s) { return out.node_cache[s].is_condition; });
    entry.result_consumed = std::any_of(successors.begin(), successors.end(), [&](std::uint16_t s) {
      return reads_result_of(nodes[s], node.id);
    });
    entry.one_to_one = is_one_to_one(node, entry, nodes);
    entry.use_arg_template =
        !templates_disabled && node.name != kNetworkNodeName && template_fits(entry);
    entry.worker_group = worker_group(node.use_workers);
  }

  EdgeTables tables = build_edge_tables(nodes);
  out.window_table = std::move(tables.windows);
  out.group_by_table = std::move(tables.group_by);
  out.shift_table = std::move(tables.shifts);
  out.successor_arena = build_arena(out);

  for (const NodeCacheEntry& entry : out.node_cache) {
    // Initial nodes count too: otherwise a frame whose initial instances feed nothing could
    // complete while some of them still wait to run, and they would be dropped with the slot.
    if (entry.is_condition) {
      out.total_cond_tasks_per_frame += entry.factor;
    } else {
      out.total_tasks_per_frame += entry.factor;
    }
  }
  if (!nodes.empty()) {
    out.max_factor = std::max_element(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) {
                       return a.factor < b.factor;
                     })->factor;
  }
  out.dep_counts = graph.dependency_count_vec();
  out.node_count = nodes.size();
  return out;
}

}  // namespace arvex
