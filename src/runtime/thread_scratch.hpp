#pragma once
// Per-thread scratch buffers of the engine: created on a thread's first use, reused (with
// their grown capacity) for the thread's life, so that the hot paths do not allocate per task.
//
// Each buffer is taken through borrow(), which returns a guard. A buffer is single-threaded by
// construction; borrowing it again on the same thread while the first guard lives would hand
// out the same vector twice (a callee clearing its caller's arguments), so a nested borrow
// stops the program.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "arvex/cm_types.hpp"
#include "runtime/task_completion.hpp"
#include "tables/node_info.hpp"

namespace arvex {

namespace detail {
[[noreturn, gnu::cold]] void nested_scratch_borrow(std::string_view name) noexcept;
}

template <class T>
class ThreadScratch {
 public:
  explicit ThreadScratch(std::string_view name) : name_(name) {}
  ThreadScratch(const ThreadScratch&) = delete;
  ThreadScratch& operator=(const ThreadScratch&) = delete;

  // Exclusive use of the buffer until the guard is destroyed.
  class Borrow {
   public:
    explicit Borrow(ThreadScratch& owner) noexcept : owner_(owner) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() { owner_.borrowed_ = false; }

    T& operator*() const noexcept { return owner_.value_; }
    T* operator->() const noexcept { return &owner_.value_; }

   private:
    ThreadScratch& owner_;
  };

  [[nodiscard]] Borrow borrow() noexcept {
    if (borrowed_) detail::nested_scratch_borrow(name_);
    borrowed_ = true;
    return Borrow(*this);
  }
  bool borrowed() const noexcept { return borrowed_; }

 private:
  T value_{};
  std::string_view name_;
  bool borrowed_ = false;
};

// Scratch of batch resolution.
struct BatchInnerBuffers {
  static constexpr std::size_t kReadyTasks = 32;
  static constexpr std::size_t kReadyIndexes = 16;
  static constexpr std::size_t kDispatchTasks = 256;

  BatchInnerBuffers() {
    ready_tasks.reserve(kReadyTasks);
    ready_indexes.reserve(kReadyIndexes);
    dispatch_tasks.reserve(kDispatchTasks);
  }

  std::vector<NodeInfo> ready_tasks;        // released by one completion
  std::vector<std::size_t> ready_indexes;   // instances the dependency counter released
  std::vector<NodeInfo> dispatch_tasks;     // accumulated until dispatched
  std::vector<std::size_t> scratch_indexes; // one group's instances while a range is counted
};

// Scratch of successor release on a worker.
struct WorkerResolutionBuffers {
  static constexpr std::size_t kInitialCapacity = 32;

  WorkerResolutionBuffers() {
    ready_indexes.reserve(kInitialCapacity);
    ready_tasks.reserve(kInitialCapacity);
    prepared_args.reserve(kInitialCapacity);
  }

  std::vector<std::size_t> ready_indexes;
  std::vector<std::size_t> scratch_indexes;  // one group's instances while a range is counted
  std::vector<NodeInfo> ready_tasks;
  std::vector<std::optional<std::vector<CmTypes>>> prepared_args;  // per ready task
};

// The argument list built for one kernel call.
inline thread_local ThreadScratch<std::vector<CmTypes>> ARG_BUF{"ARG_BUF"};
// Per dispatched task, its arguments prepared in advance (nothing: collect at execution).
inline thread_local ThreadScratch<std::vector<std::optional<std::vector<CmTypes>>>> PREP_ARGS_BUF{"PREP_ARGS_BUF"};
// Completions gathered from the batch queue before resolution.
inline thread_local ThreadScratch<std::vector<TaskCompletion>> TASK_COMP_BUF{"TASK_COMP_BUF"};
inline thread_local ThreadScratch<BatchInnerBuffers> BATCH_INNER_BUFS{"BATCH_INNER_BUFS"};
inline thread_local ThreadScratch<WorkerResolutionBuffers> WORKER_BUFS{"WORKER_BUFS"};
// Per node, its argument template copied from the node cache.
inline thread_local ThreadScratch<std::vector<std::vector<CmTypes>>> NODE_ARG_TEMPLATES{"NODE_ARG_TEMPLATES"};

}  // namespace arvex
