#pragma once
// TaskCompletion: a completed task and, when it travels with one, its result. Packets admitted
// to a slot carry their extracted payload this way; completions taken from the batch queue
// carry none (results travel through the result map).

#include <optional>

#include "arvex/cm_types.hpp"
#include "tables/node_info.hpp"

namespace arvex {

struct TaskCompletion {
  NodeInfo task;
  std::optional<CmTypes> result;
};

}  // namespace arvex
