#pragma once
// Scheduler recording: with --record every job leaves one Record of when and where it ran.
// Each producer thread owns one unbounded channel into a background collector, so recording
// never blocks or locks on the job path; after the run the collected records go to a CSV file.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "arvex/expected.hpp"

namespace arvex {

// One executed job, in CSV column order.
struct Record {
  std::uint64_t slot = 0;
  std::uint64_t job_id = 0;
  std::uint64_t start_ns = 0;  // since the scheduler's epoch
  std::uint64_t end_ns = 0;
  std::uint64_t worker = 0;  // the core of a scheduler worker
  std::uint16_t task_id = 0;
  std::uint64_t index = 0;

  friend bool operator==(const Record&, const Record&) = default;
};

class RecordChannel;
// A producer's sending end; cheap to copy.
using RecordSender = std::shared_ptr<RecordChannel>;

using RecordsByProducer = std::map<std::size_t, std::vector<Record>>;

// Records published by the last collector to finish, taken out by the CSV writer.
struct FinalRecords {
  std::mutex mutex;
  std::optional<RecordsByProducer> records;
};
FinalRecords& FINAL_RECORDS();

class AsyncRecorder {
 public:
  // Starts the collector over `producers` channels. The interval is kept for the record; the
  // collector polls every 100 µs whatever it is. Failing to start the thread stops the program.
  static std::shared_ptr<AsyncRecorder> create(std::size_t producers, std::uint64_t interval_ms);

  AsyncRecorder(const AsyncRecorder&) = delete;
  AsyncRecorder& operator=(const AsyncRecorder&) = delete;
  // Stops and joins the collector if it still runs.
  ~AsyncRecorder();

  std::size_t producer_count() const noexcept { return channels_.size(); }
  // The sending end of producer `producer` (< producer_count()).
  RecordSender sender(std::size_t producer) const { return channels_.at(producer); }

  // Stops the collector, waits for its final collection, and writes every published record:
  // a header line, then each producer's records in arrival order. Writes no file when nothing
  // was published or nothing was recorded. The error is the system's text.
  Expected<void, std::string> write_to_csv(const std::string& path);

 private:
  explicit AsyncRecorder(std::size_t producers);
  void collect_loop();

  std::vector<std::shared_ptr<RecordChannel>> channels_;
  std::atomic<bool> stop_{false};
  std::thread collector_;
};

// Moves every queued record of every channel, producer by producer, into `records`; returns the
// number moved. Used by the collector; exposed for tests.
std::size_t collect_all_records(const std::vector<std::shared_ptr<RecordChannel>>& channels, RecordsByProducer& records);

// The calling thread's producer channel (replacing any previous one).
void set_worker_recorder(RecordSender sender) noexcept;

// Sends `record` on the calling thread's channel; without one, or once the collector has
// finished, the record is dropped. Never blocks.
void submit_record(const Record& record) noexcept;

}  // namespace arvex
