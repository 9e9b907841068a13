#include "tables/result_map.hpp"

#include <fmt/format.h>

#include "arvex/fatal.hpp"
#include "tables/inline_value.hpp"

namespace arvex {

namespace {

[[noreturn, gnu::cold]] void invalid_task(const NodeInfo& task) noexcept {
  fatal_stop(fmt::format("Invalid node_info: slot={}, id={}", task.slot, task.node_id));
}

[[noreturn, gnu::cold]] void index_out_of_bounds(const NodeInfo& task) noexcept {
  fatal_stop(fmt::format("Index {} out of bounds for node {}", task.index, task.node_id));
}

[[noreturn, gnu::cold]] void slot_out_of_bounds(std::size_t slot) noexcept {
  fatal_stop(fmt::format("Slot {} out of bounds", slot));
}

}  // namespace

namespace detail {

void invalid_inline_tag(std::uint8_t tag) noexcept {
  fatal_stop(fmt::format("internal error: entered unreachable code: invalid inline tag {}", tag));
}

}  // namespace detail

LockFreeResultMap::LockFreeResultMap(std::span<const Node> nodes, std::size_t num_slots)
    : num_nodes_(nodes.size()), num_slots_(num_slots) {
  node_offsets_.reserve(nodes.size());
  node_factors_.reserve(nodes.size());
  for (const Node& node : nodes) {
    node_offsets_.push_back(slot_stride_);
    node_factors_.push_back(node.factor);
    slot_stride_ += node.factor;
  }
  const std::size_t cells = num_slots_ * slot_stride_;
  ptrs_ = CacheAlignedArray<std::atomic<CmTypes*>>(cells);
  inline_ = CacheAlignedArray<std::atomic<std::uint64_t>>(cells);
  tags_ = CacheAlignedArray<std::atomic<std::uint8_t>>(cells);
}

LockFreeResultMap::~LockFreeResultMap() {
  // Every box still referenced, including one shadowed by a later inline set of its cell.
  for (std::size_t c = 0; c < ptrs_.size(); ++c) free_box(ptrs_[c].load(std::memory_order_acquire));
}

CmTypes* LockFreeResultMap::new_box(CmTypes&& value) { return new CmTypes(std::move(value)); }

void LockFreeResultMap::free_box(CmTypes* box) noexcept { delete box; }

void LockFreeResultMap::set(const NodeInfo& task, CmTypes value) {
  if (task.slot >= num_slots_ || task.node_id >= num_nodes_) invalid_task(task);
  if (task.index >= node_factors_[task.node_id]) index_out_of_bounds(task);
  const std::size_t cell = cell_index(task.slot, task.node_id, task.index);

  if (const std::optional<detail::InlineValue> encoded = detail::encode_inline(value)) {
    inline_[cell].store(encoded->payload, std::memory_order_seq_cst);
    tags_[cell].store(encoded->tag, std::memory_order_seq_cst);
    return;
  }
  // The box pointer is published before the tag; the box it replaces (a second set of the cell)
  // is freed only after the new one is visible.
  CmTypes* previous = ptrs_[cell].exchange(new_box(std::move(value)), std::memory_order_release);
  tags_[cell].store(detail::BOXED_CELL_TAG, std::memory_order_seq_cst);
  free_box(previous);
}

std::optional<CmTypes> LockFreeResultMap::get(const NodeInfo& task) const noexcept {
  if (!in_range(task)) return std::nullopt;
  const std::size_t cell = cell_index(task.slot, task.node_id, task.index);
  const std::uint8_t tag = tags_[cell].load(std::memory_order_seq_cst);
  if (tag == detail::EMPTY_CELL_TAG) return std::nullopt;
  if (tag == detail::BOXED_CELL_TAG) {
    const CmTypes* box = ptrs_[cell].load(std::memory_order_seq_cst);
    if (box == nullptr) return std::nullopt;
    return std::optional<CmTypes>(std::in_place, *box);
  }
  return detail::decode_inline(tag, inline_[cell].load(std::memory_order_seq_cst));
}

void LockFreeResultMap::reinit_slot(std::size_t slot) noexcept {
  if (slot >= num_slots_) slot_out_of_bounds(slot);
  const std::size_t begin = slot * slot_stride_;
  for (std::size_t cell = begin; cell < begin + slot_stride_; ++cell) {
    const std::uint8_t old = tags_[cell].exchange(detail::EMPTY_CELL_TAG, std::memory_order_acq_rel);
    // A box shadowed by a later inline set is released here too rather than kept to the end.
    if (old == detail::BOXED_CELL_TAG || ptrs_[cell].load(std::memory_order_acquire) != nullptr) {
      free_box(ptrs_[cell].exchange(nullptr, std::memory_order_acq_rel));
    }
  }
}

}  // namespace arvex
