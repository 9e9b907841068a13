#pragma once
// RunFailure: the first kernel that threw during a run, kept so that the program can report it
// and exit with an error after the run has wound down. Workers record it; the run loop's owner
// reads it once every runtime thread has been joined.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace arvex {

struct RunFailure {
  std::string node;  // node name
  std::int64_t frame_id = -1;  // frame of the task's slot when it failed; -1 outside a frame
  std::size_t instance = 0;
  std::string message;

  friend bool operator==(const RunFailure&, const RunFailure&) = default;
};

// Holds the first recorded failure; later ones are dropped. A failure is rare, so a mutex is
// fine: record() and first() may run concurrently from any threads, and first() sees every
// failure whose record() returned before it.
class FirstRunFailure {
 public:
  // True when `failure` is the first one and was kept.
  bool record(RunFailure failure) {
    const std::lock_guard lock(mutex_);
    if (failure_) return false;
    failure_ = std::move(failure);
    return true;
  }

  std::optional<RunFailure> first() const {
    const std::lock_guard lock(mutex_);
    return failure_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<RunFailure> failure_;
};

}  // namespace arvex
