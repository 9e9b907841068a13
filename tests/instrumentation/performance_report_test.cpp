// The JSON performance report: steady frames, node statistics, the critical path through the
// graph's edges, the overhead diagnostic, hints, suggestions, and the file it goes to.
#include "instrumentation/performance_report.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/log_capture.hpp"

namespace arvex {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::vector<NodeEdges> chain(const std::vector<std::string>& names) {
  std::vector<NodeEdges> edges;
  for (std::size_t i = 0; i < names.size(); ++i) {
    edges.push_back({names[i], i + 1 < names.size() ? std::vector<std::string>{names[i + 1]}
                                                    : std::vector<std::string>{}});
  }
  return edges;
}

// ---- critical path ----

struct PathCase {
  const char* what;
  std::vector<NodeEdges> edges;
  std::map<std::string, double> mean_us;  // names without an entry have no statistics
  std::vector<std::string> path;
  double latency_us;
};

TEST(ReportCriticalPath, LongestPathByMeanNodeTime) {
  const PathCase cases[] = {
      {"chain", chain({"a", "b", "c"}), {{"a", 10}, {"b", 20}, {"c", 30}}, {"a", "b", "c"}, 60},
      {"heavier branch of a diamond",
       {{"a", {"b", "c"}}, {"b", {"d"}}, {"c", {"d"}}, {"d", {}}},
       {{"a", 1}, {"b", 5}, {"c", 7}, {"d", 1}},
       {"a", "c", "d"},
       9},
      {"unknown successor ignored",
       {{"a", {"ghost", "b"}}, {"b", {}}},
       {{"a", 1}, {"b", 2}},
       {"a", "b"},
       3},
      // x -> a reaches the later "a", which has no successors; the earlier "a" still leads to b.
      {"repeated name means the later node",
       {{"x", {"a"}}, {"a", {"b"}}, {"a", {}}, {"b", {}}},
       {{"x", 1}, {"a", 1}, {"b", 10}},
       {"a", "b"},
       11},
      {"equal distances end at the later node",
       {{"x", {}}, {"y", {}}},
       {{"x", 5}, {"y", 5}},
       {"y"},
       5},
      // a never enters the topological order, so its edge to b is never relaxed.
      {"cycle node only ends a path",
       {{"s", {"a"}}, {"a", {"b"}}, {"b", {"a"}}},
       {{"s", 1}, {"a", 5}, {"b", 2}},
       {"s", "a"},
       6},
      // Only b has statistics: a adds nothing, so b keeps no predecessor (strictly longer only).
      {"nodes without statistics weigh 0", chain({"a", "b", "c"}), {{"b", 4}}, {"b", "c"}, 4},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::map<std::string, NodeStats> stats;
    for (const auto& [name, mean] : c.mean_us) stats[name] = NodeStats{1, mean, mean, mean, 0};
    const auto path = find_critical_path(c.edges, stats);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(path->nodes, c.path);
    EXPECT_DOUBLE_EQ(path->estimated_latency_us, c.latency_us);
  }
  EXPECT_FALSE(find_critical_path({}, {{"a", NodeStats{1, 1, 1, 1, 0}}}).has_value());
}

// ---- the report ----

// Two frame slots and one resolution-thread slot.
class PerformanceReportTest : public test_support::LogCaptureTest {
 protected:
  void add_frame(std::size_t slot, std::chrono::nanoseconds total, TaskTimes tasks = {}) {
    auto& history = buffer_.slot_history[slot];
    history.push_back(SlotStats{slot, history.size(), std::move(tasks), total});
  }
  std::string text(const std::vector<NodeEdges>& edges = {}, std::size_t exclude_frames = 0) {
    const auto report = build_json_report(buffer_, edges, exclude_frames);
    EXPECT_TRUE(report.has_value());
    return report.value_or("{}");
  }
  json report(const std::vector<NodeEdges>& edges = {}, std::size_t exclude_frames = 0) {
    return json::parse(text(edges, exclude_frames));
  }

