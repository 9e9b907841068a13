#pragma once
// NodeInfo: the identity of one task, that is one instance (or a run of consecutive instances)
// of a node in one slot and slot generation. It is the only thing a completion carries: workers
// send it to the resolution threads, the dependency counter and the result map are keyed by it.
// A plain value, copied freely between threads.

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace arvex {

struct NodeInfo {
  std::size_t slot = 0;
  // First instance of the node covered by the task.
  std::size_t index = 0;
  // Consecutive instances covered: 1 for an ordinary task, more for a bulk task.
  std::size_t count = 1;
  // Instance of the predecessor whose completion released the task; 0 for initial and post nodes.
  std::size_t trigger_index = 0;
  // The slot generation the task belongs to; a task of an older generation is stale.
  std::uint32_t generation = 0;
  std::uint16_t node_id = 0;
  // A post node's task: its result is stored, but it releases nothing and is not counted.
  bool is_post = false;

  friend bool operator==(const NodeInfo&, const NodeInfo&) = default;
};

static_assert(std::is_trivially_copyable_v<NodeInfo>, "NodeInfo travels through lock-free queues by copy");
static_assert(sizeof(NodeInfo) == 40, "the three small fields share the last word of a 40-byte record");

}  // namespace arvex
