#include "runtime/kernel_call.hpp"

#include <utility>

#include "runtime/shared_data.hpp"

namespace arvex {

void record_kernel_failure(SharedData& shared, std::string_view node_name, std::int64_t frame_id,
                           std::size_t instance, std::string message) {
  shared.telemetry.failure.record(RunFailure{std::string(node_name), frame_id, instance, std::move(message)});
  // Seq_cst, as every stop of the run: each loop sees it on its next turn.
  shared.shutdown.store(true, std::memory_order_seq_cst);
}

std::int64_t frame_in_slot(const SharedData& shared, std::size_t slot) noexcept {
  if (slot >= shared.slots.slot_count()) return -1;
  return shared.slots.frame_id[slot].load(std::memory_order_seq_cst);
}

bool frame_abandoned(const SharedData& shared, std::size_t slot) noexcept {
  return slot < shared.slots.slot_count() && shared.slots.abandoned[slot].load(std::memory_order_acquire);
}

}  // namespace arvex
