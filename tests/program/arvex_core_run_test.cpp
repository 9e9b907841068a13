// Runs the built arvex-core on the bundled example graphs and checks what a user sees: the
// exit status, the frame budget reached on every slot, the post nodes, the scheduler CSV, and
// the configuration errors of the run set-up. Every run is bounded by `timeout`, so a hang
// fails the test instead of stalling the suite.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/process_runner.hpp"
#include "support/text_files.hpp"

namespace {

namespace fs = std::filesystem;
using arvex::test_support::ProcessResult;

constexpr const char* kRunLimitSeconds = "60";

using arvex::test_support::occurrences;
using arvex::test_support::read_text;

// A fresh directory under the test's temporary directory, removed afterwards.
class RunDir {
 public:
  RunDir() : path_(fs::temp_directory_path() / ("arvex_run_" + std::to_string(::getpid()) + "_" + std::to_string(next_++))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~RunDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  static inline int next_ = 0;
  fs::path path_;
};

// Runs arvex-core on a 2-core layout (one resolution thread and one worker from core 0) with
// the log going to `log`.
ProcessResult run_core(const fs::path& log, std::vector<std::string> args) {
  std::vector<std::string> full = {kRunLimitSeconds, ARVEX_CORE_PATH, "--dylib", "", "--workers", "1",
                                   "--system-threads", "1", "--core-offset", "0", "--output", log.string()};
  full.insert(full.end(), args.begin(), args.end());
  return arvex::test_support::run_process("/usr/bin/timeout", full);
}

struct ExampleRun {
  const char* name;
  const char* graph;
  std::vector<std::string> options;
  // Slots that hold a frame when the budget runs out: all four, except with --slot-priority,
  // where frames without a network source follow each other in one slot.
  std::size_t slots_in_flight = 4;
};

void PrintTo(const ExampleRun& row, std::ostream* out) { *out << row.name; }

class ArvexCoreExampleRun : public ::testing::TestWithParam<ExampleRun> {};

TEST_P(ArvexCoreExampleRun, ReachesTheFrameBudgetOnEverySlotAndExitsZero) {
  const ExampleRun& row = GetParam();
  RunDir dir;
  const fs::path log = dir.path() / "run.log";
  std::vector<std::string> args = {"--json", std::string(ARVEX_EXAMPLES_DIR) + "/" + row.graph, "--slots", "4",
                                   "--max-frames", "60"};
  args.insert(args.end(), row.options.begin(), row.options.end());
  const ProcessResult result = run_core(log, args);
  const std::string text = read_text(log);
  ASSERT_EQ(result.exit_status, 0) << result.err << text;
  EXPECT_EQ(result.err, "");
  // Each frame ends with one of the two slot-completion lines; the last frame of each slot in
  // flight finds the budget spent.
  EXPECT_EQ(occurrences(text, "slot completed frame, starting new") + occurrences(text, "slot completed, max frames reached"),
            60u)
      << text;
  EXPECT_EQ(occurrences(text, "slot completed, max frames reached"), row.slots_in_flight) << text;
  EXPECT_NE(text.find("Shutdown flag set - signaling resolution threads to exit"), std::string::npos) << text;
}

const ExampleRun kExampleRuns[] = {
    {"PipelineDefault", "pipeline.json", {}},
    {"PipelineFifo", "pipeline.json", {"--fifo"}},
    {"PipelineCustom", "pipeline.json", {"--custom"}},
    {"PipelineInlineContinuation", "pipeline.json", {"--inline-continuation"}},
    {"PipelineNoFanoutBulk", "pipeline.json", {"--no-fanout-bulk"}},
    {"PipelineSlotPriority", "pipeline.json", {"--slot-priority"}, 1},
    {"PipelineBatchingAll", "pipeline.json", {"--batching-size", "0", "--sched-flush-threshold", "1"}},
    {"FanoutBarrierDefault", "fanout_barrier.json", {}},
    {"FanoutBarrierCoalesced", "fanout_barrier.json", {"--coalesce-barriers"}},
    {"FanoutBarrierCustom", "fanout_barrier.json", {"--custom"}},
    {"WorkersAndPostNodes", "workers_and_post_nodes.json", {}},
    {"WorkersAndPostNodesFifo", "workers_and_post_nodes.json", {"--fifo"}},
};

INSTANTIATE_TEST_SUITE_P(ArvexCore, ArvexCoreExampleRun, ::testing::ValuesIn(kExampleRuns),
                         [](const ::testing::TestParamInfo<ExampleRun>& row) { return std::string(row.param.name); });

TEST(ArvexCoreRun, PostNodesRunOnceAfterTheLastFrame) {
  RunDir dir;
  const fs::path log = dir.path() / "run.log";
  const ProcessResult result = run_core(
      log, {"--json", ARVEX_EXAMPLES_DIR "/workers_and_post_nodes.json", "--slots", "2", "--max-frames", "6", "--debug"});
  const std::string text = read_text(log);
  ASSERT_EQ(result.exit_status, 0) << result.err << text;
  const std::size_t added = text.find("Added post node: flush");
  const std::size_t last_frame = text.rfind("slot completed, max frames reached");
  ASSERT_NE(added, std::string::npos) << text;
  EXPECT_LT(last_frame, added) << "post nodes wait for the frames";
  EXPECT_EQ(occurrences(text, "Added post node: flush"), 1u);
  EXPECT_NE(text.find("All post-nodes completed", added), std::string::npos) << text;
}

TEST(ArvexCoreRun, WorkersZeroIsAConfigurationErrorBeforeAnythingStarts) {
  RunDir dir;
  const fs::path log = dir.path() / "run.log";
  const ProcessResult result = arvex::test_support::run_process(
      "/usr/bin/timeout", {kRunLimitSeconds, ARVEX_CORE_PATH, "--json", ARVEX_EXAMPLES_DIR "/pipeline.json", "--dylib",
                           "", "--workers", "0", "--output", log.string()});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "Config error: workers must be >= 1 (got 0)\n");
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(fs::exists(log)) << "nothing is created, not even the output file";
}

TEST(ArvexCoreRun, SlotsZeroIsARuntimeBuildError) {
  RunDir dir;
  const ProcessResult result =
      run_core(dir.path() / "run.log", {"--json", ARVEX_EXAMPLES_DIR "/pipeline.json", "--slots", "0"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "Config error: slots must be >= 1 (got 0)\n");
}

TEST(ArvexCoreRun, RecordWritesTheSchedulerCsvBesideTheTimingFile) {
  RunDir dir;
  fs::create_directories(dir.path() / "out");
  const ProcessResult result =
      run_core(dir.path() / "run.log", {"--json", ARVEX_EXAMPLES_DIR "/pipeline.json", "--slots", "2", "--max-frames",
                                        "10", "--record", "--timing", (dir.path() / "out" / "stats.run.txt").string()});
  ASSERT_EQ(result.exit_status, 0) << result.err << read_text(dir.path() / "run.log");
  const fs::path csv = dir.path() / "out" / "stats_sched.csv";
  ASSERT_TRUE(fs::exists(csv));
  const std::string text = read_text(csv);
  EXPECT_GT(occurrences(text, "\n"), 1u) << "a header and at least one record:\n" << text;
}

TEST(ArvexCoreRun, TimingRecordAndReportWriteStatisticsCsvAndJson) {
  RunDir dir;
  fs::create_directories(dir.path() / "out");
  const fs::path stats = dir.path() / "out" / "stats.run.txt";
  const fs::path report = dir.path() / "report.json";
  const ProcessResult result =
      run_core(dir.path() / "run.log", {"--json", ARVEX_EXAMPLES_DIR "/pipeline.json", "--slots", "2", "--max-frames",
                                        "20", "--record", "--timing", stats.string(), "--report", report.string(),
                                        "--exclude-frames", "4"});
  ASSERT_EQ(result.exit_status, 0) << result.err << read_text(dir.path() / "run.log");

  const std::string text = read_text(stats);
  EXPECT_EQ(text.rfind("Time Statistics for stats.run.txt\nTotal Slots: 3\nTiming Method: Instant\n", 0), 0u) << text;
  EXPECT_NE(text.find("  Total Frames Processed: 20\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  Excluded Frames (warm-up): 4 (Steady-state: 16 frames)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  Task 'sum' - Workers: 1, Total Executions: 16\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  Resolution Thread 0 (Slot 2):\n"), std::string::npos) << text;
  EXPECT_TRUE(fs::exists(dir.path() / "out" / "stats_sched.csv"));

  const std::string json = read_text(report);
  ASSERT_FALSE(json.empty());
  EXPECT_NE(json.back(), '\n') << "no trailing newline";
  const nlohmann::json parsed = nlohmann::json::parse(json);
  for (const char* key : {"bottleneck_hints", "critical_path", "optimization_suggestions", "per_node",
                          "resource_utilization", "summary"}) {
    EXPECT_TRUE(parsed.contains(key)) << key << "\n" << json;
  }
  EXPECT_EQ(parsed["summary"]["total_frames"], 16);
  EXPECT_EQ(parsed["critical_path"]["nodes_sample"], nlohmann::json::array({"src", "scale", "sum"})) << json;
}

TEST(ArvexCoreRun, StatisticsToAnUnwritablePathFailTheRunAfterItsWork) {
  RunDir dir;
  const ProcessResult result = run_core(dir.path() / "run.log", {"--json", ARVEX_EXAMPLES_DIR "/pipeline.json", "--max-frames",
                                                                 "3", "--timing", (dir.path() / "missing" / "t.txt").string()});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "Unable to write file: No such file or directory\n");
  EXPECT_NE(read_text(dir.path() / "run.log").find("slot completed, max frames reached"), std::string::npos);
}

TEST(ArvexCoreRun, PythonExampleCallsItsFunctionsThroughTheBridgeLibrary) {
  RunDir dir;
  const fs::path log = dir.path() / "run.log";
  const ProcessResult result = arvex::test_support::run_process(
      "/usr/bin/timeout",
      {kRunLimitSeconds, ARVEX_CORE_PATH, "--json", ARVEX_EXAMPLES_DIR "/python/python_pipeline.json", "--dylib",
       ARVEX_PYTHON_BRIDGE_LIB, "--workers", "1", "--system-threads", "1", "--core-offset", "0", "--slots", "2",
       "--max-frames", "6", "--output", log.string(), "--debug"},
      {{"PYTHONPATH", ARVEX_EXAMPLES_DIR "/python"}});
  const std::string text = read_text(log);
  ASSERT_EQ(result.exit_status, 0) << result.err << text;
  EXPECT_NE(text.find("Python bridge ABI verified"), std::string::npos) << "the library's stamp was checked";
  // Each frame's report sees the four antenna values computed in Python.
  EXPECT_EQ(occurrences(text, "first=antennas powers=[10.0, 10.5, 11.0, 11.5]"), 6u) << text;
  EXPECT_NE(text.find("python report 6:"), std::string::npos) << text;
  EXPECT_EQ(occurrences(result.err, "arvex-python-bridge: tier 1"), 1u) << result.err;
}

}  // namespace
