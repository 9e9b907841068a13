#pragma once
// The measurements of --timing: per time-buffer slot, the frame in progress (its start and the
// task times recorded so far) and the history of finished frames. Time-buffer slots 0 ..
// num_slots - system_threads - 1 are the runtime's frame slots; the last system_threads belong
// to the resolution threads, one each. Only the controller thread of TimeBufferManager changes
// a TimeBuffer during a run; the statistics and the report read it after the run.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "arvex/expected.hpp"
#include "instrumentation/timing_point.hpp"

namespace arvex {

// The worker of work that ran on no scheduler worker (a resolution thread, packet admission).
inline constexpr std::uint64_t kNoWorker = std::numeric_limits<std::uint64_t>::max();

struct TaskTime {
  std::uint64_t worker = kNoWorker;  // WORKER_ID of the thread that ran the task
  std::chrono::nanoseconds duration{0};

  friend bool operator==(const TaskTime&, const TaskTime&) = default;
};

// Task name to the times recorded under it, in arrival order.
using TaskTimes = std::map<std::string, std::vector<TaskTime>>;

// One finished frame of a slot.
struct SlotStats {
  std::size_t slot = 0;
  std::size_t frame_seq = 0;  // frames this slot had finished before this one
  TaskTimes task_times;
  std::chrono::nanoseconds total_time{0};  // from the frame's start to its finish

  friend bool operator==(const SlotStats&, const SlotStats&) = default;
};

struct TimeBuffer {
  // All slots idle, empty maps and histories.
  TimeBuffer(std::size_t slots, std::size_t resolution_threads, bool rdtsc)
      : slot_starts(slots), task_times(slots), slot_history(slots), num_slots(slots),
        system_threads(resolution_threads), use_rdtsc(rdtsc) {}

  // Closes the frame in progress in `slot` at `end`: appends its SlotStats to the history,
  // clears its task times and returns it. Errors: "Slot ID {} out of bounds (max: {})",
  // "Slot {} processing was never started or was already finished", "Cannot mix Instant and
  // Rdtsc timing methods".
  Expected<SlotStats, std::string> finish_slot_processing_with_time(std::size_t slot, const TimingPoint& end);

  std::vector<std::optional<TimingPoint>> slot_starts;  // absent: no frame in progress
  std::vector<TaskTimes> task_times;                    // of the frame in progress
  std::vector<std::vector<SlotStats>> slot_history;     // finished frames, in finishing order
  std::size_t num_slots = 0;
  std::size_t system_threads = 0;
  bool use_rdtsc = false;
};

}  // namespace arvex
