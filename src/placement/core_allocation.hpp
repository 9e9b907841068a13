#pragma once
// Which CPU cores the program's threads get. From the sorted list of usable cores: one core for
// the main thread when there is room, then consecutive blocks for the resolution ("system")
// threads, the UDP receiver threads and the scheduler's workers, in that order. Computed once
// at start-up, before any thread is pinned.

#include <cstddef>
#include <optional>
#include <vector>

namespace arvex {

struct CoreAllocation {
  std::optional<std::size_t> main_core;
  std::vector<std::size_t> cores;  // usable core numbers, ascending
  std::size_t available_cores = 0;
  // Blocks of positions in `cores`; consecutive and non-overlapping.
  std::size_t system_core_start = 0;
  std::size_t system_threads = 0;
  std::size_t receiver_core_start = 0;
  std::size_t receiver_threads = 0;
  std::size_t worker_core_start = 0;
  std::size_t worker_threads = 0;

  // The core of thread i of a block.
  std::size_t system_core(std::size_t i) const { return cores.at(system_core_start + i); }
  std::size_t receiver_core(std::size_t i) const { return cores.at(receiver_core_start + i); }
  std::size_t worker_core(std::size_t i) const { return cores.at(worker_core_start + i); }
};

struct CoreRequest {
  std::size_t core_offset = 1;
  std::size_t system_threads = 1;
  std::size_t receiver_threads = 0;
  std::size_t worker_threads = 1;
};

// The cores in the calling thread's affinity mask, ascending; empty when it cannot be read.
std::vector<std::size_t> usable_cores();

// Lays the requested blocks out on `cores` (ascending). Fewer than two cores stop the program;
// when the request does not fit, thread counts are scaled down or the offset dropped, with a
// warning.
CoreAllocation allocate_cores_on(std::vector<std::size_t> cores, const CoreRequest& request);

// allocate_cores_on(usable_cores(), request).
CoreAllocation allocate_cores(const CoreRequest& request);

}  // namespace arvex
