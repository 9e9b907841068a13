#include "runtime/network_step.hpp"

#include <algorithm>
#include <chrono>
#include <span>
#include <utility>

#include "arvex/fatal.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/kernel_call.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/timed_work.hpp"
#include "scheduling/worker_identity.hpp"
#include "scheduling/scheduler_config.hpp"

namespace arvex {

namespace {

// The buffer goes back to its receiver's pool; a full or missing return channel lets it go.
void return_buffer(NetworkInfra& net, PacketMessage& message) {
  if (message.socket_id >= net.buffer_return_senders.size()) return;
  (void)net.buffer_return_senders[message.socket_id]->try_push(std::move(message.data));
}

}  // namespace

NetworkStep::NetworkStep(const SharedData& shared)
    // One channel's worth per step at most, so that a steady stream cannot keep a step going.
    : drain_limit_(shared.network.packet_channel.capacity()) {}

void NetworkStep::run(const std::shared_ptr<SharedData>& shared_ptr, const DispatchCtx& ctx, std::size_t thread_id,
                      std::size_t timing_slot, const SlotHooks& hooks, bool& running_slots_dirty,
                      std::uint64_t& touched_slots) {
  SharedData& shared = *shared_ptr;
  NetworkInfra& net = shared.network;
  const GraphNetworkConfig& network = *shared.graph.network_config();

  drained_.clear();
  PacketMessage message;
  while (drained_.size() < drain_limit_ && net.packet_channel.try_pop(message)) drained_.push_back(std::move(message));
  const auto drained_at = std::chrono::steady_clock::now();

  completions_.clear();
  PacketAdmissionCtx admission{thread_id, timing_slot, &running_slots_dirty, &completions_, &hooks};
  reinject_parked_packets(shared, admission);

  TimeBufferManager* const time_buffers = shared.telemetry.time_buffers.get();
  TimedWork timing(time_buffers);
  for (PacketMessage& packet : drained_) {
    if (time_buffers != nullptr) {
      const auto waited = std::chrono::duration_cast<std::chrono::nanoseconds>(drained_at - packet.received_at);
      time_buffers->add_task_time(timing_slot, "Packet Received", WORKER_ID, std::max(waited, std::chrono::nanoseconds(0)));
      timing.restart();
    }
    // The payload is a copy, so the buffer can go back to the pool whatever the extract
    // function keeps.
    CmTypes bytes = CmTypes::make_bytes(packet.data);
    return_buffer(net, packet);
    CmTypes payload;
    if (!call_kernel_guarded(shared, network.extract_packet_func_name, -1, 0, *network.extract_packet_func,
                             std::span<const CmTypes>(&bytes, 1), payload)) {
      return;
    }
    timing.add(timing_slot, "Packet Processing", WORKER_ID);
    CmTypes id;
    if (!call_kernel_guarded(shared, network.id_function_name, -1, 0, *network.id_function,
                             std::span<const CmTypes>(&payload, 1), id)) {
      return;
    }
    const std::optional<std::size_t> frame = packet_number(id);
    if (!frame) fatal_stop("ID function did not return a valid number for frame");
    timing.add(timing_slot, "ID Function", WORKER_ID);
    const std::size_t reachable =
        shared.telemetry.frames_completed.load(std::memory_order_acquire) + shared.config.slots;
    if (*frame < reachable) {
      admit_packet(shared, *frame, std::move(payload), packet.received_at, packet.receiver_core, admission);
    } else {
      park_pending_packet(shared, *frame, std::move(payload), packet.received_at, packet.receiver_core);
    }
  }

  give_up_stalled_frames(shared, admission);
  if (!completions_.empty()) {
    timing.restart();
    const std::uint64_t since_start_ns = nanos_since(shared.telemetry.start);
    shared.exec.strategy->drive_batch(shared_ptr, completions_, ctx, thread_id, timing_slot, touched_slots,
                                      since_start_ns);
    timing.add(timing_slot, "Batch Resolution", WORKER_ID);
    completions_.clear();
  }
}

}  // namespace arvex
