#include "runtime/slot_data.hpp"

namespace arvex {

namespace {

constexpr std::size_t kWordsPerLine = CACHE_LINE / sizeof(std::uint64_t);

std::size_t row_words(std::size_t nodes) noexcept { return (nodes + kWordsPerLine - 1) / kWordsPerLine * kWordsPerLine; }

}  // namespace

SlotData::SlotData(const Shape& shape)
    : generation(shape.slots),
      pending_tasks(shape.slots),
      pending_cond_tasks(shape.slots),
      processing_count(shape.slots),
      needs_check(shape.slots),
      packet_count(shape.slots),
      packet_complete(shape.slots),
      abandoned(shape.slots),
      frame_id(shape.slots),
      cond_spawn_state(shape.slots * row_words(shape.cond_spawn_initial.size())),
      bulk_ready_state(shape.slots * row_words(shape.cond_spawn_initial.size())),
      slot_states(shape.slots, SlotState::Inactive),
      slot_buffers(shape.slots),
      slot_count_(shape.slots),
      node_count_(shape.cond_spawn_initial.size()),
      words_per_slot_(row_words(shape.cond_spawn_initial.size())) {
  // Relaxed: nothing else can see the object before the runtime publishes it.
  for (std::size_t s = 0; s < slot_count_; ++s) {
    pending_tasks[s].store(shape.tasks_per_frame, std::memory_order_relaxed);
    pending_cond_tasks[s].store(shape.cond_tasks_per_frame, std::memory_order_relaxed);
    frame_id[s].store(-1, std::memory_order_relaxed);
    for (std::size_t n = 0; n < node_count_; ++n) cond_spawn(s, n).store(shape.cond_spawn_initial[n], std::memory_order_relaxed);
  }
}

}  // namespace arvex
