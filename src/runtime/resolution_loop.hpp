#pragma once
// The resolution threads: each runs `resolution`, the busy loop that drives frames through the
// graph. Thread 0 starts the first frames once per run; then every thread drains completions
// from the batch queue in batches, resolves them through the resolution strategy, and checks
// slots for finished frames, until the run shuts down or the frame budget is spent. Several
// threads run the same loop over the same state at once.

#include <cstddef>
#include <memory>

namespace arvex {

class SharedData;

// The body of resolution thread `thread_id`: registers its scheduler-record sender, pins the
// thread to `core` (a warning and no pinning when refused), then runs `resolution`.
void resolution_thread_main(const std::shared_ptr<SharedData>& shared, std::size_t core, std::size_t thread_id,
                            std::size_t timing_slot);

// The loop itself; returns when the run shuts down or max_frames frames have completed.
void resolution(const std::shared_ptr<SharedData>& shared, std::size_t core, std::size_t thread_id,
                std::size_t timing_slot);

}  // namespace arvex
