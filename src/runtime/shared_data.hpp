#pragma once
// SharedData: the one state object every thread of a run shares (the run loop, resolution
// threads, scheduler workers through the node executor, UDP receivers, the state dump). The
// runtime builder creates it fully populated before any runtime thread starts; afterwards no
// member is replaced. What changes during the run is an atomic or sits behind a lock, and each
// member states its ordering contract. Held behind std::shared_ptr; destroyed with the last
// handle once every runtime thread has been joined. A scheduler job that reads SharedData holds
// a handle for its whole run (the node executor upgrades its weak one), never a bare reference:
// the state may otherwise be gone while queued jobs still drain.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "compiler/edge_tables.hpp"
#include "compiler/graph_compiled.hpp"
#include "compiler/node_cache.hpp"
#include "compiler/successor_arena.hpp"
#include "graph/graph.hpp"
#include "graph/variables.hpp"
#include "instrumentation/async_recorder.hpp"
#include "support/bounded_mpmc_queue.hpp"
#include "runtime/network_infra.hpp"
#include "runtime/resolution_strategy.hpp"
#include "runtime/run_config.hpp"
#include "runtime/run_failure.hpp"
#include "runtime/slot_data.hpp"
#include "scheduling/scheduler.hpp"
#include "tables/cache_aligned_array.hpp"
#include "tables/dependency_counter.hpp"
#include "tables/node_info.hpp"
#include "tables/result_map.hpp"

namespace arvex {

// The per-slot timing buffers of --timing; owned by the instrumentation subsystem.
class TimeBufferManager;

// The compiled, read-only tables of the graph, indexed by node id.
struct GraphCache {
  std::vector<NodeCacheEntry> node_cache;
  SuccessorArena successor_arena;
  InitObjects init_objects;
  std::shared_ptr<const EdgeTable<EdgeWindow>> window_table;
  std::shared_ptr<const EdgeTable<std::size_t>> group_by_table;
  std::shared_ptr<const EdgeTable<std::int64_t>> shift_table;
  // What a slot's pending_tasks and pending_cond_tasks count down from every frame.
  std::size_t total_tasks_per_frame = 0;
  std::size_t total_cond_tasks_per_frame = 0;
};

struct Telemetry {
  struct Parts {
    std::chrono::steady_clock::time_point start;
    std::shared_ptr<TimeBufferManager> time_buffers;
    std::shared_ptr<AsyncRecorder> recorder;
  };

  explicit Telemetry(Parts parts)
      : start(parts.start), time_buffers(std::move(parts.time_buffers)), recorder(std::move(parts.recorder)) {}

  // All relative timestamps of the run count from here.
  std::chrono::steady_clock::time_point start;
  // Job ids handed to scheduler records; a relaxed fetch_add per recorded dispatch.
  alignas(CACHE_LINE) std::atomic<std::size_t> jobs_recorded{0};
  // Incremented (acq_rel) by the thread that completes a frame; read with acquire to decide
  // which frames' packets may be admitted.
  alignas(CACHE_LINE) std::atomic<std::size_t> frames_completed{0};
  std::shared_ptr<TimeBufferManager> time_buffers;  // with --timing, once available
  std::shared_ptr<AsyncRecorder> recorder;          // with --record
  // The first kernel failure of the run; set by workers, reported after the run.
  FirstRunFailure failure;
};

// What the engine needs to run tasks: the completion queue, the scheduler, the dependency
// counter and the result map.
struct ExecCtx {
  struct Parts {
    std::size_t batch_queue_capacity = 65536;
    std::shared_ptr<SchedulerImpl> scheduler;
    std::shared_ptr<DependencyCounter> counter;
    std::shared_ptr<LockFreeResultMap> result_map;
  };

  explicit ExecCtx(Parts parts)
      : result_map(std::move(parts.result_map)),
        counter(std::move(parts.counter)),
        batch_queue(parts.batch_queue_capacity),
        strategy(std::make_unique<MultiSlotBatchStrategy>()),
        scheduler(std::move(parts.scheduler)) {}

  std::shared_ptr<LockFreeResultMap> result_map;
  std::shared_ptr<DependencyCounter> counter;
  // Identities of completed tasks, from workers to resolution threads. A popped NodeInfo was
  // fully written by its pusher; the queue says nothing about the result map, whose own
  // ordering publishes the task's result.
  BoundedMpmcQueue<NodeInfo> batch_queue;
  // Turns completions into released tasks; stateless, shared by all threads.
  std::unique_ptr<ResolutionStrategy> strategy;
  // Set (acq_rel exchange) by the one resolution thread that performs the initial preparation.
  std::atomic<bool> prep_done{false};
  // Declared last so that it is destroyed first: its destructor stops and joins the workers,
  // and a worker may be running a job that reads the queue, the counter or the result map.
  std::shared_ptr<SchedulerImpl> scheduler;
};

class SharedData {
 public:
  struct Parts {
    RunConfig config;
    GraphCompiled compiled;
    NetworkInfra::Parts network;
    SlotData::Shape slots;
    Telemetry::Parts telemetry;
    ExecCtx::Parts exec;
  };

  explicit SharedData(Parts parts);
  // Normally runs on the thread that releases the run after joining its threads. When a
  // scheduler worker drops the last handle instead (the node executor holds one for a task's
  // duration), the scheduler is stopped from a thread of its own: a worker cannot join itself.
  ~SharedData();
  SharedData(const SharedData&) = delete;
  SharedData& operator=(const SharedData&) = delete;

  // Members are destroyed in reverse order, so everything the scheduler's workers can reach is
  // declared before `exec`, whose scheduler goes first.
  const RunConfig config;
  const Graph graph;
  const GraphCache cache;
  NetworkInfra network;
  SlotData slots;
  // The one stop signal of the run: stored once (seq_cst) by the run loop, read by every loop
  // turn. Alone on its line so that the readers' copies stay valid until it is set.
  alignas(CACHE_LINE) std::atomic<bool> shutdown{false};
  Telemetry telemetry;
  ExecCtx exec;
};

}  // namespace arvex
