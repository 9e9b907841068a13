#pragma once
// CustomScheduler: the priority scheduler (--custom). Pinned worker threads take jobs from
// lock-free channels of three priorities. Workers form groups: group 0 serves the global
// channels only; each worker range that nodes name gets a group of its own whose workers take
// that range's jobs first and the global jobs after, so global jobs still run when every worker
// belongs to a range. Besides boxed closures it carries typed node tasks (NodeTaskDesc) by
// value, handed to the one node executor the runtime installs.
//
// Built once by the scheduler factory through CustomSchedulerBuilder; any thread may spawn;
// destroying it stops and joins the workers (jobs still queued are dropped).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "instrumentation/async_recorder.hpp"
#include "placement/worker_affinity.hpp"
#include "placement/worker_range.hpp"
#include "scheduling/scheduler_config.hpp"
#include "scheduling/task_meta.hpp"
#include "scheduling/unique_job.hpp"
#include "scheduling/worker_identity.hpp"

namespace arvex {

struct WorkerGroupConfig {
  std::size_t worker_count = 0;
  std::size_t group_id = 0;  // 0: the global group; else the group id of a worker range
  std::size_t spin_iterations = 64;

  friend bool operator==(const WorkerGroupConfig&, const WorkerGroupConfig&) = default;
};

// Identity of a custom-scheduler worker thread, written by the thread itself once at start.
struct WorkerState {
  std::size_t worker_id = kWorkerUnset;
  std::size_t group_index = kWorkerUnset;
  std::size_t core = kWorkerUnset;
};
inline thread_local WorkerState WORKER_STATE;

namespace detail {
struct SharedWorkerState;
}

class CustomScheduler;

class CustomSchedulerBuilder {
 public:
  CustomSchedulerBuilder(std::chrono::steady_clock::time_point epoch, std::size_t core_offset,
                         std::size_t system_threads, std::size_t receiver_threads, bool record);

  // Appends a group; groups must be added in group id order (the id is the group's index).
  CustomSchedulerBuilder& add_group(WorkerGroupConfig group);
  // Keeps a copy of `affinity` (for worker_group and worker assignment) and replaces the groups
  // with the global group followed by one group per range, in group id order.
  CustomSchedulerBuilder& with_affinity_groups(const WorkerAffinityConfig& affinity, std::size_t total_workers);
  // Used only when recording is on; without one, build() creates its own.
  CustomSchedulerBuilder& set_recorder(std::shared_ptr<AsyncRecorder> recorder);

  const std::vector<WorkerGroupConfig>& groups() const noexcept { return groups_; }

  // Allocates the cores, starts the workers and returns once every worker is pinned and
  // polling. Too few cores or a thread that cannot be started stop the program.
  std::unique_ptr<CustomScheduler> build();

 private:
  std::vector<WorkerGroupConfig> groups_;
  std::optional<WorkerAffinityConfig> affinity_;
  std::chrono::steady_clock::time_point epoch_;
  std::size_t core_offset_;
  std::size_t system_threads_;
  std::size_t receiver_threads_;
  std::shared_ptr<AsyncRecorder> recorder_;
  bool record_;
};

class CustomScheduler {
 public:
  CustomScheduler(const CustomScheduler&) = delete;
  CustomScheduler& operator=(const CustomScheduler&) = delete;
  // shutdown(): sets the stop flag, wakes sleeping workers and joins them all.
  ~CustomScheduler();

  std::optional<std::size_t> main_core() const noexcept { return main_core_; }
  // 0 without affinity; else the group of the node's worker range (0 for counts and unknown ranges).
  std::size_t worker_group(const std::optional<WorkerRangeSpec>& range_spec) const;
  // worker_threads is the number of workers started.
  ThreadLayout thread_layout() const noexcept { return layout_; }
  std::size_t group_count() const noexcept { return groups_.size(); }

  // The first executor installed stays; later ones are dropped with a warning. Safe against
  // concurrent workers: they see either no executor or the installed one, complete.
  void set_node_executor(NodeExecutor executor);

  // Queues a boxed job on the channel of `priority` (0 High, 1 Normal, 2 Low) of `group` when
  // 1 <= group < group_count(), else on the global channel. Callable from any thread, workers
  // included. A job sent to a group without workers waits there until shutdown drops it.
  void spawn_with_meta_priority(std::size_t priority, std::size_t group, std::optional<TaskMeta> meta,
                                UniqueJob job) noexcept;
  // The typed form: the descriptor is copied into the channel with its job_id written; no
  // allocation. Without an installed executor the worker drops the task (still counted).
  void spawn_node(std::size_t group, std::size_t priority, NodeTaskDesc desc) noexcept;

  // Relaxed reads: a concurrent observer may see the two from slightly different moments.
  std::uint64_t total_spawned() const noexcept;
  std::uint64_t total_completed() const noexcept;

  // Writes the recorder's CSV; a failure is logged, never returned. Without a recorder, nothing.
  void write_record(const std::string& path);
  const std::shared_ptr<AsyncRecorder>& recorder() const noexcept { return recorder_; }

 private:
  friend class CustomSchedulerBuilder;

  struct WorkerGroup {
    WorkerGroupConfig config;
    std::vector<std::size_t> worker_ids;
    std::vector<std::size_t> cores;
    std::vector<std::thread> threads;  // in start order
  };

  CustomScheduler() = default;
  void shutdown() noexcept;

  std::optional<std::size_t> main_core_;
  ThreadLayout layout_;
  std::vector<WorkerGroup> groups_;
  std::optional<WorkerAffinityConfig> affinity_;
  std::shared_ptr<AsyncRecorder> recorder_;
  std::shared_ptr<detail::SharedWorkerState> shared_;
};

}  // namespace arvex
