#pragma once
// What schedulers know about the jobs they run: the metadata of a spawned job, the typed task
// descriptor of the custom scheduler, and the node executor that runs such descriptors.

#include <cstdint>
#include <functional>

#include "arvex/kernel.hpp"
#include "tables/node_info.hpp"

namespace arvex {

// Metadata of one spawned job; a record is written only when present with `record` set and the
// scheduler has a recorder.
struct TaskMeta {
  std::uint64_t slot = 0;
  std::uint64_t index = 0;
  std::uint16_t task_id = 0;
  bool record = false;
};

// A node task as a plain value: travels through the custom scheduler's channels by copy, so a
// typed spawn allocates nothing.
struct NodeTaskDesc {
  std::uint64_t job_id = 0;  // written by the scheduler at spawn
  NodeInfo task;             // with its generation stamped at dispatch
  KernelFn function = nullptr;
  std::uint64_t enqueue_ns = 0;  // nanoseconds since run start
  bool record = false;
};

// Runs one typed node task on a custom-scheduler worker; installed once by the runtime.
using NodeExecutor = std::function<void(const NodeTaskDesc&)>;

// Numeric priorities of spawned jobs, as the node priorities.
inline constexpr std::size_t kPriorityHigh = 0;
inline constexpr std::size_t kPriorityNormal = 1;
inline constexpr std::size_t kPriorityLow = 2;

}  // namespace arvex
