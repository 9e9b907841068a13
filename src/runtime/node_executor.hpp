#pragma once
// The node executor the runtime installs in the custom scheduler: how its workers run typed
// node tasks (NodeTaskDesc). It holds only a weak handle to the run's SharedData, since the
// scheduler that owns the executor is itself owned by SharedData.

#include <memory>

#include "scheduling/task_meta.hpp"

namespace arvex {

class SharedData;

// For each descriptor: nothing once the run is gone; otherwise the task is dropped (with a
// debug message) when its slot has moved to another generation, else run with
// execute_node_task, and so is every successor that returns for inline continuation, each
// with its node's kernel and its own staleness check. Post tasks are never stale.
NodeExecutor make_node_executor(std::weak_ptr<SharedData> shared);

}  // namespace arvex
