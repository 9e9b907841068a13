#pragma once
// ChaseLevDeque: the local job queue of one work-stealing pool thread. The owning thread pushes
// and takes at the bottom, newest first; any other thread steals at the top, oldest first.
// Lock-free, growable: the ring doubles when full. A replaced ring stays allocated until the
// deque dies, because a stealer that loaded it before the switch may still read one of its
// slots (it then loses its top CAS or reads an item that is still valid there).
//
// Orderings are those of the C11 Chase–Lev deque (Lê, Pop, Cohen, Zappa Nardelli, 2013), with
// its two seq_cst fences turned into seq_cst accesses of `top_` and `bottom_` where take() and
// steal() race: the same store-then-load ordering, but visible to ThreadSanitizer, which does
// not model standalone fences.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace arvex::detail {

template <class T>
class ChaseLevDeque {
 public:
  // `initial_capacity` is rounded up to a power of two.
  explicit ChaseLevDeque(std::size_t initial_capacity = 256) {
    std::int64_t capacity = 1;
    while (static_cast<std::size_t>(capacity) < initial_capacity) capacity *= 2;
    rings_.push_back(std::make_unique<Ring>(capacity));
    ring_.store(rings_.back().get(), std::memory_order_relaxed);
  }

  ChaseLevDeque(const ChaseLevDeque&) = delete;
  ChaseLevDeque& operator=(const ChaseLevDeque&) = delete;

  // Single-threaded by then: deletes the items still queued.
  ~ChaseLevDeque() {
    Ring* ring = ring_.load(std::memory_order_relaxed);
    const std::int64_t bottom = bottom_.load(std::memory_order_relaxed);
    for (std::int64_t i = top_.load(std::memory_order_relaxed); i < bottom; ++i) delete ring->load(i);
  }

  // Owner only. Takes ownership of `item`; a failure to grow throws and leaves it with the caller.
  void push(std::unique_ptr<T> item) {
    // Relaxed: only the owner writes bottom_ and ring_. Acquire on top_: pairs with the stealers'
    // CAS, so a stealer's read of a slot is done before the owner reuses that slot.
    const std::int64_t bottom = bottom_.load(std::memory_order_relaxed);
    const std::int64_t top = top_.load(std::memory_order_acquire);
    Ring* ring = ring_.load(std::memory_order_relaxed);
    if (bottom - top >= ring->capacity) ring = grow(ring, top, bottom);
    ring->store(bottom, item.release());
    // Release: a stealer that reads this bottom (or any later one) sees the slot and the item.
    bottom_.store(bottom + 1, std::memory_order_release);
  }

  // Owner only: the newest item, or null when empty.
  std::unique_ptr<T> take() noexcept {
    const std::int64_t bottom = bottom_.load(std::memory_order_relaxed) - 1;
    // Cheap empty test for idle polling: top_ only grows, so a stale top that already reaches
    // bottom proves the deque empty without the seq_cst round below.
    if (bottom < top_.load(std::memory_order_relaxed)) return nullptr;
    Ring* ring = ring_.load(std::memory_order_relaxed);
    // seq_cst store then seq_cst load: either a stealer sees the lowered bottom, or this load
    // sees its top increment; both cannot miss each other, so the last item goes to one side.
    bottom_.store(bottom, std::memory_order_seq_cst);
    std::int64_t top = top_.load(std::memory_order_seq_cst);
    if (top > bottom) {
      // Release: stealers that read the restored bottom still see every published item.
      bottom_.store(bottom + 1, std::memory_order_release);
      return nullptr;
    }
    T* item = ring->load(bottom);
    if (top == bottom) {
      // The last item: race the stealers for it on top_.
      if (!top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
        item = nullptr;
      }
      bottom_.store(bottom + 1, std::memory_order_release);
    }
    return std::unique_ptr<T>(item);
  }

  // Any thread: the oldest item, or null when empty. Retries when another thread wins the item.
  std::unique_ptr<T> steal() noexcept {
    // seq_cst load of top_ before the seq_cst load of bottom_: pairs with take()'s store/load.
    std::int64_t top = top_.load(std::memory_order_seq_cst);
    for (;;) {
      // seq_cst includes acquire: the owner's release of this bottom publishes the items below it.
      const std::int64_t bottom = bottom_.load(std::memory_order_seq_cst);
      if (top >= bottom) return nullptr;
      // Acquire: pairs with the release in grow(), so a new ring's copied slots are visible.
      Ring* ring = ring_.load(std::memory_order_acquire);
      T* item = ring->load(top);
      // The slot read is only trusted if top_ is still unchanged; a failed CAS reloads top (seq_cst).
      if (top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst, std::memory_order_seq_cst)) {
        return std::unique_ptr<T>(item);
      }
    }
  }

 private:
  struct Ring {
    explicit Ring(std::int64_t cap)
        : capacity(cap), mask(cap - 1), slots(std::make_unique<std::atomic<T*>[]>(static_cast<std::size_t>(cap))) {}
    // Relaxed: slot contents are published by the release stores of bottom_ and ring_.
    T* load(std::int64_t i) const noexcept { return slots[static_cast<std::size_t>(i & mask)].load(std::memory_order_relaxed); }
    void store(std::int64_t i, T* item) noexcept { slots[static_cast<std::size_t>(i & mask)].store(item, std::memory_order_relaxed); }

    std::int64_t capacity;
    std::int64_t mask;
    std::unique_ptr<std::atomic<T*>[]> slots;
  };

  // Owner only: copies the live range into a ring twice the size and switches to it.
  Ring* grow(Ring* old, std::int64_t top, std::int64_t bottom) {
    auto bigger = std::make_unique<Ring>(old->capacity * 2);
    for (std::int64_t i = top; i < bottom; ++i) bigger->store(i, old->load(i));
    Ring* raw = bigger.get();
    rings_.push_back(std::move(bigger));
    // Release: a stealer that loads the new ring (acquire) sees the copied slots.
    ring_.store(raw, std::memory_order_release);
    return raw;
  }

  static constexpr std::size_t kCacheLine = 64;

  // Stealers hammer top_, the owner bottom_: separate lines so they do not share one.
  alignas(kCacheLine) std::atomic<std::int64_t> top_{0};
  alignas(kCacheLine) std::atomic<std::int64_t> bottom_{0};
  alignas(kCacheLine) std::atomic<Ring*> ring_{nullptr};
  std::vector<std::unique_ptr<Ring>> rings_;  // owner only; every ring ever used, the current one last
};

}  // namespace arvex::detail