  TimeBuffer buffer_{3, 1, false};
};

// Whole text: key order, indentation, integers against doubles, no trailing newline. One
// worker, so no worker hint; b's 20% is not above 20.
TEST_F(PerformanceReportTest, ChainReportText) {
  add_frame(0, 100us, {{"a", {{0, 10us}}}, {"b", {{0, 20us}}}, {"c", {{0, 30us}}}});
  EXPECT_EQ(text(chain({"a", "b", "c"})), R"({
  "bottleneck_hints": [
    "node 'c' is on the critical path and accounts for 30.0% of total compute time"
  ],
  "critical_path": {
    "estimated_latency_us": 60.0,
    "length_nodes": 3,
    "max_node_factor": 1,
    "nodes_sample": [
      "a",
      "b",
      "c"
    ]
  },
  "optimization_suggestions": [],
  "per_node": [
    {
      "factor": 1,
      "invocations": 1,
      "mean_exec_us": 30.0,
      "name": "c",
      "on_critical_path": true,
      "p99_exec_us": 30.0,
      "pct_of_total": 30.0,
      "total_exec_us": 30.0
    },
    {
      "factor": 1,
      "invocations": 1,
      "mean_exec_us": 20.0,
      "name": "b",
      "on_critical_path": true,
      "p99_exec_us": 20.0,
      "pct_of_total": 20.0,
      "total_exec_us": 20.0
    },
    {
      "factor": 1,
      "invocations": 1,
      "mean_exec_us": 10.0,
      "name": "a",
      "on_critical_path": true,
      "p99_exec_us": 10.0,
      "pct_of_total": 10.0,
      "total_exec_us": 10.0
    }
  ],
  "resource_utilization": {
    "worker_busy_pct": [
      60.0
    ]
  },
  "summary": {
    "avg_latency_us": 100.0,
    "p50_latency_us": 100.0,
    "p99_latency_us": 100.0,
    "scheduling_overhead_diagnostic": {
      "critical_path_exec_us": 60.0,
      "interpretation": "40% of latency is scheduling overhead — mixed profile; try both kernel optimization and scheduling knobs",
      "overhead_pct": 40.0,
      "overhead_us": 40.0
    },
    "throughput_frames_per_sec": 10000.0,
    "total_frames": 1,
    "total_tasks_per_frame": 3
  }
})");
}

TEST_F(PerformanceReportTest, LongPathIsSampledAndDominatesLatency) {
  std::vector<std::string> names;
  TaskTimes tasks;
  for (int i = 0; i < 7; ++i) {
    names.push_back("n" + std::to_string(i));
    tasks[names.back()] = {{0, 1500ns}};
  }
  add_frame(0, 10500ns, tasks);
  const json r = report(chain(names));
  EXPECT_EQ(r["critical_path"]["nodes_sample"],
            json({"n0", "n1", "n2", "n3", "n4", "... (2 more)"}));
  EXPECT_EQ(r["critical_path"]["length_nodes"], 7);
  EXPECT_EQ(r["critical_path"]["estimated_latency_us"], 10.5);
  EXPECT_EQ(r["bottleneck_hints"],
            json({"critical path accounts for 100.0% of average frame latency \u2014 limited "
                  "parallelism gains from adding workers"}));
  EXPECT_EQ(r["summary"]["scheduling_overhead_diagnostic"]["interpretation"],
            "0% of latency is scheduling overhead \u2014 compute-bound; focus on kernel "
            "optimization rather than graph structure");
}

