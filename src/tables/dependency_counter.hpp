#pragma once
// The dependency counter: for every slot and node, how many predecessor completions are still
// missing and which instances have already been released, turning each completion into the
// successor instances that have just become ready. Resolution threads and workers call it
// concurrently while they resolve completions; the slot-completion bitmap decides which thread
// finishes a slot's frame.
//
// Every counter is one 64-bit word: the slot generation in the high 32 bits, the count in the
// low 32. A word stamped with another generation reads as its initial value, so reusing a slot
// for a new frame needs no reset pass. Callers pass the slot's current generation; work of an
// older generation is stale and must be dropped before it reaches the counter (a stale caller
// would restamp the words with its generation).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "graph/node.hpp"
#include "tables/cache_aligned_array.hpp"
#include "tables/dependency_shape.hpp"
#include "tables/node_info.hpp"

namespace arvex {

// What increment_dependency did: `applied` is false when slot or node is out of range (the node
// has no instances), and `count` is then meaningless.
struct DependencyIncrement {
  bool applied = false;
  std::uint32_t count = 0;

  friend bool operator==(const DependencyIncrement&, const DependencyIncrement&) = default;
};

// The interface through which the runtime uses the counter; shared by all threads of a run.
// Every operation may run concurrently with every other one. Arguments out of range change
// nothing.
class DependencyCounter {
 public:
  virtual ~DependencyCounter() = default;

  // Clears the sent mark of one instance for `generation`, so that a later decrement can release
  // it again in this generation. Release store.
  virtual void reset_sent(std::size_t slot, std::size_t node, std::size_t instance,
                          std::uint32_t generation) noexcept = 0;
  // Clears the slot's completion bit when the slot takes a new frame. Acquire-release.
  virtual void unmark_slot_completed(std::size_t slot) noexcept = 0;
  // Claims the completion of the slot's frame: true for exactly one caller until the bit is
  // cleared again. Acquire-release, so the winner sees what earlier claimants and unmarkers did.
  virtual bool try_complete_slot(std::size_t slot) noexcept = 0;
  // Adds one missing dependency back to the group holding instance `task.index` of the task's
  // node and slot, saturating at 2^32 - 1. Acquire-release, like every count update.
  virtual DependencyIncrement increment_dependency(const NodeInfo& task, std::uint32_t generation) noexcept = 0;
  // Subtracts `by` completions (never below zero) from `group` of the node, or from every group
  // when none is given, and writes into `out` (cleared first) the instances released by this
  // call, each at most once per generation whatever the races. `exact` releases only `instance`.
  // The count updates are acquire-release read-modify-writes of one word per group, so a caller
  // that releases an instance has seen everything the earlier decrementers of that group did
  // before their decrement (their stored results in particular). Never locks; allocates only if
  // `out` lacks capacity, so callers reuse one vector.
  virtual void decrease_and_get_ready_into(std::size_t slot, std::size_t node, std::uint32_t generation,
                                           std::optional<std::size_t> group, std::uint32_t by, bool exact,
                                           std::size_t instance, std::vector<std::size_t>& out) = 0;
  // The whole counter as one line of debug text (relaxed loads; a snapshot only when quiescent).
  virtual std::string debug_info() const = 0;
};

// The lock-free implementation. Logically it holds a NodeDepMap: per slot and node one
// NodeDependencyEntry with `num_groups` remaining-deps words, `factor` sent words and the node's
// DependencyShape. Physically the words of all entries lie in one cache-aligned array:
//
//   slot s:  [node 0: remaining x num_groups | sent x factor][node 1: ...] ... pad to a line
//
// so one decrement touches one contiguous run (the group word, then its instances' sent words),
// and the read-only shapes live in a separate array that is never written after construction.
// Each slot's block is padded to whole cache lines: frames in different slots, resolved by
// different threads, never write to the same line.
class MultiThreadedCounter final : public DependencyCounter {
 public:
  // `dep_counts` is Graph::dependency_count_vec() and `nodes` the graph's nodes, in id order.
  // More than 64 slots (the width of the completion bitmap) or a count list that does not match
  // the nodes is a broken runtime configuration and stops the program.
  MultiThreadedCounter(std::size_t num_slots, std::span<const std::size_t> dep_counts, std::span<const Node> nodes);

  void reset_sent(std::size_t slot, std::size_t node, std::size_t instance, std::uint32_t generation) noexcept override;
  void unmark_slot_completed(std::size_t slot) noexcept override;
  bool try_complete_slot(std::size_t slot) noexcept override;
  DependencyIncrement increment_dependency(const NodeInfo& task, std::uint32_t generation) noexcept override;
  void decrease_and_get_ready_into(std::size_t slot, std::size_t node, std::uint32_t generation,
                                   std::optional<std::size_t> group, std::uint32_t by, bool exact,
                                   std::size_t instance, std::vector<std::size_t>& out) override;
  // MultiThreadedCounter { node_dep_map: NodeDepMap { slots: [[NodeDependencyEntry {
  // remaining_deps: [..], instances_sent: [..], factor: .., ... }, ...], ...] },
  // completed_slots: .. } on one line, words shown as their raw 64-bit values.
  std::string debug_info() const override;

  std::size_t num_slots() const noexcept { return num_slots_; }
  std::size_t num_nodes() const noexcept { return nodes_.size(); }
  // The grouping chosen for a node; identical in every slot. `node` must be below num_nodes().
  const DependencyShape& shape(std::size_t node) const noexcept { return nodes_[node].shape; }

 private:
  using Word = std::atomic<std::uint64_t>;

  struct NodeEntry {
    DependencyShape shape;
    // First remaining-deps word of the node within a slot's block; its sent words follow.
    std::size_t offset = 0;
  };

  // The completion bitmap on a line of its own: it is written once per frame by whichever
  // thread finishes a slot, and must not evict the read-mostly fields every decrement reads.
  struct alignas(CACHE_LINE) CompletionBitmap {
    std::atomic<std::uint64_t> bits{0};
  };
  static_assert(sizeof(CompletionBitmap) == CACHE_LINE && alignof(CompletionBitmap) == CACHE_LINE,
                "the completion bitmap fills exactly one cache line");
  static_assert(CACHE_LINE % sizeof(Word) == 0, "slot blocks are padded in whole words");

  // The node's first word in `slot`, or null when slot or node is out of range or the node has
  // no instances.
  Word* entry_words(std::size_t slot, std::size_t node) noexcept;

  std::vector<NodeEntry> nodes_;
  std::size_t num_slots_ = 0;
  std::size_t slot_stride_ = 0;  // words per slot block, a whole number of cache lines
  CacheAlignedArray<Word> words_;
  CompletionBitmap completed_slots_;
};

}  // namespace arvex
