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
#include "support/graph_builders.hpp"

namespace arvex::test {

using namespace test_support;

inline Arg res_edge(std::uint16_t from, std::vector<std::int64_t> offs = {0}) { return res(from, std::move(offs)); }
inline Arg barrier_edge(std::uint16_t from, std::vector<std::int64_t> offs = {0},
                        std::optional<std::size_t> group_by = std::nullopt) {
  return barrier(from, std::move(offs), group_by);
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
