#include "instrumentation/stats_printout.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace arvex {

namespace {

using std::chrono::nanoseconds;

constexpr std::string_view kSeparator = "****************";

// Appends one formatted line; every line of the printout ends with a newline.
template <class... Args>
void put_line(std::string& out, fmt::format_string<Args...> format, Args&&... args) {
  fmt::format_to(std::back_inserter(out), format, std::forward<Args>(args)...);
  out += '\n';
}

struct Summary {
  nanoseconds total{0};
  nanoseconds mean{0};
  nanoseconds deviation{0};
  nanoseconds min{0};
  nanoseconds max{0};
};

// `values` must not be empty.
Summary summarize(const std::vector<nanoseconds>& values) {
  Summary s;
  s.min = values.front();
  s.max = values.front();
  for (const nanoseconds v : values) {
    s.total += v;
    s.min = std::min(s.min, v);
    s.max = std::max(s.max, v);
  }
  const auto count = static_cast<nanoseconds::rep>(values.size());
  s.mean = s.total / count;  // integer division: the mean is truncated to whole nanoseconds
  const auto mean = static_cast<double>(s.mean.count());
  double squares = 0.0;
  for (const nanoseconds v : values) {
    const double diff = static_cast<double>(v.count()) - mean;
    squares += diff * diff;
  }
  const double deviation = std::sqrt(squares / static_cast<double>(values.size()));
  s.deviation = nanoseconds(static_cast<nanoseconds::rep>(deviation));
  return s;
}

std::string worker_label(std::uint64_t worker) {
  return worker == kNoWorker ? std::string("runtime") : fmt::format("W-{}", worker);
}

struct WorkerShare {
  std::size_t executions = 0;
  nanoseconds total{0};
};

struct TaskAggregate {
  std::vector<nanoseconds> durations;
  // The printout leaves the order of workers open; std::map makes it ascending by worker.
  std::map<std::uint64_t, WorkerShare> workers;
};

// Tolerates a hand-built buffer whose history is shorter than num_slots.
const std::vector<SlotStats>& history_of(const TimeBuffer& buffer, std::size_t slot) {
  static const std::vector<SlotStats> kEmpty;
  return slot < buffer.slot_history.size() ? buffer.slot_history[slot] : kEmpty;
}

}  // namespace

std::string format_duration(nanoseconds duration) {
  // Measured durations are never negative; a negative value would only garble the digits.
  const std::uint64_t ns = duration.count() > 0 ? static_cast<std::uint64_t>(duration.count()) : 0;
  struct Unit {
    std::uint64_t scale;
    std::string_view suffix;
  };
  static constexpr Unit kUnits[] = {{1'000'000'000, "s"}, {1'000'000, "ms"}, {1'000, "µs"}, {1, "ns"}};
  const Unit* unit = std::find_if(std::begin(kUnits), std::end(kUnits), [ns](const Unit& u) { return ns >= u.scale; });
  if (unit == std::end(kUnits)) unit = &kUnits[3];  // zero prints in nanoseconds

  // Integer rounding keeps the fourth decimal exact, which a double would not for large values.
  std::uint64_t whole = ns / unit->scale;
  const std::uint64_t scaled = (ns % unit->scale) * 10'000;
  std::uint64_t fraction = scaled / unit->scale;
  if ((scaled % unit->scale) * 2 >= unit->scale && unit->scale > 1) ++fraction;
  if (fraction == 10'000) {
    ++whole;
    fraction = 0;
  }
  return fmt::format("{}.{:04}{}", whole, fraction, unit->suffix);
}

