#include "runtime/receiver_threads.hpp"

#include <fmt/format.h>
#include <pthread.h>

#include <cstdlib>
#include <exception>
#include <system_error>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"
#include "network/receiver_loop.hpp"
#include "placement/core_allocation.hpp"
#include "runtime/shared_data.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core::network";

std::string dylib_path() {
  const char* path = std::getenv("DYLIB_PATH");
  return path != nullptr ? std::string(path) : std::string("./libfexolib.so");
}

std::thread spawn_receiver_thread(std::string name, const std::shared_ptr<SharedData>& shared, std::size_t thread_id,
                                  SocketRange range, std::size_t core_position) {
  NetworkInfra& net = shared->network;
  ReceiverLoopArgs args;
  args.packet_length = shared->graph.network_config()->packet_length;
  args.pool_size = shared->config.recv_pool_size;
  args.shutdown = &shared->shutdown;
  args.packets = &net.packet_channel;
  args.sockets = net.sockets;
  args.drop_counters = &net.drop_counters;
  args.thread_id = thread_id;
  args.first_socket = range.first;
  args.end_socket = range.end;
  args.core_position = core_position;
  for (std::size_t s = range.first; s < range.end; ++s) {
    std::optional<std::shared_ptr<BufferReturnChannel>> receiver = net.buffer_return_receivers[s].take();
    if (!receiver) fatal_stop("buffer_return_receivers already taken");
    args.return_receivers.push_back(std::move(*receiver));
  }
  // The thread holds the run's state for as long as it polls the sockets in it.
  return std::thread([shared, name = std::move(name), args = std::move(args)]() mutable {
    ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
    try {
      multi_socket_receiver_loop(std::move(args));
    } catch (const std::exception& e) {
      fatal_stop(fmt::format("receiver thread {} failed", name), e.what());
    }
  });
}

}  // namespace

std::vector<SocketRange> receiver_socket_ranges(std::size_t threads, std::size_t num_sockets) {
  std::vector<SocketRange> ranges;
  if (threads >= num_sockets) {
    for (std::size_t i = 0; i < num_sockets; ++i) ranges.push_back({i, i + 1});
    return ranges;
  }
  const std::size_t chunk = (num_sockets + threads - 1) / threads;
  for (std::size_t t = 0; t < threads; ++t) {
    const std::size_t first = t * chunk;
    ranges.push_back({first, std::min(first + chunk, num_sockets)});
  }
  return ranges;
}

Expected<std::vector<std::thread>, std::string> spawn_receiver_threads(const std::shared_ptr<SharedData>& shared) {
  std::vector<std::thread> threads;
  const GraphNetworkConfig* network = shared->graph.network_config().get();
  if (network == nullptr) {
    ARVEX_LOG_DEBUG(kLogTarget, "No network_config present - skipping network receiver setup");
    return threads;
  }
  ARVEX_LOG_INFO(kLogTarget, "initializing network receiver infrastructure", log::field("num_sockets", network->num_sockets),
                 log::field("buffer_depth", network->buffer_depth));
  const std::size_t bound = shared->network.sockets.size();
  if (bound != network->num_sockets) {
    fatal_stop(fmt::format("Network config expected {} sockets but {} were allocated", network->num_sockets, bound));
  }
  const RunConfig& config = shared->config;
  // The builder guarantees at least one receiver with a network source.
  const std::size_t receivers = std::max<std::size_t>(config.receiver_threads, 1);
  const std::size_t offset = config.receiver_core_start;
  // Past the usable cores a receiver runs unpinned.
  const std::size_t unpinned = usable_cores().size();
  ARVEX_LOG_INFO(kLogTarget, "spawning receiver threads", log::field("receiver_threads", receivers),
                 log::field("receiver_offset", offset), log::field("dylib", dylib_path()));

  const bool one_to_one = receivers >= network->num_sockets;
  if (one_to_one) {
    ARVEX_LOG_DEBUG(kLogTarget, "using 1:1 thread-to-socket mapping");
  } else {
    ARVEX_LOG_WARN(kLogTarget, "receiver_threads < num_sockets, using round-robin polling",
                   log::field("receiver_threads", receivers), log::field("num_sockets", network->num_sockets));
  }
  const std::vector<SocketRange> ranges = receiver_socket_ranges(receivers, network->num_sockets);
  for (std::size_t id = 0; id < ranges.size(); ++id) {
    const std::size_t core = id < config.pinned_receivers ? offset + id : std::max(unpinned, offset + id);
    try {
      threads.push_back(spawn_receiver_thread(one_to_one ? fmt::format("rx-{}", id) : fmt::format("rx-multi-{}", id), shared, id,
                                              ranges[id], core));
    } catch (const std::system_error& e) {
      for (std::thread& started : threads) started.detach();
      return Unexpected{fmt::format("failed to spawn receiver thread {}: {}", id, e.what())};
    }
    if (one_to_one) {
      ARVEX_LOG_DEBUG(kLogTarget, "receiver thread spawned", log::field("socket_id", id), log::field("core_id", core));
    } else {
      ARVEX_LOG_DEBUG(kLogTarget, "multi-socket receiver spawned", log::field("thread_id", id),
                      log::field("socket_range_display", fmt::format("{}..{}", ranges[id].first, ranges[id].end)),
                      log::field("core_id", core));
    }
  }
  ARVEX_LOG_INFO(kLogTarget, "network receiver infrastructure ready");
  return threads;
}

void shutdown_receiver_threads(SharedData& shared, std::vector<std::thread>& threads) {
  if (threads.empty()) return;
  ARVEX_LOG_INFO(kLogTarget, "shutting down receiver threads", log::field("count", threads.size()));
  shared.shutdown.store(true, std::memory_order_release);
  for (std::size_t idx = 0; idx < threads.size(); ++idx) {
    if (threads[idx].joinable()) threads[idx].join();
    ARVEX_LOG_DEBUG(kLogTarget, "receiver thread shut down", log::field("idx", idx));
  }
  threads.clear();

  NetworkInfra& net = shared.network;
  std::size_t total = 0;
  for (std::size_t s = 0; s < net.drop_counters.size(); ++s) {
    const std::size_t drops = net.drop_counters[s].load(std::memory_order_acquire);
    if (drops == 0) continue;
    total += drops;
    ARVEX_LOG_WARN(kLogTarget, "packets dropped", log::field("socket_id", s), log::field("drops", drops));
  }
  if (total == 0) {
    ARVEX_LOG_INFO(kLogTarget, "no packets dropped");
  } else {
    ARVEX_LOG_WARN(kLogTarget, "total packets dropped across all sockets", log::field("total_drops", total));
  }
  if (const std::size_t dropped = net.dropped_frames.load(std::memory_order_acquire); dropped != 0) {
    ARVEX_LOG_WARN(kLogTarget, "frames dropped (no available slots)", log::field("dropped_frames", dropped));
  }
  if (const std::size_t late = net.late_packets.load(std::memory_order_acquire); late != 0) {
    ARVEX_LOG_WARN(kLogTarget, "late packets discarded", log::field("late_packets", late));
  }
  if (const std::size_t excess = net.excess_packets.load(std::memory_order_acquire); excess != 0) {
    ARVEX_LOG_WARN(kLogTarget, "excess packets discarded", log::field("excess_packets", excess));
  }
}

}  // namespace arvex
