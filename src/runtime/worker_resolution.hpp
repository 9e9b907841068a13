#pragma once
// Successor release on the worker that completed a task: for nodes none of whose successors is
// a condition node, the worker counts the completion and releases the successors itself
// instead of sending the completion to a resolution thread. Ready successors go to the
// scheduler; with inline continuation the last of them is handed back to run next on the same
// worker.

#include <memory>
#include <optional>

#include "tables/node_info.hpp"

namespace arvex {

class SharedData;
struct DispatchCtx;

// Releases the successors of completed `task` (count instances from index). processing_count
// of the slot brackets the work, and needs_check is set after it, so the slot check neither
// completes the slot meanwhile nor misses it afterwards. A task whose frame is gone is counted
// for nothing. Returns the task to continue with on this worker, if any.
std::optional<NodeInfo> worker_resolve_successors(const std::shared_ptr<SharedData>& shared, const DispatchCtx& ctx,
                                                  const NodeInfo& task);

}  // namespace arvex
