#include "placement/cpu_pinning.hpp"

#include <sched.h>

#include <algorithm>

namespace arvex {

bool pin_current_thread(std::size_t core) noexcept {
  const std::size_t cpus = std::max<std::size_t>(1024, core + 1);
  cpu_set_t* set = CPU_ALLOC(cpus);
  if (set == nullptr) return false;
  const std::size_t size = CPU_ALLOC_SIZE(cpus);
  CPU_ZERO_S(size, set);
  CPU_SET_S(core, size, set);
  const bool pinned = ::sched_setaffinity(0, size, set) == 0;
  CPU_FREE(set);
  return pinned;
}

}  // namespace arvex
