#include "runtime/run_loop.hpp"

#include <fmt/format.h>

#include <bit>
#include <chrono>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"
#include "placement/core_allocation.hpp"
#include "runtime/arg_resolution.hpp"
#include "instrumentation/time_buffer_manager.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/receiver_threads.hpp"
#include "runtime/resolution_loop.hpp"
#include "runtime/shared_data.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core::runtime";
constexpr auto kPredicatePoll = std::chrono::milliseconds(10);
constexpr auto kTimeLimitPoll = std::chrono::seconds(10);
constexpr auto kPostNodePoll = std::chrono::milliseconds(10);

// Joins on destruction, so that an early return never leaves a joinable thread behind.
class ThreadSet {
 public:
  ThreadSet() = default;
  ThreadSet(const ThreadSet&) = delete;
  ThreadSet& operator=(const ThreadSet&) = delete;
  ~ThreadSet() { join_all(); }

  void add(std::thread thread) { threads_.push_back(std::move(thread)); }
  std::size_t size() const noexcept { return threads_.size(); }
  void join_all() {
    for (std::thread& t : threads_) {
      if (t.joinable()) t.join();
    }
  }

 private:
  std::vector<std::thread> threads_;
};

std::thread spawn_resolution_thread(const std::shared_ptr<SharedData>& shared, std::size_t core, std::size_t i,
                                    std::size_t timing_slot) {
  return std::thread([shared, core, i, timing_slot] {
    // An escaped failure is a broken engine, not bad input: stop with its text.
    try {
      resolution_thread_main(shared, core, i, timing_slot);
    } catch (const std::exception& e) {
      fatal_stop(fmt::format("resolution thread {} failed", i), e.what());
    }
  });
}

RunStatus status_of(const SharedData& shared, std::chrono::steady_clock::duration elapsed) {
  RunStatus status;
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  status.elapsed_secs = static_cast<std::uint64_t>(secs.count());
  status.elapsed_nanos = static_cast<std::uint32_t>(std::chrono::nanoseconds(elapsed - secs).count());
  status.frames_completed = shared.telemetry.frames_completed.load(std::memory_order_acquire);
  status.max_frames = shared.config.max_frames;
  status.active_slots =
      static_cast<std::uint32_t>(std::popcount(shared.slots.active_bitmap.load(std::memory_order_acquire)));
  return status;
}

// Polls until the time limit, the frame budget or the predicate ends the run.
void supervise(const SharedData& shared, const std::optional<RunPredicate>& until) {
  const auto started = std::chrono::steady_clock::now();
  const std::chrono::steady_clock::duration poll =
      until ? std::chrono::steady_clock::duration(kPredicatePoll) : std::chrono::steady_clock::duration(kTimeLimitPoll);
  // sleep_for resumes after interruptions for the remaining time.
  std::this_thread::sleep_for(poll);
  for (;;) {
    const auto elapsed = std::chrono::steady_clock::now() - started;
    const RunStatus status = status_of(shared, elapsed);
    if (shared.config.max_runtime && status.elapsed_secs > *shared.config.max_runtime) {
      ARVEX_LOG_INFO(kLogTarget, "Max runtime reached, exiting");
      return;
    }
    if (status.frames_completed >= status.max_frames) {
      ARVEX_LOG_INFO(kLogTarget, "All frames completed, exiting");
      return;
    }
    if (until && (*until)(status)) {
      ARVEX_LOG_INFO(kLogTarget, "run_until predicate satisfied, exiting");
      return;
    }
    std::this_thread::sleep_for(poll);
  }
}

bool failed(const SharedData& shared) { return shared.telemetry.failure.first().has_value(); }

