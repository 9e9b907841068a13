// Work-stealing pool: start handlers, that every job runs exactly once, the order in which one
// thread's spawns start, stealing from a busy owner, sleeping and waking, shutdown with queued
// jobs, fatal faults; and the Chase–Lev deque underneath.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "scheduling/chase_lev_deque.hpp"
#include "scheduling/work_stealing_pool.hpp"

namespace arvex {
namespace {

using namespace std::chrono_literals;

// A failure guard only: passing runs take milliseconds.
constexpr auto kGuard = 10s;
// Sleeping threads never wake by themselves in these pools, so a missing wake-up shows as a
// job that does not run before kGuard.
constexpr auto kNoParkTimeout = std::chrono::hours(1);
// Long enough for idle threads to have finished spinning and gone to sleep.
constexpr auto kLetThreadsPark = 50ms;
constexpr std::size_t kUnset = static_cast<std::size_t>(-1);

// Set by the start handlers of these tests.
thread_local std::size_t POOL_INDEX = kUnset;

bool wait_until(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kGuard;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100us);
  }
  return true;
}

enum class Mode { Default, Fifo };

std::string mode_name(Mode mode) { return mode == Mode::Fifo ? "Fifo" : "Default"; }
void PrintTo(Mode mode, std::ostream* os) { *os << mode_name(mode); }

void spawn_with(WorkStealingPool& pool, Mode mode, UniqueJob job) {
  if (mode == Mode::Fifo) {
    pool.spawn_fifo(std::move(job));
  } else {
    pool.spawn(std::move(job));
  }
}

void remember_index(std::size_t index) { POOL_INDEX = index; }

// ---------------------------------------------------------------------------------------------

class WorkStealingPoolThreads : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WorkStealingPoolThreads, StartHandlerRunsOncePerThreadBeforeItsJobs) {
  const std::size_t threads = GetParam();
  std::mutex mutex;
  std::vector<std::size_t> indexes;
  WorkStealingPool pool(threads, [&](std::size_t index) {
    std::lock_guard lock(mutex);
    indexes.push_back(index);
    POOL_INDEX = index;
  });

  // The constructor has returned, so every handler has run.
  {
    std::lock_guard lock(mutex);
    std::vector<std::size_t> expected(threads);
    std::iota(expected.begin(), expected.end(), 0);
    std::sort(indexes.begin(), indexes.end());
    EXPECT_EQ(indexes, expected);
  }
  EXPECT_EQ(pool.thread_count(), threads);

