#pragma once
// WorkStealingPool: a fixed set of threads that run UniqueJobs. The pool scheduler runs every
// job of a run on one; anything else that needs a plain work-stealing pool may use it too.
//
// Where a spawned job goes:
//   spawn       from a thread of this pool: its local deque (the owner takes newest first,
//               others steal oldest first); from any other thread: the global queue.
//   spawn_fifo  from a thread of this pool: its local FIFO queue, so that one thread's spawns
//               start in spawn order; from any other thread: the global queue.
// Idle threads spin briefly, then sleep until a spawn wakes them. Destroying the pool stops
// the threads after their current job, joins them, and destroys queued jobs unrun.
// A job that throws stops the program ("job panicked").

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "scheduling/unique_job.hpp"

namespace arvex {

class WorkStealingPool {
 public:
  // Runs once on each pool thread, with its index (0 .. threads − 1), before it takes a job.
  // May be empty.
  using StartHandler = std::function<void(std::size_t index)>;

  // How long an idle thread sleeps before it looks for work again even though nobody woke it.
  // Wake-ups do not depend on it; it only bounds the delay if a queue ever reports empty
  // while a concurrent consumer backs off from the job just queued.
  static constexpr std::chrono::nanoseconds kDefaultParkTimeout = std::chrono::milliseconds(10);

  // Starts `threads` threads and returns once each has run `on_start`. Zero threads, a thread
  // that cannot be started or a start handler that throws stop the program.
  WorkStealingPool(std::size_t threads, StartHandler on_start,
                   std::chrono::nanoseconds park_timeout = kDefaultParkTimeout);

  WorkStealingPool(const WorkStealingPool&) = delete;
  WorkStealingPool& operator=(const WorkStealingPool&) = delete;

  // Stops and joins the threads; a job still running is finished first, queued jobs are
  // destroyed unrun. Must not be called from a thread of this pool.
  ~WorkStealingPool();

  std::size_t thread_count() const noexcept;

  // Callable from any thread, concurrently. An empty job is ignored.
  void spawn(UniqueJob job);
  void spawn_fifo(UniqueJob job);

  // True once destruction has begun; a long job may poll it to end early.
  bool stop_requested() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace arvex
