// The custom priority scheduler: group configuration, build, channel routing and polling order,
// typed tasks, counters, records, pinning and shutdown. The tests run on whatever cores the
// machine has; with core offset 0 and one system thread, one requested worker always gets
// exactly one core, so most cases need only two cores.
#include "scheduling/custom_scheduler.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <numeric>
#include <ostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "logging/log.hpp"
#include "placement/core_allocation.hpp"

namespace arvex {

void PrintTo(const WorkerGroupConfig& g, std::ostream* os) {
  *os << "{count " << g.worker_count << ", id " << g.group_id << ", spin " << g.spin_iterations << "}";
}

namespace {

using namespace std::chrono_literals;

// Failure guard only: a healthy run finishes every wait in milliseconds.
constexpr auto kGuard = 10s;

template <class Pred>
bool eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + kGuard;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50us);
  }
  return true;
}

// A one-shot signal between the test thread and a job.
class Gate {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kGuard, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Every builder here uses core offset 0, one system thread and no receivers.
CustomSchedulerBuilder builder(bool record = false) {
  return CustomSchedulerBuilder(std::chrono::steady_clock::now(), 0, 1, 0, record);
}

CoreAllocation expected_allocation(std::size_t workers) {
  return allocate_cores_on(usable_cores(), CoreRequest{0, 1, 0, workers});
}

std::unique_ptr<CustomScheduler> global_worker(bool record = false) {
  return builder(record).add_group({1, 0, 64}).build();
}

// One worker in range group 1 ("0-0"); the global group has no worker.
std::unique_ptr<CustomScheduler> range_worker() {
  return builder().with_affinity_groups(WorkerAffinityConfig::from_worker_ranges({WorkerRange{0, 1}}, 1), 1).build();
}

NodeTaskDesc desc_for(std::uint64_t slot, std::uint64_t index, std::uint16_t node_id, bool record = false) {
  NodeTaskDesc desc;
  desc.task.slot = slot;
  desc.task.index = index;
  desc.task.node_id = node_id;
  desc.record = record;
  return desc;
}

class CapturedLog : public testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("RUST_LOG");
    ASSERT_TRUE(log::install_logger({log::Level::Debug, false, &out_}));
  }
  void TearDown() override { log::uninstall_logger(); }

  void expect_logged(const std::string& line) const {
    EXPECT_NE(out_.str().find(line), std::string::npos) << line << "\n--- in ---\n" << out_.str();
  }
  void expect_not_logged(const std::string& text) const {
    EXPECT_EQ(out_.str().find(text), std::string::npos) << text << "\n--- in ---\n" << out_.str();
  }

  std::ostringstream out_;
};

constexpr const char* kTarget = "arvex_core::custom_scheduler: ";

// ---------------------------------------------------------------------------------------------

struct AffinityCase {
  const char* name;
  std::set<WorkerRange> ranges;
  std::size_t total;
  std::vector<WorkerGroupConfig> groups;
  std::vector<std::string> logged;
  std::vector<std::string> not_logged;
};

class CustomSchedulerAffinityGroups : public CapturedLog {};

TEST_F(CustomSchedulerAffinityGroups, DerivesGlobalAndRangeGroups) {
  const AffinityCase cases[] = {
      {"no ranges", {}, 4, {{4, 0, 64}}, {"INFO arvex_core::custom_scheduler: configuring global worker group global_worker_count=4"},
       {"WARN", "configuring range group"}},
      {"ranges cover every worker",
       {WorkerRange{0, 2}, WorkerRange{2, 4}},
       4,
       {{0, 0, 64}, {2, 1, 64}, {2, 2, 64}},
       {"WARN arvex_core::custom_scheduler: all workers assigned to ranges; global tasks handled by range workers",
        "INFO arvex_core::custom_scheduler: configuring range group group_id=1 start=0 end=2",
        "INFO arvex_core::custom_scheduler: configuring range group group_id=2 start=2 end=4"},
       {"configuring global worker group"}},
      {"overlapping ranges count each covered worker once",
       {WorkerRange{0, 4}, WorkerRange{2, 6}},
       8,
       {{2, 0, 64}, {4, 1, 64}, {4, 2, 64}},
       {"configuring global worker group global_worker_count=2", "configuring range group group_id=1 start=0 end=4",
        "configuring range group group_id=2 start=2 end=6"},
       {"WARN"}},
  };
  for (const AffinityCase& c : cases) {
    SCOPED_TRACE(c.name);
    out_.str("");
    CustomSchedulerBuilder b = builder();
    b.add_group({9, 0, 64});  // replaced, not kept
    b.with_affinity_groups(WorkerAffinityConfig::from_worker_ranges(c.ranges, c.total), c.total);
    EXPECT_EQ(b.groups(), c.groups);
    for (const std::string& line : c.logged) expect_logged(line);
    for (const std::string& text : c.not_logged) expect_not_logged(text);
  }
}

