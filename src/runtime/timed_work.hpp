#pragma once
// Timing of one piece of engine work for --timing: a clock reading when it starts and one when
// it is added to the time buffers. Without --timing it reads no clock and sends nothing, so the
// hot paths pay one pointer test.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "instrumentation/time_buffer_manager.hpp"
#include "instrumentation/timing_point.hpp"

namespace arvex {

class TimedWork {
 public:
  explicit TimedWork(TimeBufferManager* timing) noexcept : timing_(timing) {
    if (timing_ != nullptr) start_ = TimingPoint::now(timing_->use_rdtsc());
  }

  bool enabled() const noexcept { return timing_ != nullptr; }

  // Adds the time since the start (or the last add) under `name` to `slot`, then starts again.
  void add(std::size_t slot, std::string_view name, std::uint64_t worker) {
    if (timing_ == nullptr) return;
    const TimingPoint now = TimingPoint::now(timing_->use_rdtsc());
    if (const auto elapsed = now.since(*start_)) timing_->add_task_time(slot, name, worker, *elapsed);
    start_ = now;
  }

  // Starts again without adding anything.
  void restart() noexcept {
    if (timing_ != nullptr) start_ = TimingPoint::now(timing_->use_rdtsc());
  }

 private:
  TimeBufferManager* timing_;
  std::optional<TimingPoint> start_;
};

}  // namespace arvex
