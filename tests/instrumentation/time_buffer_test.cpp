// --timing measurements: timing points, the time buffer, and the manager's controller thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "instrumentation/monotonic_epoch.hpp"
#include "instrumentation/time_buffer.hpp"
#include "instrumentation/time_buffer_manager.hpp"
#include "instrumentation/timing_point.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kMixed = "Cannot mix Instant and Rdtsc timing methods";
constexpr std::string_view kSendFailed = "Failed to send request - controller may have shut down";
constexpr std::string_view kNoResponse = "Failed to receive response from controller";
constexpr std::string_view kSendWarning = "WARN arvex_core::timing: failed to send timing request - controller may have shut down";

std::size_t occurrences(const std::string& text, std::string_view what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

// ---- TimingPoint

TEST(TimingPointTest, SinceIsSaturatingDifference) {
  const Clock::time_point t0 = Clock::now();
  struct Case {
    const char* name;
    TimingPoint later;
    TimingPoint earlier;
    std::chrono::nanoseconds expected;
  };
  const Case cases[] = {
      {"instant", TimingPoint::instant(t0 + 1'234'567ns), TimingPoint::instant(t0), 1'234'567ns},
      {"instant reversed", TimingPoint::instant(t0), TimingPoint::instant(t0 + 5ns), 0ns},
      {"instant equal", TimingPoint::instant(t0), TimingPoint::instant(t0), 0ns},
      // Whole nanoseconds: no rounding to micro- or milliseconds.
      {"rdtsc", TimingPoint::rdtsc(3'000'000'123), TimingPoint::rdtsc(1), 3'000'000'122ns},
      {"rdtsc reversed", TimingPoint::rdtsc(40), TimingPoint::rdtsc(100), 0ns},
      {"rdtsc large", TimingPoint::rdtsc(UINT64_MAX / 2), TimingPoint::rdtsc(0),
       std::chrono::nanoseconds(static_cast<std::int64_t>(UINT64_MAX / 2))},
  };
  for (const Case& c : cases) {
    const auto d = c.later.since(c.earlier);
    ASSERT_TRUE(d) << c.name << ": " << d.error();
    EXPECT_EQ(*d, c.expected) << c.name;
  }
}

TEST(TimingPointTest, MixedKindsAreRejectedEitherWay) {
  const TimingPoint instant = TimingPoint::instant(Clock::now());
  const TimingPoint rdtsc = TimingPoint::rdtsc(10);
  for (const auto& [later, earlier] : {std::pair{instant, rdtsc}, std::pair{rdtsc, instant}}) {
    const auto d = later.since(earlier);
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error(), kMixed);
  }
}

TEST(TimingPointTest, NowTakesTheRequestedKind) {
  EXPECT_EQ(TimingPoint::now(false).kind(), TimingPoint::Kind::Instant);
  EXPECT_EQ(TimingPoint::now(true).kind(), TimingPoint::Kind::Rdtsc);

  // Rdtsc readings count nanoseconds from the monotonic epoch.
  const Clock::time_point epoch = monotonic_epoch();
  const auto before = Clock::now() - epoch;
  const TimingPoint point = TimingPoint::now(true);
  const auto after = Clock::now() - epoch;
  const auto since_epoch = point.since(TimingPoint::rdtsc(0));
  ASSERT_TRUE(since_epoch);
  EXPECT_GE(*since_epoch, before);
  EXPECT_LE(*since_epoch, after);
}

// ---- TimeBuffer

class TimeBufferTest : public ::testing::Test {
 protected:
  TimingPoint at(std::chrono::nanoseconds offset) const { return TimingPoint::instant(t0_ + offset); }

  const Clock::time_point t0_ = Clock::now();
  TimeBuffer buffer_{3, 1, false};
};

TEST_F(TimeBufferTest, FinishClosesFrameAndAppendsHistory) {
  buffer_.slot_starts[1] = at(0ns);
  buffer_.task_times[1]["decode"] = {{2, 5ns}, {kNoWorker, 7ns}};
  buffer_.task_times[1]["encode"] = {{0, 9ns}};

  const auto first = buffer_.finish_slot_processing_with_time(1, at(100ns));
  ASSERT_TRUE(first) << first.error();
  const SlotStats expected{1, 0, TaskTimes{{"decode", {{2, 5ns}, {kNoWorker, 7ns}}}, {"encode", {{0, 9ns}}}}, 100ns};
  EXPECT_EQ(*first, expected);
  EXPECT_EQ(buffer_.slot_history[1], std::vector<SlotStats>{expected});
  EXPECT_TRUE(buffer_.task_times[1].empty());
  EXPECT_FALSE(buffer_.slot_starts[1].has_value());

  // The next frame of the slot counts the first and, with no task times, has an empty map.
  buffer_.slot_starts[1] = at(200ns);
  const auto second = buffer_.finish_slot_processing_with_time(1, at(230ns));
  ASSERT_TRUE(second) << second.error();
  EXPECT_EQ(*second, (SlotStats{1, 1, {}, 30ns}));
  ASSERT_EQ(buffer_.slot_history[1].size(), 2u);
  EXPECT_EQ(buffer_.slot_history[1][1], *second);

  EXPECT_TRUE(buffer_.slot_history[0].empty());
  EXPECT_TRUE(buffer_.slot_history[2].empty());
}

TEST_F(TimeBufferTest, FinishRejectsBrokenPreconditions) {
  struct Case {
    const char* name;
    std::function<void(TimeBuffer&)> setup;
    std::size_t slot;
    TimingPoint end;
    std::string expected;
  };
  const Case cases[] = {
      {"slot out of bounds", [](TimeBuffer&) {}, 3, at(1ns), "Slot ID 3 out of bounds (max: 2)"},
      {"never started", [](TimeBuffer&) {}, 0, at(1ns), "Slot 0 processing was never started or was already finished"},
      {"already finished",
       [this](TimeBuffer& b) {
         b.slot_starts[2] = at(0ns);
         ASSERT_TRUE(b.finish_slot_processing_with_time(2, at(1ns)));
       },
       2, at(2ns), "Slot 2 processing was never started or was already finished"},
      {"mixed kinds", [](TimeBuffer& b) { b.slot_starts[0] = TimingPoint::rdtsc(5); }, 0, at(9ns), std::string(kMixed)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TimeBuffer buffer(3, 1, false);
    c.setup(buffer);
    const auto history = buffer.slot_history;
    const auto result = buffer.finish_slot_processing_with_time(c.slot, c.end);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), c.expected);
    EXPECT_EQ(buffer.slot_history, history);
  }
}

