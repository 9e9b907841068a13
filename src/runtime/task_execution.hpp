#pragma once
// The job body of one node task on a worker: drop it when its frame is gone, resolve its
// arguments, run its kernel, store the result when someone reads it, and report the
// completion, either through the batch queue to the resolution threads or by releasing the
// successors on this worker. Run by the boxed jobs the dispatcher builds and, through
// execute_node_task, by the node executor of the custom scheduler.
//
// A kernel that throws does not take the run down with it: the first failure is kept in
// SharedData's telemetry, shutdown is set, and the task produces no completion.

#include <memory>
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

// Runs one instance with `kernel` and the `prepared` arguments (collected now when absent).
// Returns the successor to run next on this worker (inline continuation), if any.
std::optional<NodeInfo> execute_single_task(const std::shared_ptr<SharedData>& shared, const NodeInfo& task,
                                            std::optional<std::span<const CmTypes>> prepared, KernelFn kernel);

// Runs the instances index .. index + count - 1 of a bulk task, collecting the arguments of
// each, and releases the successors on this worker. Returns the successor to run next, if any.
std::optional<NodeInfo> execute_bulk_task(const std::shared_ptr<SharedData>& shared, const NodeInfo& task,
                                          KernelFn kernel);

// Runs `task` (one instance, or a bulk task when count >= 2) with `kernel`, collecting its
// arguments. The caller has already dropped stale tasks; a returned successor is run next by
// the caller with its node's kernel, after its own staleness check.
std::optional<NodeInfo> execute_node_task(const std::shared_ptr<SharedData>& shared, const NodeInfo& task,
                                          KernelFn kernel);

// The whole job of a dispatched task: staleness check, execution, then every successor handed
// back for inline continuation, each checked and run with its node's kernel.
void run_task_job(const std::shared_ptr<SharedData>& shared, const NodeInfo& task,
                  std::optional<std::vector<CmTypes>> prepared, KernelFn kernel);

}  // namespace arvex
