#pragma once
// The job body of one node task on a worker: resolve its arguments, run its kernel, store the
// result, and report the completion (through the batch queue, or by releasing the successors
// on the worker). Called by the node executor of the custom scheduler and by the boxed jobs of
// the pool scheduler, after the caller has dropped stale tasks.

#include <optional>

#include "arvex/kernel.hpp"
#include "tables/node_info.hpp"

namespace arvex {

class SharedData;

// Runs `task` (one instance, or a bulk task when count >= 2) with `kernel`. Returns the
// successor task to run next on the same worker (inline continuation), if any; the caller
// runs it with its node's kernel after checking its generation again.
std::optional<NodeInfo> execute_node_task(SharedData& shared, const NodeInfo& task, KernelFn kernel);

}  // namespace arvex
