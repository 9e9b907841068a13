#pragma once
// LockFreeResultMap: the result of every node instance of every in-flight frame, in one flat
// table allocated once for all slots, with a cell per (slot, node, instance). Workers write a
// cell when its task finishes and other workers read it while resolving arguments; nothing
// locks. The fourteen word-sized scalars are stored inline in the cell; every other value is
// moved into a heap box published through an atomic pointer. The slot-management code empties
// a slot's cells before the slot takes its next frame.
//
// Contract: one writer per cell per frame, any number of readers. A boxed value is freed by the
// next boxed set of its cell, by reinit_slot or by the destructor, so none of those may overlap a
// reader of that cell; reinit_slot runs only once no task of the slot's previous frame can still
// touch it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "arvex/cm_types.hpp"
#include "graph/node.hpp"
#include "tables/cache_aligned_array.hpp"
#include "tables/node_info.hpp"

namespace arvex {

class LockFreeResultMap {
 public:
  // Sized from the nodes' factors, in id order, for `num_slots` slots; every cell empty.
  LockFreeResultMap(std::span<const Node> nodes, std::size_t num_slots);
  ~LockFreeResultMap();
  LockFreeResultMap(const LockFreeResultMap&) = delete;
  LockFreeResultMap& operator=(const LockFreeResultMap&) = delete;

  // Stores `value` into the cell of (task.slot, task.node_id, task.index). The payload (or box
  // pointer) is written before the tag, and the tag store is sequentially consistent, so a
  // reader that sees the tag sees the value that goes with it. Inline values neither allocate
  // nor lock. Coordinates out of range are a broken task and stop the program.
  void set(const NodeInfo& task, CmTypes value);
  // A copy of the cell's value (a reference-count clone for boxed values); nothing when the
  // cell is empty or the coordinates are out of range. Reads the tag first, then the payload.
  std::optional<CmTypes> get(const NodeInfo& task) const noexcept;
  // Empties every cell of the slot and frees its boxes. Must not overlap any access to the
  // slot's cells. A slot out of range stops the program.
  void reinit_slot(std::size_t slot) noexcept;

  // Cell of (slot, node, instance): slot * slot_stride() + node_offsets()[node] + instance.
  std::size_t cell_index(std::size_t slot, std::size_t node, std::size_t instance) const noexcept {
    return slot * slot_stride_ + node_offsets_[node] + instance;
  }
  std::span<const std::size_t> node_offsets() const noexcept { return node_offsets_; }
  std::span<const std::size_t> node_factors() const noexcept { return node_factors_; }
  std::size_t slot_stride() const noexcept { return slot_stride_; }
  std::size_t num_nodes() const noexcept { return num_nodes_; }
  std::size_t num_slots() const noexcept { return num_slots_; }

 private:
  bool in_range(const NodeInfo& task) const noexcept {
    return task.slot < num_slots_ && task.node_id < num_nodes_ && task.index < node_factors_[task.node_id];
  }

  // The only places where a box is created and destroyed: a box is owned by the cell whose
  // pointer holds it, and changes hands only through an atomic exchange of that pointer.
  static CmTypes* new_box(CmTypes&& value);
  static void free_box(CmTypes* box) noexcept;

  // Three parallel arrays rather than one array of cell structs: a reader touches the tag line
  // and then one payload line, and inline results never bring the pointer array into cache.
  // Cells of one slot are contiguous; adjacent cells may share a line, which costs a line
  // transfer when neighbouring instances finish together but keeps the table small enough to
  // stay in cache (a line per cell would multiply it by up to 64).
  CacheAlignedArray<std::atomic<CmTypes*>> ptrs_;
  CacheAlignedArray<std::atomic<std::uint64_t>> inline_;
  CacheAlignedArray<std::atomic<std::uint8_t>> tags_;
  std::vector<std::size_t> node_offsets_;
  std::vector<std::size_t> node_factors_;
  std::size_t slot_stride_ = 0;
  std::size_t num_nodes_ = 0;
  std::size_t num_slots_ = 0;

  static_assert(std::atomic<CmTypes*>::is_always_lock_free && std::atomic<std::uint64_t>::is_always_lock_free &&
                    std::atomic<std::uint8_t>::is_always_lock_free,
                "cells must be lock-free atomics");
  static_assert(sizeof(std::atomic<std::uint8_t>) == 1 && sizeof(std::atomic<std::uint64_t>) == 8,
                "a cell costs 17 bytes: tag, payload and box pointer");
};

}  // namespace arvex
