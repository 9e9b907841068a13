#include "runtime/arg_resolution.hpp"

#include <fmt/format.h>

#include <chrono>
#include <thread>
#include <utility>

#include "arvex/fatal.hpp"
#include "graph/graph.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/spin_wait.hpp"

namespace arvex {

namespace {

constexpr std::uint64_t kIndexRef = 0;
constexpr std::uint64_t kWorkerRef = 1;

// A "$res" edge as resolution needs it, whether it comes from a graph Arg or a ResPredCache.
struct ResSource {
  std::uint16_t pred = 0;
  std::span<const std::int64_t> offsets;
  std::optional<std::size_t> group_size;       // of the consuming node
  std::optional<std::size_t> pred_group_size;  // of the predecessor
  std::size_t pred_factor = 0;
};

// Where and how long to wait: results of `slot`, abandoned when `generation_slot` (if any)
// leaves `generation`.
struct WaitScope {
  std::size_t slot = 0;
  std::optional<std::size_t> generation_slot;
  std::uint32_t generation = 0;
};

[[noreturn]] void zero_factor() noexcept {
  fatal_stop("Predecessor factor is 0 - check your graph configuration");
}

std::optional<CmTypes> fetch_or_wait(const SharedData& shared, const WaitScope& scope,
                                     std::uint16_t pred, std::size_t pred_index, bool& stale) {
  NodeInfo key;
  key.slot = scope.slot;
  key.node_id = pred;
  key.index = pred_index;
  return spin_wait_for_result(shared, key, scope.generation_slot, scope.generation, stale);
}

// The predecessor instance a grouped consumer reads: offset + (index / d) * s. An index
// outside the predecessor would wait forever for a cell that never fills, so it stops the
// program instead.
std::size_t grouped_pred_index(const SharedData& shared, const ResSource& src,
                               std::uint16_t node_id, std::size_t index,
                               std::int64_t offset) noexcept {
  const std::size_t d = *src.group_size;
  if (d == 0)
    fatal_stop(fmt::format("group_size of node {} is 0 - check your graph configuration", node_id));
  std::size_t stride = src.pred_factor;
  if (src.pred_group_size) {
    stride = *src.pred_group_size;
  } else if (shared.cache.group_by_table) {
    if (const std::size_t* group_by = shared.cache.group_by_table->find(node_id, src.pred))
      stride = *group_by;
  }
  const Int128 pred_index =
      static_cast<Int128>(offset) + static_cast<Int128>(index / d) * static_cast<Int128>(stride);
  if (pred_index < 0 || pred_index >= static_cast<Int128>(src.pred_factor)) {
    fatal_stop(fmt::format(
        "node {} instance {} reads instance {} of node {}, which has {} instances", node_id, index,
        static_cast<std::int64_t>(pred_index), src.pred, src.pred_factor));
  }
  return static_cast<std::size_t>(pred_index);
}

// Appends the values of one Res argument to `out`; false (with `out` unchanged) when the
// argument yields nothing.
bool resolve_res(const SharedData& shared, const ResSource& src, std::uint16_t node_id,
                 std::size_t index, std::size_t batch_width, std::size_t direct_index,
                 const WaitScope& scope, bool& stale, std::vector<CmTypes>& out) {
  if (stale || src.offsets.empty()) return false;
  const std::size_t f = src.pred_factor;
  if (f == 0) zero_factor();

  if (src.offsets.size() == 1) {
    const std::int64_t offset = src.offsets.front();
    const std::size_t pred_index = src.group_size
                                       ? grouped_pred_index(shared, src, node_id, index, offset)
                                       : Graph::find_pred_index(index, offset, f);
    std::optional<CmTypes> value = fetch_or_wait(shared, scope, src.pred, pred_index, stale);
    if (!value) return false;
    out.push_back(std::move(*value));
    return true;
  }

  if (batch_width == src.offsets.size()) {
    std::optional<CmTypes> value = fetch_or_wait(shared, scope, src.pred, direct_index % f, stale);
    if (!value) return false;
    out.push_back(std::move(*value));
    return true;
  }

  const std::size_t first = out.size();
  for (const std::int64_t offset : src.offsets) {
    std::optional<CmTypes> value =
        fetch_or_wait(shared, scope, src.pred, Graph::find_pred_index(index, offset, f), stale);
    if (!value) {
      out.resize(first);
      return false;
    }
    out.push_back(std::move(*value));
  }
  return true;
}

const CmTypes& init_object_value(const SharedData& shared, std::uint64_t object,
                                 std::size_t index) noexcept {
  const InitObjects& objects = shared.cache.init_objects;
  if (object >= objects.size() || objects[object].empty()) {
    fatal_stop(fmt::format("init object {} does not exist or holds no value", object));
  }
  const std::vector<CmTypes>& values = objects[object];
  return values.size() >= 2 ? values[index % values.size()] : values.front();
}

ResSource res_source_of(const SharedData& shared, const Arg& arg, std::uint16_t node_id) {
  const std::vector<Node>& nodes = shared.graph.nodes();
  ResSource src;
  src.pred = static_cast<std::uint16_t>(arg.value.get_res());
  if (src.pred >= nodes.size()) {
    fatal_stop(fmt::format("node {} reads the result of node {}, which does not exist", node_id,
                           src.pred));
  }
  if (arg.pred) src.offsets = arg.pred->indexes;
  if (node_id < nodes.size()) src.group_size = nodes[node_id].group_size;
  src.pred_group_size = nodes[src.pred].group_size;
  src.pred_factor = nodes[src.pred].factor;
  return src;
}

// collect_arg_result with an optional generation check on its waits; appends to `out`.
bool collect_into(const Arg& arg, std::uint16_t node_id, std::size_t index, std::size_t batch_width,
                  std::size_t direct_index, const SharedData& shared, const WaitScope& scope,
                  bool& stale, std::vector<CmTypes>& out) {
  const CmTypes& value = arg.value;
  switch (value.tag()) {
    case CmTag::Ref: {
      const std::uint64_t k = value.get_ref();
      if (k == kIndexRef) {
        out.push_back(CmTypes::make_usize(index));
      } else if (k == kWorkerRef) {
        out.push_back(CmTypes::make_usize(shared.config.workers));
      } else {
        out.push_back(init_object_value(shared, k, index));
      }
      return true;
    }
    case CmTag::Res:
      return resolve_res(shared, res_source_of(shared, arg, node_id), node_id, index, batch_width,
                         direct_index, scope, stale, out);
    case CmTag::Dep:
      out.push_back(CmTypes::none());
      return true;
    case CmTag::Barrier:
      return false;
    default:
      out.push_back(value);
      return true;
  }
}

ArgsStatus status_after_miss(bool stale) noexcept {
  return stale ? ArgsStatus::Stale : ArgsStatus::Missing;
}

}  // namespace

std::optional<CmTypes> spin_wait_for_result(const SharedData& shared, const NodeInfo& key,
                                            std::optional<std::size_t> generation_slot,
                                            std::uint32_t generation, bool& stale) {
  const LockFreeResultMap& results = *shared.exec.result_map;
  if (std::optional<CmTypes> value = results.get(key)) return value;
  const RunConfig& config = shared.config;
  for (std::uint64_t i = 1;; ++i) {
    if (shared.shutdown.load()) {
      stale = true;
      return std::nullopt;
    }
    // Post-node tasks run in a slot past the frame slots, which has no generation.
    if (generation_slot && *generation_slot < shared.slots.slot_count()) {
      const auto current = static_cast<std::uint32_t>(
          shared.slots.generation[*generation_slot].load(std::memory_order_acquire));
      if (current != generation) {
        if (!config.single_slot) stale = true;
        return std::nullopt;
      }
    }
    if (i < config.spin_wait_spin_iters) {
      detail::spin_hint();
    } else if (i < config.spin_wait_yield_iters) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::nanoseconds(config.spin_wait_park_ns));
    }
    if (std::optional<CmTypes> value = results.get(key)) return value;
  }
}

