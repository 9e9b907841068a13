#include "instrumentation/async_recorder.hpp"

#include <concurrentqueue/concurrentqueue.h>
#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"

namespace arvex {

// An unbounded multi-producer queue; one thread produces into each channel in practice, which
// keeps its records in submission order.
class RecordChannel {
 public:
  void send(const Record& record) noexcept {
    if (closed_.load(std::memory_order_acquire)) return;
    try {
      queue_.enqueue(record);
    } catch (...) {
      // Out of memory: the record is lost, the job is not.
    }
  }
  bool try_receive(Record& record) noexcept { return queue_.try_dequeue(record); }
  // After the final collection nothing more is received; later sends are dropped.
  void close() noexcept { closed_.store(true, std::memory_order_release); }

 private:
  moodycamel::ConcurrentQueue<Record> queue_;
  std::atomic<bool> closed_{false};
};

namespace {

constexpr std::string_view kLogTarget = "arvex_core::async_recorder";
constexpr auto kCollectPeriod = std::chrono::microseconds(100);

thread_local RecordSender WORKER_RECORDER;

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

}  // namespace

FinalRecords& FINAL_RECORDS() {
  static FinalRecords instance;
  return instance;
}

std::size_t collect_all_records(const std::vector<std::shared_ptr<RecordChannel>>& channels, RecordsByProducer& records) {
  std::size_t moved = 0;
  Record record;
  for (std::size_t producer = 0; producer < channels.size(); ++producer) {
    while (channels[producer]->try_receive(record)) {
      records[producer].push_back(record);
      ++moved;
    }
  }
  return moved;
}

AsyncRecorder::AsyncRecorder(std::size_t producers) {
  channels_.reserve(producers);
  for (std::size_t i = 0; i < producers; ++i) channels_.push_back(std::make_shared<RecordChannel>());
}

std::shared_ptr<AsyncRecorder> AsyncRecorder::create(std::size_t producers, std::uint64_t /*interval_ms*/) {
  std::shared_ptr<AsyncRecorder> recorder(new AsyncRecorder(producers));
  try {
    recorder->collector_ = std::thread([raw = recorder.get()] { raw->collect_loop(); });
  } catch (const std::system_error& error) {
    fatal_stop("failed to spawn thread", error.what());
  }
  return recorder;
}

AsyncRecorder::~AsyncRecorder() {
  stop_.store(true, std::memory_order_seq_cst);
  if (collector_.joinable()) collector_.join();
}

void AsyncRecorder::collect_loop() {
  RecordsByProducer records;
  while (!stop_.load(std::memory_order_seq_cst)) {
    collect_all_records(channels_, records);
    std::this_thread::sleep_for(kCollectPeriod);
  }
  for (const auto& channel : channels_) channel->close();
  collect_all_records(channels_, records);
  FinalRecords& final_records = FINAL_RECORDS();
  std::lock_guard lock(final_records.mutex);
  final_records.records = std::move(records);
}

Expected<void, std::string> AsyncRecorder::write_to_csv(const std::string& path) {
  stop_.store(true, std::memory_order_seq_cst);
  // Joining (rather than waiting a while) guarantees the final collection is published.
  if (collector_.joinable()) collector_.join();

  std::optional<RecordsByProducer> records;
  {
    FinalRecords& final_records = FINAL_RECORDS();
    std::lock_guard lock(final_records.mutex);
    records.swap(final_records.records);
  }
  if (!records) {
    ARVEX_LOG_DEBUG(kLogTarget, "no records collected");
    return {};
  }
  if (records->empty()) {
    ARVEX_LOG_DEBUG(kLogTarget, "no records to write");
    return {};
  }

  File file(std::fopen(path.c_str(), "w"), &std::fclose);
  if (!file) return Unexpected{std::string(std::strerror(errno))};
  std::setvbuf(file.get(), nullptr, _IOFBF, 8192);
  std::size_t written = 0;
  std::fputs("slot,job_id,start_ns,end_ns,worker,task_id,index\n", file.get());
  for (const auto& [producer, list] : *records) {
    for (const Record& r : list) {
      fmt::print(file.get(), "{},{},{},{},{},{},{}\n", r.slot, r.job_id, r.start_ns, r.end_ns, r.worker, r.task_id, r.index);
      ++written;
    }
  }
  if (std::fflush(file.get()) != 0 || std::ferror(file.get()) != 0) return Unexpected{std::string(std::strerror(errno))};
  if (std::fclose(file.release()) != 0) return Unexpected{std::string(std::strerror(errno))};
  ARVEX_LOG_INFO(kLogTarget, "records written", log::field("total_written", written), log::field("path", path));
  return {};
}

void set_worker_recorder(RecordSender sender) noexcept { WORKER_RECORDER = std::move(sender); }

void submit_record(const Record& record) noexcept {
  if (WORKER_RECORDER) WORKER_RECORDER->send(record);
}

}  // namespace arvex
