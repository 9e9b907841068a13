// The custom scheduler's cost per job: jobs per second and spawn-to-start latency of empty
// jobs, boxed closures and typed node tasks, spawned from outside (a thread pinned where the
// resolution threads sit) or from the worker itself. One worker in the global group, so the
// figures show the channel and wake-up path rather than contention between workers.
//
//   throughput/*   items_per_second = jobs spawned and finished per second (batches of 1024)
//   latency/*      p50_ns, p99_ns, mean_ns from spawn to the start of the job body; "parked"
//                  waits 1 ms before each spawn so that the worker has gone to sleep
#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "placement/core_allocation.hpp"
#include "placement/cpu_pinning.hpp"
#include "scheduling/custom_scheduler.hpp"

namespace arvex {
namespace {

constexpr std::size_t kBatch = 1024;
constexpr std::size_t kChain = 1024;
constexpr std::uint64_t kNone = ~std::uint64_t{0};

enum class From { Outside, Worker };
enum class Kind { Boxed, Typed };

// What a typed task does, carried in its node id.
enum TypedAction : std::uint16_t { kEmpty, kMeasure, kChainStep, kFanOut };

inline void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// The calling thread's affinity, restored on scope exit: core allocation reads it, so a bench
// thread left pinned would leave the next harness a single core.
class SavedAffinity {
 public:
  SavedAffinity() noexcept { saved_ = ::sched_getaffinity(0, sizeof(mask_), &mask_) == 0; }
  ~SavedAffinity() {
    if (saved_) ::sched_setaffinity(0, sizeof(mask_), &mask_);
  }
  SavedAffinity(const SavedAffinity&) = delete;
  SavedAffinity& operator=(const SavedAffinity&) = delete;

 private:
  cpu_set_t mask_{};
  bool saved_ = false;
};

// One scheduler with one worker, and the bench thread pinned to the first system core.
class Harness {
 public:
  Harness()
      : epoch_(std::chrono::steady_clock::now()),
        scheduler_(CustomSchedulerBuilder(epoch_, 0, 1, 0, false).add_group({1, 0, 64}).build()) {
    const std::vector<std::size_t> cores = usable_cores();
    const ThreadLayout layout = scheduler_->thread_layout();
    if (layout.system_core_start < cores.size()) pin_current_thread(cores[layout.system_core_start]);
    scheduler_->set_node_executor([this](const NodeTaskDesc& desc) { run_typed(desc); });
    samples_.reserve(kChain);
  }

  std::uint64_t now() const noexcept { return nanos_since(epoch_); }

  void spawn(Kind kind, TypedAction action, std::uint64_t stamp, std::uint64_t count) {
    if (kind == Kind::Typed) {
      NodeTaskDesc desc;
      desc.task.node_id = action;
      desc.task.index = count;
      desc.enqueue_ns = stamp;
      scheduler_->spawn_node(0, kPriorityNormal, desc);
      return;
    }
    switch (action) {
      case kEmpty: scheduler_->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt, [] {}); break;
      case kMeasure:
        scheduler_->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt, [this, stamp] { measure(stamp); });
        break;
      case kChainStep:
        scheduler_->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt,
                                             [this, stamp, count] { chain_step(Kind::Boxed, stamp, count); });
        break;
      case kFanOut:
        scheduler_->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt, [this, count] { fan_out(Kind::Boxed, count); });
        break;
    }
  }

  void wait_idle() const noexcept {
    while (scheduler_->total_completed() != scheduler_->total_spawned()) pause();
  }

  // Latency of the next measured job, spinning until it has started.
  std::uint64_t take_measure() noexcept {
    std::uint64_t value;
    // Acquire: pairs with the worker's release, nothing else is read.
    while ((value = last_.load(std::memory_order_acquire)) == kNone) pause();
    last_.store(kNone, std::memory_order_relaxed);
    return value;
  }

  // The chain's samples once its last step has run.
  std::vector<std::uint64_t>& take_chain() noexcept {
    // Acquire: the worker wrote samples_ before its release store of chain_done_.
    while (!chain_done_.load(std::memory_order_acquire)) pause();
    chain_done_.store(false, std::memory_order_relaxed);
    return samples_;
  }

 private:
  void measure(std::uint64_t stamp) noexcept { last_.store(now() - stamp, std::memory_order_release); }

  void chain_step(Kind kind, std::uint64_t stamp, std::uint64_t left) {
    samples_.push_back(now() - stamp);
    if (left > 1) {
      spawn(kind, kChainStep, now(), left - 1);
    } else {
      chain_done_.store(true, std::memory_order_release);
    }
  }

  void fan_out(Kind kind, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i) spawn(kind, kEmpty, 0, 0);
  }

  void run_typed(const NodeTaskDesc& desc) {
    switch (desc.task.node_id) {
      case kMeasure: measure(desc.enqueue_ns); break;
      case kChainStep: chain_step(Kind::Typed, desc.enqueue_ns, desc.task.index); break;
      case kFanOut: fan_out(Kind::Typed, desc.task.index); break;
      default: break;
    }
  }

  SavedAffinity affinity_;
  std::chrono::steady_clock::time_point epoch_;
  std::atomic<std::uint64_t> last_{kNone};
  std::atomic<bool> chain_done_{false};
  std::vector<std::uint64_t> samples_;
  std::unique_ptr<CustomScheduler> scheduler_;  // last: its workers stop before the rest goes
};

