#pragma once
// Building the runtime of one run. The program fills an ArvexRtBuilder from its options, after
// it has created the scheduler and compiled the graph, and calls build() once, before any
// runtime thread exists. build() checks the slot and queue settings, adopts the scheduler's
// thread layout, and assembles the dependency counter, the result map, the batch queue, the
// bound UDP sockets and the per-slot state into the run's one SharedData.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "arvex/expected.hpp"
#include "compiler/graph_compiled.hpp"
#include "instrumentation/async_recorder.hpp"
#include "runtime/run_loop.hpp"
#include "runtime/shared_data.hpp"
#include "scheduling/scheduler.hpp"

namespace arvex {

// Set (to any value, even empty) to skip the unchecked-wrapper selection. Read once per build.
inline constexpr const char* kDisableUncheckedWrappersEnv = "ARVEX_DISABLE_UNCHECKED_WRAPPERS";

// The most concurrent slots: one bit each in the 64-bit completion bitmaps.
inline constexpr std::size_t kMaxSlots = 64;

// Everything one run needs. The program sets every field; the initial values are the
// command-line defaults.
struct ArvexRtBuilder {
  std::optional<std::uint64_t> max_runtime;  // seconds
  std::optional<std::size_t> record_frame;
  std::size_t slots = 1;  // clamped to max_frames
  std::size_t max_frames = 1;
  // Requests; build() replaces them with what the scheduler's core allocation granted.
  std::size_t system_threads = 1;
  std::size_t receiver_threads = 0;
  std::size_t workers = 1;
  std::size_t core_offset = 1;
  std::size_t receiver_core_start = 0;
  std::size_t pinned_receivers = 0;  // set by build(): receivers with a core of their own
  std::size_t recv_pool_size = 1024;
  std::uint64_t spin_wait_park_ns = 100;
  std::uint32_t spin_wait_spin_iters = 64;
  std::uint32_t spin_wait_yield_iters = 256;
  std::size_t batching_size = 1;
  std::uint64_t batching_limit = 10;  // microseconds
  std::size_t sched_flush_threshold = 32;
  std::uint32_t spin_iterations = 32;
  bool slot_priority = false;
  bool coalesce_barriers = false;
  bool inline_continuation = false;
  bool no_fanout_bulk = false;
  bool single_slot = true;  // recomputed from the final slot count

  // Already started, workers pinned; moved into the runtime. Must not be null.
  std::unique_ptr<SchedulerImpl> scheduler;
  GraphCompiled compiled;
  // Taken just before the scheduler was created; the run's start instant.
  std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
  std::size_t batch_queue_capacity = 65536;
  std::size_t socket_recv_buf_bytes = 16 * 1024 * 1024;
  // Overrides the packet channel's capacity (tests provoke full channels with a small one).
  std::optional<std::size_t> packet_channel_capacity;
  std::shared_ptr<AsyncRecorder> recorder;  // kept only when `record` is set
  bool timing_enabled = false;
  bool use_rdtsc = false;
  bool record = false;
};

// The runtime of one run: a shared handle to its SharedData. Every thread of the run holds a
// copy of the handle; the state goes with the last one.
class ArvexRt {
 public:
  explicit ArvexRt(std::shared_ptr<SharedData> shared) noexcept : shared_(std::move(shared)) {}

  const std::shared_ptr<SharedData>& shared() const noexcept { return shared_; }

  // One complete run, until the frame budget is spent or the time limit passes; see run_impl.
  // A runtime runs once.
  Expected<void, std::string> run() const { return run_impl(shared_, std::nullopt); }
  // The same, also ending when `until` returns true at one of the 10 ms polls.
  Expected<void, std::string> run_until(RunPredicate until) const { return run_impl(shared_, std::move(until)); }

  // With --timing, writes the JSON performance report of the steady frames (after the first
  // `exclude_frames`) to `path`, with the graph's edges; without, writes nothing.
  void write_json_report(const std::string& path, std::size_t exclude_frames) const;
  // Writes nothing (the scheduler wrote its records); says at debug level whether it recorded.
  void write_runtime_record() const;

 private:
  std::shared_ptr<SharedData> shared_;
};

// Consumes the builder. Fails, before creating anything, with the first of: "slots must be >=
// 1 (got 0)", the 64-slot limit, "batch_queue_capacity must be > 0 (got 0)"; the builder (and
// with it the scheduler, whose workers are joined) is released. Faults past the checks (a
// port that cannot be bound, memory) stop the program where they happen.
Expected<ArvexRt, std::string> build(ArvexRtBuilder builder);

}  // namespace arvex
