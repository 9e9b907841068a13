#pragma once
// Thread-local identity of the runtime's threads. Each thread writes its own, once, at start.

#include <cstddef>
#include <limits>

namespace arvex {

inline constexpr std::size_t kWorkerUnset = std::numeric_limits<std::size_t>::max();

// A scheduler worker: the core it is pinned to; a resolution thread: its index.
inline thread_local std::size_t WORKER_ID = kWorkerUnset;
// A scheduler worker: its index in its pool (or its custom worker id).
inline thread_local std::size_t WORKER_INDEX = kWorkerUnset;

}  // namespace arvex
