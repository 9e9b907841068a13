// Core allocation: the worked layouts on eight cores, the fallbacks when a request does not fit,
// and pinning on the cores this machine has.
#include <gtest/gtest.h>
#include <sched.h>

#include <numeric>
#include <sstream>
#include <thread>

#include "support/log_capture.hpp"
#include "placement/core_allocation.hpp"
#include "placement/cpu_pinning.hpp"

namespace arvex {
namespace {

std::vector<std::size_t> cores_0_to(std::size_t n) {
  std::vector<std::size_t> cores(n);
  std::iota(cores.begin(), cores.end(), 0);
  return cores;
}

struct AllocationCase {
  const char* name;
  std::vector<std::size_t> cores;
  CoreRequest request;
  std::optional<std::size_t> main_core;
  std::size_t system_start, system, receiver_start, receivers, worker_start, workers;
  std::string warning;  // part of the expected WARN line, "" for none
};

class CoreAllocationTest : public test_support::LogCaptureTest {
 protected:
  log::Level capture_level() const override { return log::Level::Info; }
};

TEST_F(CoreAllocationTest, Table) {
  const AllocationCase cases[] = {
      {"room for a main core", cores_0_to(8), {1, 1, 0, 3}, 1, 2, 1, 3, 0, 3, 3, ""},
      {"exact fit: no main core", cores_0_to(8), {0, 2, 2, 4}, std::nullopt, 0, 2, 2, 2, 4, 4, ""},
      {"over-subscription scales down", cores_0_to(8), {1, 2, 4, 8}, std::nullopt, 0, 1, 1, 3, 4, 4,
       "WARN arvex_core::core_alloc: over-subscription: scaling down thread counts requested=14 available=8 "
       "actual_system=1 actual_receivers=3 actual_workers=4"},
      {"offset dropped", cores_0_to(8), {2, 1, 1, 5}, std::nullopt, 0, 1, 1, 1, 2, 5,
       "WARN arvex_core::core_alloc: cannot honor core_offset, using offset 0 instead core_offset=2"},
      {"two cores, big request", cores_0_to(2), {1, 2, 3, 4}, std::nullopt, 0, 1, 1, 0, 1, 1, "over-subscription"},
      {"unsorted, sparse cores", {9, 3, 5, 7}, {1, 1, 0, 1}, 5, 2, 1, 3, 0, 3, 1, ""},
      {"no workers requested", cores_0_to(4), {0, 1, 0, 0}, 0, 1, 1, 2, 0, 2, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clear_log();
    const CoreAllocation a = allocate_cores_on(c.cores, c.request);
    EXPECT_EQ(a.main_core, c.main_core);
    EXPECT_EQ(a.available_cores, c.cores.size());
    EXPECT_TRUE(std::is_sorted(a.cores.begin(), a.cores.end()));
    EXPECT_EQ(a.system_core_start, c.system_start);
    EXPECT_EQ(a.system_threads, c.system);
    EXPECT_EQ(a.receiver_core_start, c.receiver_start);
    EXPECT_EQ(a.receiver_threads, c.receivers);
    EXPECT_EQ(a.worker_core_start, c.worker_start);
    EXPECT_EQ(a.worker_threads, c.workers);
    EXPECT_LE(a.worker_core_start + a.worker_threads, a.available_cores);
    if (c.warning.empty()) {
      EXPECT_EQ(logged(), "");
    } else {
      EXPECT_TRUE(logged(c.warning)) << logged();
    }
  }
}

TEST_F(CoreAllocationTest, WorkerCoresFollowTheSortedList) {
  const CoreAllocation a = allocate_cores_on(cores_0_to(8), {1, 1, 0, 3});
  EXPECT_EQ(a.system_core(0), 2u);
  EXPECT_EQ((std::vector<std::size_t>{a.worker_core(0), a.worker_core(1), a.worker_core(2)}),
            (std::vector<std::size_t>{3, 4, 5}));
}

TEST(CoreAllocationDeathTest, FewerThanTwoCoresStop) {
  EXPECT_EXIT((void)allocate_cores_on({0}, {}), testing::ExitedWithCode(101),
              "Insufficient cores: need minimum 2 cores \\(1 system \\+ 1 worker\\), found 1");
  EXPECT_EXIT((void)allocate_cores_on({}, {}), testing::ExitedWithCode(101), "found 0");
}

TEST(CpuPinning, PinsTheCallingThreadToEachUsableCore) {
  const std::vector<std::size_t> cores = usable_cores();
  ASSERT_FALSE(cores.empty());
  for (const std::size_t core : cores) {
    std::thread([core] {
      ASSERT_TRUE(pin_current_thread(core));
      cpu_set_t set;
      CPU_ZERO(&set);
      ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
      EXPECT_EQ(CPU_COUNT(&set), 1);
      EXPECT_TRUE(CPU_ISSET(core, &set));
    }).join();
  }
}

TEST(CpuPinning, CoresBeyondTheMachineAreRefused) {
  std::thread([] {
    EXPECT_FALSE(pin_current_thread(4000)) << "no such core: the call fails, the thread stays as it was";
    EXPECT_EQ(usable_cores(), usable_cores());
  }).join();
}

}  // namespace
}  // namespace arvex