TEST_F(PerformanceReportTest, LatencyAndExecutionPercentiles) {
  // Ten latencies 1..10 µs, unsorted across both frame slots.
  for (int us : {10, 3, 7, 1, 5}) add_frame(0, std::chrono::microseconds(us));
  std::vector<TaskTime> times;
  for (int us = 100; us >= 1; --us) times.push_back({0, std::chrono::microseconds(us)});
  for (int us : {2, 9, 4, 6, 8})
    add_frame(1, std::chrono::microseconds(us), us == 2 ? TaskTimes{{"k", times}} : TaskTimes{});

  const json r = report();
  const json& summary = r["summary"];
  EXPECT_EQ(summary["total_frames"], 10);
  EXPECT_EQ(summary["avg_latency_us"], 5.5);
  EXPECT_EQ(summary["p50_latency_us"], 6.0);  // index 4.5 rounds up to 5
  EXPECT_EQ(summary["p99_latency_us"], 10.0);
  EXPECT_EQ(summary["throughput_frames_per_sec"], 181818.2);
  EXPECT_EQ(summary["total_tasks_per_frame"], 10);  // 100 executions over 10 frames
  const json& k = r["per_node"][0];
  EXPECT_EQ(k["p99_exec_us"], 99.0);  // index 98.01 rounds to 98
  EXPECT_EQ(k["mean_exec_us"], 50.5);
  EXPECT_EQ(k["factor"], 10);
  EXPECT_EQ(k["invocations"], 100);
}

TEST_F(PerformanceReportTest, SingleFrameIsItsOwnPercentiles) {
  add_frame(1, 2500ns);
  const json summary = report()["summary"];
  EXPECT_EQ(summary["p50_latency_us"], 2.5);
  EXPECT_EQ(summary["p99_latency_us"], 2.5);
}

TEST_F(PerformanceReportTest, SteadyFramesSkipWarmUpInSlotMajorOrder) {
  for (int i = 0; i < 3; ++i) add_frame(0, 100us, {{"warm", {{0, 1us}}}});
  add_frame(1, 10us, {{"steady", {{0, 1us}, {0, 1us}}}});
  add_frame(1, 30us, {{"steady", {{0, 1us}}}});
  add_frame(2, 1000us, {{"resolution", {{0, 1us}}}});  // the resolution thread's slot never counts

  const json all = report({}, 0);
  EXPECT_EQ(all["summary"]["total_frames"], 5);
  EXPECT_EQ(all["summary"]["avg_latency_us"], 68.0);

  // The first three frames in slot-major order are all of slot 0, though slot 1 ran alongside.
  const json steady = report({}, 3);
  EXPECT_EQ(steady["summary"]["total_frames"], 2);
  EXPECT_EQ(steady["summary"]["avg_latency_us"], 20.0);
  ASSERT_EQ(steady["per_node"].size(), 1u);
  EXPECT_EQ(steady["per_node"][0]["name"], "steady");
  EXPECT_EQ(steady["per_node"][0]["invocations"], 3);
  EXPECT_EQ(steady["per_node"][0]["factor"], 1);  // 3 / 2 frames, integer division
  EXPECT_EQ(steady["summary"]["total_tasks_per_frame"], 1);

  EXPECT_FALSE(build_json_report(buffer_, {}, 5).has_value());
  EXPECT_FALSE(build_json_report(TimeBuffer(3, 1, false), {}, 0).has_value());
}

TEST_F(PerformanceReportTest, WithoutEdgesThereIsNoCriticalPath) {
  add_frame(0, 50us, {{"x", {{0, 40us}}}});  // 80% of capacity, yet no node hint off the path
  const json r = report();
  EXPECT_TRUE(r["critical_path"].is_null());
  EXPECT_EQ(r["per_node"][0]["on_critical_path"], false);
  EXPECT_EQ(r["bottleneck_hints"], json::array());
  EXPECT_EQ(r["optimization_suggestions"], json::array());
  const json& diagnostic = r["summary"]["scheduling_overhead_diagnostic"];
  EXPECT_EQ(diagnostic,
            json({{"critical_path_exec_us", 0.0},
                  {"interpretation",
                   "critical path unavailable — pass graph edges to enable diagnostics"},
                  {"overhead_pct", 100.0},
                  {"overhead_us", 50.0}}));
  EXPECT_TRUE(diagnostic["critical_path_exec_us"].is_number_float());
}