void report(benchmark::State& state, std::vector<std::uint64_t>& samples) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  double sum = 0;
  for (std::uint64_t s : samples) sum += static_cast<double>(s);
  state.counters["p50_ns"] = static_cast<double>(samples[samples.size() / 2]);
  state.counters["p99_ns"] = static_cast<double>(samples[samples.size() * 99 / 100]);
  state.counters["mean_ns"] = sum / static_cast<double>(samples.size());
}

void BM_Throughput(benchmark::State& state, From from, Kind kind) {
  Harness h;
  for (auto _ : state) {
    if (from == From::Outside) {
      for (std::size_t i = 0; i < kBatch; ++i) h.spawn(kind, kEmpty, 0, 0);
    } else {
      h.spawn(kind, kFanOut, 0, kBatch);
    }
    h.wait_idle();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}

void BM_LatencyOutside(benchmark::State& state, Kind kind, bool parked) {
  Harness h;
  std::vector<std::uint64_t> samples;
  for (auto _ : state) {
    if (parked) {
      state.PauseTiming();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      state.ResumeTiming();
    }
    h.spawn(kind, kMeasure, h.now(), 0);
    samples.push_back(h.take_measure());
  }
  h.wait_idle();
  report(state, samples);
}

// Each job of a chain spawns the next one from the worker; one iteration is a chain.
void BM_LatencyWorker(benchmark::State& state, Kind kind) {
  Harness h;
  std::vector<std::uint64_t> samples;
  for (auto _ : state) {
    h.spawn(kind, kChainStep, h.now(), kChain);
    std::vector<std::uint64_t>& chain = h.take_chain();
    samples.insert(samples.end(), chain.begin() + 1, chain.end());  // the first came from outside
    chain.clear();
  }
  h.wait_idle();
  report(state, samples);
}

BENCHMARK_CAPTURE(BM_Throughput, outside_boxed, From::Outside, Kind::Boxed)->UseRealTime();
BENCHMARK_CAPTURE(BM_Throughput, outside_typed, From::Outside, Kind::Typed)->UseRealTime();
BENCHMARK_CAPTURE(BM_Throughput, worker_boxed, From::Worker, Kind::Boxed)->UseRealTime();
BENCHMARK_CAPTURE(BM_Throughput, worker_typed, From::Worker, Kind::Typed)->UseRealTime();
BENCHMARK_CAPTURE(BM_LatencyOutside, boxed_hot, Kind::Boxed, false)->UseRealTime();
BENCHMARK_CAPTURE(BM_LatencyOutside, typed_hot, Kind::Typed, false)->UseRealTime();
BENCHMARK_CAPTURE(BM_LatencyOutside, boxed_parked, Kind::Boxed, true)->UseRealTime()->Iterations(1000);
BENCHMARK_CAPTURE(BM_LatencyOutside, typed_parked, Kind::Typed, true)->UseRealTime()->Iterations(1000);
BENCHMARK_CAPTURE(BM_LatencyWorker, boxed, Kind::Boxed)->UseRealTime();
BENCHMARK_CAPTURE(BM_LatencyWorker, typed, Kind::Typed)->UseRealTime();

}  // namespace
}  // namespace arvex
