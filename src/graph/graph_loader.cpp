#include "graph/graph_loader.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "graph/function_registry.hpp"
#include "graph/graph_file_reader.hpp"
#include "graph/init_objects.hpp"
#include "graph/predecessor_indexes.hpp"
#include "logging/log.hpp"
#include "support/read_file.hpp"
#include "values/string_to_cmtype.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core::graph_gen";
// Node ids are 16-bit.
constexpr std::size_t kMaxNodes = std::size_t{std::numeric_limits<std::uint16_t>::max()} + 1;

Expected<CondOp, LoadError> parse_operation(const std::string& text) {
  if (text == "Eq") return CondOp::Eq;
  if (text == "Neq") return CondOp::Neq;
  if (text == "Gt") return CondOp::Gt;
  if (text == "Lt") return CondOp::Lt;
  return Unexpected{fmt::format("Invalid condition operation '{}'", text)};
}

Expected<CmTypes, LoadError> parse_literal(const std::string& type, const std::string& value) {
  LiteralResult parsed = string_to_cmtype(type, value);
  if (!parsed) return Unexpected{std::move(parsed).error().details};
  return std::move(parsed).value();
}

Expected<std::vector<Arg>, LoadError> parse_args(const std::vector<ArgJson>& args, const LoadContext& context) {
  std::vector<Arg> out;
  out.reserve(args.size());
  for (const ArgJson& json : args) {
    ARVEX_ASSIGN_OR_RETURN(arg, parse_arg(json, context));
    out.push_back(std::move(arg));
  }
  return out;
}

Priority parse_priority(const std::optional<std::string>& text) {
  if (text == "high") return Priority::High;
  if (text == "low") return Priority::Low;
  return Priority::Normal;
}

std::string lower_case(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  return text;
}

Expected<GraphNetworkConfig, LoadError> parse_network_config(const NetworkConfigJson& json, const LoadContext& context) {
  const std::string socket_type = lower_case(json.socket_type);
  if (socket_type != "udp") {
    return Unexpected{fmt::format("Unsupported socket type '{}'. Only 'udp' is currently supported.", socket_type)};
  }
  GraphNetworkConfig config;
  ARVEX_ASSIGN_OR_RETURN(num_sockets, resolve(json.num_sockets, context.objects, context.variables, context.workers));
  ARVEX_ASSIGN_OR_RETURN(packet_length, resolve(json.packet_length, context.objects, context.variables, context.workers));
  ARVEX_ASSIGN_OR_RETURN(frame_packets, resolve(json.frame_packets, context.objects, context.variables, context.workers));
  config.num_sockets = num_sockets;
  config.packet_length = packet_length;
  config.frame_packets = frame_packets;

  ARVEX_ASSIGN_OR_RETURN(address, first_value_of(json.address, context.objects, context.variables));
  if (address == nullptr) {
    config.address = json.address;
  } else if (address->is(CmTag::String)) {
    config.address = std::string(address->text());
  } else {
    return Unexpected{LoadError("Network address must be a String type in init_objects")};
  }

  ARVEX_ASSIGN_OR_RETURN(start_port, resolve(json.start_port, context.objects, context.variables, context.workers));
  config.start_port = start_port;
  config.extract_packet_func = function_registry::lookup(json.extract_packet_func);
  config.id_function = function_registry::lookup(json.id_function);
  config.index_function = function_registry::lookup(json.index_function.function);
  config.extract_packet_func_name = json.extract_packet_func;
  config.id_function_name = json.id_function;
  config.index_function_name = json.index_function.function;
  ARVEX_ASSIGN_OR_RETURN(index_args, parse_args(json.index_function.args, context));
  config.index_args = std::move(index_args);
  config.buffer_depth = static_cast<std::size_t>(json.buffer_depth);

  ARVEX_LOG_INFO(kLogTarget, "network configuration parsed", log::field("socket_type", socket_type),
                 log::field("num_sockets", config.num_sockets), log::field("packet_length", config.packet_length),
                 log::field("buffer_depth", config.buffer_depth), log::field("address", config.address),
                 log::field("start_port", config.start_port), log::field("extract_packet_func", json.extract_packet_func));
  return config;
}

}  // namespace

Expected<Arg, LoadError> parse_arg(const ArgJson& json, const LoadContext& context) {
  Arg arg;
  if (json.condition) {
    ARVEX_ASSIGN_OR_RETURN(op, parse_operation(json.condition->operation));
    ARVEX_ASSIGN_OR_RETURN(value, parse_literal(json.condition->value_type, json.condition->value));
    arg.condition = ArgCondition{op, std::move(value)};
  }

  if (json.predecessor) {
    const PredJson& pred = *json.predecessor;
    const auto id = context.node_ids.find(pred.name);
    if (id == context.node_ids.end()) return Unexpected{fmt::format("Unknown predecessor node '{}'", pred.name)};
    ARVEX_ASSIGN_OR_RETURN(indexes, parse_predecessor_indexes(pred.indexes, pred.name, context.objects, context.variables));
    PredRef ref{id->second, std::move(indexes), std::nullopt};
    if (pred.group_by) {
      ARVEX_ASSIGN_OR_RETURN(group_by, resolve(*pred.group_by, context.objects, context.variables, context.workers));
      ref.group_by = group_by;
    }
    ARVEX_ASSIGN_OR_RETURN(value, parse_literal(json.type, std::to_string(id->second)));
    arg.pred = std::move(ref);
    arg.value = std::move(value);
    return arg;
  }

  if (!json.value) return arg;  // value None
  const auto variable = context.variables.find(*json.value);
  // A variable stands for its object index: "$ref" then refers to the object.
  const std::string text = variable != context.variables.end() ? std::to_string(variable->second) : *json.value;
  ARVEX_ASSIGN_OR_RETURN(value, parse_literal(json.type, text));
  arg.value = std::move(value);
  return arg;
}

