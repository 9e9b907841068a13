#include "runtime/slot_management.hpp"

#include <optional>

#include "logging/log.hpp"
#include "runtime/shared_data.hpp"

namespace arvex {

SlotAssignResult assign_frame_to_available_slot(SharedData& shared, std::size_t frame,
                                                const SlotHooks& hooks) {
  SlotData& sd = shared.slots;
  std::optional running(sd.running_frames.write());
  for (const RunningFrame& entry : **running) {
    if (entry.frame_id == frame) return {entry.slot, SlotAssignment::Existing};
  }
  // Under the lock: the slot check marks a frame finished, and the lost-frame sweep marks a
  // frame dropped, before they let go of running_frames.
  if (shared.network.frame_has(frame, kFrameFinished | kFrameDropped)) return {0, SlotAssignment::Finished};

  const std::size_t last = sd.last_assigned.load();
  auto states = sd.slot_states.write();
  const std::size_t n = states->size();

  const auto activate = [&](std::size_t s, std::string_view how) {
    (*states)[s] = SlotState::Active;
    sd.active_bitmap.fetch_or(std::uint64_t{1} << s, std::memory_order_acq_rel);
    sd.needs_check[s].store(true);
    (*running)->push_back({frame, s});
    sd.frame_id[s].store(static_cast<std::int64_t>(frame));
    sd.last_assigned.store(s);
    ARVEX_DEBUG_PRINT("Assigned frame {} to slot {} (Inactive) -> Active ({})", frame, s, how);
    running.reset();
    // Still under the slot_states lock: no other assignment or release of this slot can
    // interleave with the generation change.
    sd.generation[s].fetch_add(1, std::memory_order_acq_rel);
    if (hooks.start_slot_timing) hooks.start_slot_timing(s);
    return SlotAssignResult{s, SlotAssignment::Activated};
  };

  if ((*states)[last] == SlotState::Inactive) return activate(last, "last assigned");

  const bool start_at_once = shared.graph.network_config() && !shared.config.slot_priority;
  for (std::size_t k = 1; k < n; ++k) {
    const std::size_t s = (last + k) % n;
    if ((*states)[s] != SlotState::Inactive) continue;
    if (start_at_once) return activate(s, "round robin");
    (*states)[s] = SlotState::Buffering;
    (*running)->push_back({frame, s});
    sd.frame_id[s].store(static_cast<std::int64_t>(frame));
    sd.last_assigned.store(s);
    ARVEX_DEBUG_PRINT("Assigned frame {} to slot {} (Inactive) -> Buffering", frame, s);
    running.reset();
    if (hooks.start_slot_timing) hooks.start_slot_timing(s);
    return {s, SlotAssignment::Existing};
  }
  return {last, SlotAssignment::NoSlot};
}

std::vector<NodeInfo> initial_nodes(const Graph& graph, std::span<const std::size_t> slots) {
  std::vector<NodeInfo> tasks;
  const std::vector<Node>& nodes = graph.nodes();
  for (const std::size_t slot : slots) {
    for (const std::uint16_t id : graph.initial_nodes()) {
      for (std::size_t index = 0; index < nodes[id].factor; ++index) {
        NodeInfo task;
        task.slot = slot;
        task.index = index;
        task.node_id = id;
        tasks.push_back(task);
      }
    }
  }
  return tasks;
}

}  // namespace arvex
