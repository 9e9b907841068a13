// The reports a runtime writes after its run: the JSON performance report with the graph's
// edges, and the note on scheduler records.

#include "runtime/runtime_builder.hpp"

#include "instrumentation/performance_report.hpp"
#include "instrumentation/time_buffer_manager.hpp"
#include "logging/log.hpp"

namespace arvex {

namespace {

// Per node in id order, its name and its successors' names; a node without an entry in the
// successor lists has none.
std::vector<NodeEdges> report_edges(const Graph& graph) {
  std::vector<NodeEdges> edges;
  const std::vector<Node>& nodes = graph.nodes();
  const auto& successors = graph.successors();
  edges.reserve(nodes.size());
  for (std::size_t id = 0; id < nodes.size(); ++id) {
    NodeEdges entry{nodes[id].name, {}};
    if (id < successors.size()) {
      for (const std::uint16_t next : successors[id]) {
        if (next < nodes.size()) entry.successors.push_back(nodes[next].name);
      }
    }
    edges.push_back(std::move(entry));
  }
  return edges;
}

}  // namespace

void ArvexRt::write_json_report(const std::string& path, std::size_t exclude_frames) const {
  const std::shared_ptr<TimeBufferManager>& timing = shared_->telemetry.time_buffers;
  if (!timing) return;
  const std::vector<NodeEdges> edges = report_edges(shared_->graph);
  timing->with_buffer([&](const TimeBuffer& buffer) { arvex::write_json_report(buffer, edges, path, exclude_frames); });
}

void ArvexRt::write_runtime_record() const {
  if (shared_->telemetry.recorder) {
    ARVEX_LOG_DEBUG("arvex_core::runtime", "async_recorder records already written via scheduler");
  } else {
    ARVEX_LOG_DEBUG("arvex_core::runtime", "recorder not enabled");
  }
}

}  // namespace arvex
