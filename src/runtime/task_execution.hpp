#pragma once
// The job body of one node task on a worker: drop it when its frame is gone, resolve its
// arguments, run its kernel, store the result when someone reads it, and report the completion
// through the batch queue. Run by the boxed jobs the dispatcher builds and, through
// execute_node_task, by the node executor of the custom scheduler.
//
// A kernel that throws does not take the run down with it: the first failure is kept in
// SharedData's telemetry, shutdown is set, and the task produces no completion.

#include <optional>
#include <span>
#include <vector>

#include "arvex/cm_types.hpp"
#include "arvex/kernel.hpp"
#include "tables/node_info.hpp"

namespace arvex {

class SharedData;

// True (after a debug message) when `task` belongs to an older generation of its slot. Post
// tasks are never stale. Acquire: a task that passes sees what its slot's reset published.
bool drop_stale_task(const SharedData& shared, const NodeInfo& task);

// Runs one task with `kernel` and the `prepared` arguments (collected now when absent).
// Returns the successor to run next on this worker, if any; today always nothing, since
// completions all go through the batch queue.
std::optional<NodeInfo> execute_single_task(SharedData& shared, const NodeInfo& task,
                                            std::optional<std::span<const CmTypes>> prepared,
                                            KernelFn kernel);

// Runs `task` (one instance, or a bulk task when count >= 2) with `kernel`, collecting its
// arguments. The caller has already dropped stale tasks; a returned successor is run next by
// the caller with its node's kernel, after its own staleness check.
std::optional<NodeInfo> execute_node_task(SharedData& shared, const NodeInfo& task, KernelFn kernel);

// The whole job of a dispatched task: staleness check, execution, then every successor handed
// back for inline continuation, each checked and run with its node's kernel.
void run_task_job(SharedData& shared, const NodeInfo& task,
                  std::optional<std::vector<CmTypes>> prepared, KernelFn kernel);

}  // namespace arvex
