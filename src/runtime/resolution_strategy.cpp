#include "runtime/resolution_strategy.hpp"

#include <atomic>
#include <bit>

#include "runtime/batch_resolution.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/thread_scratch.hpp"
#include "runtime/worker_resolution.hpp"

namespace arvex {

namespace {

bool mask_holds_frame(const SharedData& shared, std::uint64_t mask, std::size_t frame) noexcept {
  for (std::uint64_t m = mask; m != 0; m &= m - 1) {
    const auto slot = static_cast<std::size_t>(std::countr_zero(m));
    if (slot < shared.slots.slot_count() &&
        shared.slots.frame_id[slot].load(std::memory_order_seq_cst) == static_cast<std::int64_t>(frame)) {
      return true;
    }
  }
  return false;
}

}  // namespace

void MultiSlotBatchStrategy::drive_batch(const std::shared_ptr<SharedData>& shared_ptr,
                                         std::span<TaskCompletion> completions, const DispatchCtx& ctx,
                                         std::size_t thread_id, std::size_t /*timing_slot*/,
                                         std::uint64_t& touched_slots, std::uint64_t since_start_ns) {
  if (completions.empty()) return;
  SharedData& shared = *shared_ptr;
  SlotData& slots = shared.slots;
  std::uint64_t mask = 0;
  for (const TaskCompletion& c : completions) mask |= std::uint64_t{1} << (c.task.slot % 64);
  // Slots past the frame slots (post tasks) have no counters.
  const auto frame_slots = [&](auto&& each) {
    for (std::uint64_t m = mask; m != 0; m &= m - 1) {
      const auto slot = static_cast<std::size_t>(std::countr_zero(m));
      if (slot < slots.slot_count()) each(slot);
    }
  };
  frame_slots([&](std::size_t s) { slots.processing_count[s].fetch_add(1, std::memory_order_acq_rel); });
  {
    auto buffers = BATCH_INNER_BUFS.borrow();
    process_batch_inner(shared_ptr, completions, thread_id, ctx, touched_slots, *buffers);
  }
  if (shared.telemetry.recorder &&
      (!shared.config.record_frame || mask_holds_frame(shared, mask, *shared.config.record_frame))) {
    submit_resolution_record(shared.telemetry, thread_id, since_start_ns);
  }
  frame_slots([&](std::size_t s) {
    slots.processing_count[s].fetch_sub(1, std::memory_order_seq_cst);
    slots.needs_check[s].store(true, std::memory_order_seq_cst);
  });
}

std::optional<NodeInfo> MultiSlotBatchStrategy::worker_resolve(const std::shared_ptr<SharedData>& shared,
                                                               const DispatchCtx& ctx, const NodeInfo& task) {
  return worker_resolve_successors(shared, ctx, task);
}

}  // namespace arvex
