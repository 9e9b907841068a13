#include "instrumentation/time_buffer.hpp"

#include <fmt/format.h>

#include <utility>

namespace arvex {

Expected<SlotStats, std::string> TimeBuffer::finish_slot_processing_with_time(std::size_t slot, const TimingPoint& end) {
  if (slot >= num_slots) return Unexpected{fmt::format("Slot ID {} out of bounds (max: {})", slot, num_slots - 1)};
  std::optional<TimingPoint> start;
  start.swap(slot_starts[slot]);
  if (!start) return Unexpected{fmt::format("Slot {} processing was never started or was already finished", slot)};
  auto total = end.since(*start);
  if (!total) return Unexpected{std::move(total).error()};

  SlotStats stats{slot, slot_history[slot].size(), std::move(task_times[slot]), *total};
  task_times[slot].clear();  // a moved-from map is valid but unspecified
  slot_history[slot].push_back(stats);
  return stats;
}

}  // namespace arvex