// Runs every post node once, in list order, each waited for before the next.
void run_post_nodes(const std::shared_ptr<SharedData>& shared_ptr) {
  SharedData& shared = *shared_ptr;
  ARVEX_LOG_DEBUG(kLogTarget, "Processing possible post-nodes");
  const auto& post = shared.graph.post_nodes();
  if (!post) return;
  if (failed(shared)) {
    ARVEX_LOG_WARN(kLogTarget, "skipping post-nodes: a kernel failed during the run");
    return;
  }
  const DispatchCtx ctx = DispatchCtx::of(shared);
  const std::size_t post_slot = shared.config.slots + shared.config.system_threads;
  for (const Node& node : *post) {
    std::vector<NodeInfo> tasks;
    std::vector<std::optional<std::vector<CmTypes>>> prepared;
    for (std::size_t index = 0; index < node.factor; ++index) {
      std::vector<CmTypes> args;
      bool stale = false;
      for (const Arg& arg : node.args) {
        if (arg.condition) continue;
        std::optional<std::vector<CmTypes>> values =
            collect_arg_result(arg, node.id, index, node.factor, post_slot, index, shared, stale);
        if (values) args.insert(args.end(), values->begin(), values->end());
      }
      NodeInfo task;
      task.slot = post_slot;
      task.index = index;
      task.node_id = node.id;
      task.is_post = true;
      tasks.push_back(task);
      prepared.emplace_back(std::move(args));
    }
    send_to_scheduler(shared_ptr, ctx, tasks, prepared);
    ARVEX_LOG_DEBUG(kLogTarget, "Added post node: {}", node.name);
    for (const NodeInfo& task : tasks) {
      // A post kernel that fails stores nothing; its failure ends the wait.
      while (!shared.exec.result_map->get(task) && !failed(shared)) std::this_thread::sleep_for(kPostNodePoll);
    }
  }
  ARVEX_LOG_DEBUG(kLogTarget, "All post-nodes completed");
}

}  // namespace

Expected<void, std::string> run_impl(const std::shared_ptr<SharedData>& shared, std::optional<RunPredicate> until) {
  const RunConfig& config = shared->config;
  // The resolution threads' own timing slots follow the frame slots, one each.
  TimeBufferManager* const timing = shared->telemetry.time_buffers.get();
  if (timing != nullptr) {
    for (std::size_t i = 0; i < config.system_threads; ++i) timing->start_slot_processing(config.slots + i);
  }
  auto receivers = spawn_receiver_threads(shared);
  if (!receivers) {
    shared->shutdown.store(true, std::memory_order_seq_cst);
    return Unexpected{std::move(receivers.error())};
  }

  ThreadSet resolvers;
  {
    const std::vector<std::size_t> cores = usable_cores();
    for (std::size_t i = 0; i < config.system_threads; ++i) {
      const std::size_t position = config.core_offset + i;
      // A position past the usable cores names no core; pinning it fails and the thread runs unpinned.
      const std::size_t core = position < cores.size() ? cores[position] : position;
      try {
        resolvers.add(spawn_resolution_thread(shared, core, i, config.slots + i));
      } catch (const std::system_error& e) {
        shared->shutdown.store(true, std::memory_order_seq_cst);
        resolvers.join_all();
        shutdown_receiver_threads(*shared, *receivers);
        return Unexpected{fmt::format("failed to spawn resolution thread {}: {}", i, e.what())};
      }
    }
  }
  ARVEX_LOG_DEBUG(kLogTarget, "{} Resolution threads spawned", resolvers.size());

  ARVEX_LOG_DEBUG(kLogTarget, "Max runtime check started");
  if (!until && !config.max_runtime) {
    // The resolution threads leave by themselves once the budget is spent (or on a failure).
    resolvers.join_all();
  } else {
    supervise(*shared, until);
  }
  shared->shutdown.store(true, std::memory_order_seq_cst);
  ARVEX_LOG_INFO(kLogTarget, "Shutdown flag set - signaling resolution threads to exit");
  // Post nodes run on both paths once the frames are over.
  run_post_nodes(shared);
  resolvers.join_all();
  shutdown_receiver_threads(*shared, *receivers);
  if (timing != nullptr) {
    for (std::size_t i = 0; i < config.system_threads; ++i) {
      if (auto finished = timing->finish_slot_processing(config.slots + i); !finished) {
        ARVEX_LOG_WARN(kLogTarget, "Failed to finish slot {} timing: {}", config.slots + i, finished.error());
      }
    }
  }

  if (const std::optional<RunFailure> failure = shared->telemetry.failure.first()) {
    return Unexpected{fmt::format("kernel '{}' failed (frame {}, instance {}): {}", failure->node, failure->frame_id,
                                  failure->instance, failure->message)};
  }
  return {};
}

}  // namespace arvex
