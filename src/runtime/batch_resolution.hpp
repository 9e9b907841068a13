#pragma once
// Batch resolution: a resolution thread turns a batch of completions into newly ready tasks. It
// stores the results that travel with completions, counts each completion against its slot,
// walks the successor edges of the completed node, evaluates condition nodes as they become
// ready, and dispatches the released tasks in flushes of sched_flush_threshold and once at the
// end.
//
// Several resolution threads may resolve batches at once, also of the same slot: every slot
// counter changes by atomic read-modify-write and the dependency counter is thread-safe. The
// caller raises processing_count of the touched slots around the call, so no slot completes
// while its completions are being resolved.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "runtime/task_completion.hpp"

namespace arvex {

class SharedData;
struct DispatchCtx;
struct BatchInnerBuffers;

// Resolves `batch` in order. The slot of every completion is added to `touched_slots` (bit
// slot mod 64). `buffers` is the calling thread's BATCH_INNER_BUFS.
void process_batch_inner(const std::shared_ptr<SharedData>& shared, std::span<TaskCompletion> batch,
                         std::size_t thread_id, const DispatchCtx& ctx, std::uint64_t& touched_slots,
                         BatchInnerBuffers& buffers);

}  // namespace arvex
