#include "runtime/runtime_builder.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <span>
#include <utility>
#include <vector>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"
#include "instrumentation/time_buffer_manager.hpp"
#include "network/udp_socket.hpp"
#include "placement/core_allocation.hpp"
#include "runtime/node_executor.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core::runtime";
// The collector interval of a recorder the builder creates itself.
constexpr std::uint64_t kRecorderIntervalMs = 100;

// A network step cannot run without its extract and ID functions (nor with an index function
// named but not registered), and a frame of no packets on no sockets would never arrive:
// refuse such a source before anything is bound.
std::optional<std::string> check_network_config(const GraphNetworkConfig* network) {
  if (network == nullptr) return std::nullopt;
  if (!network->extract_packet_func) {
    return fmt::format("network function '{}' not found in registry", network->extract_packet_func_name);
  }
  if (!network->id_function) return fmt::format("network function '{}' not found in registry", network->id_function_name);
  if (network->frame_packets == 0) return "network_config frame_packets must be >= 1 (got 0)";
  if (network->num_sockets == 0) return "network_config num_sockets must be >= 1 (got 0)";
  // An empty name asks for arrival order; a name that is not registered is a mistake, which
  // would otherwise place packets silently in arrival order.
  if (!network->index_function && !network->index_function_name.empty()) {
    return fmt::format("network function '{}' not found in registry", network->index_function_name);
  }
  return std::nullopt;
}

std::optional<std::string> check_config(const ArvexRtBuilder& b) {
  if (b.slots == 0) return fmt::format("slots must be >= 1 (got {})", b.slots);
  if (b.slots > kMaxSlots) {
    return fmt::format(
        "Αρβέξ supports at most {} concurrent slots (got {}); this limit is enforced by the u64 completion bitmaps",
        kMaxSlots, b.slots);
  }
  if (b.batch_queue_capacity == 0) {
    return fmt::format("batch_queue_capacity must be > 0 (got {})", b.batch_queue_capacity);
  }
  return check_network_config(b.compiled.graph.network_config().get());
}

// The graph compiler never marks a node as an unchecked wrapper, so the selection only reports.
void select_unchecked_wrappers(std::span<const NodeCacheEntry> node_cache) {
  if (std::getenv(kDisableUncheckedWrappersEnv) != nullptr) {
    ARVEX_LOG_INFO(kLogTarget, "unchecked wrappers disabled via ARVEX_DISABLE_UNCHECKED_WRAPPERS");
    return;
  }
  const auto selected = static_cast<std::size_t>(
      std::count_if(node_cache.begin(), node_cache.end(), [](const NodeCacheEntry& e) { return e.unchecked_wrapper; }));
  ARVEX_LOG_INFO(kLogTarget, "unchecked wrapper selection complete", log::field("selected", selected),
                 log::field("total", node_cache.size()));
}

// What every slot starts a frame with: counted tasks (every node but the condition nodes),
// condition tasks, and per node the condition-spawn word of generation 0.
SlotData::Shape slot_shape(std::size_t slots, std::span<const NodeCacheEntry> node_cache) {
  SlotData::Shape shape;
  shape.slots = slots;
  shape.cond_spawn_initial.reserve(node_cache.size());
  for (const NodeCacheEntry& entry : node_cache) {
    if (entry.is_condition) {
      shape.cond_tasks_per_frame += entry.factor;
    } else {
      shape.tasks_per_frame += entry.factor;
    }
    shape.cond_spawn_initial.push_back(entry.is_condition ? entry.factor : 0);
  }
  return shape;
}

void adopt_thread_layout(ArvexRtBuilder& b, bool has_network) {
  const ThreadLayout layout = b.scheduler->thread_layout();
  const std::size_t requested_receivers = b.receiver_threads;
  b.system_threads = layout.system_threads;
  b.core_offset = layout.system_core_start;
  b.receiver_threads = layout.receiver_threads;
  b.receiver_core_start = layout.receiver_core_start;
  b.workers = layout.worker_threads;
  if (has_network) {
    // The socket range must be polled, and every requested receiver runs: those the core
    // allocation left no core for run unpinned rather than on a worker's or resolver's core.
    const std::size_t wanted = std::max({requested_receivers, layout.receiver_threads, std::size_t{1}});
    b.pinned_receivers = layout.receiver_threads;
    if (b.pinned_receivers == 0) b.receiver_core_start = usable_cores().size();
    b.receiver_threads = wanted;
    if (wanted > b.pinned_receivers) {
      ARVEX_LOG_WARN(kLogTarget, "receiver threads beyond the allocated cores run unpinned",
                     log::field("requested_receiver_threads", requested_receivers),
                     log::field("receiver_threads", b.receiver_threads), log::field("pinned", b.pinned_receivers));
    }
  }
  b.single_slot = b.slots == 1;
}

