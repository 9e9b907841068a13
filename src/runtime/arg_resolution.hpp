#pragma once
// Argument resolution: turning a node's prepared arguments into the values its kernel gets.
// Literals are copied; markers are resolved against the task (Ref(0): its instance index),
// the run (Ref(1): the worker count), the init objects (Ref(j), j >= 2) and the results that
// predecessor instances stored in the result map (Res). A "$dep" passes None and a barrier
// passes nothing. Runs on workers before a kernel call, and on resolution threads for
// conditions, post nodes and packet index arguments.
//
// Waiting: a predecessor result that is not visible yet is waited for with spin hints, then
// yields, then parks of spin_wait_park_ns, never under a lock. A value read from the result
// map is complete: the map publishes a cell's payload before its tag.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "arvex/cm_types.hpp"
#include "compiler/arg_cache.hpp"
#include "graph/node.hpp"
#include "runtime/thread_scratch.hpp"
#include "tables/node_info.hpp"

namespace arvex {

class SharedData;

// Waits until the result map holds `key` (slot, node_id, index) and returns a copy of it.
// Gives up with nothing, setting `stale`, once shutdown is set. With `generation_slot`, also
// gives up when the low 32 bits of that slot's generation differ from `generation` (the frame
// the caller waits for is gone); `stale` is then set unless the run has a single slot.
// Lock-free: a returned value was fully published by its writer (the map stores the payload
// before the tag), and the generation is read with acquire, once per round.
std::optional<CmTypes> spin_wait_for_result(const SharedData& shared, const NodeInfo& key,
                                            std::optional<std::size_t> generation_slot,
                                            std::uint32_t generation, bool& stale);

// One fetched value as a one-element list; nothing stays nothing.
std::optional<std::vector<CmTypes>> fetch_res_results(std::optional<CmTypes> value);

// The values `arg` of node `node_id` gives instance `index` in `slot`. `batch_width` and
// `direct_index` select the form of a Res with several offsets: when the width equals the
// offset count, the one value at direct_index; otherwise every offset's value in order.
// Nothing when the argument supplies no value (a barrier, a Res without offsets, a Res while
// `stale` is already set, a wait that gave up). Waits for results without a generation check.
// A predecessor factor of 0 stops the program.
std::optional<std::vector<CmTypes>> collect_arg_result(const Arg& arg, std::uint16_t node_id,
                                                       std::size_t index, std::size_t batch_width,
                                                       std::size_t slot, std::size_t direct_index,
                                                       const SharedData& shared, bool& stale);

// How building a task's argument list ended.
enum class ArgsStatus : std::uint8_t {
  Ready,    // the list is complete
  Stale,    // the task's frame is gone (or the run is shutting down): drop the task
  Missing,  // a wait gave up without marking the task stale; the list is incomplete
};

// Fills `out` (cleared first) with the arguments of instance `index` of `cache`, the prepared
// arguments of node `node_id`: the template, with the index, worker and init-object positions
// filled, a Res position holding its predecessor value and a "$dep" position None. Waits for
// results are abandoned when the slot's generation leaves `generation`; pass no generation
// for tasks outside the frame slots (post tasks).
ArgsStatus fill_args_from_cache(const SharedData& shared, const ArgCacheEntry& cache,
                                std::uint16_t node_id, std::size_t index, std::size_t slot,
                                std::optional<std::uint32_t> generation, std::vector<CmTypes>& out);

// The argument list of frame task `task` (its first instance) in `out`, cleared first: from
// the node's template when the node uses one, else argument by argument (skipping those that
// carry a condition) as collect_arg_result resolves them, with the node factor as batch width
// and the instance as direct index. Waits stop when the task's generation is no longer the
// slot's. Post tasks, whose ids index the post-node list, use collect_arg_result instead.
ArgsStatus build_task_args(const SharedData& shared, const NodeInfo& task,
                           std::vector<CmTypes>& out);

// build_task_args into this thread's ARG_BUF, then `use(span of the arguments)` when they are
// Ready. Returns the status. Not reentrant: `use` must not build arguments itself.
template <class Use>
ArgsStatus with_task_args(const SharedData& shared, const NodeInfo& task, Use&& use) {
  auto args = ARG_BUF.borrow();
  const ArgsStatus status = build_task_args(shared, task, *args);
  if (status == ArgsStatus::Ready) std::forward<Use>(use)(std::span<const CmTypes>(*args));
  return status;
}

}  // namespace arvex
