// Pool scheduler: job ids across concurrent spawners, the spawned/completed counters, which jobs
// leave records, recorder choice and write_record's log events, core allocation and pinning.
// The pools here use the cores this machine has; cases that need more are skipped.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <numeric>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "logging/log.hpp"
#include "placement/core_allocation.hpp"
#include "scheduling/pool_scheduler.hpp"
#include "scheduling/worker_identity.hpp"

namespace arvex {
namespace {

using namespace std::chrono_literals;

constexpr auto kGuard = 10s;  // a failure guard only

bool wait_until(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kGuard;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100us);
  }
  return true;
}

const std::vector<std::size_t>& machine_cores() {
  static const std::vector<std::size_t> cores = usable_cores();
  return cores;
}

// One system core and one worker core, no main core: fits the smallest machine the runtime
// accepts (two cores).
PoolScheduler::Options small_options(bool fifo = false) {
  PoolScheduler::Options options;
  options.fifo = fifo;
  options.core_offset = 0;
  options.workers = 1;
  options.system_threads = 1;
  options.receiver_threads = 0;
  options.epoch = std::chrono::steady_clock::now();
  return options;
}

std::filesystem::path temp_csv(const std::string& name) {
  return std::filesystem::temp_directory_path() / ("arvex_" + name + "_" + std::to_string(::getpid()) + ".csv");
}

// The records of a scheduler CSV, header checked.
std::vector<Record> read_records(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "slot,job_id,start_ns,end_ns,worker,task_id,index");
  std::vector<Record> records;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::uint64_t> v;
    for (std::string cell; std::getline(fields, cell, ',');) v.push_back(std::stoull(cell));
    EXPECT_EQ(v.size(), 7u) << line;
    if (v.size() != 7) continue;
    records.push_back(Record{v[0], v[1], v[2], v[3], v[4], static_cast<std::uint16_t>(v[5]), v[6]});
  }
  return records;
}

class PoolSchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (machine_cores().size() < 2) GTEST_SKIP() << "needs two usable cores";
  }
  void TearDown() override {
    if (!csv_.empty()) std::filesystem::remove(csv_);
  }

  // Skips when the worker's record producer (core − system_core_start) falls outside the
  // recorder, as it does when the usable cores do not start at 0.
  void skip_unless_worker_records(const PoolScheduler& scheduler) {
    const CoreAllocation& a = scheduler.core_allocation();
    if (a.worker_core(0) - a.system_core_start >= scheduler.recorder()->producer_count()) {
      GTEST_SKIP() << "the worker core gets no record producer on this core layout";
    }
  }

  // Writes and parses the scheduler's records.
  std::vector<Record> written_records(PoolScheduler& scheduler) {
    csv_ = temp_csv("pool_records");
    scheduler.write_record(csv_.string());
    return read_records(csv_);
  }

  std::filesystem::path csv_;
};

// ---------------------------------------------------------------------------------------------

class PoolSchedulerModes : public PoolSchedulerTest, public ::testing::WithParamInterface<bool> {};

// Outside spawner threads and jobs that spawn a successor from their pool thread, all at once:
// the recorded job ids are exactly 0 .. N − 1, each with its own metadata and worker core.
TEST_P(PoolSchedulerModes, JobIdsAreDenseAndUniqueAcrossConcurrentSpawners) {
  constexpr std::uint64_t kSpawners = 3;
  constexpr std::uint64_t kPerSpawner = 100;
  constexpr std::uint64_t kTotal = kSpawners * kPerSpawner * 2;  // each job spawns one successor
  PoolScheduler::Options options = small_options(GetParam());
  options.record = true;
  PoolScheduler scheduler(options);
  skip_unless_worker_records(scheduler);

  std::vector<std::thread> spawners;
  for (std::uint64_t s = 0; s < kSpawners; ++s) {
    spawners.emplace_back([&scheduler, s] {
      for (std::uint64_t i = 0; i < kPerSpawner; ++i) {
        // slot = spawner, index = position; the successor is marked with task id 1.
        scheduler.spawn_task_with_meta(TaskMeta{s, i, 0, true}, [&scheduler, s, i] {
          scheduler.spawn_task_with_meta(TaskMeta{s, i, 1, true}, [] {});
        });
      }
    });
  }
  for (auto& spawner : spawners) spawner.join();
  ASSERT_TRUE(wait_until([&] { return scheduler.total_completed() == kTotal; }));
  EXPECT_EQ(scheduler.total_spawned(), kTotal);

  const std::vector<Record> records = written_records(scheduler);
  ASSERT_EQ(records.size(), kTotal);
  std::vector<std::uint64_t> ids;
  std::set<std::tuple<std::uint64_t, std::uint64_t, std::uint16_t>> metas;
  const std::size_t worker_core = scheduler.core_allocation().worker_core(0);
  for (const Record& r : records) {
    ids.push_back(r.job_id);
    metas.emplace(r.slot, r.index, r.task_id);
    EXPECT_EQ(r.worker, worker_core);
    EXPECT_LE(r.start_ns, r.end_ns);
  }
  std::sort(ids.begin(), ids.end());
  std::vector<std::uint64_t> expected(kTotal);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(metas.size(), kTotal) << "a job's metadata was recorded twice or lost";
}