std::optional<std::vector<CmTypes>> fetch_res_results(std::optional<CmTypes> value) {
  if (!value) return std::nullopt;
  std::vector<CmTypes> list;
  list.push_back(std::move(*value));
  return list;
}

std::optional<std::vector<CmTypes>> collect_arg_result(const Arg& arg, std::uint16_t node_id,
                                                       std::size_t index, std::size_t batch_width,
                                                       std::size_t slot, std::size_t direct_index,
                                                       const SharedData& shared, bool& stale) {
  std::vector<CmTypes> values;
  const WaitScope scope{slot, std::nullopt, 0};
  if (!collect_into(arg, node_id, index, batch_width, direct_index, shared, scope, stale, values))
    return std::nullopt;
  return values;
}

ArgsStatus fill_args_from_cache(const SharedData& shared, const ArgCacheEntry& cache,
                                std::uint16_t node_id, std::size_t index, std::size_t slot,
                                std::optional<std::uint32_t> generation,
                                std::vector<CmTypes>& out) {
  out.assign(cache.template_values.begin(), cache.template_values.end());
  for (const std::size_t p : cache.index_positions) out[p] = CmTypes::make_usize(index);
  for (const std::size_t p : cache.worker_positions)
    out[p] = CmTypes::make_usize(shared.config.workers);
  for (std::size_t j = 0; j < cache.multi_positions.size(); ++j) {
    const std::vector<CmTypes>& values = cache.multi_values[j];
    out[cache.multi_positions[j]] = values[index % values.size()];
  }

  const WaitScope scope{slot, generation ? std::optional<std::size_t>(slot) : std::nullopt,
                        generation.value_or(0)};
  bool stale = false;
  std::vector<CmTypes> values;
  // Last position first: a gather that yields several values widens the list at its position
  // without moving the positions still to be filled.
  if (cache.res_preds.size() != cache.res_positions.size()) {
    fatal_stop(
        fmt::format("argument cache of node {} has {} result positions but {} result sources",
                    node_id, cache.res_positions.size(), cache.res_preds.size()));
  }
  for (std::size_t j = cache.res_positions.size(); j-- > 0;) {
    const std::size_t position = cache.res_positions[j];
    const ResPredCache& pred = cache.res_preds[j];
    if (pred.is_dep) {
      out[position] = CmTypes::none();
      continue;
    }
    if (pred.offsets.empty()) continue;
    const ResSource src{pred.pred, pred.offsets, pred.group_size, pred.pred_group_size,
                        pred.pred_factor};
    values.clear();
    if (!resolve_res(shared, src, node_id, index, pred.factor, index, scope, stale, values)) {
      return status_after_miss(stale);
    }
    out[position] = std::move(values.front());
    if (values.size() > 1) {
      out.insert(out.begin() + static_cast<std::ptrdiff_t>(position) + 1,
                 std::make_move_iterator(values.begin() + 1),
                 std::make_move_iterator(values.end()));
    }
  }
  return ArgsStatus::Ready;
}

ArgsStatus build_task_args(const SharedData& shared, const NodeInfo& task,
                           std::vector<CmTypes>& out) {
  const NodeCacheEntry& entry = shared.cache.node_cache[task.node_id];
  // Post tasks run in a slot beyond the frame slots, which has no generation.
  const std::optional<std::uint32_t> generation =
      task.is_post ? std::nullopt : std::optional<std::uint32_t>(task.generation);
  if (entry.use_arg_template) {
    return fill_args_from_cache(shared, entry.args, task.node_id, task.index, task.slot, generation,
                                out);
  }

  out.clear();
  const WaitScope scope{task.slot,
                        generation ? std::optional<std::size_t>(task.slot) : std::nullopt,
                        generation.value_or(0)};
  bool stale = false;
  for (const Arg& arg : shared.graph.nodes()[task.node_id].args) {
    if (arg.condition) continue;
    const bool waits = arg.value.is(CmTag::Res);
    if (!collect_into(arg, task.node_id, task.index, entry.factor, task.index, shared, scope, stale,
                      out) &&
        waits && arg.pred && !arg.pred->indexes.empty()) {
      return status_after_miss(stale);
    }
  }
  return ArgsStatus::Ready;
}

}  // namespace arvex
