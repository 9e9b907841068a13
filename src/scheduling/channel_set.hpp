#pragma once
// The job channels of the custom scheduler: a ChannelSet is three unbounded lock-free MPMC
// queues, one per priority (High, Normal, Low). The scheduler holds a global set and one set
// per range group; spawning threads push, workers pop without blocking. A Job is either a
// typed node task, carried by value, or a boxed closure.

#include <concurrentqueue/concurrentqueue.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "scheduling/task_meta.hpp"
#include "scheduling/unique_job.hpp"

namespace arvex::detail {

inline constexpr std::size_t kPriorityCount = 3;

// What a boxed job keeps of its TaskMeta: only what a record needs, and only when it asks for one.
struct RecordMeta {
  std::uint64_t slot = 0;
  std::uint64_t index = 0;
  std::uint16_t task_id = 0;
};

struct BoxedJob {
  std::optional<RecordMeta> meta;
  std::uint64_t job_id = 0;
  UniqueJob run;
};

// A typed task is copied into the queue's preallocated storage, so pushing one allocates
// nothing once the queue's blocks are warm.
using Job = std::variant<NodeTaskDesc, BoxedJob>;

static_assert(std::is_trivially_copyable_v<NodeTaskDesc>, "a typed task travels by plain copy");
static_assert(std::is_nothrow_move_constructible_v<Job> && std::is_nothrow_move_assignable_v<Job>,
              "the queue moves jobs in and out; a throwing move would lose them");

class ChannelSet {
 public:
  // Thread-safe from any number of producers. Everything the caller wrote before the push is
  // visible to the worker that pops the job (the queue publishes with release, pops acquire).
  // False only when the queue cannot allocate a new block.
  bool push(std::size_t priority, Job&& job) noexcept { return lanes_[priority].queue.enqueue(std::move(job)); }

  // Non-blocking; safe from any number of consumers, each job is taken exactly once.
  bool try_pop(std::size_t priority, Job& out) noexcept { return lanes_[priority].queue.try_dequeue(out); }

 private:
  // Each queue's head counters sit on their own cache lines: producers of one priority do not
  // slow down consumers of another.
  struct alignas(64) Lane {
    moodycamel::ConcurrentQueue<Job> queue;
  };
  std::array<Lane, kPriorityCount> lanes_;
};

}  // namespace arvex::detail