// ---- TimeBufferManager

class TimeBufferManagerTest : public test_support::LogCaptureTest {};

TEST_F(TimeBufferManagerTest, ConcurrentFramesCarryEachThreadsTaskTimes) {
  constexpr std::size_t kThreads = 4;
  constexpr std::size_t kFrames = 40;
  std::vector<std::vector<SlotStats>> returned(kThreads);
  {
    TimeBufferManager manager(kThreads + 1, 1, false);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (std::size_t frame = 0; frame < kFrames; ++frame) {
          manager.start_slot_processing(t);
          TaskTimes expected;
          for (std::size_t i = 0; i < 5; ++i) {
            const std::string name = "task" + std::to_string(i % 3);
            const auto duration = std::chrono::nanoseconds(static_cast<std::int64_t>(frame * 100 + i));
            manager.add_task_time(t, name, t, duration);
            expected[name].push_back({t, duration});
          }
          auto stats = manager.finish_slot_processing(t);
          ASSERT_TRUE(stats) << stats.error();
          EXPECT_EQ(stats->slot, t);
          EXPECT_EQ(stats->frame_seq, frame);
          EXPECT_EQ(stats->task_times, expected) << "thread " << t << " frame " << frame;
          returned[t].push_back(*stats);
        }
      });
    }
    for (auto& thread : threads) thread.join();

    manager.with_buffer([&](const TimeBuffer& buffer) {
      for (std::size_t t = 0; t < kThreads; ++t) EXPECT_EQ(buffer.slot_history[t], returned[t]) << "slot " << t;
      EXPECT_TRUE(buffer.slot_history[kThreads].empty());
    });
  }
  EXPECT_FALSE(logged("WARN")) << logged();
  EXPECT_FALSE(logged("ERROR")) << logged();
}

TEST_F(TimeBufferManagerTest, SecondStartWinsAndTaskTimesSurviveIt) {
  TimeBufferManager manager(2, 1, false);
  manager.add_task_time(0, "early", kNoWorker, 1ns);  // while idle: belongs to the next frame
  manager.start_slot_processing(0);
  manager.add_task_time(0, "between", 3, 2ns);
  std::this_thread::sleep_for(50ms);
  const Clock::time_point before_second = Clock::now();
  manager.start_slot_processing(0);
  const auto stats = manager.finish_slot_processing(0);
  const Clock::time_point after_finish = Clock::now();

  ASSERT_TRUE(stats) << stats.error();
  EXPECT_LE(stats->total_time, after_finish - before_second) << "measured from the first start";
  EXPECT_EQ(stats->task_times, (TaskTimes{{"between", {{3, 2ns}}}, {"early", {{kNoWorker, 1ns}}}}));
  EXPECT_EQ(manager.with_buffer([](const TimeBuffer& b) { return b.slot_history[0].size(); }), 1u);
}

