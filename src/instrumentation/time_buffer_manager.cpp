#include "instrumentation/time_buffer_manager.hpp"

#include <concurrentqueue/blockingconcurrentqueue.h>
#include <fmt/format.h>

#include <atomic>
#include <exception>
#include <future>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core::timing";

using FinishResult = Expected<SlotStats, std::string>;

struct AddTaskTime {
  std::size_t slot = 0;
  std::string name;
  std::uint64_t worker = kNoWorker;
  std::chrono::nanoseconds duration{0};
};
struct Start {
  std::size_t slot;
  TimingPoint at;
};
struct Finish {
  std::size_t slot;
  TimingPoint at;
  std::promise<FinishResult> reply;
};
struct Shutdown {};

using TimingRequest = std::variant<AddTaskTime, Start, Finish, Shutdown>;

// A broken precondition of a caller; it ends the controller.
struct ControllerFault {
  std::string message;
};

Expected<void, std::string> check_slot(const TimeBuffer& buffer, std::size_t slot) {
  if (slot >= buffer.num_slots) return Unexpected{fmt::format("Slot ID {} out of bounds (max: {})", slot, buffer.num_slots - 1)};
  return {};
}

}  // namespace

struct TimeBufferManager::Controller {
  explicit Controller(bool rdtsc) : use_rdtsc(rdtsc) {}

  std::atomic<bool> send_warned{false};

  // Fails once the controller has ended. Senders announce themselves in `sending` before they
  // look at `closed`, so a dying controller that sees no sender after closing knows that no
  // request can arrive behind its last drain.
  bool send(TimingRequest&& request) {
    sending.fetch_add(1, std::memory_order_seq_cst);
    bool sent = false;
    if (!closed.load(std::memory_order_seq_cst)) sent = queue.enqueue(std::move(request));
    sending.fetch_sub(1, std::memory_order_seq_cst);
    return sent;
  }

  void run(TimeBufferManager::Shared& shared) {
    TimingRequest request;
    for (;;) {
      queue.wait_dequeue(request);
      if (std::holds_alternative<Shutdown>(request)) break;
      std::optional<std::string> fault;
      try {
        apply(shared, request);
      } catch (const ControllerFault& f) {
        fault = f.message;
      } catch (const std::exception& e) {
        fault = e.what();
      }
      if (fault) {
        ARVEX_LOG_ERROR(kLogTarget, "timing controller stopped", log::field("error", *fault));
        failed = true;
        // Closed before the failing request is dropped, so its sender, once its reply breaks,
        // finds every later send refused.
        close_and_drain();
        return;
      }
    }
    close_and_drain();
  }

  static void apply(TimeBufferManager::Shared& shared, TimingRequest& request) {
    const std::lock_guard lock(shared.mutex);
    TimeBuffer& buffer = shared.buffer;
    if (auto* add = std::get_if<AddTaskTime>(&request)) {
      fail_unless(check_slot(buffer, add->slot));
      buffer.task_times[add->slot][std::move(add->name)].push_back(TaskTime{add->worker, add->duration});
    } else if (auto* start = std::get_if<Start>(&request)) {
      fail_unless(check_slot(buffer, start->slot));
      buffer.slot_starts[start->slot] = start->at;
    } else if (auto* finish = std::get_if<Finish>(&request)) {
      auto stats = buffer.finish_slot_processing_with_time(finish->slot, finish->at);
      if (!stats) throw ControllerFault{std::move(stats).error()};
      try {
        finish->reply.set_value(std::move(stats));
      } catch (const std::future_error&) {
        // The caller is gone; the frame is recorded all the same.
      }
    }
  }

  static void fail_unless(Expected<void, std::string> check) {
    if (!check) throw ControllerFault{std::move(check).error()};
  }

  // Drops every queued request (breaking pending replies) until no sender can add another.
  void close_and_drain() {
    closed.store(true, std::memory_order_seq_cst);
    TimingRequest dropped;
    for (;;) {
      const bool quiet = sending.load(std::memory_order_seq_cst) == 0;
      while (queue.try_dequeue(dropped)) dropped = TimingRequest{};
      if (quiet) return;
      std::this_thread::yield();
    }
  }

  const bool use_rdtsc;
  moodycamel::BlockingConcurrentQueue<TimingRequest> queue;
  std::atomic<bool> closed{false};
  std::atomic<std::uint32_t> sending{0};
  bool failed = false;  // read only after the join
  std::thread thread;
};

TimeBufferManager::TimeBufferManager(std::size_t num_slots, std::size_t system_threads, bool use_rdtsc)
    : shared_(std::make_shared<Shared>(num_slots, system_threads, use_rdtsc)),
      controller_(std::make_unique<Controller>(use_rdtsc)) {
  try {
    controller_->thread = std::thread([controller = controller_.get(), shared = shared_] { controller->run(*shared); });
  } catch (const std::system_error& error) {
    fatal_stop("failed to spawn thread", error.what());
  }
}

TimeBufferManager::~TimeBufferManager() {
  if (!controller_->send(Shutdown{})) ARVEX_LOG_WARN(kLogTarget, "failed to send shutdown request");
  try {
    controller_->thread.join();
  } catch (const std::system_error& error) {
    ARVEX_LOG_WARN(kLogTarget, "controller thread panicked during shutdown", log::field("error", error.what()));
    return;
  }
  if (controller_->failed) ARVEX_LOG_WARN(kLogTarget, "controller thread panicked during shutdown");
}

bool TimeBufferManager::use_rdtsc() const noexcept { return controller_->use_rdtsc; }

bool TimeBufferManager::stopped() const noexcept { return controller_->closed.load(std::memory_order_acquire); }

// Once the controller has ended every frame and task would fail to send; the run goes on
// without timing and says so once.
void TimeBufferManager::warn_send_failed() {
  if (controller_->send_warned.exchange(true, std::memory_order_relaxed)) return;
  ARVEX_LOG_WARN(kLogTarget, "failed to send timing request - controller may have shut down");
}

void TimeBufferManager::start_slot_processing(std::size_t slot) {
  if (!controller_->send(Start{slot, TimingPoint::now(controller_->use_rdtsc)})) {
    warn_send_failed();
  }
}

void TimeBufferManager::add_task_time(std::size_t slot, std::string_view name, std::uint64_t worker,
                                      std::chrono::nanoseconds duration) {
  if (!controller_->send(AddTaskTime{slot, std::string(name), worker, duration})) {
    warn_send_failed();
  }
}

Expected<SlotStats, std::string> TimeBufferManager::finish_slot_processing(std::size_t slot) {
  const TimingPoint end = TimingPoint::now(controller_->use_rdtsc);
  std::promise<FinishResult> reply;
  std::future<FinishResult> answer = reply.get_future();
  if (!controller_->send(Finish{slot, end, std::move(reply)})) {
    return Unexpected{std::string("Failed to send request - controller may have shut down")};
  }
  try {
    return answer.get();
  } catch (const std::future_error&) {
    return Unexpected{std::string("Failed to receive response from controller")};
  }
}

}  // namespace arvex
