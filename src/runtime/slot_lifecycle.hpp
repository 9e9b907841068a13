#pragma once
// The end of a frame: check_slots finds slots whose frame has finished, claims each completion
// exactly once, resets the slot for its next frame, counts the frame, and then releases the
// slot, hands the turn to a waiting Buffering slot (--slot-priority) or starts the next frame
// in it. Called by every resolution thread once per loop turn; threads may check the same
// slots at the same time.

#include <cstddef>
#include <vector>

#include "runtime/slot_management.hpp"

namespace arvex {

class SharedData;

// One pass over the running slots. `running_slots` and `running_slots_dirty` belong to the
// calling thread and persist between calls: the list is rebuilt from running_frames when it
// is empty or marked dirty, and marked dirty again whenever this pass releases a slot.
//
// Contract: a slot is completed by the one thread whose try_complete_slot claim succeeds while
// its pending counts and processing_count read zero before and after the claim; that thread
// alone resets the slot's counters and result cells, so a task of the finished frame can no
// longer touch them. frames_completed is incremented (acq_rel) once per completed frame.
void check_slots(SharedData& shared, std::size_t thread_id, const SlotHooks& hooks,
                 std::vector<std::size_t>& running_slots, bool& running_slots_dirty);

}  // namespace arvex
