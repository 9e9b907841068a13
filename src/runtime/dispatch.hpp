#pragma once
// Dispatch: how released tasks leave the engine for the scheduler. Resolution threads hand a
// list of tasks to dispatch_nodes; workers releasing successors themselves call
// send_to_scheduler. Each task is stamped with its slot's generation, given its function,
// priority and worker group, and spawned as a typed node task (custom scheduler) or as a boxed
// job running run_task_job.
//
// Callable from any thread at the same time. Besides the scheduler's queues, the only shared
// state touched is jobs_recorded (relaxed fetch_add: ids are unique, not ordered) and the
// calling thread's PREP_ARGS_BUF. A generation is read with acquire, so a task stamped with a
// generation carries the reset that published it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "arvex/cm_types.hpp"
#include "arvex/kernel.hpp"
#include "tables/node_info.hpp"

namespace arvex {

class SharedData;
struct ExecCtx;
struct Telemetry;
struct RunConfig;
struct GraphCache;
class SlotData;

// The parts of SharedData that dispatch reads, named once per calling thread.
struct DispatchCtx {
  ExecCtx& exec;
  Telemetry& telemetry;
  const RunConfig& config;
  const GraphCache& cache;
  SlotData& slots;

  static DispatchCtx of(SharedData& shared) noexcept;
};

// Submits the scheduler record of work a resolution thread did from `start_ns` (since the run's
// start) until now: a dispatch or a batch. Takes the next job id.
void submit_resolution_record(Telemetry& telemetry, std::size_t thread_id, std::uint64_t start_ns);

// Dispatches `tasks` with their arguments collected at execution, then (with scheduler
// recording on) submits one record of the dispatch for `thread_id`. `timing_slot` is the
// calling thread's slot in the timing store.
void dispatch_nodes(const std::shared_ptr<SharedData>& shared, const DispatchCtx& ctx,
                    std::span<const NodeInfo> tasks, std::size_t thread_id, std::size_t timing_slot);

// Spawns every task of `tasks` in order. `prepared` holds, per task, its arguments prepared in
// advance (nothing: collect at execution); a prepared list is moved into the job. With
// `post_functions`, the function of task i is post_functions[i]. A post task without one uses
// its post node's function, where a missing post-node list or an unknown function name stops
// the program.
void send_to_scheduler(const std::shared_ptr<SharedData>& shared, const DispatchCtx& ctx,
                       std::span<const NodeInfo> tasks,
                       std::span<std::optional<std::vector<CmTypes>>> prepared,
                       std::optional<std::span<const KernelFn>> post_functions = std::nullopt);

}  // namespace arvex
