#pragma once
// RwLock<T>: a value behind a reader-writer lock, reachable only through a guard, so that no
// access can forget the lock. Used for the slot vectors that need multi-field consistency.

#include <mutex>
#include <shared_mutex>
#include <utility>

namespace arvex {

template <class T>
class RwLock {
 public:
  template <class... Args>
  explicit RwLock(Args&&... args) : value_(std::forward<Args>(args)...) {}
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  // Shared access; any number of readers at once, no writer meanwhile.
  class ReadGuard {
   public:
    explicit ReadGuard(const RwLock& owner) : lock_(owner.mutex_), value_(&owner.value_) {}
    const T& operator*() const noexcept { return *value_; }
    const T* operator->() const noexcept { return value_; }

   private:
    std::shared_lock<std::shared_mutex> lock_;
    const T* value_;
  };

  // Exclusive access.
  class WriteGuard {
   public:
    explicit WriteGuard(RwLock& owner) : lock_(owner.mutex_), value_(&owner.value_) {}
    T& operator*() const noexcept { return *value_; }
    T* operator->() const noexcept { return value_; }

   private:
    std::unique_lock<std::shared_mutex> lock_;
    T* value_;
  };

  [[nodiscard]] ReadGuard read() const { return ReadGuard(*this); }
  [[nodiscard]] WriteGuard write() { return WriteGuard(*this); }

 private:
  mutable std::shared_mutex mutex_;
  T value_;
};

}  // namespace arvex
