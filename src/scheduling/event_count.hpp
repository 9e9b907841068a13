#pragma once
// An event count: lets idle threads sleep until work arrives without a lock on the spawn path.
// A waiter takes a ticket (prepare_wait), re-checks its queues, and sleeps only if no notify
// happened since the ticket; a spawner pays one atomic load unless someone is waiting.
// Written here because std::condition_variable needs a mutex on both sides and the standard
// atomic wait has no timeout.

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>

namespace arvex {

class EventCount {
 public:
  using Ticket = std::uint32_t;

  // Announces a waiter. seq_cst pairs with notify(): either the notifier sees the waiter, or the
  // waiter's re-check of its queues sees the notifier's work.
  Ticket prepare_wait() noexcept {
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    return epoch_.load(std::memory_order_seq_cst);
  }

  // Withdraws without sleeping (the re-check found work).
  void cancel_wait() noexcept { waiters_.fetch_sub(1, std::memory_order_seq_cst); }

  // Sleeps until a notify after `ticket`, or until `timeout` has passed (spurious wake-ups are
  // possible). Ends the wait announced by prepare_wait.
  void wait(Ticket ticket, std::chrono::nanoseconds timeout) noexcept {
    const auto ns = timeout.count();
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    if (epoch_.load(std::memory_order_seq_cst) == ticket) {
      ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&epoch_), FUTEX_WAIT_PRIVATE, ticket, &ts, nullptr, 0);
    }
    waiters_.fetch_sub(1, std::memory_order_seq_cst);
  }

  // Wakes every waiter, if any. Call after publishing the work: the fence orders that
  // publication before the look at the waiter count, whatever ordering the queue used.
  void notify_all() noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) == 0) return;
    epoch_.fetch_add(1, std::memory_order_seq_cst);
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&epoch_), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
  }

  // Wakes one waiter, if any; same contract as notify_all.
  void notify_one() noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) == 0) return;
    epoch_.fetch_add(1, std::memory_order_seq_cst);
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&epoch_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }

 private:
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                    std::atomic<std::uint32_t>::is_always_lock_free,
                "the futex word is the atomic itself");
  alignas(64) std::atomic<std::uint32_t> epoch_{0};
  alignas(64) std::atomic<std::uint32_t> waiters_{0};
};

}  // namespace arvex
