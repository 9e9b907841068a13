#pragma once
// Guards over a value cell's reader-writer lock: access to the held object lasts as long as the
// guard, and the lock is released when it goes. Obtained from CmTypes::read_cell, write_cell and
// read_vec_any; the value must outlive its guard.

#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

#include "arvex/detail/shared_block.hpp"
#include "arvex/held_type.hpp"

namespace arvex {

// Holds a cell's lock (shared or exclusive) while giving access to its object.
template <class T, bool Exclusive>
class CellGuard {
 public:
  CellGuard() noexcept = default;
  CellGuard(detail::CellLock* lock, T* object) noexcept : lock_(lock), object_(object) {}
  CellGuard(CellGuard&& other) noexcept
      : lock_(std::exchange(other.lock_, nullptr)), object_(std::exchange(other.object_, nullptr)) {}
  CellGuard& operator=(CellGuard&&) = delete;
  ~CellGuard() {
    if (lock_ == nullptr) return;
    if constexpr (Exclusive) {
      lock_->unlock();
    } else {
      lock_->unlock_shared();
    }
  }

  explicit operator bool() const noexcept { return object_ != nullptr; }
  using Ref = std::conditional_t<Exclusive, T&, const T&>;
  Ref operator*() const noexcept { return *object_; }
  std::remove_reference_t<Ref>* operator->() const noexcept { return object_; }

 private:
  detail::CellLock* lock_ = nullptr;
  T* object_ = nullptr;
};

// The held objects of a VecAny cell under its shared lock.
class VecAnyReadGuard {
 public:
  VecAnyReadGuard() noexcept = default;
  explicit VecAnyReadGuard(detail::VecAnyBlock* cell) noexcept;
  VecAnyReadGuard(VecAnyReadGuard&& other) noexcept : cell_(std::exchange(other.cell_, nullptr)) {}
  VecAnyReadGuard& operator=(VecAnyReadGuard&&) = delete;
  ~VecAnyReadGuard();

  explicit operator bool() const noexcept { return cell_ != nullptr; }
  std::span<const HeldObject> objects() const noexcept;

 private:
  detail::VecAnyBlock* cell_ = nullptr;
};

}  // namespace arvex