// Jobs held on a gate: spawned − completed is the number of jobs whose body has not returned,
// counting the running one.
TEST_P(PoolSchedulerModes, SpawnedMinusCompletedCountsUnfinishedJobs) {
  constexpr std::uint64_t kJobs = 5;
  PoolScheduler scheduler(small_options(GetParam()));
  std::atomic<int> permits{0};
  std::atomic<std::uint64_t> started{0};
  for (std::uint64_t i = 0; i < kJobs; ++i) {
    scheduler.spawn_task_with_meta(std::nullopt, [&] {
      started.fetch_add(1);
      wait_until([&] {
        int p = permits.load();
        return p > 0 && permits.compare_exchange_strong(p, p - 1);
      });
    });
  }
  ASSERT_TRUE(wait_until([&] { return started.load() == 1; }));
  EXPECT_EQ(scheduler.total_spawned(), kJobs);
  EXPECT_EQ(scheduler.total_completed(), 0u) << "a running job counted as completed";

  permits.store(2);
  ASSERT_TRUE(wait_until([&] { return scheduler.total_completed() == 2; }));
  EXPECT_EQ(scheduler.total_spawned() - scheduler.total_completed(), kJobs - 2);

  permits.store(static_cast<int>(kJobs - 2));
  ASSERT_TRUE(wait_until([&] { return scheduler.total_completed() == kJobs; }));
  EXPECT_EQ(scheduler.total_spawned(), kJobs);
}

INSTANTIATE_TEST_SUITE_P(PoolScheduler, PoolSchedulerModes, ::testing::Values(false, true),
                         [](const auto& p) { return std::string(p.param ? "Fifo" : "Default"); });

// ---------------------------------------------------------------------------------------------

// Only jobs with metadata whose `record` is set leave a record; the others are still counted.
TEST_F(PoolSchedulerTest, OnlyJobsWithMetaAndRecordSetAreRecorded) {
  struct Kind {
    std::optional<TaskMeta> meta;
    bool recorded;
  };
  const std::vector<Kind> kinds = {
      {std::nullopt, false},
      {TaskMeta{10, 1, 7, false}, false},
      {TaskMeta{20, 2, 8, true}, true},
  };
  constexpr int kEach = 5;
  PoolScheduler::Options options = small_options();
  options.record = true;
  PoolScheduler scheduler(options);
  skip_unless_worker_records(scheduler);

  for (int i = 0; i < kEach; ++i) {
    for (const Kind& kind : kinds) scheduler.spawn_task_with_meta(kind.meta, [] {});
  }
  const std::uint64_t total = kEach * kinds.size();
  ASSERT_TRUE(wait_until([&] { return scheduler.total_completed() == total; }));
  EXPECT_EQ(scheduler.total_spawned(), total);

  const std::vector<Record> records = written_records(scheduler);
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kEach));
  for (const Record& r : records) {
    EXPECT_EQ(r.slot, 20u);
    EXPECT_EQ(r.index, 2u);
    EXPECT_EQ(r.task_id, 8);
  }
}

// ---------------------------------------------------------------------------------------------

