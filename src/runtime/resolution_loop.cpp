#include "runtime/resolution_loop.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "arvex/fatal.hpp"
#include "instrumentation/async_recorder.hpp"
#include "logging/log.hpp"
#include "placement/cpu_pinning.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/network_step.hpp"
#include "runtime/timed_work.hpp"
#include "scheduling/worker_identity.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/slot_lifecycle.hpp"
#include "runtime/slot_management.hpp"
#include "runtime/spin_wait.hpp"
#include "runtime/thread_scratch.hpp"
#include "scheduling/scheduler_config.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core::runtime";

// Starts the first frames of the run: all slots' worth, or only frame 0 with --slot-priority
// (the others follow as slots hand over).
void initial_preparation(const std::shared_ptr<SharedData>& shared, const DispatchCtx& ctx, std::size_t core,
                         std::size_t thread_id, std::size_t timing_slot, const SlotHooks& hooks) {
  ARVEX_DEBUG_PRINT("Thread {} in Core {} performing initial preparation", thread_id, core);
  if (shared->graph.initial_nodes().empty()) return;
  const std::size_t frames = shared->config.slot_priority ? 1 : shared->config.slots;
  std::vector<std::size_t> slots;
  slots.reserve(frames);
  for (std::size_t frame = 0; frame < frames; ++frame) {
    const SlotAssignResult assigned = assign_frame_to_available_slot(*shared, frame, hooks);
    if (assigned.outcome == SlotAssignment::NoSlot) fatal_stop("initial slot assignment must succeed");
    slots.push_back(assigned.slot);
  }
  std::vector<NodeInfo> tasks = initial_nodes(shared->graph, slots);
  if (!tasks.empty()) dispatch_nodes(shared, ctx, tasks, thread_id, timing_slot);
}

// Fills `batch` from the batch queue without blocking: up to batching_size completions (all
// that are queued for 0), falling back to spin_iterations spin-hinted attempts when the queue
// looks empty.
void receive_completions(SharedData& shared, std::vector<NodeInfo>& batch) {
  const RunConfig& config = shared.config;
  const std::size_t limit = config.batching_size == 0 ? SIZE_MAX : config.batching_size;
  NodeInfo completion;
  while (batch.size() < limit && shared.exec.batch_queue.try_pop(completion)) batch.push_back(completion);
  if (!batch.empty()) return;
  for (std::uint32_t attempt = 0; attempt < config.spin_iterations; ++attempt) {
    detail::spin_hint();
    if (!shared.exec.batch_queue.try_pop(completion)) continue;
    batch.push_back(completion);
    while (batch.size() < limit && shared.exec.batch_queue.try_pop(completion)) batch.push_back(completion);
    return;
  }
}

// Per-batch snapshot of slot generations: each slot's generation is read once per batch.
class GenerationSnapshot {
 public:
  void clear() noexcept { filled_ = 0; }
  std::uint32_t of(const SlotData& slots, std::size_t slot) noexcept {
    const std::uint64_t bit = std::uint64_t{1} << slot;
    if ((filled_ & bit) == 0) {
      values_[slot] = static_cast<std::uint32_t>(slots.generation[slot].load(std::memory_order_acquire));
      filled_ |= bit;
    }
    return values_[slot];
  }

 private:
  std::array<std::uint32_t, 64> values_{};
  std::uint64_t filled_ = 0;
};

}  // namespace

void resolution_thread_main(const std::shared_ptr<SharedData>& shared, std::size_t core, std::size_t thread_id,
                            std::size_t timing_slot) {
  if (const auto& recorder = shared->telemetry.recorder) {
    // Producers are numbered like the cores: resolution threads first.
    if (thread_id < recorder->producer_count()) set_worker_recorder(recorder->sender(thread_id));
  }
  if (pin_current_thread(core)) {
    ARVEX_LOG_DEBUG(kLogTarget, "resolution thread pinned", log::field("thread_id", thread_id), log::field("core", core),
                    log::field("slot", timing_slot));
  } else {
    ARVEX_LOG_WARN(kLogTarget, "failed to pin resolution thread", log::field("thread_id", thread_id),
                   log::field("core", core));
  }
  resolution(shared, core, thread_id, timing_slot);
}

