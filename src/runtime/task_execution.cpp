#include "runtime/task_execution.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#include "arvex/fatal.hpp"
#include "instrumentation/async_recorder.hpp"
#include "logging/log.hpp"
#include "runtime/arg_resolution.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/kernel_call.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/spin_wait.hpp"
#include "runtime/thread_scratch.hpp"
#include "runtime/timed_work.hpp"
#include "scheduling/worker_identity.hpp"
#include "scheduling/scheduler_config.hpp"

namespace arvex {

namespace {

const Node& post_node(const SharedData& shared, const NodeInfo& task) {
  const auto& post = shared.graph.post_nodes();
  if (!post || task.node_id >= post->size()) {
    fatal_stop(fmt::format("post task for post node {} which does not exist", task.node_id));
  }
  return (*post)[task.node_id];
}

const std::string& node_name(const SharedData& shared, const NodeInfo& task) {
  return task.is_post ? post_node(shared, task).name : shared.cache.node_cache[task.node_id].name;
}

// Scheduler record of one executed task; job ids are shared with the dispatch records.
void record_task(SharedData& shared, const NodeInfo& task) {
  if (!shared.telemetry.recorder) return;
  const auto& frame = shared.config.record_frame;
  if (frame && frame_in_slot(shared, task.slot) != static_cast<std::int64_t>(*frame)) return;
  Record record;
  record.slot = task.slot;
  record.job_id = shared.telemetry.jobs_recorded.fetch_add(1, std::memory_order_relaxed);
  record.start_ns = nanos_since(shared.telemetry.start);
  record.end_ns = record.start_ns;
  record.task_id = task.node_id;
  record.index = task.index;
  submit_record(record);
}

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

bool call_kernel(SharedData& shared, const NodeInfo& task, KernelFn kernel, std::span<const CmTypes> args,
                 CmTypes& result) {
  if (frame_abandoned(shared, task.slot)) return true;  // result stays None
  return call_kernel_guarded(shared, node_name(shared, task), frame_in_slot(shared, task.slot), task.index, kernel,
                             args, result);
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

void log_stale_args(const NodeInfo& task) {
  ARVEX_DEBUG_PRINT("Stale task dropped during arg collection: node {} slot {} index {} gen {}", task.node_id,
                    task.slot, task.index, task.generation);
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

std::optional<NodeInfo> execute_single_task(const std::shared_ptr<SharedData>& shared_ptr, const NodeInfo& task,
                                            std::optional<std::span<const CmTypes>> prepared, KernelFn kernel) {
  SharedData& shared = *shared_ptr;
  record_task(shared, task);
  // Frame tasks are timed under their node's name in their slot; post tasks are not.
  TimedWork timing(task.is_post ? nullptr : shared.telemetry.time_buffers.get());

  CmTypes result;
  bool completed = false;
  if (prepared) {
    completed = call_kernel(shared, task, kernel, *prepared, result);
  } else {
    auto args = ARG_BUF.borrow();
    const ArgsStatus status = task.is_post ? build_post_args(shared, task, *args) : build_task_args(shared, task, *args);
    if (status != ArgsStatus::Ready) {
      log_stale_args(task);
      return std::nullopt;
    }
    completed = call_kernel(shared, task, kernel, *args, result);
  }
  if (!completed) return std::nullopt;
  timing.add(task.slot, node_name(shared, task), WORKER_ID);

  if (task.is_post) {
    shared.exec.result_map->set(task, std::move(result));
    send_completion(shared, task);
    return std::nullopt;
  }
  const NodeCacheEntry& entry = shared.cache.node_cache[task.node_id];
  if (entry.result_consumed) shared.exec.result_map->set(task, std::move(result));
  if (entry.worker_resolves) {
    return shared.exec.strategy->worker_resolve(shared_ptr, DispatchCtx::of(shared), task);
  }
  send_completion(shared, task);
  return std::nullopt;
}

std::optional<NodeInfo> execute_bulk_task(const std::shared_ptr<SharedData>& shared_ptr, const NodeInfo& task,
                                          KernelFn kernel) {
  SharedData& shared = *shared_ptr;
  record_task(shared, task);
  const NodeCacheEntry& entry = shared.cache.node_cache[task.node_id];
  const std::size_t end = task.index + task.count;
  {
    auto args = ARG_BUF.borrow();
    NodeInfo instance = task;
    instance.count = 1;
    if (entry.range_function && !entry.result_consumed && !frame_abandoned(shared, task.slot)) {
      if (build_task_args(shared, instance, *args) != ArgsStatus::Ready) {
        log_stale_args(task);
        return std::nullopt;
      }
      CmTypes ignored;
      const RangeKernelFn range = *entry.range_function;
      const bool done = run_guarded(shared, entry.name, frame_in_slot(shared, task.slot), task.index,
                                    [&] { range(task.index, end, args->data(), args->size(), &ignored); });
      if (!done) return std::nullopt;
    } else {
      for (std::size_t i = task.index; i < end; ++i) {
        instance.index = i;
        // Instance-dependent arguments (its index, predecessor results) differ per instance.
        if (build_task_args(shared, instance, *args) != ArgsStatus::Ready) {
          log_stale_args(instance);
          return std::nullopt;
        }
        CmTypes result;
        if (!call_kernel(shared, instance, kernel, *args, result)) return std::nullopt;
        if (entry.result_consumed) shared.exec.result_map->set(instance, std::move(result));
      }
    }
  }
  return shared.exec.strategy->worker_resolve(shared_ptr, DispatchCtx::of(shared), task);
}

std::optional<NodeInfo> execute_node_task(const std::shared_ptr<SharedData>& shared, const NodeInfo& task,
                                          KernelFn kernel) {
  if (task.count > 1) return execute_bulk_task(shared, task, kernel);
  return execute_single_task(shared, task, std::nullopt, kernel);
}

void run_task_job(const std::shared_ptr<SharedData>& shared, const NodeInfo& task,
                  std::optional<std::vector<CmTypes>> prepared, KernelFn kernel) {
  if (drop_stale_task(*shared, task)) return;
  std::optional<NodeInfo> next =
      task.count > 1 ? execute_bulk_task(shared, task, kernel)
                     : execute_single_task(shared, task,
                                           prepared ? std::optional<std::span<const CmTypes>>(*prepared) : std::nullopt,
                                           kernel);
  while (next) {
    const NodeInfo current = *next;
    if (drop_stale_task(*shared, current)) return;
    next = execute_node_task(shared, current, shared->cache.node_cache[current.node_id].function);
  }
}

}  // namespace arvex
