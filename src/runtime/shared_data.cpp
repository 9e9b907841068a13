#include "runtime/shared_data.hpp"

#include <thread>
#include <utility>

#include "scheduling/worker_identity.hpp"

namespace arvex {

namespace {

GraphCache take_cache(GraphCompiled& compiled) {
  GraphCache cache;
  cache.node_cache = std::move(compiled.node_cache);
  cache.successor_arena = std::move(compiled.successor_arena);
  cache.init_objects = std::move(compiled.init_objects);
  cache.window_table = std::make_shared<const EdgeTable<EdgeWindow>>(std::move(compiled.window_table));
  cache.group_by_table = std::make_shared<const EdgeTable<std::size_t>>(std::move(compiled.group_by_table));
  cache.shift_table = std::make_shared<const EdgeTable<std::int64_t>>(std::move(compiled.shift_table));
  cache.total_tasks_per_frame = compiled.total_tasks_per_frame;
  cache.total_cond_tasks_per_frame = compiled.total_cond_tasks_per_frame;
  return cache;
}

}  // namespace

SharedData::SharedData(Parts parts)
    : config(parts.config),
      graph(std::move(parts.compiled.graph)),
      cache(take_cache(parts.compiled)),
      network(std::move(parts.network)),
      slots(parts.slots),
      telemetry(std::move(parts.telemetry)),
      exec(std::move(parts.exec)) {}

SharedData::~SharedData() {
  // Scheduler workers of either kind carry a worker index; no other thread does.
  if (WORKER_INDEX == kWorkerUnset || !exec.scheduler) return;
  // The worker finishes its current job (this one) and then sees the stop flag, so the join on
  // the helper thread completes. Nothing else reaches the members destroyed meanwhile: a job
  // that touches them holds a handle, and no handle is left.
  std::thread([scheduler = std::move(exec.scheduler)]() mutable { scheduler.reset(); }).detach();
}

}  // namespace arvex