RunConfig run_config(const ArvexRtBuilder& b) {
  RunConfig c;
  c.max_runtime = b.max_runtime;
  c.record_frame = b.record_frame;
  c.slots = b.slots;
  c.max_frames = b.max_frames;
  c.system_threads = b.system_threads;
  c.receiver_threads = b.receiver_threads;
  c.workers = b.workers;
  c.core_offset = b.core_offset;
  c.receiver_core_start = b.receiver_core_start;
  c.pinned_receivers = b.pinned_receivers;
  c.recv_pool_size = b.recv_pool_size;
  c.spin_wait_park_ns = b.spin_wait_park_ns;
  c.spin_wait_spin_iters = b.spin_wait_spin_iters;
  c.spin_wait_yield_iters = b.spin_wait_yield_iters;
  c.batching_size = b.batching_size;
  c.batching_limit = b.batching_limit;
  c.sched_flush_threshold = b.sched_flush_threshold;
  c.spin_iterations = b.spin_iterations;
  c.slot_priority = b.slot_priority;
  c.coalesce_barriers = b.coalesce_barriers;
  c.inline_continuation = b.inline_continuation;
  c.no_fanout_bulk = b.no_fanout_bulk;
  c.single_slot = b.single_slot;
  return c;
}

NetworkInfra::Parts network_parts(const ArvexRtBuilder& b, const GraphNetworkConfig* network) {
  NetworkInfra::Parts parts;
  // Frame ids up to max_frames + slots - 1 can be in flight or parked while the last frames run.
  parts.tracked_frames = b.max_frames + b.slots;
  parts.recv_pool_size = b.recv_pool_size;
  if (network == nullptr) return parts;  // an unused channel of capacity 1, nothing per socket
  parts.packet_channel_capacity = b.packet_channel_capacity.value_or(packet_channel_capacity(network->frame_packets));
  parts.slots = b.slots;
  parts.frame_packets = network->frame_packets;
  parts.track_instances = network->index_function.has_value();
  parts.sockets =
      bind_udp_socket_range(network->address, network->start_port, network->num_sockets, b.socket_recv_buf_bytes);
  return parts;
}

// The result map's node layout: post results share the table (in the post slot, under the
// post node's id), so each id needs room for the larger of its node's and post node's factor.
std::vector<Node> result_map_layout(const std::vector<Node>& nodes, const std::optional<std::vector<Node>>& post) {
  const std::size_t count = std::max(nodes.size(), post ? post->size() : 0);
  std::vector<Node> layout(count);
  for (std::size_t id = 0; id < count; ++id) {
    layout[id].id = static_cast<std::uint16_t>(id);
    const std::size_t own = id < nodes.size() ? nodes[id].factor : 0;
    const std::size_t posted = post && id < post->size() ? (*post)[id].factor : 0;
    layout[id].factor = std::max(own, posted);
  }
  return layout;
}

}  // namespace

Expected<ArvexRt, std::string> build(ArvexRtBuilder builder) {
  if (!builder.scheduler) fatal_stop("the runtime builder needs the run's scheduler");
  builder.slots = std::min(builder.slots, builder.max_frames);
  if (auto error = check_config(builder)) return Unexpected{std::move(*error)};

  GraphCompiled& compiled = builder.compiled;
  const std::vector<Node>& nodes = compiled.graph.nodes();
  const GraphNetworkConfig* network = compiled.graph.network_config().get();

  select_unchecked_wrappers(compiled.node_cache);
  SlotData::Shape shape = slot_shape(builder.slots, compiled.node_cache);
  adopt_thread_layout(builder, network != nullptr);

  // One time-buffer slot per frame slot and one per resolution thread.
  std::shared_ptr<TimeBufferManager> time_buffers;
  if (builder.timing_enabled) {
    time_buffers = std::make_shared<TimeBufferManager>(builder.slots + builder.system_threads, builder.system_threads,
                                                       builder.use_rdtsc);
  }

  std::shared_ptr<AsyncRecorder> recorder;
  if (builder.record) {
    recorder = builder.recorder ? std::move(builder.recorder)
                                : AsyncRecorder::create(builder.slots + builder.system_threads + builder.receiver_threads,
                                                        kRecorderIntervalMs);
  }
  builder.recorder.reset();

  auto counter = std::make_shared<MultiThreadedCounter>(builder.slots, compiled.dep_counts, nodes);
  ARVEX_LOG_DEBUG(kLogTarget, "\nDependencyCounter initialized:\n{}\n", counter->debug_info());

  NetworkInfra::Parts network_infra = network_parts(builder, network);
  // Slots 0 .. slots - 1 hold frames; slot slots + system_threads is the post nodes'.
  auto result_map = std::make_shared<LockFreeResultMap>(result_map_layout(nodes, compiled.graph.post_nodes()),
                                                        builder.slots + builder.system_threads + 1);

  const bool custom = builder.scheduler->is_custom();
  SharedData::Parts parts{
      .config = run_config(builder),
      .compiled = std::move(builder.compiled),
      .network = std::move(network_infra),
      .slots = std::move(shape),
      .telemetry = {.start = builder.epoch, .time_buffers = std::move(time_buffers), .recorder = std::move(recorder)},
      .exec = {.batch_queue_capacity = builder.batch_queue_capacity,
               .scheduler = std::move(builder.scheduler),
               .counter = std::move(counter),
               .result_map = std::move(result_map)},
  };
  auto shared = std::make_shared<SharedData>(std::move(parts));
  if (custom) shared->exec.scheduler->set_node_executor(make_node_executor(shared));
  return ArvexRt(std::move(shared));
}

}  // namespace arvex
