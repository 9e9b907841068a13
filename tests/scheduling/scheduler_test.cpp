// The closed choice between the two schedulers and the factory that builds the run's one.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <latch>

#include "scheduling/scheduler.hpp"

namespace arvex {
namespace {

TEST(SchedulerKindChoice, FifoWinsThenCustomThenPool) {
  struct Case {
    bool fifo, custom;
    SchedulerKind kind;
  };
  for (const Case& c : {Case{false, false, SchedulerKind::Pool}, Case{true, false, SchedulerKind::PoolFifo},
                        Case{false, true, SchedulerKind::Custom}, Case{true, true, SchedulerKind::PoolFifo}}) {
    EXPECT_EQ(scheduler_kind(c.fifo, c.custom), c.kind) << c.fifo << c.custom;
  }
}

TEST(WorkerCountCheck, ZeroWorkersAreAConfigurationError) {
  EXPECT_EQ(check_worker_count(0), "Config error: workers must be >= 1 (got 0)");
  EXPECT_EQ(check_worker_count(1), std::nullopt);
}

// One worker and one resolution core: what a two-core machine can host.
SchedulerConfig small_config(SchedulerKind kind) {
  SchedulerConfig config;
  config.kind = kind;
  config.core_offset = 0;
  config.workers = 1;
  config.system_threads = 1;
  config.receiver_threads = 0;
  return config;
}

class SchedulerFactory : public testing::TestWithParam<SchedulerKind> {};

TEST_P(SchedulerFactory, BuildsARunningSchedulerOfTheChosenKind) {
  const auto scheduler = create_scheduler(small_config(GetParam()));
  const bool custom = GetParam() == SchedulerKind::Custom;
  EXPECT_EQ(scheduler->is_custom(), custom);
  EXPECT_EQ(scheduler->has_typed_spawn(), custom);
  EXPECT_EQ(scheduler->thread_layout().worker_threads, 1u);
  EXPECT_EQ(scheduler->worker_group(WorkerRangeSpec::range({0, 1})), 0u) << "no affinity configured";

  constexpr int kJobs = 16;
  std::latch done(kJobs);
  for (int i = 0; i < kJobs; ++i) {
    scheduler->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt, [&done] { done.count_down(); });
  }
  done.wait();
  EXPECT_EQ(scheduler->total_spawned(), static_cast<std::uint64_t>(kJobs));

  const auto path = std::filesystem::temp_directory_path() / "arvex-no-records.csv";
  std::filesystem::remove(path);
  scheduler->write_record(path.string());
  EXPECT_FALSE(std::filesystem::exists(path)) << "without --record nothing is written";
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SchedulerFactory,
                         testing::Values(SchedulerKind::Pool, SchedulerKind::PoolFifo, SchedulerKind::Custom),
                         [](const testing::TestParamInfo<SchedulerKind>& param) {
                           switch (param.param) {
                             case SchedulerKind::Pool: return std::string("Pool");
                             case SchedulerKind::PoolFifo: return std::string("PoolFifo");
                             case SchedulerKind::Custom: return std::string("Custom");
                           }
                           return std::string("Unknown");
                         });

TEST(SchedulerFactory, TypedSpawnReachesTheExecutorOfTheCustomSchedulerOnly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // worker threads are running
  const auto custom = create_scheduler(small_config(SchedulerKind::Custom));
  std::latch ran(1);
  std::atomic<std::uint16_t> node{0};
  custom->set_node_executor([&](const NodeTaskDesc& desc) {
    node = desc.task.node_id;
    ran.count_down();
  });
  NodeTaskDesc desc;
  desc.task.node_id = 7;
  custom->spawn_node(0, kPriorityHigh, desc);
  ran.wait();
  EXPECT_EQ(node.load(), 7);

  const auto pool = create_scheduler(small_config(SchedulerKind::Pool));
  pool->set_node_executor([](const NodeTaskDesc&) {});  // accepted and dropped
  EXPECT_EXIT(pool->spawn_node(0, kPriorityHigh, desc), testing::ExitedWithCode(101),
              "internal error: entered unreachable code: spawn_node requires has_typed_spawn\\(\\) == true");
}

}  // namespace
}  // namespace arvex