// ---------------------------------------------------------------------------------------------

class CustomSchedulerBuild : public CapturedLog {};

// Ranges [0, 1) (group 1) and [0, 2) (group 2) over two workers: worker 0 lies in both and joins
// the lowest, worker 1 joins group 2, which therefore comes up one short. On a two-core machine
// only worker 0 is started and group 2 gets nobody.
TEST_F(CustomSchedulerBuild, AssignsWorkersToTheLowestGroupAndReportsShortGroups) {
  const CoreAllocation alloc = expected_allocation(2);
  const std::size_t workers = alloc.worker_threads;
  out_.str("");

  const auto scheduler =
      builder().with_affinity_groups(WorkerAffinityConfig::from_worker_ranges({WorkerRange{0, 1}, WorkerRange{0, 2}}, 2), 2).build();

  EXPECT_EQ(scheduler->group_count(), 3u);
  EXPECT_EQ(scheduler->thread_layout().worker_threads, workers);
  EXPECT_EQ(scheduler->main_core(), alloc.main_core);
  EXPECT_EQ(scheduler->worker_group(WorkerRangeSpec::range({0, 1})), 1u);
  EXPECT_EQ(scheduler->worker_group(WorkerRangeSpec::range({0, 2})), 2u);
  EXPECT_EQ(scheduler->worker_group(WorkerRangeSpec::range({1, 2})), 0u) << "a range outside the configuration";
  EXPECT_EQ(scheduler->worker_group(WorkerRangeSpec::count(2)), 0u);
  EXPECT_EQ(scheduler->worker_group(std::nullopt), 0u);

  const std::string t = kTarget;
  const std::string c0 = std::to_string(alloc.worker_core(0));
  expect_logged(t + "custom scheduler core allocation available_cores=" + std::to_string(alloc.available_cores) +
                " system_threads=1 system_core_start=" + std::to_string(alloc.system_core_start) + " receiver_threads=0");
  expect_logged(t + "worker-to-group assignment worker_id=0 group_idx=1 core=" + c0);
  expect_logged(t + "worker group ready group_idx=0 actual_workers=0 worker_ids=[] core_ids=[]");
  expect_logged(t + "worker group ready group_idx=1 actual_workers=1 worker_ids=[0] core_ids=[" + c0 + "]");
  if (workers >= 2) {
    const std::string c1 = std::to_string(alloc.worker_core(1));
    expect_logged(t + "worker-to-group assignment worker_id=1 group_idx=2 core=" + c1);
    expect_logged(t + "worker group ready group_idx=2 actual_workers=1 worker_ids=[1] core_ids=[" + c1 + "]");
    expect_logged(t + "worker count mismatch group_idx=2 expected=2 actual=1");
  } else {
    expect_logged(t + "worker group ready group_idx=2 actual_workers=0 worker_ids=[] core_ids=[]");
    expect_logged(t + "worker count mismatch group_idx=2 expected=2 actual=0");
  }
  expect_not_logged("mismatch group_idx=0");
  expect_not_logged("mismatch group_idx=1");
}

// ---------------------------------------------------------------------------------------------

struct OrderedSpawn {
  const char* name;
  std::size_t group;  // 1: the worker's own range group; 0: global
  std::size_t priority;
  bool typed;
};

