#include "runtime/successor_release.hpp"

#include <algorithm>
#include <limits>
#include <optional>

namespace arvex {

namespace {

void count_one_call(DependencyCounter& counter, std::size_t slot, std::uint32_t generation, const SuccEdge& edge,
                    std::size_t first, std::size_t count, std::vector<std::size_t>& out) {
  std::optional<std::size_t> group;
  if (edge.group_by != 0) group = (first - edge.window_start) / edge.group_by;
  std::size_t exact_instance = 0;
  if (edge.has_shift != 0) {
    exact_instance = (first % edge.succ_factor + edge.succ_factor - edge.shift) % edge.succ_factor;
  }
  counter.decrease_and_get_ready_into(slot, edge.succ, generation, group, static_cast<std::uint32_t>(count),
                                      edge.has_shift != 0, exact_instance, out);
}

}  // namespace

void release_through_edge(DependencyCounter& counter, std::size_t slot, std::uint32_t generation,
                          const SuccEdge& edge, std::size_t first, std::size_t count,
                          std::vector<std::size_t>& ready, std::vector<std::size_t>& scratch) {
  ready.clear();
  std::size_t end = first + count;
  if (edge.window_end != SuccEdge::kNoWindowEnd) {
    first = std::max<std::size_t>(first, edge.window_start);
    end = std::min<std::size_t>(end, edge.window_end);
  }
  if (first >= end) return;
  // The common case, one instance (or one uncut range): straight into `ready`.
  const bool per_instance = edge.has_shift != 0;
  const bool one_call =
      end - first == 1 ||
      (!per_instance && (edge.group_by == 0 || (first - edge.window_start) / edge.group_by ==
                                                   (end - 1 - edge.window_start) / edge.group_by));
  if (one_call) {
    count_one_call(counter, slot, generation, edge, first, end - first, ready);
    return;
  }
  std::size_t at = first;
  while (at < end) {
    std::size_t stop = at + 1;
    if (!per_instance) {
      if (edge.group_by == 0) {
        stop = end;
      } else {
        const std::size_t group_end = edge.window_start + ((at - edge.window_start) / edge.group_by + 1) * edge.group_by;
        stop = std::min(end, group_end);
      }
    }
    count_one_call(counter, slot, generation, edge, at, stop - at, scratch);
    ready.insert(ready.end(), scratch.begin(), scratch.end());
    at = stop;
  }
}

bool add_bulk_ready(std::atomic<std::uint64_t>& word, std::uint32_t generation, std::size_t ready,
                    std::size_t factor) noexcept {
  constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint32_t>::max();
  std::uint64_t current = word.load(std::memory_order_acquire);
  for (;;) {
    const std::uint64_t before =
        static_cast<std::uint32_t>(current >> 32) == generation ? (current & kMaxCount) : 0;
    const std::uint64_t after = std::min<std::uint64_t>(before + ready, kMaxCount);
    const std::uint64_t next = (std::uint64_t{generation} << 32) | after;
    if (word.compare_exchange_weak(current, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
      return before < factor && after >= factor;
    }
  }
}

void append_bulk_tasks(const NodeInfo& base, std::size_t first, std::size_t total, std::size_t parts,
                       std::vector<NodeInfo>& out) {
  if (total == 0) return;
  const std::size_t tasks = std::max<std::size_t>(1, std::min(total, parts));
  const std::size_t size = total / tasks;
  const std::size_t longer = total % tasks;
  std::size_t at = first;
  for (std::size_t k = 0; k < tasks; ++k) {
    NodeInfo task = base;
    task.index = at;
    task.count = size + (k < longer ? 1 : 0);
    out.push_back(task);
    at += task.count;
  }
}

bool consecutive_run(const std::vector<std::size_t>& indexes) noexcept {
  for (std::size_t k = 1; k < indexes.size(); ++k) {
    if (indexes[k] != indexes[k - 1] + 1) return false;
  }
  return true;
}

}  // namespace arvex
