// The state snapshot of a runtime: its picture before a run, after one, and its text form.

#include "runtime/state_dumper.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <fstream>
#include <string>
#include <utility>

#include "runtime/slot_management.hpp"
#include "runtime_fixture.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

using namespace arvex::test;

class StateDumperTest : public test_support::LogCaptureTest {};

ArvexRt built(ArvexRtBuilder builder) {
  auto runtime = build(std::move(builder));
  EXPECT_TRUE(runtime.has_value()) << runtime.error();
  return std::move(runtime).value();
}

TEST_F(StateDumperTest, ARuntimeThatNeverRanShowsIdleSlotsAndNoNetworkActivity) {
  ArvexRtBuilder builder = builder_for(diamond_graph());
  builder.slots = 2;
  builder.max_frames = 7;
  const ArvexRt rt = built(std::move(builder));
  const std::string text = StateDumper::dump(rt);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.front(), '{');
  EXPECT_EQ(text.back(), '}') << "no newline after the closing brace";

  const nlohmann::json expected = nlohmann::json::parse(R"({
    "config": {"max_frames": 7, "slots": 2, "system_threads": 1, "workers": 1},
    "graph": {"nodes": 4, "total_cond_tasks_per_frame": 2, "total_tasks_per_frame": 6},
    "network": {"dropped_frames": 0, "frames_received": 0, "parked_frames": [], "parked_packets": 0,
                "receive_finished": false},
    "progress": {"frames_completed": 0, "jobs_recorded": 0, "shutdown": false},
    "scheduler": {"batch_queue_len": 0, "total_completed": 0, "total_spawned": 0},
    "slot_data": {"active_bitmap": "0x0", "last_assigned": 0, "running_frames": [], "slots": [
      {"frame_id": null, "generation": 0, "needs_check": false, "packet_complete": false, "packet_count": 0,
       "pending_cond_tasks": 2, "pending_tasks": 6, "processing_count": 0, "slot": 0, "state": "inactive"},
      {"frame_id": null, "generation": 0, "needs_check": false, "packet_complete": false, "packet_count": 0,
       "pending_cond_tasks": 2, "pending_tasks": 6, "processing_count": 0, "slot": 1, "state": "inactive"}]}
  })");
  EXPECT_EQ(nlohmann::json::parse(text), expected) << text;
  // Keys in byte order, two-space indentation.
  EXPECT_EQ(text.rfind("{\n  \"config\": {\n    \"max_frames\": 7,", 0), 0u) << text;
  EXPECT_LT(text.find("\"config\""), text.find("\"graph\""));
  EXPECT_LT(text.find("\"scheduler\""), text.find("\"slot_data\""));
}

TEST_F(StateDumperTest, AfterARunTheBudgetIsSpentAndShutdownSet) {
  ArvexRtBuilder builder = builder_for(diamond_graph());
  builder.slots = 2;
  builder.max_frames = 5;
  const ArvexRt rt = built(std::move(builder));
  ASSERT_TRUE(rt.run().has_value());
  const nlohmann::json state = StateDumper::dump_value(rt);
  EXPECT_EQ(state["progress"]["frames_completed"], 5);
  EXPECT_EQ(state["progress"]["shutdown"], true);
  EXPECT_GT(state["scheduler"]["total_spawned"].get<std::uint64_t>(), 0u);
  EXPECT_EQ(state["slot_data"]["active_bitmap"], "0x0");
}

TEST_F(StateDumperTest, ActiveSlotsShowTheirFramesAndBitmap) {
  ArvexRtBuilder builder = builder_for(diamond_graph());
  builder.slots = 2;
  builder.max_frames = 7;
  const ArvexRt rt = built(std::move(builder));
  SlotHooks hooks;
  assign_frame_to_available_slot(*rt.shared(), 4, hooks);
  const nlohmann::json state = StateDumper::dump_value(rt);
  EXPECT_EQ(state["slot_data"]["active_bitmap"], "0x1");
  EXPECT_EQ(state["slot_data"]["running_frames"], nlohmann::json::parse("[[4, 0]]"));
  EXPECT_EQ(state["slot_data"]["slots"][0]["frame_id"], 4);
  EXPECT_EQ(state["slot_data"]["slots"][0]["state"], "active");
  EXPECT_EQ(state["slot_data"]["slots"][0]["generation"], 1);
}

TEST_F(StateDumperTest, RuntimeReportsWithoutTimingOrRecordingWriteNothing) {
  for (const bool record : {false, true}) {
    clear_log();
    ArvexRtBuilder builder = builder_for(diamond_graph());
    builder.record = record;
    const ArvexRt rt = built(std::move(builder));
    rt.write_runtime_record();
    EXPECT_TRUE(logged(record ? "async_recorder records already written via scheduler" : "recorder not enabled"))
        << logged();
    // No time buffers without --timing: the report writes no file.
    const std::string path = ::testing::TempDir() + "arvex_report_without_timing.json";
    std::remove(path.c_str());
    rt.write_json_report(path, 0);
    EXPECT_FALSE(std::ifstream(path).good());
  }
}

TEST_F(StateDumperTest, SnapshotsCanBeTakenWhileTheRunGoesOn) {
  ArvexRtBuilder builder = builder_for(diamond_graph());
  builder.slots = 3;
  builder.max_frames = 300;
  const ArvexRt rt = built(std::move(builder));
  auto run = std::async(std::launch::async, [&] { return rt.run(); });
  std::uint64_t last = 0;
  while (run.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
    const nlohmann::json state = StateDumper::dump_value(rt);
    const auto completed = state["progress"]["frames_completed"].get<std::uint64_t>();
    EXPECT_GE(completed, last) << "progress never goes back";
    last = completed;
    EXPECT_EQ(state["slot_data"]["slots"].size(), 3u);
  }
  EXPECT_TRUE(run.get().has_value());
}

}  // namespace
}  // namespace arvex
