#pragma once
// The network step of a resolution thread: once per loop turn, before completions are taken
// from the batch queue, it drains the packet channel, gives parked packets whose frame has come
// within reach another try, turns each packet into a payload and a frame id with the graph's
// extract and ID functions, admits or parks it, and resolves the admitted packets as one batch.

#include <cstdint>
#include <memory>
#include <vector>

#include "network/udp_socket.hpp"
#include "runtime/packet_admission.hpp"
#include "runtime/task_completion.hpp"

namespace arvex {

class SharedData;
struct DispatchCtx;

// Owned by one resolution thread; its buffers are reused from step to step.
class NetworkStep {
 public:
  explicit NetworkStep(const SharedData& shared);

  // One step. Call only while the graph has a network source and receive_finished is clear.
  // A failing extract or ID function ends the run (its failure becomes the run's error) and
  // the rest of the drained packets are discarded.
  void run(const std::shared_ptr<SharedData>& shared, const DispatchCtx& ctx, std::size_t thread_id,
           std::size_t timing_slot, const SlotHooks& hooks, bool& running_slots_dirty, std::uint64_t& touched_slots);

 private:
  std::size_t drain_limit_;
  std::vector<PacketMessage> drained_;
  std::vector<TaskCompletion> completions_;
};

}  // namespace arvex