// Captures the scheduler's log events at DEBUG level.
class PoolSchedulerLogTest : public PoolSchedulerTest {
 protected:
  void SetUp() override {
    PoolSchedulerTest::SetUp();
    if (IsSkipped()) return;
    if (const char* filter = std::getenv("RUST_LOG")) saved_filter_ = filter;
    ::unsetenv("RUST_LOG");
    ASSERT_TRUE(log::install_logger({log::Level::Debug, false, &log_}).has_value());
    installed_ = true;
  }
  void TearDown() override {
    if (installed_) log::uninstall_logger();
    if (saved_filter_) ::setenv("RUST_LOG", saved_filter_->c_str(), 1);
    PoolSchedulerTest::TearDown();
  }

  // The captured line with this level and message, or an empty text.
  std::string line_with(const std::string& level, const std::string& message) const {
    std::istringstream lines(log_.str());
    for (std::string line; std::getline(lines, line);) {
      if (line.find(level + " arvex_core::scheduler: " + message) != std::string::npos) return line;
    }
    return {};
  }

  std::ostringstream log_;
  bool installed_ = false;
  std::optional<std::string> saved_filter_;
};

TEST_F(PoolSchedulerLogTest, ConstructionLogsTheAllocationAndEachWorkersCore) {
  PoolScheduler scheduler(small_options());
  const CoreAllocation& a = scheduler.core_allocation();
  const std::string allocation = line_with(" INFO", "core allocation");
  ASSERT_FALSE(allocation.empty()) << log_.str();
  const std::string fields = " available_cores=" + std::to_string(a.available_cores) +
                             " system_threads=1 system_core_start=0 receiver_threads=0 receiver_core_start=1" +
                             " worker_threads=1 worker_core_start=1 main_core=None";
  EXPECT_NE(allocation.find(fields), std::string::npos) << allocation;
  const std::string assignment = line_with("DEBUG", "worker core assignment");
  EXPECT_NE(assignment.find(" worker=0 core=" + std::to_string(a.worker_core(0))), std::string::npos) << assignment;
}

struct RecorderCase {
  const char* name;
  bool record;
  bool pass_recorder;
};

void PrintTo(const RecorderCase& c, std::ostream* os) { *os << c.name; }

class PoolSchedulerRecorderChoice : public PoolSchedulerLogTest, public ::testing::WithParamInterface<RecorderCase> {};

// A recorder is used only with `record`; without one, write_record logs and writes no file.
TEST_P(PoolSchedulerRecorderChoice, RecorderIsUsedOnlyWhenRecording) {
  const RecorderCase& c = GetParam();
  PoolScheduler::Options options = small_options();
  options.record = c.record;
  options.receiver_threads = 1;  // counted in an own recorder's producers even when not granted
  if (c.pass_recorder) options.recorder = AsyncRecorder::create(2, 100);
  PoolScheduler scheduler(options);

  if (!c.record) {
    EXPECT_EQ(scheduler.recorder(), nullptr);
    const std::filesystem::path csv = temp_csv("pool_no_recorder");
    scheduler.write_record(csv.string());
    EXPECT_FALSE(line_with("DEBUG", "recorder not enabled").empty()) << log_.str();
    EXPECT_FALSE(std::filesystem::exists(csv));
  } else if (c.pass_recorder) {
    EXPECT_EQ(scheduler.recorder(), options.recorder);
  } else {
    ASSERT_NE(scheduler.recorder(), nullptr);
    EXPECT_EQ(scheduler.recorder()->producer_count(), options.workers + options.system_threads + options.receiver_threads);
  }
}

