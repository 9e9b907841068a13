#pragma once
// Calling a user kernel so that its failure cannot take the run down: a kernel that throws is
// recorded as the run's first failure and the run is shut down; the caller drops the task.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>

#include "arvex/cm_types.hpp"
#include "arvex/kernel.hpp"

namespace arvex {

class SharedData;

// Keeps the failure (node `node_name`, frame `frame_id`, instance `instance`) when it is the
// run's first, and sets shutdown.
void record_kernel_failure(SharedData& shared, std::string_view node_name, std::int64_t frame_id,
                           std::size_t instance, std::string message);

// Runs `call`; returns false when it threw, after record_kernel_failure.
template <class Call>
bool run_guarded(SharedData& shared, std::string_view node_name, std::int64_t frame_id, std::size_t instance,
                 Call&& call) {
  std::string message;
  try {
    call();
    return true;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "unknown exception";
  }
  record_kernel_failure(shared, node_name, frame_id, instance, std::move(message));
  return false;
}

// Calls `kernel` with `args` into `result` under run_guarded.
inline bool call_kernel_guarded(SharedData& shared, std::string_view node_name, std::int64_t frame_id,
                                std::size_t instance, KernelFn kernel, std::span<const CmTypes> args,
                                CmTypes& result) {
  return run_guarded(shared, node_name, frame_id, instance, [&] { kernel(args.data(), args.size(), &result); });
}

// The frame in `slot`, -1 for slots that never hold one (the post nodes').
std::int64_t frame_in_slot(const SharedData& shared, std::size_t slot) noexcept;

// The frame in `slot` was given up: its tasks complete with None and run no kernel.
bool frame_abandoned(const SharedData& shared, std::size_t slot) noexcept;

}  // namespace arvex
