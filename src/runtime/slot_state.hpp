#pragma once
// SlotState: where a slot stands in its frame's life. One byte per slot, kept in the locked
// slot_states vector of SlotData.
//   Inactive  no frame assigned;
//   Buffering a frame is assigned and its packets are collected, but its tasks wait
//             (--slot-priority hands slots over in frame order);
//   Active    a frame is assigned and its tasks run.

#include <cstdint>
#include <string_view>

namespace arvex {

enum class SlotState : std::uint8_t { Active = 0, Buffering = 1, Inactive = 2 };

// The variant name: "Active", "Buffering" or "Inactive".
constexpr std::string_view debug_name(SlotState state) noexcept {
  switch (state) {
    case SlotState::Active: return "Active";
    case SlotState::Buffering: return "Buffering";
    case SlotState::Inactive: return "Inactive";
  }
  return "Inactive";
}

}  // namespace arvex