// With the only worker busy, jobs are queued on all six channels in a scrambled order; once
// released, the worker must take them in its fixed polling order.
TEST(CustomSchedulerPolling, TakesOwnGroupFirstAndEveryLowJobLast) {
  const OrderedSpawn spawns[] = {
      {"own Low", 1, kPriorityLow, false},      {"global Low", 0, kPriorityLow, true},
      {"global High", 0, kPriorityHigh, false}, {"own Normal", 1, kPriorityNormal, true},
      {"global Normal", 0, kPriorityNormal, false}, {"own High", 1, kPriorityHigh, true},
  };
  std::mutex mutex;
  std::vector<std::string> order;
  Gate started;
  Gate release;
  const auto scheduler = range_worker();
  scheduler->set_node_executor([&](const NodeTaskDesc& desc) {
    std::lock_guard lock(mutex);
    order.emplace_back(spawns[desc.task.node_id].name);
  });

  scheduler->spawn_with_meta_priority(kPriorityHigh, 1, std::nullopt, [&] {
    started.open();
    release.wait();
  });
  ASSERT_TRUE(started.wait());
  for (std::uint16_t i = 0; i < std::size(spawns); ++i) {
    const OrderedSpawn& s = spawns[i];
    if (s.typed) {
      scheduler->spawn_node(s.group, s.priority, desc_for(0, 0, i));
    } else {
      scheduler->spawn_with_meta_priority(s.priority, s.group, std::nullopt, [&, name = s.name] {
        std::lock_guard lock(mutex);
        order.emplace_back(name);
      });
    }
  }
  release.open();
  ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == 7; }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(order, (std::vector<std::string>{"own High", "own Normal", "global High", "global Normal", "own Low",
                                             "global Low"}));
}

TEST(CustomSchedulerPolling, RangeWorkersAlsoRunGlobalJobs) {
  std::atomic<std::size_t> group_seen{kWorkerUnset};
  const auto scheduler = range_worker();
  for (std::size_t priority : {kPriorityHigh, kPriorityNormal, kPriorityLow}) {
    scheduler->spawn_with_meta_priority(priority, 0, std::nullopt,
                                        [&] { group_seen.store(WORKER_STATE.group_index, std::memory_order_relaxed); });
  }
  ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == 3; }));
  EXPECT_EQ(group_seen.load(std::memory_order_relaxed), 1u);
}

// ---------------------------------------------------------------------------------------------

class CustomSchedulerTyped : public CapturedLog {};

TEST_F(CustomSchedulerTyped, FirstExecutorGetsTheDescriptorWithItsJobId) {
  std::mutex mutex;
  std::vector<NodeTaskDesc> first;
  std::atomic<int> second_calls{0};
  const auto scheduler = global_worker();
  scheduler->set_node_executor([&](const NodeTaskDesc& desc) {
    std::lock_guard lock(mutex);
    first.push_back(desc);
  });
  scheduler->set_node_executor([&](const NodeTaskDesc&) { second_calls.fetch_add(1); });
  expect_logged("WARN arvex_core::custom_scheduler: node executor already installed; ignoring");

  scheduler->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt, [] {});  // takes job id 0
  NodeTaskDesc desc = desc_for(3, 7, 5, true);
  desc.job_id = 999;  // overwritten at spawn
  desc.enqueue_ns = 42;
  desc.task.generation = 11;
  desc.task.count = 4;
  scheduler->spawn_node(0, kPriorityLow, desc);

  ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == 2; }));
  desc.job_id = 1;
  std::lock_guard lock(mutex);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].task, desc.task);
  EXPECT_EQ(first[0].job_id, 1u);
  EXPECT_EQ(first[0].enqueue_ns, 42u);
  EXPECT_TRUE(first[0].record);
  EXPECT_EQ(second_calls.load(), 0);
}

TEST(CustomSchedulerTypedDrop, TaskWithoutExecutorIsCountedButNeverRun) {
  std::mutex mutex;
  std::vector<std::uint64_t> seen;
  const auto scheduler = global_worker();
  scheduler->spawn_node(0, kPriorityHigh, desc_for(0, 0, 0));
  ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == 1; }));
  scheduler->set_node_executor([&](const NodeTaskDesc& desc) {
    std::lock_guard lock(mutex);
    seen.push_back(desc.job_id);
  });
  scheduler->spawn_node(0, kPriorityHigh, desc_for(0, 0, 0));
  ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == 2; }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{1})) << "the dropped task is not replayed later";
}

// ---------------------------------------------------------------------------------------------

TEST(CustomSchedulerCounters, SpawnedMinusCompletedIsTheUnfinishedJobs) {
  Gate started;
  Gate release;
  const auto scheduler = global_worker();
  scheduler->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt, [&] {
    started.open();
    release.wait();
  });
  ASSERT_TRUE(started.wait());
  for (int i = 0; i < 4; ++i) scheduler->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt, [] {});
  scheduler->spawn_node(0, kPriorityNormal, desc_for(0, 0, 0));
  EXPECT_EQ(scheduler->total_spawned(), 6u);
  EXPECT_EQ(scheduler->total_completed(), 0u) << "the running job is not finished";
  release.open();
  ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == 6; }));
  EXPECT_EQ(scheduler->total_spawned(), 6u);
}

