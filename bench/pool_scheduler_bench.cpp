// Pool scheduler: jobs per second and spawn-to-start latency of empty jobs, spawned from
// outside the pool (as resolution threads do) and from a pool worker (inline successor
// dispatch). The pool has one worker pinned to its core; the benchmark thread, the outside
// spawner, is pinned to the system core. Arg 0 / 1: default / FIFO spawning.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "placement/cpu_pinning.hpp"
#include "scheduling/pool_scheduler.hpp"
#include "scheduling/work_stealing_pool.hpp"

namespace {

using arvex::PoolScheduler;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kBatch = 1024;

PoolScheduler make_scheduler(bool fifo) {
  PoolScheduler::Options options;
  options.fifo = fifo;
  options.core_offset = 0;
  options.workers = 1;
  options.system_threads = 1;
  options.epoch = Clock::now();
  return PoolScheduler(options);
}

// Pins the benchmark thread to the scheduler's system core for one benchmark run, then gives
// it its old mask back (the next scheduler allocates cores from that mask).
class PinnedToSystemCore {
 public:
  explicit PinnedToSystemCore(const PoolScheduler& scheduler) {
    CPU_ZERO(&saved_);
    ::sched_getaffinity(0, sizeof saved_, &saved_);
    arvex::pin_current_thread(scheduler.core_allocation().system_core(0));
  }
  ~PinnedToSystemCore() { ::sched_setaffinity(0, sizeof saved_, &saved_); }
  PinnedToSystemCore(const PinnedToSystemCore&) = delete;
  PinnedToSystemCore& operator=(const PinnedToSystemCore&) = delete;

 private:
  cpu_set_t saved_;
};

void wait_completed(const PoolScheduler& scheduler, std::uint64_t target) {
  while (scheduler.total_completed() < target) {
  }
}

std::uint64_t nanos(Clock::time_point t) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

// Mean, median and 99th percentile of the samples, in nanoseconds.
void report_latency(benchmark::State& state, std::vector<std::uint64_t>& samples) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  std::uint64_t sum = 0;
  for (std::uint64_t s : samples) sum += s;
  state.counters["mean_ns"] = static_cast<double>(sum) / static_cast<double>(samples.size());
  state.counters["p50_ns"] = static_cast<double>(samples[samples.size() / 2]);
  state.counters["p99_ns"] = static_cast<double>(samples[samples.size() * 99 / 100]);
}

// Batches of empty jobs from the benchmark thread; each iteration waits for its batch.
void BM_JobsPerSecondFromOutside(benchmark::State& state) {
  PoolScheduler scheduler = make_scheduler(state.range(0) != 0);
  PinnedToSystemCore pinned(scheduler);
  std::uint64_t spawned = 0;
  for (auto _ : state) {
    for (std::uint64_t i = 0; i < kBatch; ++i) scheduler.spawn_task_with_meta(std::nullopt, [] {});
    spawned += kBatch;
    wait_completed(scheduler, spawned);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(spawned));
}
BENCHMARK(BM_JobsPerSecondFromOutside)->Arg(0)->Arg(1)->UseRealTime();

// One job on the worker spawns the batch; the worker then runs it from its local queue.
void BM_JobsPerSecondFromWorker(benchmark::State& state) {
  PoolScheduler scheduler = make_scheduler(state.range(0) != 0);
  PinnedToSystemCore pinned(scheduler);
  std::uint64_t spawned = 0;
  for (auto _ : state) {
    scheduler.spawn_task_with_meta(std::nullopt, [&scheduler] {
      for (std::uint64_t i = 0; i < kBatch; ++i) scheduler.spawn_task_with_meta(std::nullopt, [] {});
    });
    spawned += kBatch + 1;
    wait_completed(scheduler, spawned);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(spawned));
}
BENCHMARK(BM_JobsPerSecondFromWorker)->Arg(0)->Arg(1)->UseRealTime();

// The same outside batches on a bare pool: what the scheduler's wrapper (ids, timing, counters)
// adds per job.
void BM_BarePoolJobsPerSecondFromOutside(benchmark::State& state) {
  arvex::WorkStealingPool pool(1, nullptr);
  std::atomic<std::uint64_t> done{0};
  std::uint64_t spawned = 0;
  for (auto _ : state) {
    for (std::uint64_t i = 0; i < kBatch; ++i) pool.spawn([&done] { done.fetch_add(1, std::memory_order_release); });
    spawned += kBatch;
    while (done.load(std::memory_order_acquire) < spawned) {
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(spawned));
}
BENCHMARK(BM_BarePoolJobsPerSecondFromOutside)->UseRealTime();

// One job at a time from the benchmark thread, after an idle gap (arg 1, microseconds, spent
// busy-waiting so that it is exact): with a short gap the worker is still spinning and picks
// the job up from its polling; past its spin phase it is asleep and must be woken. The gap is
// part of the iteration time; the latency counters are what this measures.
void BM_SpawnToStartFromOutside(benchmark::State& state) {
  PoolScheduler scheduler = make_scheduler(state.range(0) != 0);
  PinnedToSystemCore pinned(scheduler);
  const auto gap = std::chrono::microseconds(state.range(1));
  std::atomic<std::uint64_t> started_ns{0};
  std::vector<std::uint64_t> samples;
  samples.reserve(1 << 16);
  for (auto _ : state) {
    const auto resume = Clock::now() + gap;
    while (Clock::now() < resume) {
    }
    started_ns.store(0, std::memory_order_relaxed);
    const std::uint64_t spawn_ns = nanos(Clock::now());
    scheduler.spawn_task_with_meta(std::nullopt, [&started_ns] { started_ns.store(nanos(Clock::now()), std::memory_order_release); });
    std::uint64_t start = 0;
    while ((start = started_ns.load(std::memory_order_acquire)) == 0) {
    }
    samples.push_back(start - spawn_ns);
  }
  wait_completed(scheduler, scheduler.total_spawned());
  report_latency(state, samples);
}
BENCHMARK(BM_SpawnToStartFromOutside)
    ->ArgsProduct({{0, 1}, {0, 200}})
    ->UseRealTime();

// A chain of jobs on the worker, each spawning the next: the latency from a worker's spawn to
// the start of that job, which the same worker takes from its local queue once the spawner
// returns.
void BM_SpawnToStartFromWorker(benchmark::State& state) {
  constexpr int kChain = 256;
  PoolScheduler scheduler = make_scheduler(state.range(0) != 0);
  PinnedToSystemCore pinned(scheduler);
  std::vector<std::uint64_t> samples;  // written by the worker, read after each chain
  samples.reserve(1 << 20);
  struct Link {
    PoolScheduler* scheduler;
    std::vector<std::uint64_t>* samples;
    std::uint64_t spawn_ns;
    int left;
    void operator()() const {
      const std::uint64_t start = nanos(Clock::now());
      if (spawn_ns != 0) samples->push_back(start - spawn_ns);
      if (left > 0) scheduler->spawn_task_with_meta(std::nullopt, Link{scheduler, samples, nanos(Clock::now()), left - 1});
    }
  };
  std::uint64_t spawned = 0;
  for (auto _ : state) {
    scheduler.spawn_task_with_meta(std::nullopt, Link{&scheduler, &samples, 0, kChain});
    spawned += kChain + 1;
    wait_completed(scheduler, spawned);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(spawned));
  report_latency(state, samples);
}
BENCHMARK(BM_SpawnToStartFromWorker)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
