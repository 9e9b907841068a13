#include "runtime/worker_resolution.hpp"

#include <atomic>
#include <cstdint>

#include "runtime/dispatch.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/slot_counters.hpp"
#include "runtime/successor_release.hpp"
#include "runtime/thread_scratch.hpp"

namespace arvex {

namespace {

void collect_released(SharedData& shared, const NodeInfo& task, std::uint32_t generation,
                      WorkerResolutionBuffers& buffers) {
  const RunConfig& config = shared.config;
  std::vector<NodeInfo>& released = buffers.ready_tasks;
  std::vector<std::size_t>& ready = buffers.ready_indexes;
  for (const SuccEdge& edge : shared.cache.successor_arena.successors_of(task.node_id)) {
    release_through_edge(*shared.exec.counter, task.slot, generation, edge, task.index, task.count, ready,
                         buffers.scratch_indexes);
    if (ready.empty()) continue;
    const NodeInfo base = released_task_base(task, edge, generation);
    if (release_fanout_bulk(shared.slots, config, edge, base, ready.size(), released)) continue;
    if (config.coalesce_barriers && config.workers > 0 && ready.size() > config.workers && consecutive_run(ready)) {
      append_bulk_tasks(base, ready.front(), ready.size(), config.workers, released);
      continue;
    }
    for (const std::size_t instance : ready) {
      NodeInfo next = base;
      next.index = instance;
      released.push_back(next);
    }
  }
}

}  // namespace

std::optional<NodeInfo> worker_resolve_successors(const std::shared_ptr<SharedData>& shared_ptr, const DispatchCtx& ctx,
                                                  const NodeInfo& task) {
  SharedData& shared = *shared_ptr;
  SlotData& slots = shared.slots;
  const std::size_t slot = task.slot;
  slots.processing_count[slot].fetch_add(1, std::memory_order_acq_rel);
  // The flag is raised only when the slot's counts have run out: raising it after every task
  // would move its cache line to the resolution thread polling it, once per task. Sequentially
  // consistent, so that of two workers finishing together at least one sees the other's
  // processing_count decrement, or the checker that consumes the flag does.
  const auto leave = [&] {
    slots.processing_count[slot].fetch_sub(1, std::memory_order_seq_cst);
    if (slots.pending_tasks[slot].load(std::memory_order_seq_cst) == 0 &&
        slots.pending_cond_tasks[slot].load(std::memory_order_seq_cst) == 0) {
      slots.needs_check[slot].store(true, std::memory_order_seq_cst);
    }
  };
  const std::uint32_t generation = static_cast<std::uint32_t>(slots.generation[slot].load(std::memory_order_acquire));
  if (generation != task.generation) {
    leave();
    return std::nullopt;
  }
  const NodeCacheEntry& entry = shared.cache.node_cache[task.node_id];
  decrement_saturating(completion_counter(slots, entry, slot), task.count);

  std::optional<NodeInfo> kept;
  {
    auto buffers = WORKER_BUFS.borrow();
    buffers->ready_tasks.clear();
    collect_released(shared, task, generation, *buffers);
    std::vector<NodeInfo>& released = buffers->ready_tasks;
    if (shared.config.inline_continuation && !released.empty()) {
      kept = released.back();
      released.pop_back();
    }
    if (!released.empty()) {
      auto& prepared = buffers->prepared_args;
      prepared.clear();
      prepared.resize(released.size());
      send_to_scheduler(shared_ptr, ctx, released, prepared);
    }
  }
  leave();
  return kept;
}

}  // namespace arvex
