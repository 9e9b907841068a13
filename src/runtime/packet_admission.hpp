#pragma once
// Turning received packets into work: a packet's frame gets a slot, the packet an instance of
// the network source node "$network" (node 0), and its payload becomes that instance's result.
// A frame too far ahead, or with no free slot, waits in the pending-frame table; a frame that
// cannot be held there is dropped and counted as completed, so that the frame budget still
// runs out. Several resolution threads admit packets at once.
//
// Packets that name no instance are discarded and counted, never stored: a packet of a frame
// that has already completed (late), and one whose instance is out of range or already
// received (excess). Each kind is reported once per frame.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "arvex/cm_types.hpp"
#include "runtime/slot_management.hpp"
#include "runtime/task_completion.hpp"

namespace arvex {

class SharedData;

// What the admitting resolution thread lends to admission.
struct PacketAdmissionCtx {
  std::size_t thread_id = 0;
  std::size_t timing_slot = 0;  // the thread's slot in the time buffers
  // Set when admission made a slot Active: the thread's running-slot list is out of date.
  bool* running_slots_dirty = nullptr;
  // Admitted packets of Active slots, resolved as one batch at the end of the network step.
  std::vector<TaskCompletion>* completions = nullptr;
  // Dispatches the initial tasks of a slot that a packet has made Active.
  const SlotHooks* hooks = nullptr;
};

// The frame or instance number a network function returned: a non-negative integer of any
// width (128-bit ones by their low 64 bits). Nothing for negative numbers and other values.
std::optional<std::size_t> packet_number(const CmTypes& value) noexcept;

// Admits one packet of `frame` whose extracted payload is `value`: finds or makes the frame's
// slot (parking the packet when none is free), gives it its instance (from the index function,
// else the arrival order within the slot), records the completion, and counts the frame as
// received when this was its last packet.
void admit_packet(SharedData& shared, std::size_t frame, CmTypes value,
                  std::chrono::steady_clock::time_point received_at, std::size_t receiver_core,
                  PacketAdmissionCtx& ctx);

// Holds a packet for a frame that cannot be admitted yet. When the table is full, the highest
// frame (parked or this one) is dropped to make room.
void park_pending_packet(SharedData& shared, std::size_t frame, CmTypes value,
                         std::chrono::steady_clock::time_point received_at, std::size_t receiver_core);

// Admits the parked packets of every frame that has come within reach (below frames completed
// plus slots), frame by frame in increasing order, each frame's packets in parking order.
void reinject_parked_packets(SharedData& shared, PacketAdmissionCtx& ctx);

// Frees slots held by frames that lost packets. After the pending-frame table overflowed, frames
// below the lowest parked one that never arrived are dropped, and the oldest Active frame still
// missing packets is given up; once frames past the budget arrive,
// budget frames that never arrived are dropped (once), and from then on every frame still
// missing packets at the end of a step is given up. A given-up frame in a slot completes with no payload for its missing packets and runs
// no more kernels; it counts as completed and as dropped.
void give_up_stalled_frames(SharedData& shared, PacketAdmissionCtx& ctx);

// Gives up `frame` once: counts it completed and dropped, and warns with `reason`.
void mark_frame_dropped(SharedData& shared, std::size_t frame, std::string_view reason);

// Counts one more frame as fully received and returns the count; at the frame budget the
// network step is switched off.
std::size_t check_frame_completion(SharedData& shared);

}  // namespace arvex