struct CsvRecord {
  std::uint64_t slot, job_id, start_ns, end_ns, worker, task_id, index;
};

// Reads a scheduler CSV; an empty result when the file is missing.
std::vector<CsvRecord> read_csv(const std::string& path, std::string& header) {
  std::vector<CsvRecord> records;
  std::ifstream in(path);
  std::getline(in, header);
  std::string line;
  while (std::getline(in, line)) {
    CsvRecord r{};
    char sep = 0;
    std::istringstream fields(line);
    fields >> r.slot >> sep >> r.job_id >> sep >> r.start_ns >> sep >> r.end_ns >> sep >> r.worker >> sep >> r.task_id >>
        sep >> r.index;
    EXPECT_TRUE(fields && fields.peek() == EOF) << line;
    records.push_back(r);
  }
  return records;
}

// Records need a record channel: with core numbers not starting at 0, the worker's producer
// number falls outside the recorder and its records are dropped by design.
bool records_reach_the_recorder() {
  const std::vector<std::size_t> cores = usable_cores();
  return !cores.empty() && cores.back() == cores.size() - 1;
}

std::string temp_csv(const char* name) { return testing::TempDir() + "custom_scheduler_" + name + ".csv"; }

// Spawners on three threads, boxed and typed mixed, every job recorded: the job ids in the
// records are exactly 0 .. N-1.
TEST(CustomSchedulerCounters, JobIdsAreUniqueAcrossConcurrentSpawners) {
  if (!records_reach_the_recorder()) GTEST_SKIP() << "usable cores are not numbered from 0";
  constexpr std::uint64_t kPerThread = 300;
  constexpr std::uint64_t kThreads = 3;
  const auto scheduler = global_worker(true);
  scheduler->set_node_executor([](const NodeTaskDesc&) {});
  std::vector<std::thread> spawners;
  for (std::uint64_t t = 0; t < kThreads; ++t) {
    spawners.emplace_back([&, t] {
      for (std::uint64_t i = 0; i < kPerThread; ++i) {
        if (i % 2 == 0) {
          scheduler->spawn_node(0, i % 3, desc_for(t, i, 1, true));
        } else {
          scheduler->spawn_with_meta_priority(i % 3, 0, TaskMeta{t, i, 2, true}, [] {});
        }
      }
    });
  }
  for (std::thread& t : spawners) t.join();
  constexpr std::uint64_t kTotal = kPerThread * kThreads;
  EXPECT_EQ(scheduler->total_spawned(), kTotal);
  ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == kTotal; }));

  const std::string path = temp_csv("ids");
  scheduler->write_record(path);
  std::string header;
  const std::vector<CsvRecord> records = read_csv(path, header);
  std::remove(path.c_str());
  std::vector<std::uint64_t> ids;
  for (const CsvRecord& r : records) ids.push_back(r.job_id);
  std::sort(ids.begin(), ids.end());
  std::vector<std::uint64_t> expected(kTotal);
  std::iota(expected.begin(), expected.end(), std::uint64_t{0});
  EXPECT_EQ(ids, expected);
}

// ---------------------------------------------------------------------------------------------

struct RecordCase {
  const char* name;
  bool typed;
  std::optional<TaskMeta> meta;  // boxed only
  bool desc_record;              // typed only
  bool recorded;
};

TEST(CustomSchedulerRecords, OnlyJobsAskingForARecordLeaveOne) {
  if (!records_reach_the_recorder()) GTEST_SKIP() << "usable cores are not numbered from 0";
  const RecordCase cases[] = {
      {"boxed, meta with record", false, TaskMeta{0, 0, 0, true}, false, true},
      {"boxed, meta without record", false, TaskMeta{0, 0, 0, false}, false, false},
      {"boxed, no meta", false, std::nullopt, false, false},
      {"typed with record", true, std::nullopt, true, true},
      {"typed without record", true, std::nullopt, false, false},
  };
  const std::size_t core = expected_allocation(1).worker_core(0);
  const auto scheduler = global_worker(true);
  scheduler->set_node_executor([](const NodeTaskDesc&) {});
  // Job i carries slot 10 + i, index 20 + i, task 30 + i, and gets job id i.
  for (std::uint16_t i = 0; i < std::size(cases); ++i) {
    const RecordCase& c = cases[i];
    if (c.typed) {
      scheduler->spawn_node(0, kPriorityNormal, desc_for(10u + i, 20u + i, static_cast<std::uint16_t>(30 + i), c.desc_record));
    } else {
      std::optional<TaskMeta> meta = c.meta;
      if (meta) *meta = TaskMeta{10u + i, 20u + i, static_cast<std::uint16_t>(30 + i), meta->record};
      scheduler->spawn_with_meta_priority(kPriorityNormal, 0, meta, [] {});
    }
  }
  ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == std::size(cases); }));

  const std::string path = temp_csv("records");
  scheduler->write_record(path);
  std::string header;
  const std::vector<CsvRecord> records = read_csv(path, header);
  std::remove(path.c_str());
  EXPECT_EQ(header, "slot,job_id,start_ns,end_ns,worker,task_id,index");
  for (std::uint64_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    const auto it = std::find_if(records.begin(), records.end(), [&](const CsvRecord& r) { return r.job_id == i; });
    ASSERT_EQ(it != records.end(), cases[i].recorded);
    if (it == records.end()) continue;
    EXPECT_EQ(it->slot, 10 + i);
    EXPECT_EQ(it->index, 20 + i);
    EXPECT_EQ(it->task_id, 30 + i);
    EXPECT_EQ(it->worker, core);
    EXPECT_LE(it->start_ns, it->end_ns);
  }
}

