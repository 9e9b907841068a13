#pragma once
// Pinning the calling thread to one CPU core.

#include <cstddef>

namespace arvex {

// Restricts the calling thread to `core`. Cores beyond the usual 1024-CPU set are pinned with a
// set sized for them. Returns false when the system refuses; callers carry on unpinned.
bool pin_current_thread(std::size_t core) noexcept;

}  // namespace arvex
