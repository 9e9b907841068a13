#pragma once
// Graph compilation: a loaded graph becomes GraphCompiled, once, on the main thread after loading
// and before the runtime is built. Faults in the graph that loading lets through (an unknown
// function, a reference to a missing init object or node, an edge the release arithmetic cannot
// express) stop the program with a message naming the node.

#include <cstddef>
#include <functional>
#include <optional>

#include "compiler/graph_compiled.hpp"
#include "graph/graph_loader.hpp"
#include "placement/worker_range.hpp"

namespace arvex {

// Set (to any value, even empty) to build every node's arguments per task instead of from its
// template. Read once per compilation.
inline constexpr const char* kDisableArgTemplatesEnv = "ARVEX_DISABLE_ARG_TEMPLATES";

// The worker group a node's tasks go to, given its "use_workers". The program passes the
// scheduler's worker_group operation, which keeps compilation free of the scheduler library.
using WorkerGroupLookup = std::function<std::size_t(const std::optional<WorkerRangeSpec>&)>;

// `worker_group` must be callable; it is asked once per node, in id order.
GraphCompiled compile(GraphSpec graph_spec, const WorkerGroupLookup& worker_group);

}  // namespace arvex
