#pragma once
// The graph loader: a graph file becomes a GraphSpec, the graph model plus the initialization
// objects. Every name is resolved and every literal parsed here; the first error ends the load
// and is returned as a message. The loader never stops the program.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "arvex/expected.hpp"
#include "graph/graph.hpp"
#include "graph/graph_file.hpp"
#include "graph/variables.hpp"

namespace arvex {

struct GraphSpec {
  Graph graph;
  InitObjects init_objects;
};

// Node name to id, holding while a node is parsed exactly the nodes listed before it.
using NodeNameMap = std::map<std::string, std::uint16_t, std::less<>>;

// What parsing one node or argument reads.
struct LoadContext {
  const InitObjects& objects;
  const VariableTable& variables;
  const NodeNameMap& node_ids;
  std::size_t workers;
};

// Reads the file whole and loads it. `workers` is the run's worker count ("$workers").
Expected<GraphSpec, LoadError> from_json(const std::string& path, std::size_t workers);
Expected<GraphSpec, LoadError> from_json_str(std::string_view text, std::size_t workers);

// The node's parts in a fixed order, the first error winning; its id is left for the caller.
Expected<Node, LoadError> parse_single_node(const NodeJson& json, const LoadContext& context);
Expected<Arg, LoadError> parse_arg(const ArgJson& json, const LoadContext& context);

}  // namespace arvex
