#include "runtime/node_executor.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <utility>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/task_execution.hpp"

namespace arvex {

namespace {

// True (after the debug message) when the task's slot has been reset since the task was
// dispatched. Acquire: a task that passes sees what the slot's reset published.
bool drop_if_stale(const SharedData& shared, const NodeInfo& task) {
  if (task.slot >= shared.slots.slot_count()) {
    fatal_stop(fmt::format("node task for slot {} but the run has {} slots", task.slot, shared.slots.slot_count()));
  }
  const std::uint64_t current = shared.slots.generation[task.slot].load(std::memory_order_acquire);
  if (static_cast<std::uint32_t>(current) == task.generation) return false;
  ARVEX_DEBUG_PRINT("Stale task dropped: node {} slot {} index {} gen {} (current {})", task.node_id, task.slot,
                    task.index, task.generation, current);
  return true;
}

}  // namespace

NodeExecutor make_node_executor(std::weak_ptr<SharedData> weak) {
  return [weak = std::move(weak)](const NodeTaskDesc& desc) {
    // Fails once the last owning handle is gone; held for the task and its continuations.
    const std::shared_ptr<SharedData> shared = weak.lock();
    if (!shared) return;
    NodeInfo task = desc.task;
    KernelFn kernel = desc.function;
    for (;;) {
      if (!task.is_post && drop_if_stale(*shared, task)) return;
      const std::optional<NodeInfo> next = execute_node_task(*shared, task, kernel);
      if (!next) return;
      task = *next;
      kernel = shared->cache.node_cache[task.node_id].function;
    }
  };
}

}  // namespace arvex
