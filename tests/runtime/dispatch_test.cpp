// Dispatch and task execution on real runtimes of both schedulers: dispatched tasks reach their
// kernels with their resolved arguments, stamped with their slot's generation; results are
// stored only when read; completions arrive in the batch queue; stale tasks are dropped, post
// tasks never; post-node functions are checked; a throwing kernel stops the run cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "arvex/register_kernel.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/task_execution.hpp"
#include "runtime_fixture.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

using namespace arvex::test;

// One kernel call as the kernels below saw it.
struct Call {
  std::string kernel;
  std::vector<std::uint64_t> args;  // every argument read as usize

  friend bool operator==(const Call&, const Call&) = default;
  friend bool operator<(const Call& a, const Call& b) { return std::tie(a.kernel, a.args) < std::tie(b.kernel, b.args); }
};

std::mutex calls_mutex;
std::vector<Call> calls;

void note(const char* kernel, const CmTypes* args, std::size_t count) {
  Call call{kernel, {}};
  for (std::size_t i = 0; i < count; ++i) call.args.push_back(args[i].is(CmTag::None) ? 999 : args[i].get_usize());
  const std::lock_guard lock(calls_mutex);
  calls.push_back(std::move(call));
}

std::vector<Call> take_calls() {
  const std::lock_guard lock(calls_mutex);
  std::vector<Call> out = std::move(calls);
  calls.clear();
  std::sort(out.begin(), out.end());
  return out;
}

// Returns ten times its first argument.
void times_ten(const CmTypes* args, std::size_t count, CmTypes* result) {
  note("test.times_ten", args, count);
  *result = CmTypes::make_usize(count == 0 ? 0 : args[0].get_usize() * 10);
}
// Returns one more than the sum of its arguments.
void sum_plus_one(const CmTypes* args, std::size_t count, CmTypes* result) {
  note("test.sum_plus_one", args, count);
  std::uint64_t sum = 1;
  for (std::size_t i = 0; i < count; ++i) sum += args[i].get_usize();
  *result = CmTypes::make_usize(sum);
}
void throws(const CmTypes* args, std::size_t count, CmTypes* /*result*/) {
  note("test.throws", args, count);
  throw std::runtime_error("boom");
}
void throws_int(const CmTypes* /*args*/, std::size_t /*count*/, CmTypes* /*result*/) { throw 7; }

ARVEX_REGISTER_KERNEL("test.times_ten", times_ten);
ARVEX_REGISTER_KERNEL("test.sum_plus_one", sum_plus_one);
ARVEX_REGISTER_KERNEL("test.throws", throws);
ARVEX_REGISTER_KERNEL("test.throws_int", throws_int);

Node kernel_node(std::uint16_t id, std::string name, std::string function, std::size_t factor, std::vector<Arg> args) {
  Node n = node(id, std::move(name), factor, std::move(args));
  n.function = std::move(function);
  return n;
}

// a (2 instances, its instance index times ten) feeds b (2, a's value plus one); t (1) throws.
// The condition node g waits on all of them, so their completions go through the batch queue
// (a worker never releases a condition node's instances itself). Post nodes, when given, are
// added after.
GraphCompiled chain_graph(std::optional<std::vector<Node>> post = std::nullopt) {
  GraphSpec graph_spec;
  graph_spec.graph.add_node(kernel_node(0, "a", "test.times_ten", 2, {ref(0)}));
  graph_spec.graph.add_node(kernel_node(1, "b", "test.sum_plus_one", 2, {res(0)}));
  graph_spec.graph.add_node(kernel_node(2, "t", "test.throws", 1, {ref(0)}));
  graph_spec.graph.add_node(kernel_node(3, "u", "test.throws_int", 1, {}));
  Node gate_node = node(4, "g", 1, {dep(0), dep(1), dep(2), dep(3)});
  gate_node.condition = gate();
  graph_spec.graph.add_node(std::move(gate_node));
  if (post) {
    for (Node& n : *post) graph_spec.graph.add_post_node(std::move(n));
  }
  graph_spec.init_objects = {{CmTypes::make_usize(0)}, {CmTypes::make_usize(1)}};
  return compile(std::move(graph_spec), [](const std::optional<WorkerRangeSpec>&) { return std::size_t{0}; });
}

