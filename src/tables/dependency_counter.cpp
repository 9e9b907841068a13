#include "tables/dependency_counter.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <limits>

#include "arvex/fatal.hpp"

namespace arvex {

namespace {

using Word = std::atomic<std::uint64_t>;

constexpr std::size_t MAX_SLOTS = 64;  // one bit per slot in the completion bitmap
constexpr std::size_t WORDS_PER_LINE = CACHE_LINE / sizeof(Word);

constexpr std::uint64_t pack(std::uint32_t generation, std::uint32_t count) noexcept {
  return (static_cast<std::uint64_t>(generation) << 32) | count;
}
constexpr std::uint32_t generation_of(std::uint64_t word) noexcept { return static_cast<std::uint32_t>(word >> 32); }
constexpr std::uint32_t count_of(std::uint64_t word) noexcept { return static_cast<std::uint32_t>(word); }

static_assert(pack(3, 7) == 0x0000000300000007ull && generation_of(pack(3, 7)) == 3 && count_of(pack(3, 7)) == 7,
              "generation in the high half, count in the low half");

struct CountUpdate {
  std::uint32_t before;
  std::uint32_t after;
};

// One count update: the word's count for `generation` (its own count when stamped with that
// generation, `initial` otherwise) becomes next(count), stamped with `generation`. Retries with
// the freshly read word until the swap succeeds, so `before` is the count this caller replaced:
// every value in the word's history is replaced by exactly one caller. Acquire-release: the
// caller sees everything done before each earlier update of the word.
template <class Next>
CountUpdate update_count(Word& word, std::uint32_t generation, std::uint32_t initial, Next next) noexcept {
  std::uint64_t seen = word.load(std::memory_order_acquire);
  for (;;) {
    const std::uint32_t before = generation_of(seen) == generation ? count_of(seen) : initial;
    const std::uint32_t after = next(before);
    if (word.compare_exchange_weak(seen, pack(generation, after), std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
      return {before, after};
    }
  }
}

// Marks an instance as released in `generation`; true only for the one caller that set the
// mark. The mark orders nothing else (the count update already did), so release suffices.
bool mark_sent(Word& word, std::uint32_t generation) noexcept {
  std::uint64_t seen = word.load(std::memory_order_acquire);
  for (;;) {
    if (generation_of(seen) == generation && count_of(seen) != 0) return false;
    if (word.compare_exchange_weak(seen, pack(generation, 1), std::memory_order_release, std::memory_order_acquire)) {
      return true;
    }
  }
}

std::uint64_t slot_bit(std::size_t slot) noexcept { return std::uint64_t{1} << slot; }

}  // namespace

MultiThreadedCounter::MultiThreadedCounter(std::size_t num_slots, std::span<const std::size_t> dep_counts,
                                           std::span<const Node> nodes)
    : num_slots_(num_slots) {
  if (num_slots > MAX_SLOTS) {
    fatal_stop(fmt::format("the dependency counter supports at most {} slots, got {}", MAX_SLOTS, num_slots));
  }
  if (dep_counts.size() != nodes.size()) {
    fatal_stop(fmt::format("dependency counts for {} nodes given for a graph of {} nodes", dep_counts.size(),
                           nodes.size()));
  }
  nodes_.reserve(nodes.size());
  std::size_t offset = 0;
  for (std::size_t n = 0; n < nodes.size(); ++n) {
    const DependencyShape shape = dependency_shape(nodes[n], dep_counts[n]);
    nodes_.push_back(NodeEntry{shape, offset});
    offset += shape.num_groups + shape.factor;
  }
  slot_stride_ = (offset + WORDS_PER_LINE - 1) / WORDS_PER_LINE * WORDS_PER_LINE;
  words_ = CacheAlignedArray<Word>(num_slots_ * slot_stride_);

  // Every slot starts at generation 0 with full groups and nothing sent (the array is zeroed).
  for (std::size_t s = 0; s < num_slots_; ++s) {
    for (const NodeEntry& entry : nodes_) {
      for (std::size_t g = 0; g < entry.shape.num_groups; ++g) {
        words_[s * slot_stride_ + entry.offset + g].store(pack(0, entry.shape.deps_per_group),
                                                          std::memory_order_relaxed);
      }
    }
  }
}

MultiThreadedCounter::Word* MultiThreadedCounter::entry_words(std::size_t slot, std::size_t node) noexcept {
  if (slot >= num_slots_ || node >= nodes_.size() || nodes_[node].shape.factor == 0) return nullptr;
  return &words_[slot * slot_stride_ + nodes_[node].offset];
}

void MultiThreadedCounter::reset_sent(std::size_t slot, std::size_t node, std::size_t instance,
                                      std::uint32_t generation) noexcept {
  Word* words = entry_words(slot, node);
  if (words == nullptr) return;
  const DependencyShape& shape = nodes_[node].shape;
  if (instance >= shape.factor) return;
  words[shape.num_groups + instance].store(pack(generation, 0), std::memory_order_release);
}

void MultiThreadedCounter::unmark_slot_completed(std::size_t slot) noexcept {
  if (slot >= num_slots_) return;
  completed_slots_.bits.fetch_and(~slot_bit(slot), std::memory_order_acq_rel);
}

bool MultiThreadedCounter::try_complete_slot(std::size_t slot) noexcept {
  if (slot >= num_slots_) return false;
  const std::uint64_t before = completed_slots_.bits.fetch_or(slot_bit(slot), std::memory_order_acq_rel);
  return (before & slot_bit(slot)) == 0;
}

DependencyIncrement MultiThreadedCounter::increment_dependency(const NodeInfo& task,
                                                               std::uint32_t generation) noexcept {
  Word* words = entry_words(task.slot, task.node_id);
  if (words == nullptr) return {};
  const DependencyShape& shape = nodes_[task.node_id].shape;
  // Instances past the last whole group count with the last group.
  const std::size_t group = std::min(shape.num_groups - 1, task.index / shape.group_size);
  const CountUpdate update = update_count(words[group], generation, shape.deps_per_group, [](std::uint32_t c) {
    return c == std::numeric_limits<std::uint32_t>::max() ? c : c + 1;
  });
  return {true, update.after};
}

void MultiThreadedCounter::decrease_and_get_ready_into(std::size_t slot, std::size_t node, std::uint32_t generation,
                                                       std::optional<std::size_t> group, std::uint32_t by,
                                                       bool exact, std::size_t instance,
                                                       std::vector<std::size_t>& out) {
  out.clear();
  Word* const remaining = entry_words(slot, node);
  if (remaining == nullptr) return;
  const DependencyShape& shape = nodes_[node].shape;
  Word* const sent = remaining + shape.num_groups;

  std::size_t first = 0;
  std::size_t last = shape.num_groups;
  if (group) {
    if (*group >= shape.num_groups) return;
    first = *group;
    last = first + 1;
  }

  const std::size_t per_instance = shape.deps_per_instance;
  const std::size_t group_size = shape.group_size;
  for (std::size_t g = first; g < last; ++g) {
    const CountUpdate update = update_count(remaining[g], generation, shape.deps_per_group,
                                            [by](std::uint32_t c) { return c > by ? c - by : 0u; });
    const std::size_t begin = g * group_size;
    const std::size_t end = std::min(shape.factor, begin + group_size);

    if (shape.has_barrier) {
      // Exactly one caller replaces the last non-zero count, so only it releases the group;
      // a condition node's instances are also marked, so a reset_sent can re-arm one of them.
      if (update.before >= 1 && update.before <= by) {
        for (std::size_t i = begin; i < end; ++i) {
          if (!shape.is_condition || mark_sent(sent[i], generation)) out.push_back(i);
        }
      }
    } else if (!exact) {
      // Instance begin + k is ready once per_instance * (group_size - 1 - k) >= count: a prefix
      // of the group that grows by one instance per per_instance completions. Concurrent
      // callers may see the same prefix; the sent marks push each instance once.
      for (std::size_t i = begin; i < end; ++i) {
        if (per_instance * (group_size - 1 - (i - begin)) < update.after) break;
        if (mark_sent(sent[i], generation)) out.push_back(i);
      }
    } else if (instance < shape.factor && mark_sent(sent[instance], generation)) {
      out.push_back(instance);
    }
  }
}

std::string MultiThreadedCounter::debug_info() const {
  std::string text = "MultiThreadedCounter { node_dep_map: NodeDepMap { slots: [";
  const auto append_words = [&](const Word* words, std::size_t count) {
    text += '[';
    for (std::size_t i = 0; i < count; ++i) {
      if (i != 0) text += ", ";
      fmt::format_to(std::back_inserter(text), "{}", words[i].load(std::memory_order_relaxed));
    }
    text += ']';
  };
  for (std::size_t s = 0; s < num_slots_; ++s) {
    text += s == 0 ? "[" : ", [";
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
      const DependencyShape& shape = nodes_[n].shape;
      const Word* remaining = &words_[s * slot_stride_ + nodes_[n].offset];
      text += n == 0 ? "NodeDependencyEntry { remaining_deps: " : ", NodeDependencyEntry { remaining_deps: ";
      append_words(remaining, shape.num_groups);
      text += ", instances_sent: ";
      append_words(remaining + shape.num_groups, shape.factor);
      fmt::format_to(std::back_inserter(text),
                     ", factor: {}, group_size: {}, num_groups: {}, deps_per_group: {}, deps_per_instance: {}, "
                     "has_barrier: {}, is_condition: {} }}",
                     shape.factor, shape.group_size, shape.num_groups, shape.deps_per_group, shape.deps_per_instance,
                     shape.has_barrier, shape.is_condition);
    }
    text += ']';
  }
  fmt::format_to(std::back_inserter(text), "] }}, completed_slots: {} }}",
                 completed_slots_.bits.load(std::memory_order_relaxed));
  return text;
}

}  // namespace arvex
