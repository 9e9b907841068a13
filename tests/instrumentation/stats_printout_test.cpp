// The --timing statistics printout: exact text on hand-built frame histories.
#include "instrumentation/stats_printout.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>

namespace arvex {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

// The expected printout, one entry per line.
std::string text(std::initializer_list<std::string_view> lines) {
  std::string out;
  for (const std::string_view line : lines) {
    out += line;
    out += '\n';
  }
  return out;
}

void add_frame(TimeBuffer& buffer, std::size_t slot, nanoseconds total, TaskTimes tasks = {}) {
  auto& history = buffer.slot_history.at(slot);
  history.push_back(SlotStats{slot, history.size(), std::move(tasks), total});
}

TEST(StatsDurationFormatTest, PicksTheLargestWholeUnitWithFourDecimals) {
  const struct {
    nanoseconds value;
    std::string_view expected;
  } cases[] = {
      {nanoseconds(0), "0.0000ns"},
      {nanoseconds(1), "1.0000ns"},
      {nanoseconds(999), "999.0000ns"},
      {microseconds(1), "1.0000µs"},
      {nanoseconds(999'999), "999.9990µs"},
      {milliseconds(1), "1.0000ms"},
      {microseconds(1'500), "1.5000ms"},
      {nanoseconds(1'234'567), "1.2346ms"},
      {nanoseconds(999'999'999), "1000.0000ms"},  // rounding carries into the whole part
      {seconds(2), "2.0000s"},
      {seconds(61), "61.0000s"},  // no minutes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_duration(c.value), c.expected) << c.value.count() << "ns";
  }
}

TEST(FormatStatsTest, WithoutFramesPrintsOnlyTheHeaders) {
  const struct {
    std::size_t num_slots;
    std::size_t system_threads;
    bool use_rdtsc;
    std::string expected;
  } cases[] = {
      {3, 1, false,
       text({"Time Statistics for run.txt", "Total Slots: 3", "Timing Method: Instant",
             "Worker Slots: 0..2, System Thread Slots: 2..3", "****************",
             "Aggregated Statistics (All Slots):", "  Total Frames Processed: 0", "  Frames per Slot: Slot 0: 0, Slot 1: 0",
             "****************", "Per-Task Analysis (Aggregated):"})},
      // More system threads than slots: no worker slot at all, and the label stands alone.
      {1, 2, true,
       text({"Time Statistics for run.txt", "Total Slots: 1", "Timing Method: RDTSC",
             "Worker Slots: 0..0, System Thread Slots: 0..1", "****************",
             "Aggregated Statistics (All Slots):", "  Total Frames Processed: 0", "  Frames per Slot: ",
             "****************", "Per-Task Analysis (Aggregated):"})},
  };
  for (const auto& c : cases) {
    const TimeBuffer buffer(c.num_slots, c.system_threads, c.use_rdtsc);
    EXPECT_EQ(format_stats(buffer, "run.txt", 3), c.expected) << c.num_slots << " slots, " << c.system_threads;
  }
}

TEST(FormatStatsTest, WarmUpExcludesTheFirstFramesInSlotOrder) {
  TimeBuffer buffer(2, 0, false);
  // Slot 0's frames are the warm-up; their tasks must not reach the per-task figures.
  for (const auto total : {milliseconds(10), milliseconds(20), milliseconds(30)}) {
    add_frame(buffer, 0, total, {{"decode", {{3, milliseconds(7)}}}, {"warmup_only", {{1, milliseconds(1)}}}});
  }
  // Worker 12 arrives first but is listed after worker 3.
  add_frame(buffer, 1, milliseconds(4),
            {{"decode", {{12, microseconds(500)}, {3, milliseconds(1)}}}, {"encode", {{3, milliseconds(2)}}}});
  add_frame(buffer, 1, milliseconds(6), {{"decode", {{3, microseconds(1'500)}}}, {"encode", {{12, milliseconds(1)}}}});

  EXPECT_EQ(format_stats(buffer, "steady", 3),
            text({
                "Time Statistics for steady",
                "Total Slots: 2",
                "Timing Method: Instant",
                "Worker Slots: 0..2, System Thread Slots: 2..2",
                "****************",
                "Aggregated Statistics (All Slots):",
                "  Total Frames Processed: 5",
                "  Frames per Slot: Slot 0: 3, Slot 1: 2",
                "  Excluded Frames (warm-up): 3 (Steady-state: 2 frames)",
                "  Total Runtime: 70.0000ms",
                "  Avg Time Per Frame: 5.0000ms (std: 1.0000ms)",
                "  Min/Max Per Frame: 4.0000ms / 6.0000ms",
                "  Total Compute Time: 6.0000ms",
                "  Avg Compute Time Per Frame: 3.0000ms",
                "****************",
                "Per-Task Analysis (Aggregated):",
                "  ****************",
                "  Task 'decode' - Workers: 2, Total Executions: 3",
                "    Timing - Avg/Frame: 1.5000ms, Avg/Task: 1.0000ms, Std: 408.2480µs, Min: 500.0000µs, "
                "Max: 1.5000ms, Total: 3.0000ms",
                "    Worker Summary: W-3: 2 (66.7%) - 2.5000ms, W-12: 1 (33.3%) - 500.0000µs",
                "  ****************",
                "  Task 'encode' - Workers: 2, Total Executions: 2",
                "    Timing - Avg/Frame: 1.5000ms, Avg/Task: 1.5000ms, Std: 500.0000µs, Min: 1.0000ms, "
                "Max: 2.0000ms, Total: 3.0000ms",
                "    Worker Summary: W-3: 1 (50.0%) - 2.0000ms, W-12: 1 (50.0%) - 1.0000ms",
            }));
}

TEST(FormatStatsTest, ExcludingEveryFrameKeepsLatencyOverAllFrames) {
  TimeBuffer buffer(2, 0, false);
  add_frame(buffer, 0, milliseconds(3), {{"a", {{1, milliseconds(1)}}}});
  add_frame(buffer, 1, milliseconds(5), {{"a", {{1, milliseconds(2)}}}});
  const std::string expected = text({
      "Time Statistics for all-warm-up",
      "Total Slots: 2",
      "Timing Method: Instant",
      "Worker Slots: 0..2, System Thread Slots: 2..2",
      "****************",
      "Aggregated Statistics (All Slots):",
      "  Total Frames Processed: 2",
      "  Frames per Slot: Slot 0: 1, Slot 1: 1",
      "  Excluded Frames (warm-up): 2 (Steady-state: 0 frames)",
      "  Total Runtime: 8.0000ms",
      "  Avg Time Per Frame: 4.0000ms (std: 1.0000ms)",
      "  Min/Max Per Frame: 3.0000ms / 5.0000ms",
      "  Total Compute Time: 0.0000ns",
      "  Avg Compute Time Per Frame: 0.0000ns",
      "****************",
      "Per-Task Analysis (Aggregated):",
  });
  for (const std::size_t exclude : {std::size_t{2}, std::size_t{100}}) {
    EXPECT_EQ(format_stats(buffer, "all-warm-up", exclude), expected) << "exclude " << exclude;
  }
}

TEST(FormatStatsTest, SingleFrameOfWorkWithoutAWorker) {
  TimeBuffer buffer(1, 0, true);
  // 55 ns over 3 runs: the mean 18.33 ns truncates to 18 ns, the deviation 6.24 ns to 6 ns.
  add_frame(buffer, 0, seconds(2),
            {{"ingest", {{kNoWorker, nanoseconds(10)}, {kNoWorker, nanoseconds(20)}, {kNoWorker, nanoseconds(25)}}}});

  EXPECT_EQ(format_stats(buffer, "single", 0),
            text({
                "Time Statistics for single",
                "Total Slots: 1",
                "Timing Method: RDTSC",
                "Worker Slots: 0..1, System Thread Slots: 1..1",
                "****************",
                "Aggregated Statistics (All Slots):",
                "  Total Frames Processed: 1",
                "  Frames per Slot: Slot 0: 1",
                "  Total Runtime: 2.0000s",
                "  Avg Time Per Frame: 2.0000s (std: 0.0000ns)",
                "  Min/Max Per Frame: 2.0000s / 2.0000s",
                "  Total Compute Time: 55.0000ns",
                "  Avg Compute Time Per Frame: 55.0000ns",
                "****************",
                "Per-Task Analysis (Aggregated):",
                "  ****************",
                "  Task 'ingest' - Workers: 1, Total Executions: 3",
                "    Timing - Avg/Frame: 55.0000ns, Avg/Task: 18.0000ns, Std: 6.0000ns, Min: 10.0000ns, "
                "Max: 25.0000ns, Total: 55.0000ns",
                "    Worker Summary: runtime: 3 (100.0%) - 55.0000ns",
            }));
}

TEST(FormatStatsTest, SystemThreadSlotsMergeAllTheirFramesWithoutWarmUp) {
  TimeBuffer buffer(4, 3, false);  // slot 0 for frames; slots 1..3 for resolution threads 0..2
  add_frame(buffer, 1, microseconds(9), {{"Preparation", {{kNoWorker, microseconds(1)}, {kNoWorker, microseconds(3)}}}});
  add_frame(buffer, 1, microseconds(9), {{"Preparation", {{kNoWorker, microseconds(2)}}}});
  // Byte order puts the lowercase name last; slot 2 has no history and gets no heading.
  add_frame(buffer, 3, microseconds(9),
            {{"admit", {{kNoWorker, nanoseconds(500)}}}, {"Batch Resolution", {{0, microseconds(2)}}}});

  EXPECT_EQ(format_stats(buffer, "sys", 1),
            text({
                "Time Statistics for sys",
                "Total Slots: 4",
                "Timing Method: Instant",
                "Worker Slots: 0..1, System Thread Slots: 1..4",
                "****************",
                "Aggregated Statistics (All Slots):",
                "  Total Frames Processed: 0",
                "  Frames per Slot: Slot 0: 0",
                "****************",
                "Per-Task Analysis (Aggregated):",
                "****************",
                "System Thread Tasks (Slots 1..4):",
                "  Resolution Thread 0 (Slot 1):",
                "    Task 'Preparation' - Executions: 3, Avg: 2.0000µs, Std: 816.0000ns, Min: 1.0000µs, "
                "Max: 3.0000µs, Total: 6.0000µs",
                "  Resolution Thread 2 (Slot 3):",
                "    Task 'Batch Resolution' - Executions: 1, Avg: 2.0000µs, Std: 0.0000ns, Min: 2.0000µs, "
                "Max: 2.0000µs, Total: 2.0000µs",
                "    Task 'admit' - Executions: 1, Avg: 500.0000ns, Std: 0.0000ns, Min: 500.0000ns, "
                "Max: 500.0000ns, Total: 500.0000ns",
            }));
}

class PrintStatsTest : public ::testing::Test {
 protected:
  PrintStatsTest() : buffer_(1, 0, false) { add_frame(buffer_, 0, milliseconds(1), {{"t", {{0, microseconds(5)}}}}); }
  void TearDown() override { std::filesystem::remove(path_); }

  std::string file_text() const {
    std::ifstream in(path_);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

  TimeBuffer buffer_;
  const std::filesystem::path path_ =
      std::filesystem::temp_directory_path() / ("arvex-stats-" + std::to_string(::getpid()) + ".txt");
};

TEST_F(PrintStatsTest, ReplacesTheFileContent) {
  std::ofstream(path_) << std::string(10'000, 'x');  // longer than the report: must be truncated
  const auto result = print_stats(buffer_, "out.txt", path_, 0);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(file_text(), format_stats(buffer_, "out.txt", 0));
}

TEST_F(PrintStatsTest, WithoutAPathWritesToStandardOutput) {
  ::testing::internal::CaptureStdout();
  const auto result = print_stats(buffer_, "console", std::nullopt, 0);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(result);
  EXPECT_EQ(printed, format_stats(buffer_, "console", 0));
}

TEST_F(PrintStatsTest, ReportsAnUnwritablePath) {
  // path_ is not created here, so it cannot hold a file either.
  const auto result = print_stats(buffer_, "out.txt", path_ / "stats.txt", 0);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "Unable to write file: No such file or directory");
}

}  // namespace
}  // namespace arvex
