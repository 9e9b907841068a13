#include "scheduling/pool_scheduler.hpp"

#include <fmt/format.h>

#include <atomic>
#include <utility>
#include <vector>

#include "logging/log.hpp"
#include "placement/cpu_pinning.hpp"
#include "scheduling/worker_identity.hpp"

namespace arvex {

namespace detail {

// What every job wrapper touches. Jobs hold a plain pointer to it: the pool is joined before
// it dies, and a shared handle would cost two contended reference-count updates per job.
struct PoolJobCounters {
  // Spawners write one line, workers the other.
  alignas(64) std::atomic<std::uint64_t> total_spawned{0};
  alignas(64) std::atomic<std::uint64_t> total_completed{0};
  std::chrono::steady_clock::time_point epoch;
};

}  // namespace detail

namespace {

constexpr std::string_view kLogTarget = "arvex_core::scheduler";
// The collector interval of a recorder the scheduler creates for itself.
constexpr std::uint64_t kOwnRecorderIntervalMs = 100;

std::string optional_text(const std::optional<std::size_t>& value) {
  return value ? fmt::format("Some({})", *value) : std::string("None");
}

// Pins the calling pool thread, sets its identity and, with a recorder, its record sender.
void start_pool_thread(std::size_t index, const std::vector<std::size_t>& worker_cores, std::size_t system_core_start,
                       const std::shared_ptr<AsyncRecorder>& recorder) {
  const std::size_t core = worker_cores[index];
  pin_current_thread(core);  // a refusal leaves the thread unpinned; the run goes on
  WORKER_ID = core;
  WORKER_INDEX = index;
  if (recorder) {
    // Producer numbers follow the core layout: system threads first, then the receiver block,
    // then the workers. Wraps around (and so gets no sender) below system_core_start.
    const std::size_t producer = core - system_core_start;
    if (producer < recorder->producer_count()) set_worker_recorder(recorder->sender(producer));
  }
}

std::unique_ptr<WorkStealingPool> create_threadpool(const CoreAllocation& allocation,
                                                    const std::shared_ptr<AsyncRecorder>& recorder) {
  const auto first = allocation.cores.begin() + static_cast<std::ptrdiff_t>(allocation.worker_core_start);
  std::vector<std::size_t> worker_cores(first, first + static_cast<std::ptrdiff_t>(allocation.worker_threads));

  ARVEX_LOG_INFO(kLogTarget, "core allocation", log::field("available_cores", allocation.available_cores),
                 log::field("system_threads", allocation.system_threads),
                 log::field("system_core_start", allocation.system_core_start),
                 log::field("receiver_threads", allocation.receiver_threads),
                 log::field("receiver_core_start", allocation.receiver_core_start),
                 log::field("worker_threads", allocation.worker_threads),
                 log::field("worker_core_start", allocation.worker_core_start),
                 log::field("main_core", optional_text(allocation.main_core)));
  for (std::size_t i = 0; i < worker_cores.size(); ++i) {
    ARVEX_LOG_DEBUG(kLogTarget, "worker core assignment", log::field("worker", i), log::field("core", worker_cores[i]));
  }

  const std::size_t threads = worker_cores.size();
  return std::make_unique<WorkStealingPool>(
      threads, [cores = std::move(worker_cores), start = allocation.system_core_start, recorder](std::size_t index) {
        start_pool_thread(index, cores, start, recorder);
      });
}

// The body a pool thread runs for one job: timing, the job, its record, completion.
UniqueJob spawn_task_common(detail::PoolJobCounters* counters, std::optional<TaskMeta> meta, std::uint64_t job_id,
                            bool has_recorder, UniqueJob job) {
  return [counters, meta, job_id, has_recorder, job = std::move(job)]() mutable {
    // The clock is read only for a job that is recorded: two reads cost as much as the rest
    // of a small task's scheduling.
    if (has_recorder && meta && meta->record) {
      const std::uint64_t start_ns = nanos_since(counters->epoch);
      job();
      const std::uint64_t end_ns = nanos_since(counters->epoch);
      submit_record(Record{meta->slot, job_id, start_ns, end_ns, WORKER_ID, meta->task_id, meta->index});
    } else {
      job();
    }
    // acq_rel: a thread that reads this count sees everything the counted jobs did.
    counters->total_completed.fetch_add(1, std::memory_order_acq_rel);
  };
}

}  // namespace

PoolScheduler::PoolScheduler(const Options& options)
    : counters_(std::make_unique<detail::PoolJobCounters>()), fifo_(options.fifo) {
  counters_->epoch = options.epoch;
  if (options.record) {
    recorder_ = options.recorder ? options.recorder
                                 : AsyncRecorder::create(options.workers + options.system_threads + options.receiver_threads,
                                                         kOwnRecorderIntervalMs);
  }
  allocation_ = allocate_cores(CoreRequest{options.core_offset, options.system_threads, options.receiver_threads, options.workers});
  pool_ = create_threadpool(allocation_, recorder_);
}

PoolScheduler::PoolScheduler(PoolScheduler&&) noexcept = default;
PoolScheduler& PoolScheduler::operator=(PoolScheduler&&) noexcept = default;

PoolScheduler::~PoolScheduler() { pool_.reset(); }

std::optional<std::size_t> PoolScheduler::main_core() const noexcept { return allocation_.main_core; }

ThreadLayout PoolScheduler::thread_layout() const noexcept {
  return ThreadLayout{pool_->thread_count(), allocation_.system_threads, allocation_.system_core_start,
                      allocation_.receiver_threads, allocation_.receiver_core_start};
}

void PoolScheduler::spawn_task_with_meta(std::optional<TaskMeta> meta, UniqueJob job) {
  // acq_rel read-modify-write: ids are unique and dense across all spawning threads.
  const std::uint64_t job_id = counters_->total_spawned.fetch_add(1, std::memory_order_acq_rel);
  UniqueJob wrapped = spawn_task_common(counters_.get(), meta, job_id, recorder_ != nullptr, std::move(job));
  if (fifo_) {
    pool_->spawn_fifo(std::move(wrapped));
  } else {
    pool_->spawn(std::move(wrapped));
  }
}

std::uint64_t PoolScheduler::total_spawned() const noexcept {
  // Acquire: pairs with the acq_rel increments.
  return counters_->total_spawned.load(std::memory_order_acquire);
}

std::uint64_t PoolScheduler::total_completed() const noexcept {
  // Acquire: a caller that sees n completions sees the effects of those n jobs.
  return counters_->total_completed.load(std::memory_order_acquire);
}

void PoolScheduler::write_record(const std::string& path) {
  if (!recorder_) {
    ARVEX_LOG_DEBUG(kLogTarget, "recorder not enabled");
    return;
  }
  if (auto written = recorder_->write_to_csv(path); !written) {
    ARVEX_LOG_WARN(kLogTarget, "failed to write records", log::field("error", written.error()));
  }
}

const std::shared_ptr<AsyncRecorder>& PoolScheduler::recorder() const noexcept { return recorder_; }

const CoreAllocation& PoolScheduler::core_allocation() const noexcept { return allocation_; }

}  // namespace arvex
