#include "scheduling/custom_scheduler.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <latch>
#include <system_error>
#include <utility>
#include <variant>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"
#include "placement/core_allocation.hpp"
#include "placement/cpu_pinning.hpp"
#include "scheduling/channel_set.hpp"
#include "scheduling/event_count.hpp"

namespace arvex {

namespace detail {

// Everything the scheduler and its workers share; outlives the workers (each holds a reference).
struct SharedWorkerState {
  explicit SharedWorkerState(std::size_t group_count) : wake(group_count) {}

  ChannelSet global;
  // Index = group id. Entry 0 stays empty: the global group's workers take from `global` only.
  std::vector<std::unique_ptr<ChannelSet>> group_channels;
  // Workers of group g sleep on wake[g]. A group spawn notifies its group; a global spawn
  // notifies every group that has workers, since any of them may take it.
  std::vector<EventCount> wake;
  std::vector<EventCount*> global_wake;
  // Per group: whether any worker was started for it. Written before build() returns.
  std::vector<bool> group_has_workers;
  std::chrono::steady_clock::time_point epoch;
  std::shared_ptr<AsyncRecorder> recorder;
  std::size_t system_core_start = 0;

  // Set once (compare-exchange from null, release) and read by workers with acquire, so a
  // worker that sees the pointer sees the executor fully constructed. Owned by executor_owner,
  // which only the installing thread writes and which lives until the workers are joined.
  std::atomic<const NodeExecutor*> executor{nullptr};
  std::unique_ptr<NodeExecutor> executor_owner;