INSTANTIATE_TEST_SUITE_P(PoolScheduler, PoolSchedulerRecorderChoice,
                         ::testing::Values(RecorderCase{"NoRecordNoRecorder", false, false},
                                           RecorderCase{"NoRecordIgnoresGivenRecorder", false, true},
                                           RecorderCase{"RecordUsesGivenRecorder", true, true},
                                           RecorderCase{"RecordCreatesOwnRecorder", true, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(PoolSchedulerLogTest, WriteFailureIsLoggedNotRaised) {
  PoolScheduler::Options options = small_options();
  options.record = true;
  PoolScheduler scheduler(options);
  skip_unless_worker_records(scheduler);
  scheduler.spawn_task_with_meta(TaskMeta{1, 2, 3, true}, [] {});
  ASSERT_TRUE(wait_until([&] { return scheduler.total_completed() == 1; }));

  scheduler.write_record("/nonexistent-arvex-dir/records.csv");
  const std::string warning = line_with(" WARN", "failed to write records");
  ASSERT_FALSE(warning.empty()) << log_.str();
  EXPECT_NE(warning.find(" error=No such file or directory"), std::string::npos) << warning;
}

// ---------------------------------------------------------------------------------------------

struct LayoutCase {
  const char* name;
  std::size_t core_offset, system_threads, workers;
  // The expectations below hold on machines with this many usable cores.
  std::size_t min_cores, max_cores;
  std::optional<std::size_t> main_position;  // positions in the sorted usable cores
  std::size_t system_position;
  std::vector<std::size_t> worker_positions;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class PoolSchedulerPinning : public PoolSchedulerTest, public ::testing::WithParamInterface<LayoutCase> {};

// Each pool thread is pinned to its worker core and carries that core and its index as its
// identity; the layout and main core come from the allocation.
TEST_P(PoolSchedulerPinning, EachPoolThreadIsPinnedToItsWorkerCore) {
  const LayoutCase& c = GetParam();
  const std::vector<std::size_t>& cores = machine_cores();
  if (cores.size() < c.min_cores || cores.size() > c.max_cores) {
    GTEST_SKIP() << "expectations are for " << c.min_cores << " to " << c.max_cores << " cores";
  }
  PoolScheduler::Options options = small_options();
  options.core_offset = c.core_offset;
  options.system_threads = c.system_threads;
  options.workers = c.workers;
  PoolScheduler scheduler(options);

  const std::size_t workers = c.worker_positions.size();
  EXPECT_EQ(scheduler.main_core(), c.main_position ? std::optional(cores[*c.main_position]) : std::nullopt);
  const ThreadLayout layout = scheduler.thread_layout();
  EXPECT_EQ(layout.worker_threads, workers);
  EXPECT_EQ(layout.system_threads, c.system_threads);
  EXPECT_EQ(layout.system_core_start, c.system_position);
  EXPECT_EQ(layout.receiver_threads, 0u);
  EXPECT_EQ(layout.receiver_core_start, c.system_position + c.system_threads);

  // One job per thread, each held until all have started, so every thread runs exactly one.
  struct Seen {
    std::size_t worker_id, worker_index;
    int cpu;
    std::vector<std::size_t> affinity;
  };
  std::mutex mutex;
  std::vector<Seen> seen;
  std::atomic<std::size_t> arrived{0};
  for (std::size_t i = 0; i < workers; ++i) {
    scheduler.spawn_task_with_meta(std::nullopt, [&] {
      cpu_set_t set;
      CPU_ZERO(&set);
      ::sched_getaffinity(0, sizeof set, &set);
      std::vector<std::size_t> affinity;
      for (std::size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) affinity.push_back(cpu);
      }
      {
        std::lock_guard lock(mutex);
        seen.push_back({WORKER_ID, WORKER_INDEX, ::sched_getcpu(), std::move(affinity)});
      }
      arrived.fetch_add(1);
      wait_until([&] { return arrived.load() == workers; });
    });
  }
  ASSERT_TRUE(wait_until([&] { return scheduler.total_completed() == workers; }));

  std::sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) { return a.worker_index < b.worker_index; });
  ASSERT_EQ(seen.size(), workers);
  for (std::size_t i = 0; i < workers; ++i) {
    const std::size_t core = cores[c.worker_positions[i]];
    EXPECT_EQ(seen[i].worker_index, i);
    EXPECT_EQ(seen[i].worker_id, core) << "worker " << i;
    EXPECT_EQ(seen[i].affinity, std::vector<std::size_t>{core}) << "worker " << i;
    EXPECT_EQ(seen[i].cpu, static_cast<int>(core)) << "worker " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    PoolScheduler, PoolSchedulerPinning,
    ::testing::Values(
        // offset + requested = available: no main core, system core first, the worker after it.
        LayoutCase{"TwoCoresOneWorker", 0, 1, 1, 2, 2, std::nullopt, 0, {1}},
        // Room for a main core: main, then the system core, then three workers.
        LayoutCase{"MainCoreThenSystemThenThreeWorkers", 1, 1, 3, 7, 1024, 1, 2, {3, 4, 5}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace arvex