constexpr std::uint16_t kA = 0;
constexpr std::uint16_t kB = 1;
constexpr std::uint16_t kThrows = 2;
constexpr std::uint16_t kThrowsInt = 3;

class DispatchTest : public test_support::LogCaptureTest, public ::testing::WithParamInterface<SchedulerKind> {
 protected:
  void SetUp() override {
    LogCaptureTest::SetUp();
    take_calls();
  }

  static ArvexRt build_runtime(SchedulerKind kind, GraphCompiled compiled = chain_graph()) {
    ArvexRtBuilder builder = builder_for(std::move(compiled), kind);
    builder.slots = 2;
    builder.max_frames = 2;
    auto built = build(std::move(builder));
    EXPECT_TRUE(built.has_value());
    return std::move(built).value();
  }

  static void dispatch(const ArvexRt& rt, const std::vector<NodeInfo>& tasks) {
    dispatch_nodes(rt.shared(), DispatchCtx::of(*rt.shared()), tasks, 0, 0);
  }

  // The next `n` completions from the batch queue, sorted by (node, index).
  static std::vector<NodeInfo> completions(const ArvexRt& rt, std::size_t n) {
    std::vector<NodeInfo> out;
    EXPECT_TRUE(eventually([&] {
      NodeInfo done;
      while (out.size() < n && rt.shared()->exec.batch_queue.try_pop(done)) out.push_back(done);
      return out.size() == n;
    })) << "got " << out.size() << " of " << n << " completions";
    std::sort(out.begin(), out.end(), [](const NodeInfo& x, const NodeInfo& y) {
      return std::tie(x.node_id, x.index) < std::tie(y.node_id, y.index);
    });
    return out;
  }

  static std::optional<std::uint64_t> stored(const ArvexRt& rt, const NodeInfo& key) {
    const std::optional<CmTypes> value = rt.shared()->exec.result_map->get(key);
    if (!value) return std::nullopt;
    return value->get_usize();
  }

  // Waits until every spawned job has run, so that nothing more can arrive.
  static void drain(const ArvexRt& rt) {
    const SchedulerImpl& scheduler = *rt.shared()->exec.scheduler;
    EXPECT_TRUE(eventually([&] { return scheduler.total_completed() == scheduler.total_spawned(); }));
  }
};

TEST_P(DispatchTest, TasksReachKernelsWithArgumentsAndStoreOnlyReadResults) {
  const ArvexRt rt = build_runtime(GetParam());
  rt.shared()->slots.generation[1].store(3);

  dispatch(rt, {task(kA, 1, 0), task(kA, 1, 1)});
  const std::vector<NodeInfo> first = completions(rt, 2);
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(first[i].node_id, kA);
    EXPECT_EQ(first[i].slot, 1u);
    EXPECT_EQ(first[i].index, i);
    EXPECT_EQ(first[i].generation, 3u) << "stamped with the slot's generation at dispatch";
    EXPECT_EQ(stored(rt, task(kA, 1, i)), i * 10) << "b reads a, so a's results are stored";
  }
  EXPECT_EQ(take_calls(), (std::vector<Call>{{"test.times_ten", {0}}, {"test.times_ten", {1}}}));

  dispatch(rt, {task(kB, 1, 1), task(kB, 1, 0)});
  const std::vector<NodeInfo> second = completions(rt, 2);
  EXPECT_EQ(second[0].node_id, kB);
  EXPECT_EQ(second[1].node_id, kB);
  EXPECT_EQ(take_calls(), (std::vector<Call>{{"test.sum_plus_one", {0}}, {"test.sum_plus_one", {10}}}))
      << "each instance of b gets a's result of the same instance";
  EXPECT_EQ(stored(rt, task(kB, 1, 0)), std::nullopt) << "nobody reads b";
  EXPECT_EQ(stored(rt, task(kB, 1, 1)), std::nullopt);
}

TEST_P(DispatchTest, EmptyTaskListSpawnsNothing) {
  const ArvexRt rt = build_runtime(GetParam());
  const std::uint64_t before = rt.shared()->exec.scheduler->total_spawned();
  dispatch(rt, {});
  EXPECT_EQ(rt.shared()->exec.scheduler->total_spawned(), before);
  EXPECT_EQ(rt.shared()->telemetry.jobs_recorded.load(), 0u);
}

