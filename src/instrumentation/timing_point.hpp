#pragma once
// One clock reading of --timing: a monotonic instant, or (with --use-rdtsc) whole nanoseconds
// since the process-wide monotonic epoch. Both kinds read the monotonic clock; the kind only
// fixes how differences are taken, and a run uses one kind throughout.

#include <chrono>
#include <cstdint>
#include <string>

#include "arvex/expected.hpp"

namespace arvex {

class TimingPoint {
 public:
  enum class Kind : std::uint8_t { Instant, Rdtsc };

  static TimingPoint instant(std::chrono::steady_clock::time_point at) noexcept { return TimingPoint(Kind::Instant, at, 0); }
  static TimingPoint rdtsc(std::uint64_t nanos_since_epoch) noexcept { return TimingPoint(Kind::Rdtsc, {}, nanos_since_epoch); }
  // A reading now, of the kind `use_rdtsc` selects.
  static TimingPoint now(bool use_rdtsc) noexcept;

  Kind kind() const noexcept { return kind_; }

  // this - earlier, saturating at zero. Points of different kinds give "Cannot mix Instant and
  // Rdtsc timing methods".
  Expected<std::chrono::nanoseconds, std::string> since(const TimingPoint& earlier) const;

 private:
  TimingPoint(Kind kind, std::chrono::steady_clock::time_point at, std::uint64_t nanos) noexcept
      : kind_(kind), at_(at), nanos_(nanos) {}

  Kind kind_;
  std::chrono::steady_clock::time_point at_;  // Instant
  std::uint64_t nanos_;                       // Rdtsc
};

}  // namespace arvex
