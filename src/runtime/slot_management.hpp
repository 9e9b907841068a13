#pragma once
// Placing frames into slots. A resolution thread assigns the first frames at the start of a
// run, and packet admission assigns a network frame on its first packet; both go through
// assign_frame_to_available_slot, which may run on several threads at once.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "graph/graph.hpp"
#include "runtime/task_completion.hpp"
#include "tables/node_info.hpp"

namespace arvex {

class SharedData;

// The engine pieces slot management calls out to: dispatch of a started slot's initial tasks,
// the resolution strategy for completions buffered while a slot waited, and the per-slot
// timing of --timing. An empty member does nothing, so a caller wires only what the run has.
// dispatch, drive_buffered and finish_slot_timing run with no slot lock held and may take
// them; start_slot_timing may run under the slot_states write lock and must not.
struct SlotHooks {
  // The initial tasks of a slot that has just become Active; generation 0, stamped by the
  // dispatcher. Never called with an empty list.
  std::function<void(std::vector<NodeInfo>&)> dispatch;
  // Completions buffered for a slot handed over from Buffering to Active, with the time since
  // the run's start in nanoseconds. Never called with an empty list.
  std::function<void(std::vector<TaskCompletion>&, std::uint64_t)> drive_buffered;
  std::function<void(std::size_t slot)> start_slot_timing;
  // Returns an error text when the slot's timing could not be closed.
  std::function<std::optional<std::string>(std::size_t slot)> finish_slot_timing;
};

// What assign_frame_to_available_slot did with a frame.
enum class SlotAssignment : std::uint8_t {
  // The frame already had a slot, or it now waits in a Buffering slot.
  Existing = 0,
  // The frame took the last assigned slot, which is now Active: start its initial nodes.
  Activated = 1,
  // No Inactive slot; the slot index is meaningless.
  NoSlot = 2,
  // The frame has already completed in a slot (a late network packet), or was given up;
  // nothing was assigned.
  Finished = 3,
};

struct SlotAssignResult {
  std::size_t slot = 0;
  SlotAssignment outcome = SlotAssignment::NoSlot;

  friend bool operator==(const SlotAssignResult&, const SlotAssignResult&) = default;
};

// Gives `frame` a slot: its existing one, else last_assigned when that is Inactive (it turns
// Active and its generation advances), else the next Inactive slot after it in round-robin
// order (it turns Buffering and becomes last_assigned). Takes running_frames, then
// slot_states, for writing; a thread that later reads running_frames sees the frame.
//
// With a network source and --slot-priority off, the round-robin slot turns Active at once
// (outcome Activated): nothing else would ever start a Buffering slot in that mode. A network
// frame that has already completed is not placed again (outcome Finished); the slot check
// marks it finished before releasing its slot, under the same lock.
SlotAssignResult assign_frame_to_available_slot(SharedData& shared, std::size_t frame,
                                                const SlotHooks& hooks);

// One task per instance of every initial node, for each slot in the given order; generation 0
// (the dispatcher stamps the slot's current one).
std::vector<NodeInfo> initial_nodes(const Graph& graph, std::span<const std::size_t> slots);

}  // namespace arvex