class CustomSchedulerRecorder : public CapturedLog {};

TEST_F(CustomSchedulerRecorder, RecordFlagDecidesWhichRecorderIsUsed) {
  const auto given = AsyncRecorder::create(4, 1000);
  {
    const auto off = builder(false).add_group({1, 0, 64}).set_recorder(given).build();
    EXPECT_EQ(off->recorder(), nullptr) << "recording off drops a recorder passed in";
    off->write_record(temp_csv("off"));
    EXPECT_FALSE(std::ifstream(temp_csv("off")).is_open()) << "no recorder, no file";
  }
  {
    const auto passed = builder(true).add_group({1, 0, 64}).set_recorder(given).build();
    EXPECT_EQ(passed->recorder(), given);
  }
  {
    const auto own = builder(true).add_group({1, 0, 64}).build();
    ASSERT_NE(own->recorder(), nullptr);
    const CoreAllocation alloc = expected_allocation(1);
    EXPECT_EQ(own->recorder()->producer_count(), alloc.worker_threads + alloc.system_threads + alloc.receiver_threads);
  }
  expect_not_logged("failed to write scheduler records");
}

TEST_F(CustomSchedulerRecorder, WriteFailureIsLoggedNotRaised) {
  if (!records_reach_the_recorder()) GTEST_SKIP() << "usable cores are not numbered from 0";
  const auto scheduler = global_worker(true);
  scheduler->spawn_with_meta_priority(kPriorityNormal, 0, TaskMeta{1, 2, 3, true}, [] {});
  ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == 1; }));
  scheduler->write_record(testing::TempDir() + "no-such-dir/records.csv");
  expect_logged("WARN arvex_core::custom_scheduler: failed to write scheduler records error=No such file or directory");
}

// ---------------------------------------------------------------------------------------------

TEST(CustomSchedulerLifecycle, WorkerIsPinnedNamedAndIdentified) {
  struct Seen {
    std::size_t cpus = 0;
    std::size_t cpu = kWorkerUnset;
    std::size_t worker_id = kWorkerUnset;
    std::size_t worker_index = kWorkerUnset;
    WorkerState state;
    std::string name;
  };
  Seen seen;
  Gate done;
  const CoreAllocation alloc = expected_allocation(1);
  const auto scheduler = global_worker();
  scheduler->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt, [&] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
      seen.cpus = static_cast<std::size_t>(CPU_COUNT(&set));
      for (std::size_t c = 0; c < CPU_SETSIZE; ++c) {
        if (CPU_ISSET(c, &set)) seen.cpu = c;
      }
    }
    seen.worker_id = WORKER_ID;
    seen.worker_index = WORKER_INDEX;
    seen.state = WORKER_STATE;
    char name[16] = {};
    ::pthread_getname_np(::pthread_self(), name, sizeof(name));
    seen.name = name;
    done.open();
  });
  ASSERT_TRUE(done.wait());
  const std::size_t core = alloc.worker_core(0);
  EXPECT_EQ(seen.cpus, 1u);
  EXPECT_EQ(seen.cpu, core);
  EXPECT_EQ(seen.worker_id, core);
  EXPECT_EQ(seen.worker_index, 0u);
  EXPECT_EQ(seen.state.worker_id, 0u);
  EXPECT_EQ(seen.state.group_index, 0u);
  EXPECT_EQ(seen.state.core, core);
  EXPECT_EQ(seen.name, "worker-0");

  const ThreadLayout layout = scheduler->thread_layout();
  EXPECT_EQ(layout.worker_threads, 1u);
  EXPECT_EQ(layout.system_threads, alloc.system_threads);
  EXPECT_EQ(layout.system_core_start, alloc.system_core_start);
  EXPECT_EQ(layout.receiver_threads, 0u);
  EXPECT_EQ(layout.receiver_core_start, alloc.receiver_core_start);
  EXPECT_EQ(scheduler->main_core(), alloc.main_core);
  EXPECT_EQ(scheduler->group_count(), 1u);
  EXPECT_EQ(scheduler->worker_group(WorkerRangeSpec::range({0, 1})), 0u) << "no affinity: everything is global";
}

