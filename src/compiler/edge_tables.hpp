#pragma once
// Per-edge tables indexed [consumer node id][predecessor node id]: the window of predecessor
// instances a consumer reads, the edge's group_by and its shift. The compiler folds them into
// the successor arena; argument resolution still reads group_by entries per task.
//
// Stored sparse, one row per consumer (compressed rows): a dense node_count x node_count table
// would need 4 Gi entries per table for 65536 nodes, and even a few thousand nodes would spend
// megabytes on absent entries, while a consumer reads only a handful of predecessors. A lookup
// is one index into the row starts plus a search of that consumer's few entries, which sit
// next to each other; memory is O(nodes + edges).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "arvex/fatal.hpp"

namespace arvex {

// The predecessor instances [start, end) a consumer reads through one edge.
struct EdgeWindow {
  std::int64_t start = 0;
  std::int64_t end = 0;

  friend bool operator==(const EdgeWindow&, const EdgeWindow&) = default;
};

template <class T>
class EdgeTable {
 public:
  struct Entry {
    std::uint16_t pred;
    T value;
  };

  // Appends the row of the next consumer (rows go in consumer id order). Entries are given in
  // argument order; for a predecessor given twice the later entry wins.
  void append_row(std::vector<Entry> row) {
    std::stable_sort(row.begin(), row.end(),
                     [](const Entry& a, const Entry& b) { return a.pred < b.pred; });
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i + 1 < row.size() && row[i + 1].pred == row[i].pred) continue;
      preds_.push_back(row[i].pred);
      values_.push_back(std::move(row[i].value));
    }
    if (preds_.size() >= std::numeric_limits<std::uint32_t>::max())
      fatal_stop("edge table exceeds 2^32 entries");
    row_begin_.push_back(static_cast<std::uint32_t>(preds_.size()));
  }

  // The entry [consumer][pred], or null when absent (also for a consumer beyond the rows).
  const T* find(std::size_t consumer, std::uint16_t pred) const noexcept {
    if (consumer + 1 >= row_begin_.size()) return nullptr;
    const auto first = preds_.begin() + row_begin_[consumer];
    const auto last = preds_.begin() + row_begin_[consumer + 1];
    const auto it = std::lower_bound(first, last, pred);
    return it != last && *it == pred ? &values_[static_cast<std::size_t>(it - preds_.begin())]
                                     : nullptr;
  }

  std::size_t row_count() const noexcept { return row_begin_.size() - 1; }
  std::size_t entry_count() const noexcept { return preds_.size(); }

 private:
  std::vector<std::uint32_t> row_begin_{0};  // row c is [row_begin_[c], row_begin_[c + 1])
  std::vector<std::uint16_t> preds_;         // sorted within each row
  std::vector<T> values_;                    // parallel to preds_
};

}  // namespace arvex
