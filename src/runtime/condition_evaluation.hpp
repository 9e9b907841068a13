#pragma once
// Deciding whether an instance of a condition node runs. Done on the resolution thread when
// the instance becomes ready: either the node's own condition function is called on its
// condition arguments and its result compared with the expected value, or, without one, each
// argument that carries a condition is resolved and its first value compared.

#include <cstddef>
#include <cstdint>

#include "arvex/cm_types.hpp"
#include "graph/node.hpp"

namespace arvex {

class SharedData;

// Eq and Neq compare values for equality. Gt and Lt order two numbers of the same alternative
// (integers by value, floats as IEEE numbers, so NaN never passes) or two strings (byte
// order); any other pair does not pass.
bool condition_holds(const CmTypes& value, const CmTypes& expected, CondOp op) noexcept;

enum class ConditionOutcome : std::uint8_t {
  Passed,
  Failed,
  // The frame is gone (or the run is stopping, or the condition function failed): do nothing.
  Abandoned,
};

// Evaluates condition node `node` for instance `index` of the frame in `slot` at `generation`.
// Waits for predecessor results it needs; a wait that finds the slot's generation moved on
// abandons the evaluation with an "EVAL_COND stale" debug line.
ConditionOutcome evaluate_condition(SharedData& shared, std::uint16_t node, std::size_t index, std::size_t slot,
                                    std::uint32_t generation);

}  // namespace arvex
