#pragma once
// Small graph-building helpers shared by the tables tests: nodes and predecessor edges the way
// the loader produces them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "graph/graph.hpp"

namespace arvex::test {

inline Arg res_edge(std::uint16_t from, std::vector<std::int64_t> offsets = {0}) {
  Arg arg;
  arg.pred = PredRef{from, std::move(offsets), std::nullopt};
  arg.value = CmTypes::make_res(from);
  return arg;
}

inline Arg barrier_edge(std::uint16_t from, std::vector<std::int64_t> offsets = {0},
                        std::optional<std::size_t> group_by = std::nullopt) {
  Arg arg;
  arg.pred = PredRef{from, std::move(offsets), group_by};
  arg.value = CmTypes::make_barrier(std::to_string(from));
  return arg;
}

// Offsets 0, 1, ..., count - 1.
inline std::vector<std::int64_t> offsets(std::size_t count) {
  std::vector<std::int64_t> out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::int64_t>(i);
  return out;
}

struct NodeSpec {
  NodeSpec(std::string name_, std::size_t factor_ = 1, std::vector<Arg> args_ = {},
           std::optional<std::size_t> group_size_ = std::nullopt, bool condition_ = false)
      : name(std::move(name_)), factor(factor_), args(std::move(args_)), group_size(group_size_),
        condition(condition_) {}

  std::string name;
  std::size_t factor;
  std::vector<Arg> args;
  std::optional<std::size_t> group_size;
  bool condition;  // a node-level condition
};

inline Graph make_graph(std::vector<NodeSpec> specs) {
  Graph graph;
  for (std::size_t i = 0; i < specs.size(); ++i) {
    Node node;
    node.id = static_cast<std::uint16_t>(i);
    node.name = std::move(specs[i].name);
    node.function = "noop";
    node.factor = specs[i].factor;
    node.args = std::move(specs[i].args);
    node.group_size = specs[i].group_size;
    if (specs[i].condition) node.condition = NodeCondition{CondOp::Eq, CmTypes::make_bool(true), "noop", {}};
    graph.add_node(std::move(node));
  }
  return graph;
}

}  // namespace arvex::test
