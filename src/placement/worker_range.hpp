#pragma once
// Worker ranges: which workers may run a node's tasks. A node's "use_workers" text names either
// a count of workers ("4", accepted and otherwise ignored) or an inclusive range ("0-7"); every
// distinct range becomes a worker group of the scheduler.

#include <compare>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "arvex/expected.hpp"

namespace arvex {

// The half-open range [start, end) of worker indexes.
struct WorkerRange {
  std::size_t start = 0;
  std::size_t end = 0;

  // Parses the inclusive form "start-end" (pieces trimmed, optional "+").
  static Expected<WorkerRange, std::string> parse(std::string_view text);

  bool empty() const noexcept { return start >= end; }
  // "0-7" for [0, 8); "[empty]" when the range holds no worker.
  std::string to_string() const;
  // "WorkerRange { start: 0, end: 8 }".
  std::string debug_string() const;

  friend auto operator<=>(const WorkerRange&, const WorkerRange&) = default;
};

// A node's parsed "use_workers": a number of workers, or a range of them.
class WorkerRangeSpec {
 public:
  static WorkerRangeSpec count(std::size_t workers) { return WorkerRangeSpec(workers); }
  static WorkerRangeSpec range(WorkerRange range) { return WorkerRangeSpec(range); }
  static Expected<WorkerRangeSpec, std::string> parse(std::string_view text);

  bool is_count() const noexcept { return std::holds_alternative<std::size_t>(spec_); }
  bool is_range() const noexcept { return std::holds_alternative<WorkerRange>(spec_); }
  // Only valid for the matching alternative.
  std::size_t worker_count() const { return std::get<std::size_t>(spec_); }
  const WorkerRange& worker_range() const { return std::get<WorkerRange>(spec_); }

  // "4 workers" or "workers 0-7".
  std::string to_string() const;
  // "Count(4)" or "Range(WorkerRange { start: 0, end: 8 })".
  std::string debug_string() const;

  friend auto operator<=>(const WorkerRangeSpec&, const WorkerRangeSpec&) = default;

 private:
  explicit WorkerRangeSpec(std::size_t workers) : spec_(workers) {}
  explicit WorkerRangeSpec(WorkerRange range) : spec_(range) {}

  std::variant<std::size_t, WorkerRange> spec_;
};

}  // namespace arvex

template <>
struct std::hash<arvex::WorkerRange> {
  std::size_t operator()(const arvex::WorkerRange& r) const noexcept {
    return std::hash<std::size_t>{}(r.start) * 31u + std::hash<std::size_t>{}(r.end);
  }
};