std::string format_stats(const TimeBuffer& buffer, std::string_view name, std::size_t exclude_frames) {
  const std::size_t num_slots = buffer.num_slots;
  const std::size_t worker_slots = num_slots > buffer.system_threads ? num_slots - buffer.system_threads : 0;

  // Slot-major, so the warm-up frames are the earliest of the lowest slots, not the earliest in time.
  std::vector<const SlotStats*> frames;
  for (std::size_t slot = 0; slot < worker_slots; ++slot) {
    for (const SlotStats& frame : history_of(buffer, slot)) frames.push_back(&frame);
  }
  const std::size_t frame_count = frames.size();
  const std::size_t excluded = std::min(frame_count, exclude_frames);
  const std::size_t steady_count = frame_count - excluded;
  const auto steady_begin = frames.begin() + static_cast<std::ptrdiff_t>(excluded);

  std::string out;
  put_line(out, "Time Statistics for {}", name);
  put_line(out, "Total Slots: {}", num_slots);
  put_line(out, "Timing Method: {}", buffer.use_rdtsc ? "RDTSC" : "Instant");
  put_line(out, "Worker Slots: 0..{}, System Thread Slots: {}..{}", worker_slots, worker_slots, num_slots);
  put_line(out, "{}\nAggregated Statistics (All Slots):", kSeparator);
  put_line(out, "  Total Frames Processed: {}", frame_count);

  std::vector<std::string> per_slot;
  for (std::size_t slot = 0; slot < worker_slots; ++slot) {
    per_slot.push_back(fmt::format("Slot {}: {}", slot, history_of(buffer, slot).size()));
  }
  put_line(out, "  Frames per Slot: {}", fmt::join(per_slot, ", "));

  std::map<std::string, TaskAggregate> tasks;
  for (auto it = steady_begin; it != frames.end(); ++it) {
    for (const auto& [task, times] : (*it)->task_times) {
      if (times.empty()) continue;  // a name without times has no figures to show
      TaskAggregate& aggregate = tasks[task];
      for (const TaskTime& time : times) {
        aggregate.durations.push_back(time.duration);
        WorkerShare& share = aggregate.workers[time.worker];
        ++share.executions;
        share.total += time.duration;
      }
    }
  }

  if (frame_count > 0) {
    if (excluded > 0) {
      put_line(out, "  Excluded Frames (warm-up): {} (Steady-state: {} frames)", excluded, steady_count);
    }
    nanoseconds runtime{0};
    for (const SlotStats* frame : frames) runtime += frame->total_time;
    put_line(out, "  Total Runtime: {}", format_duration(runtime));

    // With every frame excluded the latency figures fall back to all frames rather than none.
    std::vector<nanoseconds> latencies;
    for (auto it = steady_count > 0 ? steady_begin : frames.begin(); it != frames.end(); ++it) {
      latencies.push_back((*it)->total_time);
    }
    const Summary latency = summarize(latencies);
    put_line(out, "  Avg Time Per Frame: {} (std: {})", format_duration(latency.mean), format_duration(latency.deviation));
    put_line(out, "  Min/Max Per Frame: {} / {}", format_duration(latency.min), format_duration(latency.max));

    nanoseconds compute{0};
    for (const auto& [task, aggregate] : tasks) {
      for (const nanoseconds d : aggregate.durations) compute += d;
    }
    const auto per_frame_divisor = static_cast<nanoseconds::rep>(steady_count > 0 ? steady_count : frame_count);
    put_line(out, "  Total Compute Time: {}", format_duration(compute));
    put_line(out, "  Avg Compute Time Per Frame: {}", format_duration(compute / per_frame_divisor));
  }

  put_line(out, "{}\nPer-Task Analysis (Aggregated):", kSeparator);
  for (const auto& [task, aggregate] : tasks) {
    const Summary s = summarize(aggregate.durations);
    const std::size_t executions = aggregate.durations.size();
    const nanoseconds per_frame =
        steady_count > 0 ? s.total / static_cast<nanoseconds::rep>(steady_count) : nanoseconds{0};
    put_line(out, "  {}", kSeparator);
    put_line(out, "  Task '{}' - Workers: {}, Total Executions: {}", task, aggregate.workers.size(), executions);
    put_line(out, "    Timing - Avg/Frame: {}, Avg/Task: {}, Std: {}, Min: {}, Max: {}, Total: {}",
             format_duration(per_frame), format_duration(s.mean), format_duration(s.deviation),
             format_duration(s.min), format_duration(s.max), format_duration(s.total));
    std::vector<std::string> shares;
    for (const auto& [worker, share] : aggregate.workers) {
      const double percent = static_cast<double>(share.executions) / static_cast<double>(executions) * 100.0;
      shares.push_back(fmt::format("{}: {} ({:.1f}%) - {}", worker_label(worker), share.executions, percent,
                                   format_duration(share.total)));
    }
    put_line(out, "    Worker Summary: {}", fmt::join(shares, ", "));
  }

  // System-thread work is not tied to frames, so no warm-up is excluded from it.
  bool any_system_history = false;
  for (std::size_t slot = worker_slots; slot < num_slots; ++slot) {
    any_system_history = any_system_history || !history_of(buffer, slot).empty();
  }
  if (any_system_history) {
    put_line(out, "{}\nSystem Thread Tasks (Slots {}..{}):", kSeparator, worker_slots, num_slots);
    for (std::size_t slot = worker_slots; slot < num_slots; ++slot) {
      const std::vector<SlotStats>& history = history_of(buffer, slot);
      if (history.empty()) continue;
      std::map<std::string, std::vector<nanoseconds>> merged;
      for (const SlotStats& frame : history) {
        for (const auto& [task, times] : frame.task_times) {
          std::vector<nanoseconds>& durations = merged[task];
          for (const TaskTime& time : times) durations.push_back(time.duration);
        }
      }
      put_line(out, "  Resolution Thread {} (Slot {}):", slot - worker_slots, slot);
      for (const auto& [task, durations] : merged) {
        if (durations.empty()) continue;  // a name with an empty list has no figures to show
        const Summary s = summarize(durations);
        put_line(out, "    Task '{}' - Executions: {}, Avg: {}, Std: {}, Min: {}, Max: {}, Total: {}", task,
                 durations.size(), format_duration(s.mean), format_duration(s.deviation), format_duration(s.min),
                 format_duration(s.max), format_duration(s.total));
      }
    }
  }
  return out;
}

Expected<void, std::string> print_stats(const TimeBuffer& buffer, std::string_view name,
                                        const std::optional<std::filesystem::path>& path,
                                        std::size_t exclude_frames) {
  // Built completely first, so a failure cannot leave half a report behind.
  const std::string text = format_stats(buffer, name, exclude_frames);
  if (!path) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return {};
  }
  const auto fail = [] { return Unexpected{fmt::format("Unable to write file: {}", std::strerror(errno))}; };
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path->c_str(), "w"), &std::fclose);
  if (!file) return fail();
  if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size() || std::fflush(file.get()) != 0) {
    return fail();
  }
  if (std::fclose(file.release()) != 0) return fail();
  return {};
}

}  // namespace arvex