TEST_P(DispatchTest, RecordsTheDispatchAndItsTasksOnlyForTheRecordedFrame) {
  struct Case {
    const char* name;
    std::optional<std::size_t> record_frame;
    std::size_t tasks;
    std::size_t expected_records;  // one per dispatch plus one per executed task
  };
  const Case cases[] = {
      {"every frame, empty list", std::nullopt, 0, 0},
      {"every frame", std::nullopt, 2, 3},
      {"the slot holds the recorded frame", 5, 2, 3},
      {"the slot holds another frame", 4, 2, 0},
      {"recorded frame, empty list", 5, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ArvexRtBuilder builder = builder_for(chain_graph(), GetParam());
    builder.slots = 2;
    builder.max_frames = 2;
    builder.record = true;
    builder.record_frame = c.record_frame;
    auto built = build(std::move(builder));
    ASSERT_TRUE(built.has_value());
    const ArvexRt rt = std::move(built).value();
    rt.shared()->slots.frame_id[1].store(5);

    std::vector<NodeInfo> tasks;
    for (std::size_t i = 0; i < c.tasks; ++i) tasks.push_back(task(kA, 1, i));
    dispatch(rt, tasks);
    completions(rt, c.tasks);
    drain(rt);
    EXPECT_EQ(rt.shared()->telemetry.jobs_recorded.load(), c.expected_records);
  }
}

TEST_P(DispatchTest, ThrowingKernelRecordsFirstFailureAndStopsTheRun) {
  struct Case {
    const char* name;
    std::uint16_t node_id;
    std::size_t index;
    RunFailure expected;
  };
  const Case cases[] = {
      {"std::exception", kThrows, 0, RunFailure{"t", 7, 0, "boom"}},
      {"anything else", kThrowsInt, 0, RunFailure{"u", 7, 0, "unknown exception"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ArvexRt rt = build_runtime(GetParam());
    rt.shared()->slots.frame_id[0].store(7);
    dispatch(rt, {task(c.node_id, 0, c.index)});
    ASSERT_TRUE(eventually([&] { return rt.shared()->shutdown.load(); }));
    drain(rt);
    EXPECT_EQ(rt.shared()->telemetry.failure.first(), c.expected);
    NodeInfo none;
    EXPECT_FALSE(rt.shared()->exec.batch_queue.try_pop(none)) << "a failed task reports no completion";

    // The worker survived: a later task still runs, and the first failure is the one kept.
    dispatch(rt, {task(kThrows, 0, 0), task(kA, 0, 1)});
    EXPECT_EQ(completions(rt, 1)[0].node_id, kA);
    drain(rt);
    EXPECT_EQ(rt.shared()->telemetry.failure.first(), c.expected);
  }
}

TEST_P(DispatchTest, JobBodyDropsStaleTasksButNeverPostTasks) {
  std::vector<Node> post;
  post.push_back(kernel_node(0, "p", "test.times_ten", 2, {ref(0)}));
  const ArvexRt rt = build_runtime(GetParam(), chain_graph(std::move(post)));
  SharedData& shared = *rt.shared();
  const std::size_t post_slot = shared.slots.slot_count() + shared.config.system_threads;
  shared.slots.generation[0].store(5);

  struct Case {
    const char* name;
    NodeInfo task;
    const char* stale_message;  // null: the task runs
  };
  const Case cases[] = {
      {"current generation", task(kA, 0, 1, 5), nullptr},
      {"older generation", task(kA, 0, 1, 4), "Stale task dropped: node 0 slot 0 index 1 gen 4 (current 5)"},
      {"post task with generation 0", task(0, post_slot, 1, 0, /*is_post=*/true), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clear_log();
    run_task_job(rt.shared(), c.task, std::nullopt, &times_ten);
    NodeInfo done;
    if (c.stale_message != nullptr) {
      EXPECT_TRUE(logged(c.stale_message)) << logged();
      EXPECT_TRUE(take_calls().empty());
      EXPECT_FALSE(shared.exec.batch_queue.try_pop(done));
    } else {
      EXPECT_EQ(take_calls(), (std::vector<Call>{{"test.times_ten", {1}}}));
      ASSERT_TRUE(shared.exec.batch_queue.try_pop(done));
      EXPECT_EQ(done, c.task);
      EXPECT_EQ(stored(rt, c.task), 10u);
    }
  }
}

TEST_P(DispatchTest, PostTasksKeepTheirGenerationAndRunTheirPostFunction) {
  std::vector<Node> post;
  post.push_back(kernel_node(0, "p", "test.times_ten", 2, {ref(0)}));
  post.push_back(kernel_node(1, "q", "noop", 2, {ref(0)}));
  const ArvexRt rt = build_runtime(GetParam(), chain_graph(std::move(post)));
  SharedData& shared = *rt.shared();
  const std::size_t post_slot = shared.slots.slot_count() + shared.config.system_threads;
  for (std::size_t s = 0; s < shared.slots.slot_count(); ++s) shared.slots.generation[s].store(9);

  dispatch(rt, {task(0, post_slot, 1, 0, true), task(1, post_slot, 0, 0, true)});
  const std::vector<NodeInfo> done = completions(rt, 2);
  for (const NodeInfo& d : done) {
    EXPECT_TRUE(d.is_post);
    EXPECT_EQ(d.generation, 0u) << "post tasks are not stamped";
  }
  EXPECT_EQ(take_calls(), (std::vector<Call>{{"test.times_ten", {1}}})) << "\"noop\" runs the built-in noop";
  EXPECT_EQ(stored(rt, task(0, post_slot, 1)), 10u);
  EXPECT_TRUE(shared.exec.result_map->get(task(1, post_slot, 0)).has_value()) << "post results are always stored";
}

TEST_P(DispatchTest, GivenPostFunctionsReplaceTheNodeFunctions) {
  std::vector<Node> post;
  post.push_back(kernel_node(0, "p", "test.throws", 2, {ref(0)}));
  const ArvexRt rt = build_runtime(GetParam(), chain_graph(std::move(post)));
  SharedData& shared = *rt.shared();
  const std::size_t post_slot = shared.slots.slot_count() + shared.config.system_threads;
  const std::vector<NodeInfo> tasks = {task(0, post_slot, 1, 0, true), task(kA, 0, 0)};
  const std::vector<KernelFn> functions = {&sum_plus_one, &sum_plus_one};
  std::vector<std::optional<std::vector<CmTypes>>> prepared(2);
  prepared[1] = std::vector<CmTypes>{CmTypes::make_usize(4), CmTypes::make_usize(5)};
  send_to_scheduler(rt.shared(), DispatchCtx::of(shared), tasks, prepared, functions);
  completions(rt, 2);
  EXPECT_EQ(take_calls(), (std::vector<Call>{{"test.sum_plus_one", {1}}, {"test.sum_plus_one", {4, 5}}}))
      << "the post task collects its arguments; the other runs with its prepared ones";
  EXPECT_EQ(stored(rt, task(kA, 0, 0)), 10u);
}

using DispatchDeathTest = DispatchTest;

TEST_P(DispatchDeathTest, PostTaskNeedsPostNodesAndAKnownFunction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* name;
    std::optional<std::vector<Node>> post;
    const char* message;
  };
  std::vector<Node> unknown;
  unknown.push_back(kernel_node(0, "p", "test.not_registered", 1, {}));
  const Case cases[] = {
      {"no post nodes", std::nullopt, "Post nodes not initialized"},
      {"unknown function", unknown, "Post-node function 'test.not_registered' not found in registry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          const ArvexRt rt = build_runtime(GetParam(), chain_graph(c.post));
          dispatch(rt, {task(0, 3, 0, 0, true)});
        },
        ::testing::ExitedWithCode(101), c.message);
  }
}

const auto kKinds = ::testing::Values(SchedulerKind::Pool, SchedulerKind::Custom);
std::string kind_name(const ::testing::TestParamInfo<SchedulerKind>& info) {
  return info.param == SchedulerKind::Pool ? "Pool" : "Custom";
}
INSTANTIATE_TEST_SUITE_P(Schedulers, DispatchTest, kKinds, kind_name);
INSTANTIATE_TEST_SUITE_P(Schedulers, DispatchDeathTest, kKinds, kind_name);

}  // namespace
}  // namespace arvex
