#include "runtime/task_execution.hpp"

#include "runtime/shared_data.hpp"

namespace arvex {

std::optional<NodeInfo> execute_node_task(SharedData& /*shared*/, const NodeInfo& /*task*/, KernelFn /*kernel*/) {
  // TODO(engine): task execution (argument resolution, kernel call, result storage, completion
  // and successor release) goes here; every caller already routes through this function. Until
  // then a task runs nothing and produces no completion.
  return std::nullopt;
}

}  // namespace arvex
