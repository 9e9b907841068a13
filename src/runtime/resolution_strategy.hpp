#pragma once
// How completions are turned into released tasks: a resolution thread hands each batch to the
// strategy, and a worker that releases successors itself asks it too. MultiSlotBatchStrategy
// ("multi-slot-batch") is the one strategy: batches may mix slots, and every touched slot is
// marked busy for the batch's duration and due for a check afterwards.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "runtime/task_completion.hpp"
#include "tables/node_info.hpp"

namespace arvex {

class SharedData;
struct DispatchCtx;

class ResolutionStrategy {
 public:
  virtual ~ResolutionStrategy() = default;

  // Resolves one batch on resolution thread `thread_id`. `touched_slots` collects the batch's
  // slots (bit slot mod 64); `since_start_ns` is when the caller began the batch, for records.
  virtual void drive_batch(const std::shared_ptr<SharedData>& shared, std::span<TaskCompletion> completions,
                           const DispatchCtx& ctx, std::size_t thread_id, std::size_t timing_slot,
                           std::uint64_t& touched_slots, std::uint64_t since_start_ns) = 0;
  // Releases the successors of `task` on the worker that completed it; returns the task to run
  // next on that worker, if any.
  virtual std::optional<NodeInfo> worker_resolve(const std::shared_ptr<SharedData>& shared, const DispatchCtx& ctx,
                                                 const NodeInfo& task) = 0;
  virtual std::size_t flush_threshold() const noexcept = 0;
  virtual std::string_view name() const noexcept = 0;
};

class MultiSlotBatchStrategy final : public ResolutionStrategy {
 public:
  void drive_batch(const std::shared_ptr<SharedData>& shared, std::span<TaskCompletion> completions,
                   const DispatchCtx& ctx, std::size_t thread_id, std::size_t timing_slot,
                   std::uint64_t& touched_slots, std::uint64_t since_start_ns) override;
  std::optional<NodeInfo> worker_resolve(const std::shared_ptr<SharedData>& shared, const DispatchCtx& ctx,
                                         const NodeInfo& task) override;
  std::size_t flush_threshold() const noexcept override { return 8; }
  std::string_view name() const noexcept override { return "multi-slot-batch"; }
};

}  // namespace arvex
