#pragma once
// Building blocks for compiler tests: the init objects every loaded graph starts with ("$index"
// and "$workers"), and graph specifications from hand-built nodes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "compiler/compile.hpp"
#include "graph/graph_loader.hpp"
#include "support/graph_builders.hpp"

namespace arvex::test {

using namespace test_support;

// Objects 0 and 1 as the loader creates them; `extra` from index 2 on.
inline InitObjects objects(std::vector<std::vector<CmTypes>> extra = {}) {
  InitObjects all{{CmTypes::make_usize(0)}, {CmTypes::make_usize(1)}};
  for (auto& object : extra) all.push_back(std::move(object));
  return all;
}

inline GraphSpec spec_of(std::vector<Node> nodes, InitObjects init = objects()) {
  GraphSpec graph_spec;
  for (Node& n : nodes) graph_spec.graph.add_node(std::move(n));
  graph_spec.init_objects = std::move(init);
  return graph_spec;
}

inline std::size_t group_zero(const std::optional<WorkerRangeSpec>&) {
  return 0;
}

inline GraphCompiled compile_nodes(std::vector<Node> nodes, InitObjects init = objects()) {
  return compile(spec_of(std::move(nodes), std::move(init)), group_zero);
}

}  // namespace arvex::test