TEST_F(TimeBufferManagerTest, UseRdtscSelectsThePointKind) {
  for (const bool use_rdtsc : {false, true}) {
    SCOPED_TRACE(use_rdtsc);
    TimeBufferManager manager(3, 1, use_rdtsc);
    EXPECT_EQ(manager.use_rdtsc(), use_rdtsc);
    manager.start_slot_processing(0);
    manager.start_slot_processing(1);
    // Answered only after this thread's earlier requests are applied.
    ASSERT_TRUE(manager.finish_slot_processing(0));
    manager.with_buffer([&](const TimeBuffer& buffer) {
      ASSERT_TRUE(buffer.slot_starts[1].has_value());
      EXPECT_EQ(buffer.slot_starts[1]->kind(), use_rdtsc ? TimingPoint::Kind::Rdtsc : TimingPoint::Kind::Instant);
      EXPECT_EQ(buffer.use_rdtsc, use_rdtsc);
    });
  }
}

TEST_F(TimeBufferManagerTest, FinishOfIdleSlotEndsTheController) {
  {
    TimeBufferManager manager(3, 1, false);
    const auto failed = manager.finish_slot_processing(2);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), kNoResponse);
    EXPECT_TRUE(logged("Slot 2 processing was never started or was already finished")) << logged();
    EXPECT_TRUE(logged("ERROR arvex_core::timing")) << logged();

    // The controller closes the channel before it drops the failing reply, so every later send
    // is refused rather than queued, and the run is told once.
    EXPECT_TRUE(manager.stopped());
    manager.start_slot_processing(0);
    manager.add_task_time(0, "decode", 1, 5ns);
    EXPECT_EQ(occurrences(logged(), kSendWarning), 1u) << logged();
    const auto later = manager.finish_slot_processing(0);
    ASSERT_FALSE(later);
    EXPECT_EQ(later.error(), kSendFailed);

    // The run goes on: the buffer is still readable, just without these frames.
    manager.with_buffer([](const TimeBuffer& buffer) {
      for (const auto& history : buffer.slot_history) EXPECT_TRUE(history.empty());
    });
  }
  EXPECT_TRUE(logged("WARN arvex_core::timing: failed to send shutdown request")) << logged();
  EXPECT_TRUE(logged("WARN arvex_core::timing: controller thread panicked during shutdown")) << logged();
}

TEST_F(TimeBufferManagerTest, OutOfBoundsSlotEndsTheController) {
  struct Case {
    const char* name;
    std::function<void(TimeBufferManager&)> send;
  };
  const Case cases[] = {
      {"start", [](TimeBufferManager& m) { m.start_slot_processing(5); }},
      {"task time", [](TimeBufferManager& m) { m.add_task_time(7, "decode", 0, 1ns); }},
      {"finish", [](TimeBufferManager& m) { EXPECT_EQ(m.finish_slot_processing(5).error(), kNoResponse); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clear_log();
    TimeBufferManager manager(5, 1, false);
    c.send(manager);
    manager.start_slot_processing(0);
    // Queued behind the faulty request or refused after it: never answered either way.
    const auto later = manager.finish_slot_processing(0);
    ASSERT_FALSE(later);
    EXPECT_TRUE(later.error() == kNoResponse || later.error() == kSendFailed) << later.error();
    EXPECT_TRUE(logged("out of bounds (max: 4)")) << logged();
  }
}

TEST_F(TimeBufferManagerTest, QueuedFinishesAreReleasedWhenTheControllerEnds) {
  constexpr std::size_t kWaiters = 4;
  TimeBufferManager manager(kWaiters, 1, false);
  std::vector<std::string> errors(kWaiters);
  std::vector<std::thread> waiters;
  // Every waiter finishes a slot that was never started. Holding the buffer lock parks the
  // controller on the first of them while the others queue behind it; they must be released,
  // not left waiting, when that first one ends the controller.
  manager.with_buffer([&](const TimeBuffer&) {
    for (std::size_t w = 0; w < kWaiters; ++w) {
      waiters.emplace_back([&, w] {
        const auto result = manager.finish_slot_processing(w);
        errors[w] = result ? "answered" : result.error();
      });
    }
    std::this_thread::sleep_for(100ms);
    return 0;
  });
  for (auto& waiter : waiters) waiter.join();
  for (const std::string& error : errors) EXPECT_TRUE(error == kNoResponse || error == kSendFailed) << error;
  EXPECT_EQ(occurrences(logged(), "ERROR arvex_core::timing"), 1u) << logged();
}

}  // namespace
}  // namespace arvex
