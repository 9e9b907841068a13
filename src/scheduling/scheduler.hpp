#pragma once
// SchedulerImpl: the run's one scheduler, a closed choice between the pool scheduler and the
// custom priority scheduler, behind the operations the rest of the system calls. The choice is
// a variant rather than a virtual interface: the spawn paths are hot and the set is closed.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "placement/worker_range.hpp"
#include "scheduling/custom_scheduler.hpp"
#include "scheduling/pool_scheduler.hpp"
#include "scheduling/scheduler_config.hpp"
#include "scheduling/task_meta.hpp"
#include "scheduling/unique_job.hpp"

namespace arvex {

class SchedulerImpl {
 public:
  explicit SchedulerImpl(std::unique_ptr<PoolScheduler> pool) : scheduler_(std::move(pool)) {}
  explicit SchedulerImpl(std::unique_ptr<CustomScheduler> custom) : scheduler_(std::move(custom)) {}

  bool is_custom() const noexcept { return std::holds_alternative<std::unique_ptr<CustomScheduler>>(scheduler_); }

  // The core reserved for the main thread, if any.
  std::optional<std::size_t> main_core() const noexcept;
  // The worker group serving a node with this worker range; always 0 for the pool.
  std::size_t worker_group(const std::optional<WorkerRangeSpec>& range_spec) const;
  ThreadLayout thread_layout() const noexcept;
  // Installed once by the custom scheduler; the pool drops it.
  void set_node_executor(NodeExecutor executor);
  bool has_typed_spawn() const noexcept { return is_custom(); }
  // Priority 0 High, 1 Normal, 2 Low; the pool ignores priority and group.
  void spawn_with_meta_priority(std::size_t priority, std::size_t group, std::optional<TaskMeta> meta, UniqueJob job);
  // Only when has_typed_spawn(); otherwise a broken contract that stops the program.
  void spawn_node(std::size_t group, std::size_t priority, const NodeTaskDesc& desc);
  std::uint64_t total_spawned() const noexcept;
  std::uint64_t total_completed() const noexcept;
  // Writes the collected scheduler records as CSV; never fails the caller.
  void write_record(const std::string& path);

 private:
  std::variant<std::unique_ptr<PoolScheduler>, std::unique_ptr<CustomScheduler>> scheduler_;
};

// Builds the scheduler the configuration asks for; its workers are started and pinned when it
// returns.
std::unique_ptr<SchedulerImpl> create_scheduler(const SchedulerConfig& config);

// --workers 0 leaves the run without workers: the message to reject it with, before any
// scheduler exists, or nothing when the count is fine.
std::optional<std::string> check_worker_count(std::size_t workers);

}  // namespace arvex