  // Pure counters (relaxed): job ids only need uniqueness, which fetch_add gives in any order.
  alignas(64) std::atomic<std::uint64_t> total_spawned{0};
  alignas(64) std::atomic<std::uint64_t> total_completed{0};
  // Written once with seq_cst by shutdown(); workers read it with acquire between jobs and
  // with seq_cst just before they sleep (see park).
  alignas(64) std::atomic<bool> shutdown{false};
};

}  // namespace detail

namespace {

using detail::BoxedJob;
using detail::ChannelSet;
using detail::Job;
using detail::RecordMeta;
using detail::SharedWorkerState;

constexpr std::string_view kLogTarget = "arvex_core::custom_scheduler";
constexpr std::size_t kDefaultSpinIterations = 64;
constexpr auto kParkTimeout = std::chrono::microseconds(500);
constexpr std::uint64_t kRecorderIntervalMs = 100;

inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// A full (StoreLoad) barrier between a thread's earlier writes and its later reads; the sleeper
// side of the spawner/sleeper handshake (the spawner's is inside EventCount's notify).
inline void store_load_barrier() noexcept { std::atomic_thread_fence(std::memory_order_seq_cst); }

std::string format_list(const std::vector<std::size_t>& values) { return fmt::format("[{}]", fmt::join(values, ", ")); }

std::string format_core(const std::optional<std::size_t>& core) { return core ? std::to_string(*core) : "none"; }

// What one worker polls and where it sleeps.
struct WorkerContext {
  SharedWorkerState& shared;
  ChannelSet* own;  // its range group's channels; null for the global group
  EventCount& wake;
  std::size_t spin_iterations;
};

// One non-blocking pass: own High, own Normal, global High, global Normal, own Low, global Low.
// A range's urgent work comes first, but no Low job overtakes any High or Normal job.
bool poll_once(const WorkerContext& ctx, Job& out) noexcept {
  ChannelSet* own = ctx.own;
  ChannelSet& global = ctx.shared.global;
  return (own != nullptr && own->try_pop(kPriorityHigh, out)) || (own != nullptr && own->try_pop(kPriorityNormal, out)) ||
         global.try_pop(kPriorityHigh, out) || global.try_pop(kPriorityNormal, out) ||
         (own != nullptr && own->try_pop(kPriorityLow, out)) || global.try_pop(kPriorityLow, out);
}

bool spin_poll(const WorkerContext& ctx, Job& out) noexcept {
  for (std::size_t i = 0; i < ctx.spin_iterations; ++i) {
    spin_hint();
    if (poll_once(ctx, out)) return true;
  }
  return false;
}

// Sleeps until a job arrives on one of the six channels or the park timeout passes; false on
// timeout (or shutdown), so that the caller re-checks the stop flag.
bool park(const WorkerContext& ctx, Job& out) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + kParkTimeout;
  for (;;) {
    const EventCount::Ticket ticket = ctx.wake.prepare_wait();
    // Pairs with the fence in the spawner's notify: either that spawner sees this registration
    // and bumps the ticket, or the re-poll below sees its job.
    store_load_barrier();
    if (poll_once(ctx, out)) {
      ctx.wake.cancel_wait();
      return true;
    }
    const auto now = std::chrono::steady_clock::now();
    // seq_cst: with shutdown's seq_cst store and sleeper check, either this load sees the flag
    // or shutdown saw this registration and bumped the ticket.
    if (ctx.shared.shutdown.load(std::memory_order_seq_cst) || now >= deadline) {
      ctx.wake.cancel_wait();
      return false;
    }
    ctx.wake.wait(ticket, deadline - now);
  }
}

void submit(const SharedWorkerState& shared, std::uint64_t slot, std::uint64_t job_id, std::uint64_t start,
            std::uint16_t task_id, std::uint64_t index) noexcept {
  submit_record(Record{slot, job_id, start, nanos_since(shared.epoch), WORKER_STATE.core, task_id, index});
}

void run_boxed(const SharedWorkerState& shared, BoxedJob& job) {
  // Moved out so that the closure and its captures are released before the job counts as done.
  UniqueJob body = std::move(job.run);
  if (job.meta && shared.recorder) {
    const std::uint64_t start = nanos_since(shared.epoch);
    body();
    submit(shared, job.meta->slot, job.job_id, start, job.meta->task_id, job.meta->index);
  } else {
    body();
  }
}

void run_typed(const SharedWorkerState& shared, const NodeTaskDesc& desc) {
  // Acquire: pairs with the release of set_node_executor.
  const NodeExecutor* executor = shared.executor.load(std::memory_order_acquire);
  if (executor == nullptr) return;  // nothing can run it: dropped
  if (desc.record && shared.recorder) {
    const std::uint64_t start = nanos_since(shared.epoch);
    (*executor)(desc);
    submit(shared, desc.task.slot, desc.job_id, start, desc.task.node_id, desc.task.index);
  } else {
    (*executor)(desc);
  }
}

void execute(SharedWorkerState& shared, Job& job) noexcept {
  try {
    if (auto* boxed = std::get_if<BoxedJob>(&job)) {
      run_boxed(shared, *boxed);
    } else {
      run_typed(shared, std::get<NodeTaskDesc>(job));
    }
  } catch (const std::exception& error) {
    fatal_stop("job panicked", error.what());
  } catch (...) {
    fatal_stop("job panicked", "unknown exception");
  }
  // Relaxed: a counter for reports; nothing is published through it.
  shared.total_completed.fetch_add(1, std::memory_order_relaxed);
}

struct WorkerStart {
  std::shared_ptr<SharedWorkerState> shared;
  std::shared_ptr<std::latch> ready;
  std::size_t worker_id;
  std::size_t group_index;
  std::size_t core;
  std::size_t spin_iterations;
};

void worker_main(WorkerStart start) noexcept {
  const std::string name = fmt::format("worker-{}", start.worker_id);
  ::pthread_setname_np(::pthread_self(), name.c_str());
  pin_current_thread(start.core);  // refused: the worker carries on unpinned
  WORKER_ID = start.core;
  WORKER_INDEX = start.worker_id;
  WORKER_STATE = WorkerState{start.worker_id, start.group_index, start.core};
  SharedWorkerState& shared = *start.shared;
  if (shared.recorder) {
    // Unsigned on purpose: a core below the system block wraps to a large number and gets no sender.
    const std::size_t producer = start.core - shared.system_core_start;
    if (producer < shared.recorder->producer_count()) set_worker_recorder(shared.recorder->sender(producer));
  }
  const WorkerContext ctx{shared, shared.group_channels[start.group_index].get(), shared.wake[start.group_index],
                          start.spin_iterations};
  start.ready->count_down();
  start.ready.reset();

  Job job;
  // Acquire: pairs with the seq_cst store of shutdown(); checked after every job and timeout.
  while (!shared.shutdown.load(std::memory_order_acquire)) {
    if (poll_once(ctx, job) || spin_poll(ctx, job) || park(ctx, job)) execute(shared, job);
  }
  set_worker_recorder(nullptr);
}

// Push, then (in the caller) wake: EventCount's notify orders the push before its check for
// sleepers, pairing with the barrier in park() so that no sleeper misses a job it could take.
void push_job(ChannelSet& channels, std::size_t priority, Job&& job) noexcept {
  if (!channels.push(priority, std::move(job))) fatal_stop("failed to queue a job: out of memory");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Builder

CustomSchedulerBuilder::CustomSchedulerBuilder(std::chrono::steady_clock::time_point epoch, std::size_t core_offset,
                                               std::size_t system_threads, std::size_t receiver_threads, bool record)
    : epoch_(epoch),
      core_offset_(core_offset),
      system_threads_(system_threads),
      receiver_threads_(receiver_threads),
      record_(record) {}

CustomSchedulerBuilder& CustomSchedulerBuilder::add_group(WorkerGroupConfig group) {
  groups_.push_back(group);
  return *this;
}

CustomSchedulerBuilder& CustomSchedulerBuilder::with_affinity_groups(const WorkerAffinityConfig& affinity,
                                                                     std::size_t total_workers) {
  affinity_ = affinity;
  groups_.clear();

  std::vector<bool> in_range;
  for (const auto& [id, range] : affinity.ranges()) {
    if (range.end > in_range.size()) in_range.resize(range.end, false);
    for (std::size_t w = range.start; w < range.end; ++w) in_range[w] = true;
  }
  const auto covered = static_cast<std::size_t>(std::count(in_range.begin(), in_range.end(), true));
  if (covered < total_workers) {
    const std::size_t global_workers = total_workers - covered;
    ARVEX_LOG_INFO(kLogTarget, "configuring global worker group", log::field("global_worker_count", global_workers));
    groups_.push_back({global_workers, 0, kDefaultSpinIterations});
  } else {
    ARVEX_LOG_WARN(kLogTarget, "all workers assigned to ranges; global tasks handled by range workers");
    groups_.push_back({0, 0, kDefaultSpinIterations});
  }

  auto ranges = affinity.ranges();
  std::stable_sort(ranges.begin(), ranges.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [id, range] : ranges) {
    ARVEX_LOG_INFO(kLogTarget, "configuring range group", log::field("group_id", id), log::field("start", range.start),
                   log::field("end", range.end));
    groups_.push_back({range.end > range.start ? range.end - range.start : 0, id, kDefaultSpinIterations});
  }
  return *this;
}

CustomSchedulerBuilder& CustomSchedulerBuilder::set_recorder(std::shared_ptr<AsyncRecorder> recorder) {
  recorder_ = std::move(recorder);
  return *this;
}

std::unique_ptr<CustomScheduler> CustomSchedulerBuilder::build() {
  std::size_t total = 0;
  for (const WorkerGroupConfig& g : groups_) total += g.worker_count;

  const CoreAllocation alloc = allocate_cores(CoreRequest{core_offset_, system_threads_, receiver_threads_, total});
  ARVEX_LOG_INFO(kLogTarget, "custom scheduler core allocation", log::field("available_cores", alloc.available_cores),
                 log::field("system_threads", alloc.system_threads), log::field("system_core_start", alloc.system_core_start),
                 log::field("receiver_threads", alloc.receiver_threads),
                 log::field("receiver_core_start", alloc.receiver_core_start),
                 log::field("worker_threads", alloc.worker_threads), log::field("worker_core_start", alloc.worker_core_start),
                 log::field("main_core", format_core(alloc.main_core)));

  std::shared_ptr<AsyncRecorder> recorder;
  if (record_) {
    recorder = recorder_ ? recorder_
                         : AsyncRecorder::create(alloc.worker_threads + alloc.receiver_threads + alloc.system_threads,
                                                 kRecorderIntervalMs);
  }
  recorder_.reset();

  auto shared = std::make_shared<SharedWorkerState>(groups_.size());
  shared->group_channels.resize(groups_.size());
  for (std::size_t g = 1; g < groups_.size(); ++g) shared->group_channels[g] = std::make_unique<ChannelSet>();
  shared->epoch = epoch_;
  shared->recorder = recorder;
  shared->system_core_start = alloc.system_core_start;

  std::unique_ptr<CustomScheduler> scheduler(new CustomScheduler());
  scheduler->main_core_ = alloc.main_core;
  scheduler->affinity_ = affinity_;
  scheduler->recorder_ = recorder;
  scheduler->shared_ = shared;
  for (const WorkerGroupConfig& g : groups_) scheduler->groups_.push_back({g, {}, {}, {}});

  // Lowest group containing the worker, else the global group. A group id without a configured
  // group leaves the worker unstarted, which the assignment check below reports.
  std::vector<std::size_t> group_of(alloc.worker_threads, 0);
  for (std::size_t w = 0; w < alloc.worker_threads; ++w) {
    if (affinity_ && w < affinity_->worker_groups().size() && !affinity_->worker_groups()[w].empty()) {
      group_of[w] = affinity_->worker_groups()[w].front();
    }
    ARVEX_LOG_DEBUG(kLogTarget, "worker-to-group assignment", log::field("worker_id", w),
                    log::field("group_idx", group_of[w]), log::field("core", alloc.worker_core(w)));
  }

  const auto startable = static_cast<std::size_t>(
      std::count_if(group_of.begin(), group_of.end(), [&](std::size_t g) { return g < groups_.size(); }));
  auto ready = std::make_shared<std::latch>(static_cast<std::ptrdiff_t>(startable));
  for (std::size_t w = 0; w < alloc.worker_threads; ++w) {
    const std::size_t g = group_of[w];
    if (g >= groups_.size()) continue;
    const std::size_t core = alloc.worker_core(w);
    CustomScheduler::WorkerGroup& group = scheduler->groups_[g];
    try {
      group.threads.emplace_back(worker_main, WorkerStart{shared, ready, w, g, core, group.config.spin_iterations});
    } catch (const std::system_error& error) {
      fatal_stop("Failed to spawn worker thread", error.what());
    }
    group.worker_ids.push_back(w);
    group.cores.push_back(core);
  }
  // Each worker counts down after pinning itself and setting its thread-locals; the latch's
  // release/acquire makes all of that happen before build() returns.
  ready->wait();

  std::size_t started = 0;
  for (std::size_t g = 0; g < scheduler->groups_.size(); ++g) {
    const CustomScheduler::WorkerGroup& group = scheduler->groups_[g];
    const std::size_t actual = group.threads.size();
    started += actual;
    if (actual > 0) shared->global_wake.push_back(&shared->wake[g]);
    shared->group_has_workers.push_back(actual > 0);
    if (actual != group.config.worker_count) {
      ARVEX_LOG_WARN(kLogTarget, "worker count mismatch", log::field("group_idx", g),
                     log::field("expected", group.config.worker_count), log::field("actual", actual));
    }
    ARVEX_LOG_INFO(kLogTarget, "worker group ready", log::field("group_idx", g), log::field("actual_workers", actual),
                   log::field("worker_ids", format_list(group.worker_ids)), log::field("core_ids", format_list(group.cores)));
  }
  if (started != alloc.worker_threads) {
    fatal_stop(fmt::format("Worker assignment mismatch: {} assigned, {} expected", started, alloc.worker_threads));
  }

  scheduler->layout_ = ThreadLayout{started, alloc.system_threads, alloc.system_core_start, alloc.receiver_threads,
                                    alloc.receiver_core_start};
  return scheduler;
}

// ---------------------------------------------------------------------------------------------
// Scheduler

CustomScheduler::~CustomScheduler() { shutdown(); }

void CustomScheduler::shutdown() noexcept {
  if (!shared_) return;
  // seq_cst store, then notify_all's seq_cst sleeper check: pairs with park(), so a worker
  // about to sleep either sees the flag or is woken.
  shared_->shutdown.store(true, std::memory_order_seq_cst);
  for (EventCount& wake : shared_->wake) wake.notify_all();
  for (WorkerGroup& group : groups_) {
    for (std::thread& thread : group.threads) {
      if (!thread.joinable()) continue;
      try {
        thread.join();
      } catch (const std::system_error& error) {
        fatal_stop("failed to join worker thread", error.what());
      }
    }
  }
}

std::size_t CustomScheduler::worker_group(const std::optional<WorkerRangeSpec>& range_spec) const {
  return affinity_ ? affinity_->get_group(range_spec) : 0;
}

void CustomScheduler::set_node_executor(NodeExecutor executor) {
  auto candidate = std::make_unique<NodeExecutor>(std::move(executor));
  const NodeExecutor* expected = nullptr;
  // acq_rel: release publishes the executor to workers; only one caller ever succeeds.
  if (shared_->executor.compare_exchange_strong(expected, candidate.get(), std::memory_order_acq_rel)) {
    shared_->executor_owner = std::move(candidate);
    return;
  }
  ARVEX_LOG_WARN(kLogTarget, "node executor already installed; ignoring");
}

namespace {

void check_priority(std::size_t priority) noexcept {
  if (priority >= detail::kPriorityCount) fatal_stop(fmt::format("invalid job priority {}", priority));
}

// A range group's channels, or null for the global channels. A group that got no worker (its
// workers all joined a lower group, or over-subscription left none) would never run its jobs, so
// they go to the global channels, which every worker serves.
ChannelSet* group_channels(SharedWorkerState& shared, std::size_t group) noexcept {
  if (group < 1 || group >= shared.group_channels.size() || !shared.group_has_workers[group]) return nullptr;
  return shared.group_channels[group].get();
}

void route(SharedWorkerState& shared, std::size_t group, std::size_t priority, Job&& job) noexcept {
  if (ChannelSet* channels = group_channels(shared, group)) {
    push_job(*channels, priority, std::move(job));
    shared.wake[group].notify_one();
  } else {
    push_job(shared.global, priority, std::move(job));
    // One load per group when nobody sleeps; otherwise one sleeper per group wakes and the
    // first to poll takes the job (the others find nothing and sleep again).
    for (EventCount* wake : shared.global_wake) wake->notify_one();
  }
}

}  // namespace

void CustomScheduler::spawn_with_meta_priority(std::size_t priority, std::size_t group, std::optional<TaskMeta> meta,
                                               UniqueJob job) noexcept {
  check_priority(priority);
  std::optional<RecordMeta> kept;
  if (meta && meta->record) kept = RecordMeta{meta->slot, meta->index, meta->task_id};
  // Relaxed: ids need only be unique; the job itself is published by the channel.
  const std::uint64_t job_id = shared_->total_spawned.fetch_add(1, std::memory_order_relaxed);
  route(*shared_, group, priority, Job(std::in_place_type<BoxedJob>, BoxedJob{kept, job_id, std::move(job)}));
}

void CustomScheduler::spawn_node(std::size_t group, std::size_t priority, NodeTaskDesc desc) noexcept {
  check_priority(priority);
  // Relaxed, as above.
  desc.job_id = shared_->total_spawned.fetch_add(1, std::memory_order_relaxed);
  route(*shared_, group, priority, Job(std::in_place_type<NodeTaskDesc>, desc));
}

std::uint64_t CustomScheduler::total_spawned() const noexcept {
  return shared_->total_spawned.load(std::memory_order_relaxed);
}

std::uint64_t CustomScheduler::total_completed() const noexcept {
  return shared_->total_completed.load(std::memory_order_relaxed);
}

void CustomScheduler::write_record(const std::string& path) {
  if (!recorder_) return;
  const auto written = recorder_->write_to_csv(path);
  if (!written) ARVEX_LOG_WARN(kLogTarget, "failed to write scheduler records", log::field("error", written.error()));
}

}  // namespace arvex
