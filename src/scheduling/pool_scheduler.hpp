#pragma once
// PoolScheduler: the default scheduler and its FIFO variant. Every job runs on a
// WorkStealingPool with one thread per worker core the core allocation grants, each thread
// pinned to its core. Around each job it keeps the run's job ids and counters, times the job
// against the run's epoch and, with a recorder, leaves one Record per job whose metadata asks
// for it. No priorities and no worker groups: the scheduler factory ignores those for it.
//
// All operations may be called from any thread concurrently; spawns take no lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "instrumentation/async_recorder.hpp"
#include "placement/core_allocation.hpp"
#include "scheduling/scheduler_config.hpp"
#include "scheduling/task_meta.hpp"
#include "scheduling/unique_job.hpp"
#include "scheduling/work_stealing_pool.hpp"

namespace arvex {

namespace detail {
struct PoolJobCounters;
}

class PoolScheduler {
 public:
  struct Options {
    bool fifo = false;  // spawn_fifo instead of spawn
    std::size_t core_offset = 1, workers = 1, system_threads = 1, receiver_threads = 0;
    bool record = false;
    std::shared_ptr<AsyncRecorder> recorder;  // used only when record is true
    std::chrono::steady_clock::time_point epoch;
  };

  // Allocates the cores and starts the pool; its threads are pinned and have their identities
  // and record senders when this returns. With `record` and no recorder given, creates one
  // with a producer channel per requested thread (workers, system and receiver threads).
  explicit PoolScheduler(const Options& options);

  // Movable so that the scheduler factory can return it by value.
  PoolScheduler(PoolScheduler&&) noexcept;
  PoolScheduler& operator=(PoolScheduler&&) noexcept;

  // Stops and joins the pool threads; jobs still queued are destroyed unrun.
  ~PoolScheduler();

  // The core reserved for the main thread, if the allocation left room for one.
  std::optional<std::size_t> main_core() const noexcept;
  // Worker count = pool thread count; the system and receiver blocks from the allocation.
  ThreadLayout thread_layout() const noexcept;

  // Assigns the next job id, wraps the job with timing, recording and completion counting, and
  // hands it to the pool (FIFO spawn in FIFO mode).
  void spawn_task_with_meta(std::optional<TaskMeta> meta, UniqueJob job);

  // Plain loads: the two may come from slightly different moments.
  std::uint64_t total_spawned() const noexcept;
  std::uint64_t total_completed() const noexcept;

  // Writes the recorder's CSV to `path`. Never fails the caller: without a recorder it logs
  // DEBUG "recorder not enabled", a write error is logged as a warning.
  void write_record(const std::string& path);

  // Null unless recording is on.
  const std::shared_ptr<AsyncRecorder>& recorder() const noexcept;
  const CoreAllocation& core_allocation() const noexcept;

 private:
  // The pool is declared first so that a move assignment stops the old pool's threads before
  // the counters their jobs point to are replaced; the destructor stops it explicitly.
  std::unique_ptr<WorkStealingPool> pool_;
  std::unique_ptr<detail::PoolJobCounters> counters_;
  std::shared_ptr<AsyncRecorder> recorder_;
  CoreAllocation allocation_;
  bool fifo_ = false;
};

}  // namespace arvex