// Two workers must both run jobs (each job waits until both have started), each on its own core.
TEST(CustomSchedulerLifecycle, EveryWorkerHasItsOwnCore) {
  const CoreAllocation alloc = expected_allocation(2);
  if (alloc.worker_threads < 2) GTEST_SKIP() << "needs at least three cores";
  std::mutex mutex;
  std::set<std::size_t> cores;
  std::atomic<int> running{0};
  const auto scheduler = builder().add_group({2, 0, 64}).build();
  for (int i = 0; i < 2; ++i) {
    scheduler->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt, [&] {
      running.fetch_add(1);
      eventually([&] { return running.load() == 2; });
      std::lock_guard lock(mutex);
      cores.insert(static_cast<std::size_t>(::sched_getcpu()));
    });
  }
  ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == 2; }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(cores, (std::set<std::size_t>{alloc.worker_core(0), alloc.worker_core(1)}));
}

// The destructor must wake parked workers and join them; a hang is caught by the guard.
TEST(CustomSchedulerLifecycle, ShutdownJoinsIdleWorkers) {
  auto scheduler = range_worker();
  scheduler->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt, [] {});
  ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == 1; }));
  std::this_thread::sleep_for(2ms);  // long enough for the worker to park
  std::promise<void> joined;
  auto joined_future = joined.get_future();
  std::thread destroyer([&joined, s = std::move(scheduler)]() mutable {
    s.reset();
    joined.set_value();
  });
  if (joined_future.wait_for(kGuard) != std::future_status::ready) {
    destroyer.detach();
    FAIL() << "shutdown did not join the workers";
  }
  destroyer.join();
}

// A group without workers (here group 2, all of whose workers joined group 1) would never run
// its jobs: they go to the global channels instead, and the lifetime of what they hold ends
// with the job.
TEST(CustomSchedulerLifecycle, JobsForAGroupWithoutWorkersRunOnTheGlobalChannels) {
  auto token = std::make_shared<int>(0);
  std::atomic<bool> ran{false};
  {
    const auto scheduler =
        builder().with_affinity_groups(WorkerAffinityConfig::from_worker_ranges({WorkerRange{0, 2}, WorkerRange{1, 2}}, 2), 2).build();
    scheduler->spawn_with_meta_priority(kPriorityHigh, 2, std::nullopt, [&ran, held = token] { ran.store(true); });
    scheduler->spawn_with_meta_priority(kPriorityNormal, 1, std::nullopt, [] {});
    ASSERT_TRUE(eventually([&] { return scheduler->total_completed() == 2; }));
    EXPECT_EQ(scheduler->total_spawned(), 2u);
  }
  EXPECT_TRUE(ran.load());
  EXPECT_EQ(token.use_count(), 1);
}

TEST(CustomSchedulerDeath, BrokenContractsStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const auto scheduler = global_worker();
        scheduler->spawn_with_meta_priority(kPriorityNormal, 0, std::nullopt, [] { throw std::runtime_error("boom"); });
        std::this_thread::sleep_for(kGuard);
      },
      testing::ExitedWithCode(101), "arvex: fatal: job panicked: boom");
  EXPECT_EXIT(global_worker()->spawn_node(0, 3, desc_for(0, 0, 0)), testing::ExitedWithCode(101),
              "invalid job priority 3");
  // Over-subscription grants at least one worker; with no group to put it in, it is not started.
  EXPECT_EXIT(CustomSchedulerBuilder(std::chrono::steady_clock::now(), 0, usable_cores().size() + 1, 0, false).build(),
              testing::ExitedWithCode(101), "Worker assignment mismatch: 0 assigned, [0-9]+ expected");
}

}  // namespace
}  // namespace arvex
