#pragma once
// SlotData: the per-slot state of a run, in flat arrays indexed by slot (and by slot and node).
// Written by the resolution threads (slot assignment, batch resolution, slot checks), by the
// workers (successor release and staleness checks) and read by the state dump.
//
// Ordering contract for the atomics: counters are changed with acquire-release
// read-modify-writes; flags and frame_id are stored sequentially consistent. A reader that
// needs several fields to agree takes the locked vectors instead.
//
// Lock order when more than one of the three locked vectors is needed: running_frames, then
// slot_states, then slot_buffers.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/rw_lock.hpp"
#include "runtime/slot_state.hpp"
#include "runtime/task_completion.hpp"
#include "tables/cache_aligned_array.hpp"

namespace arvex {

// One atomic alone on a cache line.
template <class T>
struct alignas(CACHE_LINE) PaddedAtomic : std::atomic<T> {
  using std::atomic<T>::atomic;
  using std::atomic<T>::operator=;
};
static_assert(sizeof(PaddedAtomic<std::uint64_t>) == CACHE_LINE && sizeof(PaddedAtomic<bool>) == CACHE_LINE,
              "a padded counter fills exactly one cache line");

// A frame placed in a slot, in assignment order.
struct RunningFrame {
  std::size_t frame_id = 0;
  std::size_t slot = 0;

  friend bool operator==(const RunningFrame&, const RunningFrame&) = default;
};

class SlotData {
 public:
  // Counts a slot starts every frame with.
  struct Shape {
    std::size_t slots = 1;
    std::size_t tasks_per_frame = 0;       // pending_tasks after a reset
    std::size_t cond_tasks_per_frame = 0;  // pending_cond_tasks after a reset
    // Per node, in id order: the cond_spawn_state word of generation 0 (the node's factor for
    // a condition node, else 0). Its length is the node count.
    std::vector<std::uint64_t> cond_spawn_initial;
  };

  // All slots Inactive with no frame (-1), generation 0, pending counts at their per-frame
  // totals, every other counter and flag zero.
  explicit SlotData(const Shape& shape);
  SlotData(const SlotData&) = delete;
  SlotData& operator=(const SlotData&) = delete;

  std::size_t slot_count() const noexcept { return slot_count_; }
  std::size_t node_count() const noexcept { return node_count_; }

  // (generation << 32 | remaining spawns) of a condition-gated successor node in a slot.
  std::atomic<std::uint64_t>& cond_spawn(std::size_t slot, std::size_t node) noexcept {
    return cond_spawn_state[slot * words_per_slot_ + node];
  }
  // (generation << 32 | ready instance count) of a node dispatched in bulk in a slot.
  std::atomic<std::uint64_t>& bulk_ready(std::size_t slot, std::size_t node) noexcept {
    return bulk_ready_state[slot * words_per_slot_ + node];
  }
  // Words from one slot's row to the next: the node count rounded up to whole cache lines.
  std::size_t words_per_slot() const noexcept { return words_per_slot_; }

  // Every per-slot counter below sits on a cache line of its own. Each is hammered by other
  // threads: pending_tasks by every completion of the slot's frame, processing_count around
  // every batch, generation read by every task's staleness check. Packed together (or next to
  // the same counter of a neighbouring slot, resolved by another thread), each decrement would
  // evict the line every worker reads the generation from.

  // Low 32 bits are compared with NodeInfo::generation; increased on every slot reset.
  CacheAlignedArray<PaddedAtomic<std::uint64_t>> generation;
  CacheAlignedArray<PaddedAtomic<std::size_t>> pending_tasks;
  CacheAlignedArray<PaddedAtomic<std::size_t>> pending_cond_tasks;
  // Batches and worker-side resolutions currently touching the slot; a slot is not completed
  // while it is non-zero.
  CacheAlignedArray<PaddedAtomic<std::size_t>> processing_count;
  // The slot may have completed; consumed by an exchange in the slot check.
  CacheAlignedArray<PaddedAtomic<bool>> needs_check;
  CacheAlignedArray<PaddedAtomic<std::size_t>> packet_count;
  CacheAlignedArray<PaddedAtomic<bool>> packet_complete;
  // The slot's network frame was given up with packets missing: its remaining tasks complete
  // without running their kernels, so that the frame drains and the slot completes as usual.
  // Set by packet admission, cleared by the slot reset.
  CacheAlignedArray<PaddedAtomic<bool>> abandoned;
  CacheAlignedArray<PaddedAtomic<std::int64_t>> frame_id;  // -1 while no frame occupies the slot

  // Bit s set while slot s is Active; changed by fetch_or / fetch_and (acq_rel) under the
  // slot_states write lock, read without it. Alone on its line: every slot assignment and
  // completion writes it.
  PaddedAtomic<std::uint64_t> active_bitmap{0};
  // The slot most recently given a frame; the free-slot search starts there. Written under
  // the slot_states write lock.
  PaddedAtomic<std::size_t> last_assigned{0};

  // Flat [slot][node] words, each slot's row padded to whole cache lines so that frames in
  // different slots never write the same line. Use cond_spawn() and bulk_ready(). Updated by
  // compare-exchange (acq_rel); a word of an older generation reads as its initial value.
  CacheAlignedArray<std::atomic<std::uint64_t>> cond_spawn_state;
  CacheAlignedArray<std::atomic<std::uint64_t>> bulk_ready_state;

  RwLock<std::vector<RunningFrame>> running_frames;
  RwLock<std::vector<SlotState>> slot_states;
  // Per slot, completions held while the slot is Buffering.
  RwLock<std::vector<std::vector<TaskCompletion>>> slot_buffers;

 private:
  std::size_t slot_count_ = 0;
  std::size_t node_count_ = 0;
  std::size_t words_per_slot_ = 0;
};

}  // namespace arvex
