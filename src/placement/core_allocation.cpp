#include "placement/core_allocation.hpp"

#include <fmt/format.h>
#include <sched.h>

#include <algorithm>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core::core_alloc";
constexpr std::size_t kMaskCpus = 1024;

}  // namespace

std::vector<std::size_t> usable_cores() {
  std::vector<std::size_t> cores;
  cpu_set_t* set = CPU_ALLOC(kMaskCpus);
  if (set == nullptr) return cores;
  const std::size_t size = CPU_ALLOC_SIZE(kMaskCpus);
  CPU_ZERO_S(size, set);
  if (::sched_getaffinity(0, size, set) == 0) {
    for (std::size_t cpu = 0; cpu < kMaskCpus; ++cpu) {
      if (CPU_ISSET_S(cpu, size, set)) cores.push_back(cpu);
    }
  }
  CPU_FREE(set);
  return cores;
}

CoreAllocation allocate_cores_on(std::vector<std::size_t> cores, const CoreRequest& request) {
  std::sort(cores.begin(), cores.end());
  CoreAllocation a;
  a.available_cores = cores.size();
  const std::size_t available = a.available_cores;
  if (available < 2) {
    fatal_stop(fmt::format("Insufficient cores: need minimum 2 cores (1 system + 1 worker), found {}", available));
  }
  a.system_threads = request.system_threads;
  a.receiver_threads = request.receiver_threads;
  a.worker_threads = request.worker_threads;
  const std::size_t requested = request.system_threads + request.receiver_threads + request.worker_threads;
  const std::size_t offset = request.core_offset;

  if (offset + requested < available) {
    a.main_core = cores[offset];
    a.system_core_start = offset + 1;
  } else if (offset + requested == available) {
    a.system_core_start = offset;
  } else if (available < requested) {
    a.system_threads = 1;
    a.receiver_threads = std::min(request.receiver_threads, (available - 1) / 2);
    const std::size_t left = available - 1 >= a.receiver_threads ? available - 1 - a.receiver_threads : 0;
    a.worker_threads = std::max<std::size_t>(1, left);
    a.system_core_start = 0;
    ARVEX_LOG_WARN(kLogTarget, "over-subscription: scaling down thread counts", log::field("requested", requested),
                   log::field("available", available), log::field("actual_system", a.system_threads),
                   log::field("actual_receivers", a.receiver_threads), log::field("actual_workers", a.worker_threads));
  } else {
    ARVEX_LOG_WARN(kLogTarget, "cannot honor core_offset, using offset 0 instead", log::field("core_offset", offset));
    a.system_core_start = 0;
  }
  a.receiver_core_start = a.system_core_start + a.system_threads;
  a.worker_core_start = a.receiver_core_start + a.receiver_threads;

  const std::size_t system_end = a.system_core_start + a.system_threads;
  const std::size_t receiver_end = a.receiver_core_start + a.receiver_threads;
  if (system_end > a.receiver_core_start) {
    fatal_stop(fmt::format("Core allocation bug: system cores [{}..{}) overlap with receiver cores [{}..{})",
                           a.system_core_start, system_end, a.receiver_core_start, receiver_end));
  }
  if (receiver_end > a.worker_core_start) {
    fatal_stop(fmt::format("Core allocation bug: receiver cores [{}..{}) overlap with worker cores [{}..{})",
                           a.receiver_core_start, receiver_end, a.worker_core_start, a.worker_core_start + a.worker_threads));
  }
  a.cores = std::move(cores);
  return a;
}

CoreAllocation allocate_cores(const CoreRequest& request) { return allocate_cores_on(usable_cores(), request); }

}  // namespace arvex
