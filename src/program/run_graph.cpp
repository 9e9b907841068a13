#include "program/run_graph.hpp"

#include <fmt/format.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "compiler/compile.hpp"
#include "instrumentation/async_recorder.hpp"
#include "instrumentation/stats_printout.hpp"
#include "instrumentation/time_buffer_manager.hpp"
#include "logging/log.hpp"
#include "placement/cpu_pinning.hpp"
#include "placement/worker_affinity.hpp"
#include "program/state_dump_watcher.hpp"
#include "runtime/runtime_builder.hpp"
#include "runtime/state_dumper.hpp"
#include "scheduling/scheduler.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core";
constexpr std::uint64_t kRecorderIntervalMs = 1000;
constexpr int kErrorStatus = 1;

void write_stderr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

std::set<WorkerRangeSpec> worker_specs(const Graph& graph) {
  std::set<WorkerRangeSpec> specs;
  for (const Node& node : graph.nodes()) {
    if (node.use_workers) specs.insert(*node.use_workers);
  }
  if (const auto& post = graph.post_nodes()) {
    for (const Node& node : *post) {
      if (node.use_workers) specs.insert(*node.use_workers);
    }
  }
  return specs;
}

SchedulerKind scheduler_kind_of(const Args& args) {
  if (args.fifo) return SchedulerKind::PoolFifo;
  if (args.custom) return SchedulerKind::Custom;
  return SchedulerKind::Pool;
}

// Where the scheduler records go: beside the timing file as <stem>_sched.csv, else
// scheduler_record.csv in the current directory.
std::string scheduler_csv_path(const Args& args) {
  if (!args.timing) return "scheduler_record.csv";
  const std::string& timing = *args.timing;
  const std::size_t slash = timing.rfind('/');
  const std::string name = slash == std::string::npos ? timing : timing.substr(slash + 1);
  const std::string stem = name.substr(0, name.find('.'));
  // A timing path without a parent directory puts the CSV in the current directory.
  const std::filesystem::path parent = std::filesystem::path(timing).parent_path();
  if (parent.empty()) return stem + "_sched.csv";
  return (parent / (stem + "_sched.csv")).string();
}

// The snapshot at shutdown, replacing any earlier file; a failure is reported, not fatal.
void write_final_snapshot(const ArvexRt& runtime, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::string text = StateDumper::dump(runtime);
  if (out) out << text;
  if (out) out.close();
  if (!out) {
    write_stderr(fmt::format("state dump to {} failed: {}\n", path, std::strerror(errno)));
    return;
  }
  ARVEX_LOG_INFO(kLogTarget, "runtime state dumped", log::field("path", path));
}

ArvexRtBuilder builder_from(const Args& args, std::size_t receiver_threads) {
  ArvexRtBuilder b;
  if (args.max_runtime != 0) b.max_runtime = args.max_runtime;
  if (args.record_frame) b.record_frame = *args.record_frame;
  b.slots = args.slots;
  b.max_frames = args.max_frames;
  b.system_threads = args.system_threads;
  b.receiver_threads = receiver_threads;
  b.workers = args.workers;
  b.core_offset = args.core_offset;
  b.recv_pool_size = args.recv_pool_size;
  b.spin_wait_park_ns = args.spin_wait_park_ns;
  b.spin_wait_spin_iters = args.spin_wait_spin_iters;
  b.spin_wait_yield_iters = args.spin_wait_yield_iters;
  b.batching_size = args.batching_size;
  b.batching_limit = args.batching_limit;
  b.sched_flush_threshold = args.sched_flush_threshold;
  b.spin_iterations = args.spin_iterations;
  b.slot_priority = args.slot_priority;
  b.coalesce_barriers = args.coalesce_barriers;
  b.inline_continuation = args.inline_continuation;
  b.no_fanout_bulk = args.no_fanout_bulk;
  b.single_slot = args.slots == 1;
  b.socket_recv_buf_bytes = args.socket_recv_buf_bytes;
  b.batch_queue_capacity = args.batch_queue_capacity;
  b.timing_enabled = args.timing.has_value();
  b.use_rdtsc = args.use_rdtsc;
  b.record = args.record;
  return b;
}

}  // namespace

int run_graph(StartupState& state) {
  const Args& args = state.args;

  std::shared_ptr<AsyncRecorder> recorder;
  if (args.record) {
    recorder = AsyncRecorder::create(args.workers + args.system_threads + state.receiver_threads, kRecorderIntervalMs);
  }
  const auto epoch = std::chrono::steady_clock::now();

  SchedulerConfig config;
  const std::set<WorkerRangeSpec> specs = worker_specs(state.graph.graph);
  if (!specs.empty()) {
    ARVEX_LOG_INFO(kLogTarget, "detected unique worker specs", log::field("count", specs.size()));
    for (const WorkerRangeSpec& range_spec : specs) {
      ARVEX_LOG_DEBUG(kLogTarget, "worker spec", log::field("ws", range_spec.debug_string()));
    }
    config.affinity = WorkerAffinityConfig::from_worker_specs(specs, args.workers);
  }
  config.epoch = epoch;
  config.core_offset = args.core_offset;
  config.workers = args.workers;
  config.recorder = recorder;
  config.system_threads = args.system_threads;
  config.receiver_threads = state.receiver_threads;
  config.record = args.record;
  config.kind = scheduler_kind_of(args);
  std::unique_ptr<SchedulerImpl> scheduler = create_scheduler(config);

  if (const std::optional<std::size_t> core = scheduler->main_core()) {
    (void)pin_current_thread(*core);  // refused pinning leaves the main thread where it is
    ARVEX_LOG_INFO(kLogTarget, "pinned main thread", log::field("core", *core));
  }

  const SchedulerImpl& lookup = *scheduler;
  GraphCompiled compiled = compile(std::move(state.graph), [&lookup](const std::optional<WorkerRangeSpec>& range_spec) {
    return lookup.worker_group(range_spec);
  });

  ArvexRtBuilder builder = builder_from(args, state.receiver_threads);
  builder.scheduler = std::move(scheduler);
  builder.compiled = std::move(compiled);
  builder.epoch = epoch;
  builder.recorder = recorder;
  auto runtime = build(std::move(builder));
  if (!runtime) {
    write_stderr(fmt::format("Config error: {}\n", runtime.error()));
    return kErrorStatus;
  }

  if (args.dump_state) {
    install_dump_request_handler();
    spawn_state_dump_watcher(*args.dump_state, runtime->shared());
  }

  if (auto ran = runtime->run(); !ran) {
    write_stderr(fmt::format("Runtime error: {}\n", ran.error()));
    return kErrorStatus;
  }

  if (args.dump_state) write_final_snapshot(*runtime, *args.dump_state);

  if (args.timing) {
    // The statistics are labelled with the timing file's name.
    const std::string& path = *args.timing;
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (const auto& timing = runtime->shared()->telemetry.time_buffers) {
      const auto printed = timing->with_buffer([&](const TimeBuffer& buffer) {
        return print_stats(buffer, name, std::filesystem::path(path), static_cast<std::size_t>(args.exclude_frames));
      });
      if (!printed) {
        write_stderr(printed.error() + "\n");
        return kErrorStatus;
      }
    }
  }
  if (args.record) {
    runtime->shared()->exec.scheduler->write_record(scheduler_csv_path(args));
    runtime->write_runtime_record();
  }
  if (args.report) runtime->write_json_report(*args.report, static_cast<std::size_t>(args.exclude_frames));
  return 0;
}

}  // namespace arvex
