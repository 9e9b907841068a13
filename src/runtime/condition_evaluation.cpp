#include "runtime/condition_evaluation.hpp"

#include <fmt/format.h>

#include <optional>
#include <string_view>
#include <vector>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"
#include "runtime/arg_resolution.hpp"
#include "runtime/kernel_call.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/thread_scratch.hpp"

namespace arvex {

namespace {

// -1, 0 or 1 when the two values have an order; nothing otherwise.
std::optional<int> compare_ordered(const CmTypes& a, const CmTypes& b) noexcept {
  if (a.tag() != b.tag()) return std::nullopt;
  const auto three_way = [](const auto& x, const auto& y) -> std::optional<int> {
    if (x < y) return -1;
    if (y < x) return 1;
    if (x == y) return 0;
    return std::nullopt;  // NaN
  };
  switch (a.tag()) {
    case CmTag::I8: return three_way(a.get_i8(), b.get_i8());
    case CmTag::I16: return three_way(a.get_i16(), b.get_i16());
    case CmTag::I32: return three_way(a.get_i32(), b.get_i32());
    case CmTag::I64: return three_way(a.get_i64(), b.get_i64());
    case CmTag::Isize: return three_way(a.get_isize(), b.get_isize());
    case CmTag::I128: return three_way(a.get_i128(), b.get_i128());
    case CmTag::U8: return three_way(a.get_u8(), b.get_u8());
    case CmTag::U16: return three_way(a.get_u16(), b.get_u16());
    case CmTag::U32: return three_way(a.get_u32(), b.get_u32());
    case CmTag::U64: return three_way(a.get_u64(), b.get_u64());
    case CmTag::Usize: return three_way(a.get_usize(), b.get_usize());
    case CmTag::U128: return three_way(a.get_u128(), b.get_u128());
    case CmTag::F32: return three_way(a.get_f32(), b.get_f32());
    case CmTag::F64: return three_way(a.get_f64(), b.get_f64());
    case CmTag::String: return three_way(a.text(), b.text());
    default: return std::nullopt;
  }
}

// Resolves the condition arguments of a node without a node-level condition and checks each.
ConditionOutcome argument_conditions(SharedData& shared, const Node& node, std::size_t index, std::size_t slot) {
  for (const Arg& arg : node.args) {
    if (!arg.condition) continue;
    bool stale = false;
    const std::optional<std::vector<CmTypes>> values =
        collect_arg_result(arg, node.id, index, node.factor, slot, index, shared, stale);
    if (stale || shared.shutdown.load(std::memory_order_acquire)) return ConditionOutcome::Abandoned;
    if (!values || values->empty()) {
      fatal_stop(fmt::format("condition argument of node '{}' instance {} yields no value", node.name, index));
    }
    if (!condition_holds(values->front(), arg.condition->value, arg.condition->op)) return ConditionOutcome::Failed;
  }
  return ConditionOutcome::Passed;
}

}  // namespace

bool condition_holds(const CmTypes& value, const CmTypes& expected, CondOp op) noexcept {
  switch (op) {
    case CondOp::Eq:
      return value == expected;
    case CondOp::Neq:
      return !(value == expected);
    case CondOp::Gt: {
      const std::optional<int> order = compare_ordered(value, expected);
      return order && *order > 0;
    }
    case CondOp::Lt: {
      const std::optional<int> order = compare_ordered(value, expected);
      return order && *order < 0;
    }
  }
  return false;
}

ConditionOutcome evaluate_condition(SharedData& shared, std::uint16_t node, std::size_t index, std::size_t slot,
                                    std::uint32_t generation) {
  const NodeCacheEntry& entry = shared.cache.node_cache[node];
  if (!entry.condition) return argument_conditions(shared, shared.graph.nodes()[node], index, slot);

  const NodeConditionCache& condition = *entry.condition;
  // A given-up frame releases nothing behind its conditions.
  if (frame_abandoned(shared, slot)) return ConditionOutcome::Failed;
  auto args = ARG_BUF.borrow();
  const ArgsStatus status = fill_args_from_cache(shared, condition.args, node, index, slot, generation, *args);
  if (status != ArgsStatus::Ready) {
    ARVEX_DEBUG_PRINT("EVAL_COND stale: node={} index={} slot={}", node, index, slot);
    return ConditionOutcome::Abandoned;
  }
  CmTypes result;
  if (!call_kernel_guarded(shared, entry.name, frame_in_slot(shared, slot), index, condition.function, *args,
                           result)) {
    return ConditionOutcome::Abandoned;
  }
  const bool passed = condition_holds(result, condition.value, condition.op);
  ARVEX_DEBUG_PRINT("EVAL_COND: node={} index={} slot={} args={} result={} passed={}", node, index, slot,
                    debug_string(std::span<const CmTypes>(*args)), result.debug_string(), passed);
  return passed ? ConditionOutcome::Passed : ConditionOutcome::Failed;
}

}  // namespace arvex