void resolution(const std::shared_ptr<SharedData>& shared_ptr, std::size_t core, std::size_t thread_id,
                std::size_t timing_slot) {
  SharedData& shared = *shared_ptr;
  const DispatchCtx ctx = DispatchCtx::of(shared);
  ResolutionStrategy& strategy = *shared.exec.strategy;
  std::uint64_t touched_slots = 0;
  SlotHooks hooks;
  hooks.dispatch = [&](std::vector<NodeInfo>& tasks) { dispatch_nodes(shared_ptr, ctx, tasks, thread_id, timing_slot); };
  hooks.drive_buffered = [&](std::vector<TaskCompletion>& buffered, std::uint64_t since_start_ns) {
    strategy.drive_batch(shared_ptr, buffered, ctx, thread_id, timing_slot, touched_slots, since_start_ns);
  };
  TimeBufferManager* const timing = shared.telemetry.time_buffers.get();
  if (timing != nullptr) {
    hooks.start_slot_timing = [timing](std::size_t slot) { timing->start_slot_processing(slot); };
    hooks.finish_slot_timing = [timing](std::size_t slot) -> std::optional<std::string> {
      // A stopped controller has been reported once already.
      if (timing->stopped()) return std::nullopt;
      auto finished = timing->finish_slot_processing(slot);
      if (finished) return std::nullopt;
      return std::move(finished.error());
    };
  }

  if (thread_id == 0) {
    bool expected = false;
    if (shared.exec.prep_done.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
      initial_preparation(shared_ptr, ctx, core, thread_id, timing_slot, hooks);
    }
  }

  std::vector<NodeInfo> batch;
  batch.reserve(shared.config.batching_size);
  std::vector<std::size_t> running_slots;
  bool running_slots_dirty = true;
  GenerationSnapshot generations;
  std::optional<NetworkStep> network_step;
  if (shared.graph.network_config()) network_step.emplace(shared);
  const std::size_t max_frames = shared.config.max_frames;
  const auto frames_done = [&] {
    return shared.telemetry.frames_completed.load(std::memory_order_acquire) >= max_frames;
  };

  while (!shared.shutdown.load(std::memory_order_acquire)) {
    if (network_step && !shared.network.receive_finished.load(std::memory_order_acquire)) {
      network_step->run(shared_ptr, ctx, thread_id, timing_slot, hooks, running_slots_dirty, touched_slots);
    }
    batch.clear();
    receive_completions(shared, batch);
    if (!batch.empty()) {
      TimedWork batch_timing(timing);
      const std::uint64_t since_start_ns = nanos_since(shared.telemetry.start);
      auto completions = TASK_COMP_BUF.borrow();
      completions->clear();
      generations.clear();
      for (const NodeInfo& task : batch) {
        if (!task.is_post && task.slot < 64) {
          const std::uint32_t current = generations.of(shared.slots, task.slot);
          if (current != task.generation) {
            ARVEX_DEBUG_PRINT("Stale batch completion dropped: node {} slot {} index {} gen {} (current {})",
                              task.node_id, task.slot, task.index, task.generation, current);
            continue;
          }
        }
        completions->push_back(TaskCompletion{task, std::nullopt});
      }
      if (!completions->empty()) {
        strategy.drive_batch(shared_ptr, *completions, ctx, thread_id, timing_slot, touched_slots, since_start_ns);
      }
      batch_timing.add(timing_slot, "Batch Resolution", WORKER_ID);
    }
    if (shared.shutdown.load(std::memory_order_acquire)) {
      ARVEX_LOG_DEBUG(kLogTarget, "detected shutdown after receive, exiting", log::field("thread_id", thread_id));
      return;
    }
    if (frames_done()) {
      ARVEX_LOG_DEBUG(kLogTarget, "all frames completed (after recv), exiting", log::field("thread_id", thread_id));
      return;
    }
    TimedWork check_timing(timing);
    check_slots(shared, thread_id, hooks, running_slots, running_slots_dirty);
    check_timing.add(timing_slot, "Slot Check", WORKER_ID);
    if (frames_done()) {
      ARVEX_LOG_DEBUG(kLogTarget, "all frames completed, exiting resolution loop", log::field("thread_id", thread_id));
      return;
    }
  }
  ARVEX_LOG_DEBUG(kLogTarget, "detected shutdown signal, exiting resolution loop", log::field("thread_id", thread_id));
}

}  // namespace arvex
