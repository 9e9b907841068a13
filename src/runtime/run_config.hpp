#pragma once
// RunConfig: the settings of one run, fixed by the runtime builder (after clamping the slot
// count and adopting the scheduler's thread layout) and read by every thread without locks.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace arvex {

struct RunConfig {
  std::optional<std::uint64_t> max_runtime;  // seconds; the run loop's time limit
  // When set, scheduler records are written only for this frame id.
  std::optional<std::size_t> record_frame;
  std::size_t slots = 1;  // concurrent in-flight frames, 1 to 64
  std::size_t max_frames = 1;
  std::size_t system_threads = 1;  // resolution threads
  std::size_t receiver_threads = 0;
  std::size_t workers = 1;
  // Positions, in the list of usable cores, of the first resolution thread's and the first
  // receiver thread's core. A receiver position past the list means "unpinned".
  std::size_t core_offset = 0;
  std::size_t receiver_core_start = 0;
  // Receivers 0 .. pinned_receivers - 1 are pinned from receiver_core_start; the others run
  // unpinned.
  std::size_t pinned_receivers = 0;
  std::size_t recv_pool_size = 1024;  // packet buffers per socket

  // How a task waits for a predecessor result: spin, then yield, then park.
  std::uint64_t spin_wait_park_ns = 100;
  std::uint32_t spin_wait_spin_iters = 64;
  std::uint32_t spin_wait_yield_iters = 256;

  std::size_t batching_size = 1;  // completions per batch, 0 for all queued
  std::uint64_t batching_limit = 10;  // microseconds
  // Ready tasks after which batch resolution dispatches in the middle of a batch.
  std::size_t sched_flush_threshold = 32;
  // Spin-hinted receive attempts before a resolution thread treats the batch queue as empty.
  std::uint32_t spin_iterations = 32;

  bool slot_priority = false;
  bool coalesce_barriers = false;
  bool inline_continuation = false;
  bool no_fanout_bulk = false;
  // Exactly one slot. Also the stale-wait switch of the spin wait: a task waiting for a
  // predecessor result is marked stale on a generation change only when this is false.
  bool single_slot = true;
};

}  // namespace arvex