TEST_F(PerformanceReportTest, WorkerUtilisationAndImbalanceHints) {
  // Workers 0, 1 and 3 ran tasks (3 only for zero time), worker 2 none; work without a worker
  // counts towards capacity shares but not towards any worker.
  add_frame(
      0, 100us,
      {{"p", {{0, 100us}}}, {"q", {{1, 50us}}}, {"r", {{3, 0ns}}}, {"z", {{kNoWorker, 40us}}}});
  const json r = report();
  EXPECT_EQ(r["resource_utilization"]["worker_busy_pct"], json({100.0, 50.0, 0.0, 0.0}));
  // Triggered by the gap to the busiest worker, reported against the mean (37.5).
  EXPECT_EQ(r["bottleneck_hints"],
            json({"worker 1 utilization (50.0%) is -12.5% below average — possible load imbalance",
                  "worker 2 utilization (0.0%) is 37.5% below average — possible load imbalance",
                  "worker 3 utilization (0.0%) is 37.5% below average — possible load imbalance"}));
  std::map<std::string, double> pct;
  for (const json& node : r["per_node"]) pct[node["name"]] = node["pct_of_total"];
  // Capacity is 100 µs times 4 workers.
  EXPECT_EQ(pct,
            (std::map<std::string, double>{{"p", 25.0}, {"q", 12.5}, {"r", 0.0}, {"z", 10.0}}));
  EXPECT_EQ(r["per_node"][0]["name"], "p");
  EXPECT_EQ(r["per_node"][3]["name"], "r");
}

TEST_F(PerformanceReportTest, WorkOnNoWorkerLeavesOneIdleEntry) {
  add_frame(0, 10us, {{"z", {{kNoWorker, 5us}}}});
  const json r = report();
  EXPECT_EQ(r["resource_utilization"]["worker_busy_pct"], json({0.0}));
  EXPECT_EQ(r["per_node"][0]["pct_of_total"], 50.0);  // capacity of one worker
}

TEST_F(PerformanceReportTest, SuggestionsUseTheReportFigures) {
  // Without a path, overhead is 100% and only the task count can trigger advice.
  std::vector<TaskTime> many(10001, TaskTime{0, 1ns});
  add_frame(0, 100us, {{"k", many}});
  const json batching = report()["optimization_suggestions"];
  ASSERT_EQ(batching.size(), 1u);
  EXPECT_EQ(batching[0]["knob"], "batching_size");
  EXPECT_EQ(batching[0]["suggested_value"], 64);
  EXPECT_EQ(batching[0]["priority"], 3);
  EXPECT_EQ(batching[0]["estimated_speedup"], "1.1–1.5x");
  EXPECT_TRUE(batching[0]["description"].get<std::string>().starts_with("10001 tasks/frame"));
}

