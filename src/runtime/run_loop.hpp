#pragma once
// One complete run on the calling thread: spawn the resolution threads, supervise until the
// end condition, run the post nodes, join everything. ArvexRt::run and ArvexRt::run_until call
// it; a runtime runs once.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "arvex/expected.hpp"

namespace arvex {

class SharedData;

// What a run-until predicate sees at each poll.
struct RunStatus {
  std::uint64_t elapsed_secs = 0;
  std::uint32_t elapsed_nanos = 0;
  std::size_t frames_completed = 0;
  std::size_t max_frames = 0;
  std::uint32_t active_slots = 0;
};

// Returns true to end the run.
using RunPredicate = std::function<bool(const RunStatus&)>;

// Runs the run. Without a predicate and without a time limit the run ends when the frame
// budget is spent; otherwise the main thread polls (every 10 ms with a predicate, else every
// 10 s) for the time limit, the budget and the predicate. Fails when a thread cannot be
// started, or with "kernel '{node}' failed (frame {f}, instance {i}): {message}" when a kernel
// threw during the run.
Expected<void, std::string> run_impl(const std::shared_ptr<SharedData>& shared, std::optional<RunPredicate> until);

}  // namespace arvex
