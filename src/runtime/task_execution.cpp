#include "runtime/task_execution.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <exception>
#include <string>
#include <thread>
#include <utility>

#include "arvex/fatal.hpp"
#include "instrumentation/async_recorder.hpp"
#include "logging/log.hpp"
#include "runtime/arg_resolution.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/spin_wait.hpp"
#include "runtime/thread_scratch.hpp"

namespace arvex {

namespace {

std::uint64_t nanos_since_start(const SharedData& shared) noexcept {
  const auto elapsed = std::chrono::steady_clock::now() - shared.telemetry.start;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
}

// Frame of the task's slot, -1 for post tasks (their slot lies past the frame slots).
std::int64_t frame_of(const SharedData& shared, const NodeInfo& task) noexcept {
  if (task.slot >= shared.slots.slot_count()) return -1;
  return shared.slots.frame_id[task.slot].load(std::memory_order_seq_cst);
}

const Node& post_node(const SharedData& shared, const NodeInfo& task) {
  const auto& post = shared.graph.post_nodes();
  if (!post || task.node_id >= post->size()) {
    fatal_stop(fmt::format("post task for post node {} which does not exist", task.node_id));
  }
  return (*post)[task.node_id];
}

// Scheduler record of one executed task; job ids are shared with the dispatch records.
void record_task(SharedData& shared, const NodeInfo& task, std::uint64_t start_ns) {
  if (!shared.telemetry.recorder) return;
  const auto& frame = shared.config.record_frame;
  if (frame && frame_of(shared, task) != static_cast<std::int64_t>(*frame)) return;
  Record record;
  record.slot = task.slot;
  record.job_id = shared.telemetry.jobs_recorded.fetch_add(1, std::memory_order_relaxed);
  record.start_ns = start_ns;
  record.end_ns = start_ns;
  record.task_id = task.node_id;
  record.index = task.index;
  submit_record(record);
}

// Timing of kernel calls does not exist yet: this marks where a start timestamp is taken and
// the elapsed time is added under the node's name for non-post tasks.
struct KernelTimingHook {
  explicit KernelTimingHook(const SharedData& /*shared*/, const NodeInfo& /*task*/) noexcept {}
  void finish() noexcept {}
};

// Post-node arguments, one by one: post nodes have no node cache entry of their own.
ArgsStatus build_post_args(const SharedData& shared, const NodeInfo& task, std::vector<CmTypes>& out) {
  out.clear();
  const Node& node = post_node(shared, task);
  bool stale = false;
  for (const Arg& arg : node.args) {
    if (arg.condition) continue;
    std::optional<std::vector<CmTypes>> values =
        collect_arg_result(arg, task.node_id, task.index, node.factor, task.slot, task.index, shared, stale);
    if (stale) return ArgsStatus::Stale;
    if (!values) continue;
    for (CmTypes& v : *values) out.push_back(std::move(v));
  }
  return ArgsStatus::Ready;
}

// Calls the kernel; a throw is recorded as the run's failure and stops the run. Returns
// whether the kernel completed.
bool call_kernel(SharedData& shared, const NodeInfo& task, KernelFn kernel, std::span<const CmTypes> args,
                 CmTypes& result) {
  std::string message;
  try {
    kernel(args.data(), args.size(), &result);
    return true;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "unknown exception";
  }
  const std::string name = task.is_post ? post_node(shared, task).name : shared.cache.node_cache[task.node_id].name;
  shared.telemetry.failure.record(RunFailure{name, frame_of(shared, task), task.index, std::move(message)});
  // Seq_cst, as every stop of the run: each loop sees it on its next turn.
  shared.shutdown.store(true, std::memory_order_seq_cst);
  return false;
}

// Bounded send of a completion: spins with growing hints, then yields while the queue is full.
// Gives up once shutdown is set, since the resolution threads that drain it may be gone.
void send_completion(SharedData& shared, const NodeInfo& task) {
  NodeInfo completed = task;
  std::uint32_t spins = 1;
  while (!shared.exec.batch_queue.try_push(completed)) {
    if (shared.shutdown.load(std::memory_order_acquire)) return;
    if (spins <= 64) {
      for (std::uint32_t i = 0; i < spins; ++i) detail::spin_hint();
      spins *= 2;
    } else {
      std::this_thread::yield();
    }
  }
}

// Bulk tasks (count >= 2) need worker-side successor release, which does not exist yet; no
// dispatcher produces them today, so meeting one is a broken invariant.
[[noreturn]] void execute_bulk_task_hook(const NodeInfo& task) {
  fatal_stop(fmt::format("bulk task of node {} (count {}) but bulk execution is not available", task.node_id,
                         task.count));
}

}  // namespace

bool drop_stale_task(const SharedData& shared, const NodeInfo& task) {
  if (task.is_post) return false;
  if (task.slot >= shared.slots.slot_count()) {
    fatal_stop(fmt::format("node task for slot {} but the run has {} slots", task.slot, shared.slots.slot_count()));
  }
  const std::uint64_t current = shared.slots.generation[task.slot].load(std::memory_order_acquire);
  if (static_cast<std::uint32_t>(current) == task.generation) return false;
  ARVEX_DEBUG_PRINT("Stale task dropped: node {} slot {} index {} gen {} (current {})", task.node_id, task.slot,
                    task.index, task.generation, current);
  return true;
}

std::optional<NodeInfo> execute_single_task(SharedData& shared, const NodeInfo& task,
                                            std::optional<std::span<const CmTypes>> prepared, KernelFn kernel) {
  record_task(shared, task, nanos_since_start(shared));
  KernelTimingHook timing(shared, task);

  CmTypes result;
  bool completed = false;
  if (prepared) {
    completed = call_kernel(shared, task, kernel, *prepared, result);
  } else {
    auto args = ARG_BUF.borrow();
    const ArgsStatus status = task.is_post ? build_post_args(shared, task, *args) : build_task_args(shared, task, *args);
    if (status != ArgsStatus::Ready) {
      ARVEX_DEBUG_PRINT("Stale task dropped during arg collection: node {} slot {} index {} gen {}", task.node_id,
                        task.slot, task.index, task.generation);
      return std::nullopt;
    }
    completed = call_kernel(shared, task, kernel, *args, result);
  }
  if (!completed) return std::nullopt;
  timing.finish();

  if (task.is_post || shared.cache.node_cache[task.node_id].result_consumed) {
    shared.exec.result_map->set(task, std::move(result));
  }
  // Worker-side successor release (and with it inline continuation) does not exist yet: every
  // completion goes to the resolution threads.
  send_completion(shared, task);
  return std::nullopt;
}

std::optional<NodeInfo> execute_node_task(SharedData& shared, const NodeInfo& task, KernelFn kernel) {
  if (task.count > 1) execute_bulk_task_hook(task);
  return execute_single_task(shared, task, std::nullopt, kernel);
}

void run_task_job(SharedData& shared, const NodeInfo& task, std::optional<std::vector<CmTypes>> prepared,
                  KernelFn kernel) {
  if (drop_stale_task(shared, task)) return;
  if (task.count > 1) execute_bulk_task_hook(task);
  std::optional<NodeInfo> next = execute_single_task(
      shared, task, prepared ? std::optional<std::span<const CmTypes>>(*prepared) : std::nullopt, kernel);
  while (next) {
    const NodeInfo current = *next;
    if (drop_stale_task(shared, current)) return;
    next = execute_node_task(shared, current, shared.cache.node_cache[current.node_id].function);
  }
}

}  // namespace arvex
