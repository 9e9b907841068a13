// Scheduler recording: per-producer channels into a collector, then one CSV file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "instrumentation/async_recorder.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

class AsyncRecorderTest : public test_support::LogCaptureTest {
 protected:
  void SetUp() override {
    LogCaptureTest::SetUp();
    path_ = std::filesystem::temp_directory_path() / ("arvex-records-" + std::to_string(::getpid()) + ".csv");
    std::filesystem::remove(path_);
  }
  void TearDown() override {
    LogCaptureTest::TearDown();
    std::filesystem::remove(path_);
    std::lock_guard lock(FINAL_RECORDS().mutex);  // no published map leaks into the next test
    FINAL_RECORDS().records.reset();
  }
  std::string file_text() const {
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path path_;
};

Record record(std::uint64_t slot, std::uint64_t job_id, std::uint64_t worker) {
  return Record{slot, job_id, job_id * 10, job_id * 10 + 5, worker, static_cast<std::uint16_t>(job_id % 7), slot + 100};
}

TEST_F(AsyncRecorderTest, WritesEveryProducersRecordsInSubmissionOrder) {
  const auto recorder = AsyncRecorder::create(3, 100);
  constexpr std::uint64_t kPerProducer = 200;
  std::vector<std::thread> producers;
  for (std::size_t p : {0u, 2u}) {
    producers.emplace_back([&, p] {
      set_worker_recorder(recorder->sender(p));
      for (std::uint64_t i = 0; i < kPerProducer; ++i) submit_record(record(p, i, p + 40));
      set_worker_recorder(nullptr);
    });
  }
  for (auto& t : producers) t.join();
  ASSERT_TRUE(recorder->write_to_csv(path_.string()));

  std::istringstream lines(file_text());
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "slot,job_id,start_ns,end_ns,worker,task_id,index");
  std::string expected;
  for (std::uint64_t p : {0u, 2u}) {
    for (std::uint64_t i = 0; i < kPerProducer; ++i) {
      const Record r = record(p, i, p + 40);
      expected += std::to_string(r.slot) + "," + std::to_string(r.job_id) + "," + std::to_string(r.start_ns) + "," +
                  std::to_string(r.end_ns) + "," + std::to_string(r.worker) + "," + std::to_string(r.task_id) + "," +
                  std::to_string(r.index) + "\n";
    }
  }
  std::string rest((std::istreambuf_iterator<char>(lines)), std::istreambuf_iterator<char>());
  EXPECT_EQ(rest, expected) << "grouped by producer, each in submission order";
  EXPECT_TRUE(logged("INFO arvex_core::async_recorder: records written total_written=400 path=" + path_.string()))
      << logged();
}

TEST_F(AsyncRecorderTest, SecondWriteFindsNothing) {
  const auto recorder = AsyncRecorder::create(1, 100);
  set_worker_recorder(recorder->sender(0));
  submit_record(record(1, 1, 1));
  set_worker_recorder(nullptr);
  ASSERT_TRUE(recorder->write_to_csv(path_.string()));
  std::filesystem::remove(path_);
  ASSERT_TRUE(recorder->write_to_csv(path_.string()));
  EXPECT_FALSE(std::filesystem::exists(path_));
  EXPECT_TRUE(logged("DEBUG arvex_core::async_recorder: no records collected")) << logged();
}

TEST_F(AsyncRecorderTest, NothingRecordedWritesNoFile) {
  const auto recorder = AsyncRecorder::create(2, 100);
  submit_record(record(0, 0, 0));  // this thread has no channel: dropped
  ASSERT_TRUE(recorder->write_to_csv(path_.string()));
  EXPECT_FALSE(std::filesystem::exists(path_));
  EXPECT_TRUE(logged("no records to write")) << logged();
}

TEST_F(AsyncRecorderTest, RecordsAfterTheFinalCollectionAreDropped) {
  const auto recorder = AsyncRecorder::create(1, 100);
  set_worker_recorder(recorder->sender(0));
  submit_record(record(0, 1, 0));
  ASSERT_TRUE(recorder->write_to_csv(path_.string()));
  submit_record(record(0, 2, 0));  // the collector is gone; must not block or crash
  set_worker_recorder(nullptr);
  const std::string text = file_text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST_F(AsyncRecorderTest, UnwritablePathIsReturned) {
  const auto recorder = AsyncRecorder::create(1, 100);
  set_worker_recorder(recorder->sender(0));
  submit_record(record(0, 1, 0));
  set_worker_recorder(nullptr);
  const auto written = recorder->write_to_csv("/nonexistent/dir/records.csv");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error(), "No such file or directory");
}

TEST(AsyncRecorderLifetime, DestructionStopsTheCollector) {
  for (int i = 0; i < 5; ++i) {
    auto recorder = AsyncRecorder::create(4, 100);
    set_worker_recorder(recorder->sender(3));
    submit_record(record(0, 0, 0));
    set_worker_recorder(nullptr);
  }  // each destructor joins its collector
  std::lock_guard lock(FINAL_RECORDS().mutex);
  ASSERT_TRUE(FINAL_RECORDS().records.has_value());
  EXPECT_EQ(FINAL_RECORDS().records->at(3).size(), 1u) << "the last collector to finish publishes";
  FINAL_RECORDS().records.reset();
}

}  // namespace
}  // namespace arvex
