#pragma once
// How the run's one scheduler is chosen and configured.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>

#include "instrumentation/async_recorder.hpp"
#include "placement/worker_affinity.hpp"

namespace arvex {

enum class SchedulerKind { Pool, PoolFifo, Custom };

// --fifo wins over --custom; the pool is the default.
constexpr SchedulerKind scheduler_kind(bool fifo, bool custom) noexcept {
  if (fifo) return SchedulerKind::PoolFifo;
  if (custom) return SchedulerKind::Custom;
  return SchedulerKind::Pool;
}

struct SchedulerConfig {
  // Present only when some node or post node names a worker range.
  std::optional<WorkerAffinityConfig> affinity;
  // Taken just before the scheduler is created; record timestamps count from it.
  std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
  std::size_t core_offset = 1;
  std::size_t workers = 1;
  std::shared_ptr<AsyncRecorder> recorder;  // with --record
  std::size_t system_threads = 1;
  std::size_t receiver_threads = 0;  // 0 without a network source
  bool record = false;
  SchedulerKind kind = SchedulerKind::Pool;
};

// Where a scheduler's threads sit, for the runtime to place its own threads next to them.
struct ThreadLayout {
  std::size_t worker_threads = 0;
  std::size_t system_threads = 0;
  std::size_t system_core_start = 0;
  std::size_t receiver_threads = 0;
  std::size_t receiver_core_start = 0;
};

// Nanoseconds from `epoch` to now; 0 when the clock reads earlier.
inline std::uint64_t nanos_since(std::chrono::steady_clock::time_point epoch) noexcept {
  const auto elapsed = std::chrono::steady_clock::now() - epoch;
  return elapsed.count() < 0 ? 0 : static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
}

}  // namespace arvex
