#include "instrumentation/timing_point.hpp"

#include "instrumentation/monotonic_epoch.hpp"

namespace arvex {

TimingPoint TimingPoint::now(bool use_rdtsc) noexcept {
  if (!use_rdtsc) return instant(std::chrono::steady_clock::now());
  // The epoch is read first so that it is fixed no later than this reading: the difference is
  // never negative.
  const auto epoch = monotonic_epoch();
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - epoch);
  return rdtsc(static_cast<std::uint64_t>(elapsed.count()));
}

Expected<std::chrono::nanoseconds, std::string> TimingPoint::since(const TimingPoint& earlier) const {
  if (kind_ != earlier.kind_) return Unexpected{std::string("Cannot mix Instant and Rdtsc timing methods")};
  if (kind_ == Kind::Rdtsc) {
    if (nanos_ <= earlier.nanos_) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(static_cast<std::chrono::nanoseconds::rep>(nanos_ - earlier.nanos_));
  }
  if (at_ <= earlier.at_) return std::chrono::nanoseconds(0);
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at_ - earlier.at_);
}

}  // namespace arvex
