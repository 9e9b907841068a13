#include "runtime/node_executor.hpp"

#include <optional>
#include <utility>

#include "runtime/shared_data.hpp"
#include "runtime/task_execution.hpp"

namespace arvex {

NodeExecutor make_node_executor(std::weak_ptr<SharedData> weak) {
  return [weak = std::move(weak)](const NodeTaskDesc& desc) {
    // Fails once the last owning handle is gone; held for the task and its continuations.
    const std::shared_ptr<SharedData> shared = weak.lock();
    if (!shared) return;
    NodeInfo task = desc.task;
    KernelFn kernel = desc.function;
    for (;;) {
      if (drop_stale_task(*shared, task)) return;
      const std::optional<NodeInfo> next = execute_node_task(shared, task, kernel);
      if (!next) return;
      task = *next;
      kernel = shared->cache.node_cache[task.node_id].function;
    }
  };
}

}  // namespace arvex
