#pragma once
// Counting completed tasks against their slot. Both the resolution threads and the workers
// that release successors themselves do this.

#include <atomic>
#include <cstddef>

#include "compiler/node_cache.hpp"
#include "runtime/slot_data.hpp"

namespace arvex {

// Subtracts `by` without going below zero, so that a miscounted completion (a condition
// instance released again after it failed) cannot wrap the counter and keep its slot from ever
// completing. Sequentially consistent: whether a slot may have completed is decided from these
// counters and processing_count read on different threads. Returns the previous value.
inline std::size_t decrement_saturating(std::atomic<std::size_t>& counter, std::size_t by) noexcept {
  std::size_t current = counter.load(std::memory_order_seq_cst);
  while (!counter.compare_exchange_weak(current, current > by ? current - by : 0, std::memory_order_seq_cst,
                                        std::memory_order_seq_cst)) {
  }
  return current;
}

// The counter a completed task of `entry`'s node belongs to: pending_cond_tasks for condition
// nodes, pending_tasks for the rest.
inline std::atomic<std::size_t>& completion_counter(SlotData& slots, const NodeCacheEntry& entry,
                                                    std::size_t slot) noexcept {
  return entry.is_condition ? slots.pending_cond_tasks[slot] : slots.pending_tasks[slot];
}

}  // namespace arvex
