#include "runtime/batch_resolution.hpp"

#include <algorithm>
#include <atomic>
#include <utility>

#include "logging/log.hpp"
#include "runtime/condition_evaluation.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/slot_counters.hpp"
#include "runtime/successor_release.hpp"
#include "runtime/thread_scratch.hpp"

namespace arvex {

namespace {

constexpr std::uint64_t kLow32 = 0xFFFF'FFFFu;

// Spawns a condition-gated successor may still make in this generation of the slot.
std::uint64_t remaining_spawns(std::uint64_t word, std::uint32_t generation, std::uint64_t initial) noexcept {
  return static_cast<std::uint32_t>(word >> 32) == generation ? (word & kLow32) : initial;
}

void count_completion(SharedData& shared, const NodeInfo& task, const NodeCacheEntry& entry) {
  if (entry.is_condition) {
    const std::size_t before = decrement_saturating(shared.slots.pending_cond_tasks[task.slot], 1);
    if (before <= 10 || before % 100 == 0) {
      ARVEX_DEBUG_PRINT("COND task completed: slot={}, node_id={} ({}), prev_pending_cond={}, new={}", task.slot,
                        task.node_id, entry.name, before, before > 0 ? before - 1 : 0);
    }
    return;
  }
  decrement_saturating(completion_counter(shared.slots, entry, task.slot), 1);
}

// A condition node instance became ready: run it when its condition passes, else put the
// dependency back so that the next completion of its predecessor can release it again.
void resolve_condition_node(SharedData& shared, const NodeInfo& completed, const SuccEdge& edge,
                            std::size_t instance, std::uint32_t generation, std::vector<NodeInfo>& released) {
  const std::size_t slot = completed.slot;
  const std::uint16_t node = edge.succ;
  switch (evaluate_condition(shared, node, instance, slot, generation)) {
    case ConditionOutcome::Abandoned:
      return;
    case ConditionOutcome::Failed: {
      decrement_saturating(shared.slots.pending_cond_tasks[slot], 1);
      NodeInfo key;
      key.slot = slot;
      key.index = instance;
      key.node_id = node;
      shared.exec.counter->increment_dependency(key, generation);
      shared.exec.counter->reset_sent(slot, node, instance, generation);
      return;
    }
    case ConditionOutcome::Passed:
      break;
  }
  NodeInfo task;
  task.slot = slot;
  task.index = instance;
  task.trigger_index = completed.index;
  task.generation = generation;
  task.node_id = node;
  released.push_back(task);

  std::atomic<std::uint64_t>& word = shared.slots.cond_spawn(slot, node);
  std::uint64_t current = word.load(std::memory_order_acquire);
  std::uint64_t before = 0;
  std::uint64_t after = 0;
  do {
    before = remaining_spawns(current, generation, edge.succ_factor);
    after = before > 0 ? before - 1 : 0;
  } while (!word.compare_exchange_weak(current, (std::uint64_t{generation} << 32) | after, std::memory_order_acq_rel,
                                       std::memory_order_acquire));
  ARVEX_DEBUG_PRINT("Condition passed for node {} ({}) index {}: remaining spawns {} -> {}", node,
                    shared.cache.node_cache[node].name, instance, before, after);
}

// Releases the successors of one completed task into `released`.
void release_successors(SharedData& shared, const NodeInfo& t, BatchInnerBuffers& buffers) {
  const RunConfig& config = shared.config;
  const std::uint32_t generation =
      static_cast<std::uint32_t>(shared.slots.generation[t.slot].load(std::memory_order_acquire));
  std::vector<NodeInfo>& released = buffers.ready_tasks;
  std::vector<std::size_t>& ready = buffers.ready_indexes;

  for (const SuccEdge& edge : shared.cache.successor_arena.successors_of(t.node_id)) {
    if (!edge_covers(edge, t.index)) {
      ARVEX_DEBUG_PRINT("SUCC_FILTER: pred={} index={} succ={} FILTERED", t.node_id, t.index, edge.succ);
      continue;
    }
    if (edge.succ_is_condition != 0) {
      const std::uint64_t word = shared.slots.cond_spawn(t.slot, edge.succ).load(std::memory_order_acquire);
      const std::uint64_t remaining = remaining_spawns(word, generation, edge.succ_factor);
      ARVEX_DEBUG_PRINT("COND_CHECK: pred={} index={} succ={} ({}) remaining_spawns={} slot_gen={} stored_gen={}",
                        t.node_id, t.index, edge.succ, shared.cache.node_cache[edge.succ].name, remaining,
                        generation, word >> 32);
      if (remaining == 0) continue;
    }
    release_through_edge(*shared.exec.counter, t.slot, generation, edge, t.index, 1, ready, buffers.scratch_indexes);
    ARVEX_DEBUG_PRINT("DECREMENT: pred={} index={} succ={} ({}) ready_count={}", t.node_id, t.index, edge.succ,
                      shared.cache.node_cache[edge.succ].name, ready.size());
    if (ready.empty()) continue;

    const NodeInfo base = released_task_base(t, edge, generation);
    if (release_fanout_bulk(shared.slots, config, edge, base, ready.size(), released)) continue;
    for (const std::size_t instance : ready) {
      if (edge.succ_is_condition != 0) {
        resolve_condition_node(shared, t, edge, instance, generation, released);
        continue;
      }
      NodeInfo task = base;
      task.index = instance;
      released.push_back(task);
    }
  }
}

}  // namespace

void process_batch_inner(const std::shared_ptr<SharedData>& shared_ptr, std::span<TaskCompletion> batch,
                         std::size_t thread_id, const DispatchCtx& ctx, std::uint64_t& touched_slots,
                         BatchInnerBuffers& buffers) {
  SharedData& shared = *shared_ptr;
  const std::size_t timing_slot = shared.config.slots + thread_id;
  const std::size_t flush_threshold = shared.config.sched_flush_threshold;
  std::vector<NodeInfo>& to_dispatch = buffers.dispatch_tasks;
  to_dispatch.clear();

  for (TaskCompletion& completion : batch) {
    const NodeInfo& t = completion.task;
    touched_slots |= std::uint64_t{1} << (t.slot % 64);
    if (t.is_post) {
      if (completion.result) shared.exec.result_map->set(t, std::move(*completion.result));
      continue;
    }
    // Stored before any successor is released: a released task may read it at once.
    if (completion.result) shared.exec.result_map->set(t, std::move(*completion.result));
    count_completion(shared, t, shared.cache.node_cache[t.node_id]);

    buffers.ready_tasks.clear();
    release_successors(shared, t, buffers);
    ARVEX_DEBUG_PRINT("Thread {} -- Processed node {} in slot {}, scheduled: {}", thread_id, t.node_id, t.slot,
                      buffers.ready_tasks.size());
    to_dispatch.insert(to_dispatch.end(), buffers.ready_tasks.begin(), buffers.ready_tasks.end());
    if (!to_dispatch.empty() && to_dispatch.size() >= flush_threshold) {
      dispatch_nodes(shared_ptr, ctx, to_dispatch, thread_id, timing_slot);
      to_dispatch.clear();
    }
  }
  if (!to_dispatch.empty()) {
    dispatch_nodes(shared_ptr, ctx, to_dispatch, thread_id, timing_slot);
    to_dispatch.clear();
  }
}

}  // namespace arvex
