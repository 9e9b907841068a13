#pragma once
// Building blocks for runtime tests: compiled graphs from hand-built nodes (optionally with a
// network source), a real one-worker scheduler of either kind, a builder filled with the
// command-line defaults around them, free loopback ports and scoped environment variables.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "compiler/compile.hpp"
#include "graph/graph_loader.hpp"
#include "kernels/builtin_kernels.hpp"
#include "runtime/runtime_builder.hpp"
#include "scheduling/scheduler.hpp"
#include "support/graph_builders.hpp"
#include "support/unique_fd.hpp"

namespace arvex::test {

using namespace test_support;

// Nodes as the loader lists them; with `network`, node 0 must be the "$network" source.
inline GraphCompiled compile_graph(std::vector<Node> nodes, std::optional<GraphNetworkConfig> network = std::nullopt) {
  GraphSpec graph_spec;
  for (Node& n : nodes) graph_spec.graph.add_node(std::move(n));
  if (network) graph_spec.graph.set_network_config(std::move(*network));
  graph_spec.init_objects = {{CmTypes::make_usize(0)}, {CmTypes::make_usize(1)}};
  return compile(std::move(graph_spec), [](const std::optional<WorkerRangeSpec>&) { return std::size_t{0}; });
}

// a (2 instances) feeds b (3) and the condition node c (2); d (1) reads b. Per frame: 6 counted
// tasks (a, b, d), 2 condition tasks (c); a is initial.
inline GraphCompiled diamond_graph() {
  Node c = node(2, "c", 2, {res(0)});
  c.condition = gate();
  return compile_graph({node(0, "a", 2), node(1, "b", 3, {res(0)}), std::move(c), node(3, "d", 1, {res(1, offsets(3))})});
}

// The "$network" source of `frame_packets` instances feeding one sink, bound to 127.0.0.1 from
// `start_port` on `num_sockets` ports, for packets of the stock header (frame id at byte 0,
// index at byte 8). With `indexed`, packets name their instance with "packet_index_u32le".
inline GraphNetworkConfig loopback_network(std::size_t frame_packets, std::size_t start_port,
                                           std::size_t num_sockets, bool indexed = false) {
  GraphNetworkConfig config;
  config.address = "127.0.0.1";
  config.num_sockets = num_sockets;
  config.packet_length = 64;
  config.frame_packets = frame_packets;
  config.start_port = start_port;
  config.extract_packet_func = packet_payload_kernel;
  config.extract_packet_func_name = "packet_payload";
  config.id_function = frame_id_u64le_kernel;
  config.id_function_name = "frame_id_u64le";
  if (indexed) {
    config.index_function = packet_index_u32le_kernel;
    config.index_function_name = "packet_index_u32le";
    config.index_args = std::vector<Arg>{};
  }
  return config;
}

inline GraphCompiled network_graph(GraphNetworkConfig config) {
  Node source = node(0, std::string(kNetworkNodeName), config.frame_packets);
  source.function.clear();
  return compile_graph({std::move(source), node(1, "sink", 1, {res(0)})}, std::move(config));
}

inline GraphCompiled network_graph(std::size_t frame_packets, std::size_t start_port, std::size_t num_sockets,
                                   bool indexed = false) {
  return network_graph(loopback_network(frame_packets, start_port, num_sockets, indexed));
}

// One worker and one resolution thread from core position 0, as on the 2-core test machines.
inline std::unique_ptr<SchedulerImpl> make_scheduler(SchedulerKind kind = SchedulerKind::Pool,
                                                     std::size_t receiver_threads = 0) {
  SchedulerConfig config;
  config.core_offset = 0;
  config.workers = 1;
  config.system_threads = 1;
  config.receiver_threads = receiver_threads;
  config.kind = kind;
  return create_scheduler(config);
}

inline ArvexRtBuilder builder_for(GraphCompiled compiled, SchedulerKind kind = SchedulerKind::Pool) {
  ArvexRtBuilder builder;
  builder.scheduler = make_scheduler(kind);
  builder.compiled = std::move(compiled);
  return builder;
}

// A one-instance task of `node_id` in `slot`, stamped with `generation`.
inline NodeInfo task(std::uint16_t node_id, std::size_t slot, std::size_t index, std::uint32_t generation = 0,
                     bool is_post = false) {
  NodeInfo t;
  t.node_id = node_id;
  t.slot = slot;
  t.index = index;
  t.count = 1;
  t.generation = generation;
  t.is_post = is_post;
  return t;
}

// Spins (yielding) until `done` holds; a guard against hanging, not a timing assertion.
template <class Done>
bool eventually(Done done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::yield();
  }
  return true;
}

// The first of `count` consecutive loopback UDP ports that were all free a moment ago.
inline std::size_t free_udp_ports(std::size_t count) {
  const auto bound = [](std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) fd.reset();
    return fd;
  };
  for (int attempt = 0; attempt < 50; ++attempt) {
    const UniqueFd first = bound(0);
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (!first || ::getsockname(first.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) continue;
    const std::size_t start = ntohs(addr.sin_port);
    bool free = start + count - 1 <= 65535;
    for (std::size_t i = 1; i < count && free; ++i) free = static_cast<bool>(bound(static_cast<std::uint16_t>(start + i)));
    if (free) return start;
  }
  ADD_FAILURE() << "no run of " << count << " free loopback UDP ports";
  return 0;
}

// Sets (or with nullopt unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace arvex::test
