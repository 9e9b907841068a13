#pragma once
// The graph file as written: plain records read from the JSON document before any
// interpretation. Names, literals and factors stay text here; the loader resolves them.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace arvex {

// A count written either as a non-negative integer or as the name of a variable
// ("$workers" or an initialization object holding a number).
struct Factor {
  std::variant<std::uint64_t, std::string> value = std::uint64_t{1};

  friend bool operator==(const Factor&, const Factor&) = default;
};

struct ArgInit {
  std::string type;
  std::string value;
};

struct InitJson {
  std::string name;
  Factor factor;  // 1 when absent
  std::vector<ArgInit> args;
  std::optional<std::string> function;
};

struct PredJson {
  std::string name;
  std::string indexes;
  std::optional<Factor> group_by;
};

struct ConditionJson {
  std::string operation;
  std::string value;
  std::string value_type;
};

struct ArgJson {
  std::string type;
  std::optional<std::string> value;
  std::optional<ConditionJson> condition;
  std::optional<PredJson> predecessor;
};

struct LoopJson {
  std::string name;
  Factor factor;  // 1 when absent
};

struct NodeConditionJson {
  std::string operation;
  std::string value;
  std::string value_type;
  std::string function;
  std::vector<ArgJson> args;
};

struct NodeJson {
  std::string name;
  Factor factor;  // 1 when absent
  std::string function;
  std::optional<LoopJson> loop;
  std::optional<std::vector<ArgJson>> loop_args;
  std::vector<ArgJson> args;
  std::optional<NodeConditionJson> condition;
  std::optional<std::string> priority;
  std::optional<Factor> group_size;
  std::optional<std::string> use_workers;
};

struct IndexFunctionJson {
  std::string function;
  std::vector<ArgJson> args;
};

struct NetworkConfigJson {
  std::string socket_type;
  Factor num_sockets;
  Factor packet_length;
  Factor frame_packets;
  std::uint64_t buffer_depth = 128;
  std::string address;
  Factor start_port;
  std::string extract_packet_func;
  std::string id_function;
  IndexFunctionJson index_function;
};

struct GraphFile {
  std::vector<InitJson> initializations;  // empty when absent
  std::vector<NodeJson> nodes;
  std::optional<std::vector<NodeJson>> post_nodes;
  std::optional<NetworkConfigJson> network_config;
};

}  // namespace arvex
