#include "compiler/arg_cache.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "arvex/fatal.hpp"

namespace arvex {

namespace {

constexpr std::uint64_t kIndexRef = 0;
constexpr std::uint64_t kWorkerRef = 1;

// The init object a Ref(j >= 2) names. Argument resolution would index past the table or divide
// by an empty object on every task, so a broken reference stops the program here instead.
const std::vector<CmTypes>& referenced_object(std::uint64_t j, const InitObjects& objects,
                                              std::string_view owner, std::size_t arg_index) {
  if (j >= objects.size()) {
    fatal_stop(fmt::format("{} argument {} refers to init object {} which does not exist", owner,
                           arg_index, j));
  }
  const std::vector<CmTypes>& object = objects[j];
  if (object.empty()) {
    fatal_stop(fmt::format("{} argument {} refers to init object {} which holds no value", owner,
                           arg_index, j));
  }
  return object;
}

void add_pred_position(std::vector<PredPositions>& table, std::uint16_t pred,
                       std::size_t position) {
  auto it = std::lower_bound(
      table.begin(), table.end(), pred,
      [](const PredPositions& entry, std::uint16_t id) { return entry.pred < id; });
  if (it == table.end() || it->pred != pred) it = table.insert(it, PredPositions{pred, {}});
  it->positions.push_back(position);
}

}  // namespace

const std::vector<std::size_t>* ArgCacheEntry::positions_of(std::uint16_t pred) const noexcept {
  const auto it = std::lower_bound(
      pred_positions.begin(), pred_positions.end(), pred,
      [](const PredPositions& entry, std::uint16_t id) { return entry.pred < id; });
  return it != pred_positions.end() && it->pred == pred ? &it->positions : nullptr;
}

ArgCacheEntry build_arg_cache(std::span<const Arg> args, const InitObjects& objects,
                              bool skip_conditional, std::string_view owner) {
  ArgCacheEntry cache;
  std::size_t position = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const Arg& arg = args[i];
    const CmTypes& value = arg.value;
    // Skipped arguments are still resolved at run time (condition checks), so their object
    // references are checked too.
    const bool object_ref = value.is(CmTag::Ref) && value.get_ref() > kWorkerRef;
    const std::vector<CmTypes>* object =
        object_ref ? &referenced_object(value.get_ref(), objects, owner, i) : nullptr;
    if (skip_conditional && arg.condition) continue;

    const std::size_t k = position++;
    cache.template_values.emplace_back();
    switch (value.tag()) {
      case CmTag::Res:
      case CmTag::Dep:
        cache.res_positions.push_back(k);
        cache.res_arg_indexes.push_back(i);
        if (arg.pred) add_pred_position(cache.pred_positions, arg.pred->node, k);
        break;
      case CmTag::Ref:
        if (value.get_ref() == kIndexRef) {
          cache.index_positions.push_back(k);
        } else if (value.get_ref() == kWorkerRef) {
          cache.worker_positions.push_back(k);
        } else if (object->size() > 1) {
          cache.multi_positions.push_back(k);
          cache.multi_values.push_back(*object);
        } else {
          cache.template_values[k] = object->front();
        }
        break;
      case CmTag::Barrier:
        break;  // a barrier only orders tasks; it passes no value
      default:
        cache.template_values[k] = value;
        break;
    }
  }
  return cache;
}

std::vector<ResPredCache> build_res_preds(std::span<const Arg> args, const Node& node,
                                          std::span<const Node> nodes, bool skip_conditional) {
  std::vector<ResPredCache> preds;
  for (const Arg& arg : args) {
    if (skip_conditional && arg.condition) continue;
    const bool is_dep = arg.value.is(CmTag::Dep);
    if (!is_dep && !arg.value.is(CmTag::Res)) continue;

    ResPredCache entry;
    entry.pred = static_cast<std::uint16_t>(is_dep ? arg.value.get_dep() : arg.value.get_res());
    entry.node = node.id;
    entry.factor = node.factor;
    entry.is_dep = is_dep;
    if (!is_dep) {
      const Node& pred = nodes[entry.pred];
      entry.pred_group_size = pred.group_size;
      entry.group_size = node.group_size;
      entry.pred_factor = pred.factor;
      if (arg.pred) entry.offsets = arg.pred->indexes;
    }
    preds.push_back(std::move(entry));
  }
  return preds;
}

}  // namespace arvex
