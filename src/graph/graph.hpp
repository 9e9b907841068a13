#pragma once
// Graph: the in-memory form of a loaded graph file. The loader fills it node by node through
// add_node, add_post_node and set_network_config; the derived adjacency (successors, initial
// nodes, condition nodes) is kept up to date as nodes arrive. Afterwards it is read-only and
// the compiler and the dependency counter read it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "graph/node.hpp"

namespace arvex {

class Graph {
 public:
  // Appends a node whose id must equal the current node count.
  void add_node(Node node);
  // Appends a post node (run once after the last frame) whose id must equal the post-node count.
  void add_post_node(Node node);
  // Replaces any previous configuration.
  void set_network_config(GraphNetworkConfig config);

  // Per node, in id order: the predecessor completions it waits for in one frame, summed over
  // all its instances. Emits DEPCOUNT debug lines.
  std::vector<std::size_t> dependency_count_vec() const;

  // For each condition node (in id order): the positions of its args that carry a condition;
  // nodes without such args contribute nothing.
  std::vector<std::vector<std::size_t>> get_condition_indexes() const;

  // The graph summary that --inits prints: nodes, post nodes, initial nodes and successors.
  std::string graph_text() const;
  // Writes graph_text() to standard output.
  void print_graph() const;

  // The predecessor instance read by instance `index` for `offset`: (index + offset) modulo
  // `pred_factor`, wrapping negative sums around. A factor of 0 stops the program.
  static std::size_t find_pred_index(std::size_t index, std::int64_t offset, std::size_t pred_factor) noexcept;

  const std::vector<Node>& nodes() const noexcept { return nodes_; }
  const std::vector<std::uint16_t>& initial_nodes() const noexcept { return initial_nodes_; }
  // Entry p lists, once each and in increasing order, the nodes with an argument from p. Only as
  // long as the largest referenced predecessor id plus one.
  const std::vector<std::vector<std::uint16_t>>& successors() const noexcept { return successors_; }
  const std::optional<std::vector<Node>>& post_nodes() const noexcept { return post_nodes_; }
  const std::set<std::uint16_t>& condition_nodes() const noexcept { return condition_nodes_; }
  // Shared read-only with the network subsystem.
  const std::shared_ptr<const GraphNetworkConfig>& network_config() const noexcept { return network_config_; }

 private:
  std::vector<Node> nodes_;
  std::vector<std::uint16_t> initial_nodes_;
  std::vector<std::vector<std::uint16_t>> successors_;
  std::optional<std::vector<Node>> post_nodes_;
  std::set<std::uint16_t> condition_nodes_;
  std::shared_ptr<const GraphNetworkConfig> network_config_;
};

}  // namespace arvex
