#pragma once
// The reader-writer lock of a value cell. The cell layout leaves one 64-bit word for it, which
// rules out std::shared_mutex (56 bytes on glibc): this is a futex-backed lock in 32 bits of
// state plus 32 bits of padding, waiting through std::atomic::wait rather than spinning.

#include <atomic>
#include <cstdint>

namespace arvex::detail {

class CellLock {
 public:
  CellLock() noexcept = default;
  CellLock(const CellLock&) = delete;
  CellLock& operator=(const CellLock&) = delete;

  // Shared holders may run together; lock_shared() synchronises with the last unlock().
  void lock_shared() noexcept {
    std::uint32_t seen = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((seen & kWriter) == 0) {
        if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
          return;
        }
      } else {
        state_.wait(seen, std::memory_order_relaxed);
        seen = state_.load(std::memory_order_relaxed);
      }
    }
  }

  void unlock_shared() noexcept {
    if (state_.fetch_sub(1, std::memory_order_release) == 1) state_.notify_all();
  }

  // Exclusive: waits until no reader or writer holds the lock; synchronises with every
  // earlier unlock() and unlock_shared().
  void lock() noexcept {
    std::uint32_t expected = 0;
    while (!state_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      if (expected != 0) state_.wait(expected, std::memory_order_relaxed);
      expected = 0;
    }
  }

  void unlock() noexcept {
    state_.store(0, std::memory_order_release);
    state_.notify_all();
  }

 private:
  static constexpr std::uint32_t kWriter = 0x8000'0000u;
  std::atomic<std::uint32_t> state_{0};
  [[maybe_unused]] std::uint32_t padding_ = 0;
};

static_assert(sizeof(CellLock) == 8, "the cell layout reserves one 64-bit word for its lock");

}  // namespace arvex::detail
