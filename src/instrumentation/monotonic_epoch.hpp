#pragma once
// The process-wide monotonic instant that "rdtsc" timing points count from. It is fixed by its
// first use; start-up touches it before any thread exists when --use-rdtsc is given, so that
// every thread measures from the same instant.

#include <chrono>

namespace arvex {

std::chrono::steady_clock::time_point monotonic_epoch() noexcept;

}  // namespace arvex
