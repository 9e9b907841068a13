#include "instrumentation/monotonic_epoch.hpp"

namespace arvex {

std::chrono::steady_clock::time_point monotonic_epoch() noexcept {
  static const std::chrono::steady_clock::time_point kEpoch = std::chrono::steady_clock::now();
  return kEpoch;
}

}  // namespace arvex
