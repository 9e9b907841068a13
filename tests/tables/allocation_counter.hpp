#pragma once
// Counts the calls to the global operator new made by the current thread while a scope is
// alive, so that tests can prove that a hot path does not allocate. The replacement operators
// live in allocation_counter.cpp and forward to malloc and free.

#include <cstddef>

namespace arvex::test {

class AllocationScope {
 public:
  AllocationScope() noexcept;
  ~AllocationScope();
  AllocationScope(const AllocationScope&) = delete;
  AllocationScope& operator=(const AllocationScope&) = delete;

  // Allocations by this thread since the scope began.
  std::size_t count() const noexcept;

 private:
  std::size_t start_;
};

}  // namespace arvex::test
