#pragma once
// TimeBufferManager: the one way the engine records --timing. A controller thread owns every
// update of the TimeBuffer; the hot paths (resolution threads, workers, packet admission) only
// take a clock reading and send a request over an unbounded channel, and only the end of a
// frame waits for an answer. The statistics and the report read the buffer after the run.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "arvex/expected.hpp"
#include "instrumentation/time_buffer.hpp"

namespace arvex {

class TimeBufferManager {
 public:
  // A buffer of `num_slots` slots (the runtime's slots plus one per resolution thread) and its
  // controller thread.
  TimeBufferManager(std::size_t num_slots, std::size_t system_threads, bool use_rdtsc);
  // Sends Shutdown and joins the controller.
  ~TimeBufferManager();
  TimeBufferManager(const TimeBufferManager&) = delete;
  TimeBufferManager& operator=(const TimeBufferManager&) = delete;

  bool use_rdtsc() const noexcept;
  // The controller has ended (a broken request); nothing is recorded any more.
  bool stopped() const noexcept;

  // A frame starts in `slot` now.
  void start_slot_processing(std::size_t slot);
  // One task time under `name`; the name is copied into the request.
  void add_task_time(std::size_t slot, std::string_view name, std::uint64_t worker, std::chrono::nanoseconds duration);
  // The frame in `slot` ends now; waits for the controller's answer.
  Expected<SlotStats, std::string> finish_slot_processing(std::size_t slot);

  // Runs `read` on the buffer under its lock (for the statistics and the report, after the run).
  template <class Read>
  auto with_buffer(Read&& read) const {
    const std::lock_guard lock(shared_->mutex);
    return read(static_cast<const TimeBuffer&>(shared_->buffer));
  }

  // The buffer and the mutex the controller holds while it applies a request.
  struct Shared {
    Shared(std::size_t num_slots, std::size_t system_threads, bool use_rdtsc)
        : buffer(num_slots, system_threads, use_rdtsc) {}
    std::mutex mutex;
    TimeBuffer buffer;
  };

 private:
  void warn_send_failed();

  std::shared_ptr<Shared> shared_;
  struct Controller;
  std::unique_ptr<Controller> controller_;
};

}  // namespace arvex
