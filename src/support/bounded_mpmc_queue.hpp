#pragma once
// BoundedMpmcQueue: a lock-free multi-producer multi-consumer ring with an exact capacity, a
// non-blocking push and pop and an approximate length. It carries the run's completions
// (NodeInfo, workers to resolution threads), received packets (receivers to resolution
// threads) and returned packet buffers (resolution threads back to one receiver).
//
// Built on atomic_queue's ring (the algorithm of its AtomicQueueB2): one ticket counter per
// end, and per cell a state byte that hands the element over with acquire/release, so elements
// may be any default-constructible movable type (a 40-byte NodeInfo, a PacketMessage with its
// byte vector) rather than a lock-free atomic word. The library's own run-time sized queues
// round the capacity up to a power of two of at least 4096; this one keeps the ring that size
// for the index arithmetic but bounds try_push by the capacity it was asked for, so
// `--batch-queue-capacity 100` really holds 100 completions and a full queue is reported as
// full at exactly that length. It plugs into AtomicQueueCommon through the same hooks the
// library's own queues use (size_, do_push, do_pop and three traits).
//
// Contract: any number of threads may call try_push, try_pop and was_size concurrently. An
// element popped was fully constructed by its pusher (release on the cell state, acquire on
// the pop). The queue is not FIFO across producers racing for the same ticket, and a pusher
// or popper that has claimed a ticket may spin briefly while the previous owner of its cell
// finishes; neither ever waits for the queue to change length.

#include <atomic_queue/atomic_queue.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <type_traits>

#include "arvex/fatal.hpp"

namespace arvex {

template <class T>
class BoundedMpmcQueue : private atomic_queue::AtomicQueueCommon<BoundedMpmcQueue<T>> {
  using Base = atomic_queue::AtomicQueueCommon<BoundedMpmcQueue<T>>;
  friend Base;

  static_assert(std::is_default_constructible_v<T> && std::is_nothrow_move_assignable_v<T> &&
                    std::is_nothrow_move_constructible_v<T>,
                "cells are default-constructed once, and elements move in and out without failing");

 public:
  using value_type = T;

  // Ring tickets are 32-bit and compared as signed differences, so the capacity stays far
  // below 2^31.
  static constexpr std::size_t kMaxCapacity = std::size_t{1} << 30;

  // Holds at most `capacity` elements; with 0 every push fails. A capacity beyond kMaxCapacity
  // is a broken configuration (its ring would not fit in memory anyway) and stops the program.
  explicit BoundedMpmcQueue(std::size_t capacity) {
    if (capacity > kMaxCapacity) fatal_stop("bounded queue capacity exceeds 2^30 elements");
    size_ = static_cast<unsigned>(capacity);
    cells_ = kMinCells;
    while (cells_ < size_) cells_ *= 2;
    states_ = std::make_unique<std::atomic<unsigned char>[]>(cells_);
    elements_ = std::make_unique<T[]>(cells_);
    for (unsigned i = 0; i < cells_; ++i) states_[i].store(Base::EMPTY, std::memory_order_relaxed);
  }

  BoundedMpmcQueue(const BoundedMpmcQueue&) = delete;
  BoundedMpmcQueue& operator=(const BoundedMpmcQueue&) = delete;

  // Moves `element` in and returns true, or returns false (leaving it untouched) when the
  // queue already holds capacity() elements.
  using Base::try_push;
  // Moves the oldest claimable element into `out` and returns true, or returns false when the
  // queue is empty.
  using Base::try_pop;
  // The length at some moment during the call (relaxed reads of both tickets).
  using Base::was_size;
  using Base::was_empty;
  using Base::was_full;

  std::size_t capacity() const noexcept { return size_; }
  // Cells actually allocated: capacity() rounded up to a power of two, at least 4096.
  std::size_t allocated_cells() const noexcept { return cells_; }

 private:
  // What AtomicQueueCommon reads from its derived queue.
  static constexpr bool total_order_ = false;
  static constexpr bool spsc_ = false;
  static constexpr bool maximize_throughput_ = true;

  // Consecutive tickets land on different cache lines of the state array: the low six bits of
  // a ticket (position within a 64-byte line of states) are swapped with the next six (line
  // number), which needs at least 2^12 cells.
  static constexpr unsigned kShuffleBits = 6;
  static constexpr unsigned kMinCells = 1u << (2 * kShuffleBits);
  static constexpr unsigned remap(unsigned index) noexcept {
    constexpr unsigned kMask = (1u << kShuffleBits) - 1;
    const unsigned mix = (index ^ (index >> kShuffleBits)) & kMask;
    return index ^ mix ^ (mix << kShuffleBits);
  }
  static_assert(remap(1) == 64 && remap(64) == 1 && remap(4095) == 4095 && remap(4096) == 4096,
                "the remap is a permutation of each block of 4096 cells");

  T do_pop(unsigned tail) noexcept {
    const unsigned index = remap(tail & (cells_ - 1));
    return Base::template do_pop_any(states_[index], elements_[index]);
  }
  template <class U>
  void do_push(U&& element, unsigned head) noexcept {
    const unsigned index = remap(head & (cells_ - 1));
    Base::template do_push_any(std::forward<U>(element), states_[index], elements_[index]);
  }

  // Read-only after construction, on a line of their own so that ticket updates (the base
  // class keeps each ticket on its own line) never invalidate them. size_ is the capacity the
  // base class bounds try_push by.
  alignas(atomic_queue::CACHE_LINE_SIZE) unsigned size_ = 0;
  unsigned cells_ = 0;
  std::unique_ptr<std::atomic<unsigned char>[]> states_;
  std::unique_ptr<T[]> elements_;
};

}  // namespace arvex
