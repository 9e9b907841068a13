#pragma once
// Worker groups from the worker ranges that graph nodes request: each distinct range becomes a
// group (ids 1, 2, ... in range order; 0 is the global group), and every worker knows the
// groups whose range contains it. Built once at start-up, read-only afterwards.

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "placement/worker_range.hpp"

namespace arvex {

class WorkerAffinityConfig {
 public:
  // From the distinct use_workers specifications of a graph: only ranges count. A range that
  // reaches beyond `total_workers` stops the program.
  static WorkerAffinityConfig from_worker_specs(const std::set<WorkerRangeSpec>& specs, std::size_t total_workers);
  static WorkerAffinityConfig from_worker_ranges(const std::set<WorkerRange>& ranges, std::size_t total_workers);

  // 0 (the global group) for no worker range, a count, or a range outside the configuration.
  std::size_t get_group(const std::optional<WorkerRangeSpec>& range_spec) const;

  // (group id, range) in ascending range order.
  const std::vector<std::pair<std::size_t, WorkerRange>>& ranges() const noexcept { return ranges_; }
  // For each worker 0 .. total - 1, the ids of the groups containing it, ascending.
  const std::vector<std::vector<std::size_t>>& worker_groups() const noexcept { return worker_groups_; }

 private:
  std::vector<std::pair<std::size_t, WorkerRange>> ranges_;
  std::map<WorkerRange, std::size_t> group_of_range_;
  std::vector<std::vector<std::size_t>> worker_groups_;
};

}  // namespace arvex