Expected<Node, LoadError> parse_single_node(const NodeJson& json, const LoadContext& context) {
  Node node;
  ARVEX_ASSIGN_OR_RETURN(args, parse_args(json.args, context));
  node.args = std::move(args);
  if (json.loop_args) {
    ARVEX_ASSIGN_OR_RETURN(loop_args, parse_args(*json.loop_args, context));
    node.loop_args = std::move(loop_args);
  }
  ARVEX_ASSIGN_OR_RETURN(factor, resolve(json.factor, context.objects, context.variables, context.workers));
  node.factor = factor;
  if (json.group_size) {
    ARVEX_ASSIGN_OR_RETURN(group_size, resolve(*json.group_size, context.objects, context.variables, context.workers));
    // Groups of no instance cannot be counted or released.
    if (group_size == 0) return Unexpected{fmt::format("Node '{}' has a group_size of 0; it must be at least 1", json.name)};
    node.group_size = group_size;
  }
  if (json.loop) {
    ARVEX_ASSIGN_OR_RETURN(loop_factor, resolve(json.loop->factor, context.objects, context.variables, context.workers));
    node.loop = LoopSpec{json.loop->name, loop_factor};
  }
  if (json.condition) {
    const NodeConditionJson& cond = *json.condition;
    ARVEX_ASSIGN_OR_RETURN(op, parse_operation(cond.operation));
    LiteralResult value = string_to_cmtype(cond.value_type, cond.value);
    if (!value) return Unexpected{fmt::format("Failed to parse condition value '{}': {}", cond.value, value.error().details)};
    ARVEX_ASSIGN_OR_RETURN(cond_args, parse_args(cond.args, context));
    node.condition = NodeCondition{op, std::move(value).value(), cond.function, std::move(cond_args)};
  }
  node.priority = parse_priority(json.priority);
  if (json.use_workers) {
    auto range_spec = WorkerRangeSpec::parse(*json.use_workers);
    if (!range_spec) return Unexpected{fmt::format("Invalid use_workers spec '{}': {}", *json.use_workers, range_spec.error())};
    node.use_workers = *range_spec;
  }
  node.name = json.name;
  node.function = json.function;
  return node;
}

Expected<GraphSpec, LoadError> from_json_str(std::string_view text, std::size_t workers) {
  ARVEX_ASSIGN_OR_RETURN(file, read_graph_file(text));

  GraphSpec graph_spec;
  InitObjects& objects = graph_spec.init_objects;
  VariableTable variables;
  objects.push_back({CmTypes::make_usize(0)});
  variables.emplace("$index", 0);
  objects.push_back({CmTypes::make_usize(1)});
  variables.emplace("$workers", 1);
  if (auto built = build_init_objects(file.initializations, variables, objects, workers); !built) {
    return Unexpected{std::move(built).error()};
  }

  NodeNameMap node_ids;
  const LoadContext context{objects, variables, node_ids, workers};
  Graph& graph = graph_spec.graph;
  if (file.network_config) {
    ARVEX_ASSIGN_OR_RETURN(config, parse_network_config(*file.network_config, context));
    Node source;
    source.id = 0;
    source.name = std::string(kNetworkNodeName);
    source.factor = config.frame_packets;
    graph.set_network_config(std::move(config));
    graph.add_node(std::move(source));
    node_ids.insert_or_assign(std::string(kNetworkNodeName), std::uint16_t{0});
  } else {
    ARVEX_DEBUG_PRINT("no network_config found, skipping network receiver setup");
  }

  const std::size_t node_count = graph.nodes().size() + file.nodes.size();
  if (node_count > kMaxNodes) {
    return Unexpected{fmt::format("The graph has {} nodes; at most {} are supported", node_count, kMaxNodes)};
  }
  for (const NodeJson& json : file.nodes) {
    ARVEX_ASSIGN_OR_RETURN(node, parse_single_node(json, context));
    node.id = static_cast<std::uint16_t>(graph.nodes().size());
    node_ids.insert_or_assign(node.name, node.id);
    graph.add_node(std::move(node));
  }

  if (file.post_nodes) {
    if (file.post_nodes->size() > kMaxNodes) {
      return Unexpected{fmt::format("The graph has {} post nodes; at most {} are supported", file.post_nodes->size(), kMaxNodes)};
    }
    for (std::size_t k = 0; k < file.post_nodes->size(); ++k) {
      const NodeJson& json = (*file.post_nodes)[k];
      ARVEX_DEBUG_PRINT("Adding post-node: {}", json.name);
      ARVEX_ASSIGN_OR_RETURN(node, parse_single_node(json, context));
      node.id = static_cast<std::uint16_t>(k);
      graph.add_post_node(std::move(node));
    }
  }
  return graph_spec;
}

Expected<GraphSpec, LoadError> from_json(const std::string& path, std::size_t workers) {
  auto text = read_whole_file(path);
  if (!text) {
    const FileError& error = text.error();
    if (error.opening) return Unexpected{fmt::format("Cannot open graph file '{}': {}", path, error.message)};
    return Unexpected{error.message};
  }
  return from_json_str(*text, workers);
}

}  // namespace arvex