TEST_F(PerformanceReportTest, MaxNodeFactorComesFromThePathAndDrivesSuggestions) {
  // b runs 17 times over 2 frames: factor 8. "off" has a larger factor but is not on the path.
  add_frame(0, 100us,
            {{"a", {{0, 1us}}},
             {"b", std::vector<TaskTime>(9, {0, 1us})},
             {"off", std::vector<TaskTime>(40, {0, 1ns})}});
  add_frame(1, 100us, {{"a", {{0, 1us}}}, {"b", std::vector<TaskTime>(8, {0, 1us})}});
  const json r = report({{"a", {"b"}}, {"b", {}}});
  EXPECT_EQ(r["critical_path"]["max_node_factor"], 8);
  EXPECT_EQ(r["summary"]["total_tasks_per_frame"], 1 + 8 + 20);
  EXPECT_EQ(r["summary"]["scheduling_overhead_diagnostic"]["overhead_pct"], 98.0);
  EXPECT_EQ(r["summary"]["scheduling_overhead_diagnostic"]["interpretation"],
            "98% of latency is scheduling overhead — reducing task count via graph coarsening will "
            "have high impact; try larger tile_size or group_size in your graph builder, or enable "
            "coalesce_barriers=True");
  const json& suggestions = r["optimization_suggestions"];
  ASSERT_EQ(suggestions.size(), 1u);
  EXPECT_EQ(suggestions[0],
            json({{"action", "Set coalesce_barriers=True in graph.run()"},
                  {"category", "runtime_flags"},
                  {"confidence", "medium"},
                  {"description",
                   "Barrier fan-out overhead is likely significant with max critical-path factor "
                   "8. coalesce_barriers groups simultaneous completions into bulk tasks."},
                  {"estimated_speedup", "1.2–2x"},
                  {"knob", "coalesce_barriers"},
                  {"priority", 2},
                  {"suggested_value", true}}));
}

TEST_F(PerformanceReportTest, OverheadInterpretationBands) {
  struct {
    std::chrono::nanoseconds latency;  // against a 10 µs critical path
    const char* start;
  } const cases[] = {
      {50us, "80% of latency is scheduling overhead — reducing task count"},
      {20us, "50% of latency is scheduling overhead — consider coalesce_barriers=True"},
      {12500ns, "20% of latency is scheduling overhead — mixed profile"},
      {12us, "17% of latency is scheduling overhead — compute-bound"},
      {5us,
       "0% of latency is scheduling overhead — compute-bound"},  // the path exceeds the latency
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    buffer_.slot_history[0].clear();
    add_frame(0, c.latency, {{"a", {{0, 10us}}}});
    const json diagnostic = report({{"a", {}}})["summary"]["scheduling_overhead_diagnostic"];
    EXPECT_TRUE(diagnostic["interpretation"].get<std::string>().starts_with(c.start))
        << diagnostic["interpretation"];
  }
}

// ---- the file ----

class WriteJsonReportTest : public PerformanceReportTest {
 protected:
  void SetUp() override {
    PerformanceReportTest::SetUp();
    path_ = std::filesystem::temp_directory_path() /
            ("arvex-report-" + std::to_string(::getpid()) + ".json");
    std::filesystem::remove(path_);
  }
  void TearDown() override {
    std::filesystem::remove(path_);
    PerformanceReportTest::TearDown();
  }
  std::string file_text() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path path_;
};

TEST_F(WriteJsonReportTest, ReplacesTheFileWithTheReport) {
  std::ofstream(path_) << std::string(10000, 'x');
  add_frame(0, 10us, {{"a", {{0, 4us}}}});
  write_json_report(buffer_, chain({"a"}), path_.string(), 0);
  EXPECT_EQ(file_text(), text(chain({"a"})));
  EXPECT_TRUE(logged("report written"));
  EXPECT_TRUE(logged("path=" + path_.string()));
}

TEST_F(WriteJsonReportTest, NoFileWithoutSteadyFrames) {
  add_frame(0, 10us);
  write_json_report(buffer_, {}, path_.string(), 1);
  EXPECT_FALSE(std::filesystem::exists(path_));
  EXPECT_TRUE(logged("WARN"));
  EXPECT_TRUE(logged("no frames to report after exclusion"));
}

TEST_F(WriteJsonReportTest, UnwritablePathIsLoggedNotThrown) {
  add_frame(0, 10us);
  const std::string path = (path_ / "report.json").string();  // path_ does not exist
  write_json_report(buffer_, {}, path, 0);
  EXPECT_TRUE(logged("ERROR"));
  EXPECT_TRUE(logged("failed to create report file"));
  EXPECT_TRUE(logged("path=" + path));
  EXPECT_TRUE(logged("error=No such file or directory"));
  EXPECT_FALSE(logged("report written"));
}

}  // namespace
}  // namespace arvex
