#include "runtime/slot_lifecycle.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

#include "logging/log.hpp"
#include "runtime/shared_data.hpp"

namespace arvex {

namespace {

// Sequentially consistent, like the workers' updates: a worker that finishes while this reads
// either shows up here or sees the counts at zero itself and raises needs_check again.
bool slot_idle(const SlotData& sd, std::size_t s) noexcept {
  return sd.pending_tasks[s].load(std::memory_order_seq_cst) == 0 &&
         sd.pending_cond_tasks[s].load(std::memory_order_seq_cst) == 0 &&
         sd.processing_count[s].load(std::memory_order_seq_cst) == 0;
}

std::uint64_t bit(std::size_t s) noexcept {
  return std::uint64_t{1} << s;
}

// Counters back to a fresh frame. The generation moves first, so that a task or completion
// of the finished frame met from now on is recognised as stale.
void reset_slot(SharedData& shared, std::size_t s, std::size_t thread_id) {
  SlotData& sd = shared.slots;
  ARVEX_DEBUG_PRINT("Thread {} -- Completed iteration at slot {}", thread_id, s);
  sd.generation[s].fetch_add(1, std::memory_order_acq_rel);
  sd.packet_complete[s].store(false);
  sd.packet_count[s].store(0);
  sd.abandoned[s].store(false);
  NetworkInfra& net = shared.network;
  for (std::size_t w = 0; w < net.instance_words_per_slot; ++w) {
    net.instance_seen[s * net.instance_words_per_slot + w].store(0, std::memory_order_relaxed);
  }
  sd.pending_tasks[s].store(shared.cache.total_tasks_per_frame);
  sd.pending_cond_tasks[s].store(shared.cache.total_cond_tasks_per_frame);
  sd.needs_check[s].store(false);
  ARVEX_DEBUG_PRINT("RESET slot {} counters: slot_pending_tasks={}, slot_pending_cond_tasks={}", s,
                    shared.cache.total_tasks_per_frame, shared.cache.total_cond_tasks_per_frame);
  // Condition spawn and bulk-ready words need no pass: they carry the generation they were
  // written for, and one of an older generation reads as absent.
  shared.exec.counter->unmark_slot_completed(s);
  ARVEX_DEBUG_PRINT("Cleared all state for slot {} before spawning new frame", s);
}

struct FrameCount {
  std::size_t completed = 0;
  std::size_t active = 0;
  std::size_t total = 0;
};

FrameCount process_slot_completion(SharedData& shared, std::size_t s, const SlotHooks& hooks) {
  if (hooks.finish_slot_timing) {
    if (const std::optional<std::string> error = hooks.finish_slot_timing(s)) {
      ARVEX_LOG_WARN("arvex_core::runtime", "Failed to finish slot {} timing: {}", s, *error);
    }
  }
  FrameCount count;
  {
    const auto states = shared.slots.slot_states.read();
    for (std::size_t other = 0; other < states->size(); ++other) {
      if (other != s && (*states)[other] != SlotState::Inactive) ++count.active;
    }
  }
  count.completed = shared.telemetry.frames_completed.fetch_add(1, std::memory_order_acq_rel) + 1;
  count.total = count.completed + count.active;
  const std::size_t max = shared.config.max_frames;
  if (count.total < max) {
    ARVEX_LOG_INFO("arvex_core::runtime", "slot completed frame, starting new",
                   log::field("slot", s), log::field("completed", count.completed),
                   log::field("active", count.active), log::field("total", count.total),
                   log::field("max", max));
    // No task of the finished frame is left: the claim saw every counter at zero.
    shared.exec.result_map->reinit_slot(s);
  } else {
    ARVEX_LOG_INFO("arvex_core::runtime", "slot completed, max frames reached",
                   log::field("slot", s), log::field("max", max),
                   log::field("completed", count.completed), log::field("active", count.active));
  }
  return count;
}

void release_slot(SharedData& shared, std::size_t s) {
  SlotData& sd = shared.slots;
  auto running = sd.running_frames.write();
  auto states = sd.slot_states.write();
  const SlotState previous = (*states)[s];
  (*states)[s] = SlotState::Inactive;
  sd.active_bitmap.fetch_and(~bit(s), std::memory_order_acq_rel);
  sd.frame_id[s].store(-1);
  for (auto it = running->begin(); it != running->end(); ++it) {
    if (it->slot != s) continue;
    const std::size_t frame = it->frame_id;
    running->erase(it);
    ARVEX_DEBUG_PRINT("Released slot {} from frame {} (had state: {})", s, frame,
                      debug_name(previous));
    return;
  }
  ARVEX_DEBUG_PRINT("Released slot {} with no assigned frame (had state: {})", s,
                    debug_name(previous));
}

std::uint64_t nanos_since_start(const SharedData& shared) {
  const auto elapsed = std::chrono::steady_clock::now() - shared.telemetry.start;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
}

// Activates the first Buffering slot in assignment order. Returns whether one was found.
bool hand_over(SharedData& shared, std::size_t completed_slot, const SlotHooks& hooks) {
  SlotData& sd = shared.slots;
  std::size_t b = 0;
  std::vector<TaskCompletion> buffered;
  {
    const auto running = sd.running_frames.read();
    auto states = sd.slot_states.write();
    const RunningFrame* found = nullptr;
    for (const RunningFrame& entry : *running) {
      if ((*states)[entry.slot] == SlotState::Buffering) {
        found = &entry;
        break;
      }
    }
    if (found == nullptr) return false;
    b = found->slot;
    (*states)[b] = SlotState::Active;
    sd.active_bitmap.fetch_or(bit(b), std::memory_order_acq_rel);
    sd.needs_check[b].store(true);
    sd.last_assigned.store(b);
    ARVEX_DEBUG_PRINT("Round-Robin: Activated slot {} for frame {} after completing slot {}", b,
                      found->frame_id, completed_slot);
    auto buffers = sd.slot_buffers.write();
    buffered = std::exchange((*buffers)[b], {});
  }
  sd.generation[b].fetch_add(1, std::memory_order_acq_rel);
  if (hooks.start_slot_timing) hooks.start_slot_timing(b);
  ARVEX_DEBUG_PRINT("Activated slot {} from Buffering to Active (completing slot: {})", b,
                    completed_slot);
  const std::size_t slots[] = {b};
  std::vector<NodeInfo> tasks = initial_nodes(shared.graph, slots);
  ARVEX_DEBUG_PRINT("Spawning {} initial nodes for activated slot {}", tasks.size(), b);
  if (!tasks.empty() && hooks.dispatch) hooks.dispatch(tasks);
  if (!buffered.empty()) {
    ARVEX_DEBUG_PRINT("Processing {} buffered network packets for activated slot {}",
                      buffered.size(), b);
    if (hooks.drive_buffered) hooks.drive_buffered(buffered, nanos_since_start(shared));
  }
  return true;
}

// Starts the next frame of the budget in the slot just completed.
void restart_slot(SharedData& shared, std::size_t s, const SlotHooks& hooks) {
  SlotData& sd = shared.slots;
  {
    auto running = sd.running_frames.write();
    auto states = sd.slot_states.write();
    std::size_t in_use = 0;
    for (const SlotState state : *states) {
      if (state != SlotState::Inactive) ++in_use;
    }
    const std::size_t frame =
        shared.telemetry.frames_completed.load(std::memory_order_acquire) + in_use;
    (*states)[s] = SlotState::Active;
    sd.active_bitmap.fetch_or(bit(s), std::memory_order_acq_rel);
    sd.frame_id[s].store(static_cast<std::int64_t>(frame));
    running->push_back({frame, s});
  }
  if (hooks.start_slot_timing) hooks.start_slot_timing(s);
  const std::size_t slots[] = {s};
  std::vector<NodeInfo> tasks = initial_nodes(shared.graph, slots);
  ARVEX_DEBUG_PRINT("Spawned {} initial nodes for restarting slot {}", tasks.size(), s);
  // needs_check stays false: the first completion of the new frame sets it.
  if (!tasks.empty() && hooks.dispatch) hooks.dispatch(tasks);
}

void complete_slot(SharedData& shared, std::size_t s, std::size_t thread_id, const SlotHooks& hooks,
                   bool& running_slots_dirty) {
  reset_slot(shared, s, thread_id);
  const FrameCount count = process_slot_completion(shared, s, hooks);
  release_slot(shared, s);
  running_slots_dirty = true;

  const bool slot_priority = shared.config.slot_priority;
  const bool handed_over = slot_priority && hand_over(shared, s, hooks);
  if (count.total >= shared.config.max_frames) return;
  // A network frame starts with its first packet, not here.
  if (shared.graph.network_config()) return;
  // With --slot-priority a finished slot normally passes the turn to a Buffering one. Without
  // a network source no slot is ever Buffering after the start, so when nothing was handed
  // over the slot restarts itself; otherwise frame 0 would be the only frame of the run.
  if (!slot_priority || !handed_over) restart_slot(shared, s, hooks);
}

}  // namespace

void check_slots(SharedData& shared, std::size_t thread_id, const SlotHooks& hooks,
                 std::vector<std::size_t>& running_slots, bool& running_slots_dirty) {
  SlotData& sd = shared.slots;
  if (running_slots_dirty || running_slots.empty()) {
    running_slots.clear();
    const auto running = sd.running_frames.read();
    for (const RunningFrame& entry : *running) running_slots.push_back(entry.slot);
    running_slots_dirty = false;
  }
  const bool network = shared.graph.network_config() != nullptr;
  const std::uint64_t mask = shared.config.slot_priority
                                 ? sd.active_bitmap.load(std::memory_order_acquire)
                                 : ~std::uint64_t{0};

  for (const std::size_t s : running_slots) {
    if ((mask & bit(s)) == 0) continue;
    // Read before the exchange: a write on every pass would take the line from the workers
    // that set the flag after each task.
    if (!sd.needs_check[s].load(std::memory_order_acquire) || !sd.needs_check[s].exchange(false)) continue;
    if (!slot_idle(sd, s)) continue;
    if (!shared.exec.counter->try_complete_slot(s)) continue;
    // A network frame is marked finished before the second look: a packet admission raises
    // processing_count before it reads the mark, so either it sees the mark (and discards its
    // packet as late) or this look sees it at work.
    const std::int64_t frame = sd.frame_id[s].load();
    const bool marked = network && frame >= 0 &&
                        shared.network.claim_frame_flag(static_cast<std::size_t>(frame), kFrameFinished);
    // A completion may have been counted between the first read and the claim.
    if (!slot_idle(sd, s)) {
      if (marked) shared.network.clear_frame_flag(static_cast<std::size_t>(frame), kFrameFinished);
      shared.exec.counter->unmark_slot_completed(s);
      continue;
    }
    complete_slot(shared, s, thread_id, hooks, running_slots_dirty);
  }
}

}  // namespace arvex