  // A job sees the index its thread's handler set.
  constexpr int kJobs = 64;
  std::atomic<int> finished{0};
  std::atomic<int> without_index{0};
  for (int i = 0; i < kJobs; ++i) {
    pool.spawn([&] {
      if (POOL_INDEX >= threads) without_index.fetch_add(1);
      finished.fetch_add(1);
    });
  }
  ASSERT_TRUE(wait_until([&] { return finished.load() == kJobs; }));
  EXPECT_EQ(without_index.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(WorkStealingPool, WorkStealingPoolThreads, ::testing::Values(1, 2, 4),
                         [](const auto& p) { return std::to_string(p.param) + "Threads"; });

// ---------------------------------------------------------------------------------------------

class WorkStealingPoolRunsOnce : public ::testing::TestWithParam<std::tuple<std::size_t, Mode>> {};

// Outside spawners and a tree of nested spawns from pool threads, all at once: every job runs
// exactly once.
TEST_P(WorkStealingPoolRunsOnce, EveryJobRunsExactlyOnce) {
  const auto [threads, mode] = GetParam();
  constexpr std::size_t kOutsideSpawners = 2;
  constexpr std::size_t kOutsideJobs = 1000;  // per spawner
  constexpr std::size_t kFanOut = 4;
  constexpr std::size_t kDepth = 4;  // 4 + 16 + 64 + 256 nested jobs under one root
  constexpr std::size_t kTreeJobs = 1 + 4 + 16 + 64 + 256;
  constexpr std::size_t kTotal = kOutsideSpawners * kOutsideJobs + kTreeJobs;

  std::vector<std::atomic<int>> runs(kTotal);
  std::atomic<std::size_t> next_tree_id{kOutsideSpawners * kOutsideJobs};
  std::atomic<std::size_t> finished{0};
  WorkStealingPool pool(threads, remember_index);

  std::function<void(std::size_t, std::size_t)> tree_job = [&](std::size_t id, std::size_t depth) {
    runs[id].fetch_add(1);
    if (depth < kDepth) {
      for (std::size_t c = 0; c < kFanOut; ++c) {
        const std::size_t child = next_tree_id.fetch_add(1);
        spawn_with(pool, mode, [&tree_job, child, depth] { tree_job(child, depth + 1); });
      }
    }
    finished.fetch_add(1);
  };
  const std::size_t root = next_tree_id.fetch_add(1);
  spawn_with(pool, mode, [&tree_job, root] { tree_job(root, 0); });

  std::vector<std::thread> spawners;
  for (std::size_t s = 0; s < kOutsideSpawners; ++s) {
    spawners.emplace_back([&, s] {
      for (std::size_t i = 0; i < kOutsideJobs; ++i) {
        const std::size_t id = s * kOutsideJobs + i;
        spawn_with(pool, mode, [&runs, &finished, id] {
          runs[id].fetch_add(1);
          finished.fetch_add(1);
        });
      }
    });
  }
  for (auto& spawner : spawners) spawner.join();

  ASSERT_TRUE(wait_until([&] { return finished.load() == kTotal; })) << finished.load() << " of " << kTotal;
  EXPECT_EQ(next_tree_id.load(), kTotal);
  for (std::size_t id = 0; id < kTotal; ++id) ASSERT_EQ(runs[id].load(), 1) << "job " << id;
}

INSTANTIATE_TEST_SUITE_P(WorkStealingPool, WorkStealingPoolRunsOnce,
                         ::testing::Combine(::testing::Values(1, 2, 4), ::testing::Values(Mode::Default, Mode::Fifo)),
                         [](const auto& p) {
                           return std::to_string(std::get<0>(p.param)) + "Threads" + mode_name(std::get<1>(p.param));
                         });

// ---------------------------------------------------------------------------------------------

struct OrderCase {
  const char* name;
  Mode mode;
  bool from_pool_thread;
  bool newest_first;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class WorkStealingPoolOrder : public ::testing::TestWithParam<OrderCase> {};

// With one thread nothing steals, so the start order is exactly the queue's order.
TEST_P(WorkStealingPoolOrder, OneThreadStartsJobsInQueueOrder) {
  const OrderCase& c = GetParam();
  constexpr int kJobs = 100;
  std::vector<int> order;  // written by the one pool thread only
  std::atomic<int> finished{0};
  WorkStealingPool pool(1, remember_index);

  auto spawn_all = [&] {
    for (int i = 0; i < kJobs; ++i) {
      spawn_with(pool, c.mode, [&order, &finished, i] {
        order.push_back(i);
        finished.fetch_add(1);
      });
    }
  };
  if (c.from_pool_thread) {
    pool.spawn(spawn_all);
  } else {
    spawn_all();
  }
  ASSERT_TRUE(wait_until([&] { return finished.load() == kJobs; }));

  std::vector<int> expected(kJobs);
  std::iota(expected.begin(), expected.end(), 0);
  if (c.newest_first) std::reverse(expected.begin(), expected.end());
  EXPECT_EQ(order, expected);
}

INSTANTIATE_TEST_SUITE_P(WorkStealingPool, WorkStealingPoolOrder,
                         ::testing::Values(OrderCase{"DefaultFromPoolThreadNewestFirst", Mode::Default, true, true},
                                           OrderCase{"FifoFromPoolThreadInSpawnOrder", Mode::Fifo, true, false},
                                           OrderCase{"DefaultFromOutsideInSpawnOrder", Mode::Default, false, false},
                                           OrderCase{"FifoFromOutsideInSpawnOrder", Mode::Fifo, false, false}),
                         [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------------------------

class WorkStealingPoolSteal : public ::testing::TestWithParam<Mode> {};

// Both threads sleep; an outside spawn wakes one, whose job queues a child on its own thread's
// local queue and then blocks until the child has run. Only the other thread can run it: it
// must be woken by that local spawn and steal the child.
TEST_P(WorkStealingPoolSteal, SleepingThreadWakesAndStealsFromABlockedOwner) {
  const Mode mode = GetParam();
  WorkStealingPool pool(2, remember_index, kNoParkTimeout);
  std::this_thread::sleep_for(kLetThreadsPark);

  std::atomic<std::size_t> parent_thread{kUnset};
  std::atomic<std::size_t> child_thread{kUnset};
  std::atomic<bool> parent_done{false};
  pool.spawn([&] {
    parent_thread.store(POOL_INDEX);
    spawn_with(pool, mode, [&] { child_thread.store(POOL_INDEX); });
    wait_until([&] { return child_thread.load() != kUnset; });
    parent_done.store(true);
  });

  ASSERT_TRUE(wait_until([&] { return parent_done.load(); }));
  ASSERT_NE(child_thread.load(), kUnset) << "the child was not stolen while its owner was blocked";
  EXPECT_NE(child_thread.load(), parent_thread.load());
}

INSTANTIATE_TEST_SUITE_P(WorkStealingPool, WorkStealingPoolSteal, ::testing::Values(Mode::Default, Mode::Fifo),
                         [](const auto& p) { return mode_name(p.param); });

TEST(WorkStealingPool, SleepingThreadWakesForEachOutsideSpawn) {
  WorkStealingPool pool(1, remember_index, kNoParkTimeout);
  for (Mode mode : {Mode::Default, Mode::Fifo, Mode::Default}) {
    std::this_thread::sleep_for(kLetThreadsPark);
    std::atomic<bool> ran{false};
    spawn_with(pool, mode, [&] { ran.store(true); });
    ASSERT_TRUE(wait_until([&] { return ran.load(); })) << mode_name(mode);
  }
}

// ---------------------------------------------------------------------------------------------

// Jobs queued in each of the three places when the pool goes away are destroyed, never run,
// and the thread finishes its current job before it is joined.
TEST(WorkStealingPool, DestructionDropsQueuedJobsUnrunAndJoins) {
  constexpr int kPerQueue = 10;
  auto pool = std::make_unique<WorkStealingPool>(1, remember_index);
  auto capture = std::make_shared<int>(0);  // copied into every queued job
  std::atomic<int> ran{0};
  std::atomic<bool> local_queued{false};
  std::atomic<bool> blocker_done{false};

  auto queued_job = [capture, &ran] { ran.fetch_add(1); };
  WorkStealingPool* raw = pool.get();
  pool->spawn([&, raw] {
    for (int i = 0; i < kPerQueue; ++i) {
      raw->spawn(queued_job);       // this thread's deque
      raw->spawn_fifo(queued_job);  // this thread's FIFO queue
    }
    local_queued.store(true);
    wait_until([raw] { return raw->stop_requested(); });
    blocker_done.store(true);
  });
  ASSERT_TRUE(wait_until([&] { return local_queued.load(); }));
  for (int i = 0; i < kPerQueue; ++i) pool->spawn(queued_job);  // the global queue

  pool.reset();
  EXPECT_TRUE(blocker_done.load()) << "the running job was not finished before the join";
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(capture.use_count(), 2) << "queued jobs were not destroyed";  // `capture` and `queued_job`
}

TEST(WorkStealingPoolDeathTest, FatalFaultsStopTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(WorkStealingPool(0, nullptr), ::testing::ExitedWithCode(101), "thread pool needs at least one thread");
  EXPECT_EXIT(
      {
        WorkStealingPool pool(1, nullptr);
        pool.spawn([] { throw std::runtime_error("boom"); });
        std::this_thread::sleep_for(kGuard);
      },
      ::testing::ExitedWithCode(101), "job panicked: boom");
}

// ---------------------------------------------------------------------------------------------

using IntDeque = detail::ChaseLevDeque<std::shared_ptr<int>>;

// Growth from a two-slot ring keeps every item, steals come oldest first, takes newest first,
// and items still queued when the deque dies are freed.
TEST(WorkStealingPoolDeque, GrowsKeepingOrderAndFreesLeftovers) {
  constexpr int kItems = 100;
  constexpr int kEachEnd = 10;
  auto token = std::make_shared<int>(-1);
  std::vector<int> stolen, taken;
  {
    IntDeque deque(2);
    for (int i = 0; i < kItems; ++i) deque.push(std::make_unique<std::shared_ptr<int>>(std::make_shared<int>(i)));
    for (int i = 0; i < kEachEnd; ++i) {
      stolen.push_back(**deque.steal());
      taken.push_back(**deque.take());
    }
    deque.push(std::make_unique<std::shared_ptr<int>>(token));
    EXPECT_EQ(token.use_count(), 2);
  }
  EXPECT_EQ(token.use_count(), 1) << "items left in the deque were not freed";
  for (int i = 0; i < kEachEnd; ++i) {
    EXPECT_EQ(stolen[i], i);
    EXPECT_EQ(taken[i], kItems - 1 - i);
  }
}

// An owner against two stealers, from a two-slot ring: first bursts that make the ring grow
// while they steal, then single items the owner takes back at once, so that owner and
// stealers keep racing for the last item. Every item comes out exactly once.
TEST(WorkStealingPoolDeque, OwnerAndStealersGetEachItemOnce) {
  constexpr int kBurstItems = 20000;
  constexpr int kItems = 2 * kBurstItems;
  detail::ChaseLevDeque<int> deque(2);
  std::vector<std::atomic<int>> seen(kItems);
  std::atomic<bool> owner_done{false};

  auto stealer = [&] {
    for (;;) {
      const bool done = owner_done.load();
      if (auto item = deque.steal()) {
        seen[*item].fetch_add(1);
      } else if (done) {
        return;
      }
    }
  };
  std::thread thief_a(stealer), thief_b(stealer);
  for (int i = 0; i < kBurstItems; ++i) {
    deque.push(std::make_unique<int>(i));
    if (i % 3 == 0) {
      if (auto item = deque.take()) seen[*item].fetch_add(1);
    }
  }
  for (int i = kBurstItems; i < kItems; ++i) {
    deque.push(std::make_unique<int>(i));
    if (auto item = deque.take()) seen[*item].fetch_add(1);
  }
  while (auto item = deque.take()) seen[*item].fetch_add(1);
  owner_done.store(true);
  thief_a.join();
  thief_b.join();

  for (int i = 0; i < kItems; ++i) ASSERT_EQ(seen[i].load(), 1) << "item " << i;
}

}  // namespace
}  // namespace arvex
