#include "runtime/dispatch.hpp"

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <utility>

#include "arvex/fatal.hpp"
#include "graph/function_registry.hpp"
#include "instrumentation/async_recorder.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/timed_work.hpp"
#include "scheduling/worker_identity.hpp"
#include "runtime/task_execution.hpp"
#include "runtime/thread_scratch.hpp"
#include "scheduling/scheduler_config.hpp"
#include "scheduling/task_meta.hpp"

namespace arvex {

namespace {

// The built-in "noop" post function: ignores its arguments and returns None.
void post_noop(const CmTypes* /*args*/, std::size_t /*count*/, CmTypes* result) { *result = CmTypes::none(); }

std::size_t priority_number(Priority priority) noexcept {
  switch (priority) {
    case Priority::High:
      return kPriorityHigh;
    case Priority::Low:
      return kPriorityLow;
    case Priority::Normal:
      break;
  }
  return kPriorityNormal;
}

// Slots past the frame slots (the post nodes') never hold a frame.
bool slot_holds_frame(const DispatchCtx& ctx, std::size_t slot, std::size_t frame) noexcept {
  return slot < ctx.slots.slot_count() &&
         ctx.slots.frame_id[slot].load(std::memory_order_seq_cst) == static_cast<std::int64_t>(frame);
}

bool recording(const DispatchCtx& ctx, std::size_t slot) noexcept {
  if (!ctx.telemetry.recorder) return false;
  return !ctx.config.record_frame || slot_holds_frame(ctx, slot, *ctx.config.record_frame);
}

const Node& post_node_of(const SharedData& shared, const NodeInfo& task) {
  const auto& post = shared.graph.post_nodes();
  if (!post) fatal_stop("Post nodes not initialized");
  if (task.node_id >= post->size()) {
    fatal_stop(fmt::format("post task for post node {} but there are {}", task.node_id, post->size()));
  }
  return (*post)[task.node_id];
}

KernelFn post_function(const Node& node) {
  if (node.function == "noop") return &post_noop;
  const std::optional<KernelFn> found = function_registry::lookup(node.function);
  if (!found) fatal_stop(fmt::format("Post-node function '{}' not found in registry", node.function));
  return *found;
}

}  // namespace

DispatchCtx DispatchCtx::of(SharedData& shared) noexcept {
  return DispatchCtx{shared.exec, shared.telemetry, shared.config, shared.cache, shared.slots};
}

void send_to_scheduler(const std::shared_ptr<SharedData>& shared, const DispatchCtx& ctx,
                       std::span<const NodeInfo> tasks, std::span<std::optional<std::vector<CmTypes>>> prepared,
                       std::optional<std::span<const KernelFn>> post_functions) {
  if (prepared.size() < tasks.size()) {
    fatal_stop(fmt::format("{} tasks to dispatch but {} argument lists", tasks.size(), prepared.size()));
  }
  if (post_functions && post_functions->size() < tasks.size()) {
    fatal_stop(fmt::format("{} tasks to dispatch but {} post functions", tasks.size(), post_functions->size()));
  }
  SchedulerImpl& scheduler = *ctx.exec.scheduler;
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    NodeInfo task = tasks[i];
    KernelFn function = nullptr;
    std::size_t priority = kPriorityNormal;
    std::size_t group = 0;
    if (task.is_post) {
      const Node& node = post_node_of(*shared, task);
      function = post_functions ? (*post_functions)[i] : post_function(node);
      priority = priority_number(node.priority);
      group = node.use_workers ? scheduler.worker_group(node.use_workers) : 0;
    } else {
      const NodeCacheEntry& entry = ctx.cache.node_cache[task.node_id];
      function = post_functions ? (*post_functions)[i] : entry.function;
      priority = priority_number(entry.priority);
      group = entry.worker_group;
      task.generation = static_cast<std::uint32_t>(ctx.slots.generation[task.slot].load(std::memory_order_acquire));
    }
    const bool record = recording(ctx, task.slot);
    // Only recorded tasks carry an enqueue time; the clock read is not free.
    const std::uint64_t enqueue_ns = record ? nanos_since(ctx.telemetry.start) : 0;

    if (scheduler.has_typed_spawn() && !prepared[i] && !task.is_post && !post_functions) {
      NodeTaskDesc desc;
      desc.task = task;
      desc.function = function;
      desc.enqueue_ns = enqueue_ns;
      desc.record = record;
      scheduler.spawn_node(group, priority, desc);
      continue;
    }
    const TaskMeta meta{task.slot, task.index, task.node_id, record};
    scheduler.spawn_with_meta_priority(
        priority, group, meta,
        [shared, task, args = std::move(prepared[i]), function]() mutable {
          run_task_job(shared, task, std::move(args), function);
        });
  }
}

void dispatch_nodes(const std::shared_ptr<SharedData>& shared, const DispatchCtx& ctx,
                    std::span<const NodeInfo> tasks, std::size_t thread_id, std::size_t timing_slot) {
  TimedWork timing(ctx.telemetry.time_buffers.get());
  const std::uint64_t start_ns = nanos_since(ctx.telemetry.start);
  {
    auto prepared = PREP_ARGS_BUF.borrow();
    prepared->clear();
    prepared->resize(tasks.size());
    send_to_scheduler(shared, ctx, tasks, *prepared);
  }
  timing.add(timing_slot, "Preparation", WORKER_ID);

  if (!ctx.telemetry.recorder) return;
  if (ctx.config.record_frame) {
    bool any = false;
    for (const NodeInfo& task : tasks) any = any || slot_holds_frame(ctx, task.slot, *ctx.config.record_frame);
    if (!any) return;
  } else if (tasks.empty()) {
    return;
  }
  submit_resolution_record(ctx.telemetry, thread_id, start_ns);
}

void submit_resolution_record(Telemetry& telemetry, std::size_t thread_id, std::uint64_t start_ns) {
  Record record;
  record.job_id = telemetry.jobs_recorded.fetch_add(1, std::memory_order_relaxed);
  record.start_ns = start_ns;
  record.end_ns = nanos_since(telemetry.start);
  record.worker = thread_id;
  submit_record(record);
}

}  // namespace arvex
