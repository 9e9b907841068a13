#include "placement/worker_affinity.hpp"

#include <fmt/format.h>

#include "arvex/fatal.hpp"

namespace arvex {

namespace {

void check_fits(const WorkerRange& range, std::size_t total_workers) {
  if (range.end > total_workers) {
    fatal_stop(fmt::format("Worker range {} exceeds total workers {}", range.debug_string(), total_workers));
  }
}

}  // namespace

WorkerAffinityConfig WorkerAffinityConfig::from_worker_specs(const std::set<WorkerRangeSpec>& specs,
                                                             std::size_t total_workers) {
  std::set<WorkerRange> ranges;
  for (const WorkerRangeSpec& range_spec : specs) {
    if (range_spec.is_range()) ranges.insert(range_spec.worker_range());
  }
  for (const WorkerRange& range : ranges) check_fits(range, total_workers);
  return from_worker_ranges(ranges, total_workers);
}

WorkerAffinityConfig WorkerAffinityConfig::from_worker_ranges(const std::set<WorkerRange>& ranges,
                                                              std::size_t total_workers) {
  WorkerAffinityConfig config;
  config.worker_groups_.resize(total_workers);
  std::size_t id = 0;
  for (const WorkerRange& range : ranges) {  // a set iterates in ascending order
    check_fits(range, total_workers);
    ++id;
    config.group_of_range_.emplace(range, id);
    config.ranges_.emplace_back(id, range);
    for (std::size_t w = range.start; w < range.end; ++w) config.worker_groups_[w].push_back(id);
  }
  return config;
}

std::size_t WorkerAffinityConfig::get_group(const std::optional<WorkerRangeSpec>& range_spec) const {
  if (!range_spec || !range_spec->is_range()) return 0;
  const auto it = group_of_range_.find(range_spec->worker_range());
  return it == group_of_range_.end() ? 0 : it->second;
}

}  // namespace arvex
