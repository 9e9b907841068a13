// The node executor: stale typed tasks are dropped with their debug message, post tasks are
// never stale, a runtime that is gone makes it a no-op; the custom scheduler's workers reach
// it once build() has installed it; and a worker may drop the run's last handle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/node_executor.hpp"
#include "runtime_fixture.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

using namespace arvex::test;

class NodeExecutorTest : public test_support::LogCaptureTest {
 protected:
  static ArvexRt build_runtime(SchedulerKind kind, std::size_t slots = 2) {
    ArvexRtBuilder builder = builder_for(diamond_graph(), kind);
    builder.slots = slots;
    builder.max_frames = slots;
    auto built = build(std::move(builder));
    EXPECT_TRUE(built.has_value());
    return std::move(built).value();
  }

  static NodeTaskDesc desc(std::size_t slot, std::uint32_t generation, bool is_post = false) {
    NodeTaskDesc d;
    d.task.slot = slot;
    d.task.index = 2;
    d.task.generation = generation;
    d.task.node_id = 1;
    d.task.is_post = is_post;
    d.function = &noop_kernel_stub;
    return d;
  }

  static void noop_kernel_stub(const CmTypes*, std::size_t, CmTypes*) {}

  // Node 1 ("b") reads instance 0 of node 0 ("a"): store it, so a task that runs finds its
  // argument instead of waiting for it.
  static void store_predecessor_result(const ArvexRt& rt, std::size_t slot) {
    NodeInfo a;
    a.slot = slot;
    a.node_id = 0;
    a.index = 0;
    rt.shared()->exec.result_map->set(a, CmTypes::make_i32(1));
  }

  // Spins (yielding) until `done` holds; a guard against hanging, not a timing assertion.
  template <class Done>
  static bool eventually(Done done) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
      if (std::chrono::steady_clock::now() > give_up) return false;
      std::this_thread::yield();
    }
    return true;
  }
};

TEST_F(NodeExecutorTest, DropsTasksOfAnOlderGenerationOnly) {
  struct Case {
    const char* name;
    std::uint64_t slot_generation;
    NodeTaskDesc task;
    const char* message;  // null: not stale
  };
  const Case cases[] = {
      {"current generation", 4, desc(1, 4), nullptr},
      {"older generation", 1, desc(1, 0), "Stale task dropped: node 1 slot 1 index 2 gen 0 (current 1)"},
      {"newer generation", 1, desc(1, 2), "Stale task dropped: node 1 slot 1 index 2 gen 2 (current 1)"},
      {"only the low 32 bits count", std::uint64_t{1} << 32, desc(1, 0), nullptr},
  };
  const ArvexRt rt = build_runtime(SchedulerKind::Pool);
  store_predecessor_result(rt, 1);
  const NodeExecutor execute = make_node_executor(rt.shared());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clear_log();
    rt.shared()->slots.generation[1].store(c.slot_generation);
    execute(c.task);
    if (c.message != nullptr) {
      EXPECT_TRUE(logged(c.message)) << logged();
      EXPECT_TRUE(logged("arvex_core::debug")) << "the debug printer's target";
    } else {
      EXPECT_FALSE(logged("Stale task dropped")) << logged();
    }
  }
}

TEST_F(NodeExecutorTest, DoesNothingOnceTheRuntimeIsGone) {
  std::weak_ptr<SharedData> gone;
  {
    const ArvexRt rt = build_runtime(SchedulerKind::Pool);
    gone = rt.shared();
    rt.shared()->slots.generation[0].store(5);
  }
  ASSERT_TRUE(gone.expired());
  clear_log();
  make_node_executor(gone)(desc(0, 0));
  EXPECT_FALSE(logged("Stale task dropped")) << "a stale task of a finished run is not even examined";
}

TEST_F(NodeExecutorTest, CustomSchedulerWorkersRunTypedTasksThroughTheInstalledExecutor) {
  ArvexRt rt = build_runtime(SchedulerKind::Custom);
  SchedulerImpl& scheduler = *rt.shared()->exec.scheduler;
  ASSERT_TRUE(scheduler.has_typed_spawn());
  rt.shared()->slots.generation[0].store(1);
  store_predecessor_result(rt, 0);

  scheduler.spawn_node(0, kPriorityNormal, desc(0, 0));
  scheduler.spawn_node(0, kPriorityNormal, desc(0, 1));
  ASSERT_TRUE(eventually([&] { return scheduler.total_completed() == 2; }));
  // Releasing the runtime joins the workers, so everything they logged is in place.
  rt = ArvexRt(nullptr);

  const std::string log = logged();
  EXPECT_NE(log.find("Stale task dropped: node 1 slot 0 index 2 gen 0 (current 1)"), std::string::npos) << log;
  EXPECT_EQ(log.find("gen 1 (current 1)"), std::string::npos) << "the current task is not stale";
}

TEST_F(NodeExecutorTest, AWorkerMayReleaseTheLastHandle) {
  ArvexRt rt = build_runtime(SchedulerKind::Custom);
  const std::weak_ptr<SharedData> shared = rt.shared();
  const std::weak_ptr<SchedulerImpl> scheduler = rt.shared()->exec.scheduler;
  // On the heap, shared with the job: the test's stack may be reused while the detached
  // thread that stops the scheduler is still running.
  const auto main_released = std::make_shared<std::atomic<bool>>(false);

  // The job keeps a handle until after the main thread has dropped its own, so the worker
  // destroys SharedData, and with it the scheduler the worker belongs to.
  rt.shared()->exec.scheduler->spawn_with_meta_priority(
      kPriorityNormal, 0, std::nullopt, [held = rt, main_released]() mutable {
        while (!main_released->load()) std::this_thread::yield();
        held = ArvexRt(nullptr);
      });
  rt = ArvexRt(nullptr);
  main_released->store(true);

  EXPECT_TRUE(eventually([&] { return shared.expired(); }));
  EXPECT_TRUE(eventually([&] { return scheduler.expired(); })) << "the scheduler is stopped off the worker";
}

TEST(NodeExecutorDeathTest, TaskForASlotTheRunDoesNotHaveStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ArvexRtBuilder builder = builder_for(diamond_graph());
        auto built = build(std::move(builder));
        NodeTaskDesc task;
        task.task.slot = 5;
        make_node_executor(built->shared())(task);
      },
      ::testing::ExitedWithCode(101), "node task for slot 5 but the run has 1 slots");
}

}  // namespace
}  // namespace arvex
