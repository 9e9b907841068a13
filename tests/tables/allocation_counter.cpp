#include "allocation_counter.hpp"

#include <cstdlib>
#include <new>

namespace {

// Constant-initialised, so reading it inside operator new never allocates itself.
thread_local std::size_t ALLOCATIONS = 0;

void* counted_allocate(std::size_t size) {
  ++ALLOCATIONS;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

// The unaligned forms; array and nothrow forms reach these through the library's defaults.
void* operator new(std::size_t size) { return counted_allocate(size); }
void* operator new[](std::size_t size) { return counted_allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace arvex::test {

AllocationScope::AllocationScope() noexcept : start_(ALLOCATIONS) {}
AllocationScope::~AllocationScope() = default;
std::size_t AllocationScope::count() const noexcept { return ALLOCATIONS - start_; }

}  // namespace arvex::test
