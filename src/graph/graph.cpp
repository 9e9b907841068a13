#include "graph/graph.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"
#include "support/text_escape.hpp"

namespace arvex {

namespace {

bool has_arg_condition(const Node& node) {
  return std::any_of(node.args.begin(), node.args.end(), [](const Arg& a) { return a.condition.has_value(); });
}

std::string optional_debug(const std::optional<std::size_t>& value) {
  return value ? fmt::format("Some({})", *value) : std::string("None");
}

void append_node_line(std::string& out, const Node& node) {
  out += fmt::format("  {}: ", node.id);
  detail::append_quoted(out, node.name);
  out += fmt::format(" ({})\n", node.factor);
}

}  // namespace

void Graph::add_node(Node node) {
  if (node.id != nodes_.size()) fatal_stop("assertion failed: node.id as usize == self.nodes.len()");

  std::set<std::uint16_t> predecessors;
  for (const Arg& arg : node.args) {
    if (arg.pred) predecessors.insert(arg.pred->node);
  }
  for (const std::uint16_t p : predecessors) {
    if (successors_.size() <= p) successors_.resize(static_cast<std::size_t>(p) + 1);
    successors_[p].push_back(node.id);  // ids arrive in increasing order, so entries stay sorted
  }
  if (predecessors.empty() && node.name != kNetworkNodeName) {
    ARVEX_DEBUG_PRINT("Adding initial node: {} with id {} and factor {}", node.name, node.id, node.factor);
    initial_nodes_.push_back(node.id);
  }
  if (node.condition || has_arg_condition(node)) condition_nodes_.insert(node.id);
  nodes_.push_back(std::move(node));
}

void Graph::add_post_node(Node node) {
  if (!post_nodes_) {
    if (node.id != 0) fatal_stop("assertion failed: node.id == 0");
    post_nodes_.emplace();
  } else if (node.id != post_nodes_->size()) {
    fatal_stop("assertion failed: node.id as usize == post_nodes.len()");
  }
  post_nodes_->push_back(std::move(node));
}

void Graph::set_network_config(GraphNetworkConfig config) {
  network_config_ = std::make_shared<const GraphNetworkConfig>(std::move(config));
}

std::size_t Graph::find_pred_index(std::size_t index, std::int64_t offset, std::size_t pred_factor) noexcept {
  if (pred_factor == 0) fatal_stop("Predecessor factor is 0 - check your graph configuration");
  // Wider arithmetic: neither the sum nor the factor may wrap before the remainder is taken.
  const Int128 factor = static_cast<Int128>(pred_factor);
  Int128 r = (static_cast<Int128>(index) + offset) % factor;
  if (r < 0) r += factor;
  return static_cast<std::size_t>(r);
}

std::vector<std::size_t> Graph::dependency_count_vec() const {
  std::vector<std::size_t> counts;
  counts.reserve(nodes_.size());
  for (const Node& node : nodes_) {
    const std::size_t factor = node.factor;
    const std::string group_size_text = optional_debug(node.group_size);
    const std::size_t num_groups =
        (node.group_size && *node.group_size != 0 && *node.group_size < factor) ? factor / *node.group_size : 1;

    const auto pred_factor = [&](std::uint16_t p) {
      if (p >= nodes_.size()) fatal_stop(fmt::format("node '{}' names predecessor id {} beyond the node list", node.name, p));
      return nodes_[p].factor;
    };
    // An edge whose offsets cover exactly this node's instances, fewer than the predecessor has,
    // waits for those instances only; otherwise for every predecessor instance.
    const auto contribution = [&](const PredRef& pred) -> std::size_t {
      const std::size_t p_factor = pred_factor(pred.node);
      const std::size_t n = pred.indexes.size();
      if (n == 0) return p_factor;
      const auto [lo, hi] = std::minmax_element(pred.indexes.begin(), pred.indexes.end());
      const auto span = static_cast<Int128>(*hi) - *lo + 1;
      if (span == static_cast<Int128>(factor) && span < static_cast<Int128>(p_factor) && static_cast<Int128>(n) == span) {
        return n;
      }
      return p_factor;
    };

    std::set<std::uint16_t> seen;
    std::size_t sum = 0;
    for (const Arg& arg : node.args) {  // barrier edges first
      if (!arg.pred || !arg.value.is(CmTag::Barrier) || !seen.insert(arg.pred->node).second) continue;
      const PredRef& pred = *arg.pred;
      std::size_t adding = 0;
      if (pred.group_by) {
        const std::size_t g = *pred.group_by;
        const std::size_t num_barrier_groups = g == 0 ? 1 : pred.indexes.size() / g;
        adding = g == 0 ? 0 : num_barrier_groups * g;
        ARVEX_DEBUG_PRINT(
            "DEPCOUNT: node={}, factor={}, group_size={}, num_barrier_groups={}, group_by={}, indexes.len()={}, "
            "dep_count_before={}, adding={}",
            node.name, factor, group_size_text, num_barrier_groups, optional_debug(pred.group_by), pred.indexes.size(),
            sum, adding);
      } else {
        const std::size_t contributing = contribution(pred);
        if (num_groups <= 1) {
          adding = contributing;
          ARVEX_DEBUG_PRINT(
              "DEPCOUNT: node={}, factor={}, group_size={}, num_groups={} (<=1), contributing={}, dep_count_before={}, "
              "adding={}",
              node.name, factor, group_size_text, num_groups, contributing, sum, adding);
        } else {
          adding = contributing * num_groups;
          ARVEX_DEBUG_PRINT(
              "DEPCOUNT: node={}, factor={}, group_size={}, num_groups={}, group_by=None, contributing={}, "
              "dep_count_before={}, adding={}",
              node.name, factor, group_size_text, num_groups, contributing, sum, adding);
        }
      }
      sum += adding;
    }
    for (const Arg& arg : node.args) {  // then ordinary edges
      if (!arg.pred || arg.value.is(CmTag::Barrier) || !seen.insert(arg.pred->node).second) continue;
      const PredRef& pred = *arg.pred;
      sum += (pred.group_by && !pred.indexes.empty()) ? pred.indexes.size() : contribution(pred);
    }
    ARVEX_DEBUG_PRINT("DEPCOUNT FINAL: node={}, factor={}, total_dep_count={}, threshold={}", node.name, factor, sum,
                      factor == 0 ? 0 : sum / factor);
    counts.push_back(sum);
  }
  return counts;
}

std::vector<std::vector<std::size_t>> Graph::get_condition_indexes() const {
  std::vector<std::vector<std::size_t>> out;
  for (const std::uint16_t id : condition_nodes_) {
    std::vector<std::size_t> positions;
    const auto& args = nodes_[id].args;
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (args[i].condition) positions.push_back(i);
    }
    if (!positions.empty()) out.push_back(std::move(positions));
  }
  return out;
}

std::string Graph::graph_text() const {
  std::string out = "Graph:\n";
  for (const Node& node : nodes_) append_node_line(out, node);
  if (post_nodes_ && !post_nodes_->empty()) {
    out += "Post Nodes:\n";
    for (const Node& node : *post_nodes_) append_node_line(out, node);
  } else {
    out += "No post nodes.\n";
  }
  out += fmt::format("Initial Nodes: [{}]\n", fmt::join(initial_nodes_, ", "));
  std::vector<std::string> lists;
  lists.reserve(successors_.size());
  for (const auto& list : successors_) lists.push_back(fmt::format("[{}]", fmt::join(list, ", ")));
  out += fmt::format("Successors: [{}]\n", fmt::join(lists, ", "));
  return out;
}

void Graph::print_graph() const {
  const std::string text = graph_text();
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace arvex
