#pragma once
// CacheAlignedArray: a fixed-size heap array whose storage starts on a cache line and ends on
// one, so that the atomics in it never share a line with unrelated heap data (a neighbouring
// allocation written by another thread would otherwise cause false sharing at both ends).
// The run-time tables allocate their atomic words once at construction through it and never
// resize them.

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace arvex {

// The cache-line size assumed for layout decisions on every supported target (x86-64 and
// 64-bit Arm both move 64-byte lines). Fixed rather than taken from the compiler, so that the
// layout does not change with compiler flags.
inline constexpr std::size_t CACHE_LINE = 64;

template <class T>
class CacheAlignedArray {
  static_assert(alignof(T) <= CACHE_LINE, "an element must not need more than a cache line of alignment");
  static_assert(std::is_nothrow_default_constructible_v<T> && std::is_nothrow_destructible_v<T>,
                "elements are value-initialised in place and destroyed without failing");

 public:
  CacheAlignedArray() noexcept = default;
  // `size` value-initialised elements (zero for atomics of integers and pointers).
  explicit CacheAlignedArray(std::size_t size) : size_(size) {
    if (size == 0) return;
    data_ = static_cast<T*>(::operator new(storage_bytes(size), std::align_val_t{CACHE_LINE}));
    std::uninitialized_value_construct_n(data_, size);
  }
  CacheAlignedArray(const CacheAlignedArray&) = delete;
  CacheAlignedArray& operator=(const CacheAlignedArray&) = delete;
  CacheAlignedArray(CacheAlignedArray&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  CacheAlignedArray& operator=(CacheAlignedArray&& other) noexcept {
    CacheAlignedArray taken(std::move(other));
    std::swap(data_, taken.data_);
    std::swap(size_, taken.size_);
    return *this;
  }
  ~CacheAlignedArray() {
    if (data_ == nullptr) return;
    std::destroy_n(data_, size_);
    ::operator delete(data_, storage_bytes(size_), std::align_val_t{CACHE_LINE});
  }

  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  std::size_t size() const noexcept { return size_; }
  std::span<T> span() noexcept { return {data_, size_}; }
  std::span<const T> span() const noexcept { return {data_, size_}; }

 private:
  // Rounded up to whole lines so that nothing else is placed in the last line.
  static std::size_t storage_bytes(std::size_t size) noexcept {
    return (size * sizeof(T) + CACHE_LINE - 1) / CACHE_LINE * CACHE_LINE;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace arvex
