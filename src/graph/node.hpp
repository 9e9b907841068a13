#pragma once
// The parsed parts of a graph: nodes, their arguments with predecessor references and
// conditions, and the network configuration. Filled by the loader, read-only afterwards.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "arvex/cm_types.hpp"
#include "arvex/kernel.hpp"
#include "placement/worker_range.hpp"

namespace arvex {

enum class CondOp : std::uint8_t { Eq = 0, Neq = 1, Gt = 2, Lt = 3 };

enum class Priority : std::uint8_t { High = 0, Normal = 1, Low = 2 };

// Where an argument comes from: instance i of the consumer reads predecessor instance
// find_pred_index(i, offset, predecessor factor) for each offset.
struct PredRef {
  std::uint16_t node = 0;
  std::vector<std::int64_t> indexes;
  std::optional<std::size_t> group_by;
};

struct ArgCondition {
  CondOp op = CondOp::Eq;
  CmTypes value;
};

struct Arg {
  std::optional<PredRef> pred;
  std::optional<ArgCondition> condition;
  // The parsed literal; for an argument with a predecessor, the literal of its type built from
  // the predecessor's id (Res(id), Dep(id), Barrier("id")); None when no value was given.
  CmTypes value;
};

struct NodeCondition {
  CondOp op = CondOp::Eq;
  CmTypes value;
  std::string function;
  std::vector<Arg> args;
};

struct LoopSpec {
  std::string name;
  std::size_t factor = 1;
};

struct Node {
  std::uint16_t id = 0;  // position in the node list, or in the post-node list
  std::string name;
  std::string function;
  std::vector<Arg> args;
  std::optional<std::vector<Arg>> loop_args;
  std::size_t factor = 1;  // instances per frame
  std::optional<std::size_t> group_size;
  std::optional<LoopSpec> loop;
  std::optional<NodeCondition> condition;
  Priority priority = Priority::Normal;
  std::optional<WorkerRangeSpec> use_workers;
};

struct GraphNetworkConfig {
  std::string address;
  std::optional<std::vector<Arg>> index_args = std::nullopt;
  std::optional<KernelFn> index_function = std::nullopt;
  std::size_t num_sockets = 0;
  std::size_t packet_length = 0;
  std::size_t frame_packets = 0;
  std::size_t buffer_depth = 0;
  std::size_t start_port = 0;
  std::optional<KernelFn> extract_packet_func = std::nullopt;
  std::optional<KernelFn> id_function = std::nullopt;
  // The names the graph file gave the three functions, for messages (a function that is not
  // in the registry is absent above).
  std::string extract_packet_func_name = {};
  std::string id_function_name = {};
  std::string index_function_name = {};
};

// The name of the synthetic source node fed by the network receivers.
inline constexpr std::string_view kNetworkNodeName = "$network";

}  // namespace arvex
