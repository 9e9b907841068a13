#include "runtime/packet_admission.hpp"

#include <algorithm>
#include <atomic>
#include <utility>

#include "arvex/fatal.hpp"
#include "instrumentation/async_recorder.hpp"
#include "logging/log.hpp"
#include "runtime/arg_resolution.hpp"
#include "runtime/kernel_call.hpp"
#include "runtime/shared_data.hpp"
#include "runtime/timed_work.hpp"
#include "scheduling/scheduler_config.hpp"
#include "scheduling/worker_identity.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core::network";
// A packet's record in the scheduler CSV spans this long (its arrival has no duration).
constexpr std::uint64_t kPacketRecordNs = 10'000;

void discard_late(SharedData& shared, std::size_t frame) {
  shared.network.late_packets.fetch_add(1, std::memory_order_relaxed);
  if (shared.network.claim_frame_flag(frame, kLateWarned)) {
    ARVEX_LOG_WARN(kLogTarget, "late packet discarded", log::field("frame", frame),
                   log::field("reason", "frame already completed"));
  }
}

void discard_excess(SharedData& shared, std::size_t frame, std::size_t index, std::string_view reason) {
  shared.network.excess_packets.fetch_add(1, std::memory_order_relaxed);
  if (shared.network.claim_frame_flag(frame, kExcessWarned)) {
    ARVEX_LOG_WARN(kLogTarget, "excess packet discarded", log::field("frame", frame), log::field("index", index),
                   log::field("frame_packets", shared.graph.network_config()->frame_packets),
                   log::field("reason", reason));
  }
}

void discard_beyond_range(NetworkInfra& net, std::size_t frame) {
  ARVEX_LOG_WARN(kLogTarget, "packet beyond trackable frame range, discarded", log::field("frame", frame));
  net.beyond_budget_seen.store(true, std::memory_order_release);
}

// Keeps a slot from being completed while a packet is being admitted to it; on release the
// slot is marked for a check, which a slot check skipped meanwhile would otherwise miss.
class SlotHold {
 public:
  SlotHold(SlotData& slots, std::size_t slot) noexcept : slots_(slots), slot_(slot) {
    slots_.processing_count[slot_].fetch_add(1, std::memory_order_seq_cst);
  }
  SlotHold(const SlotHold&) = delete;
  SlotHold& operator=(const SlotHold&) = delete;
  ~SlotHold() {
    slots_.processing_count[slot_].fetch_sub(1, std::memory_order_seq_cst);
    slots_.needs_check[slot_].store(true);
  }

 private:
  SlotData& slots_;
  std::size_t slot_;
};

// The instance index and the slot's packet count after this packet.
struct InstanceClaim {
  std::size_t index = 0;
  std::size_t count = 0;
};

// The index the index function gives the packet, with its arguments as node 0 would see them.
std::optional<std::size_t> call_index_function(SharedData& shared, const GraphNetworkConfig& network,
                                               const CmTypes& value, std::size_t slot) {
  std::vector<CmTypes> args{value};
  if (network.index_args) {
    for (const Arg& arg : *network.index_args) {
      if (arg.condition) continue;
      bool stale = false;
      if (std::optional<std::vector<CmTypes>> values = collect_arg_result(arg, 0, 0, 0, slot, 0, shared, stale)) {
        args.insert(args.end(), std::make_move_iterator(values->begin()), std::make_move_iterator(values->end()));
      }
    }
  }
  CmTypes result;
  if (!call_kernel_guarded(shared, network.index_function_name, frame_in_slot(shared, slot), 0, *network.index_function,
                           args, result)) {
    return std::nullopt;
  }
  const std::optional<std::size_t> index = packet_number(result);
  if (!index) fatal_stop("index_function must return usize");
  return index;
}

// Claims the packet's instance in the slot, or reports why it names none (the packet is then
// discarded and counted).
std::optional<InstanceClaim> claim_instance(SharedData& shared, const GraphNetworkConfig& network, std::size_t frame,
                                            const CmTypes& value, std::size_t slot) {
  SlotData& sd = shared.slots;
  NetworkInfra& net = shared.network;
  const std::size_t frame_packets = network.frame_packets;
  if (network.index_function) {
    const std::optional<std::size_t> index = call_index_function(shared, network, value, slot);
    if (!index) return std::nullopt;  // the index function failed; the run is ending
    if (*index >= frame_packets) {
      discard_excess(shared, frame, *index, "index beyond frame_packets");
      return std::nullopt;
    }
    const std::uint64_t bit = std::uint64_t{1} << (*index % 64);
    std::atomic<std::uint64_t>& word = net.instance_seen[slot * net.instance_words_per_slot + *index / 64];
    if ((word.fetch_or(bit, std::memory_order_acq_rel) & bit) != 0) {
      discard_excess(shared, frame, *index, "instance already received");
      return std::nullopt;
    }
    return InstanceClaim{*index, sd.packet_count[slot].fetch_add(1, std::memory_order_acq_rel) + 1};
  }
  // Arrival order: the count before this packet is its index, and a full count takes no more.
  std::size_t count = sd.packet_count[slot].load(std::memory_order_acquire);
  do {
    if (count >= frame_packets) {
      discard_excess(shared, frame, count, "frame already has all its packets");
      return std::nullopt;
    }
  } while (!sd.packet_count[slot].compare_exchange_weak(count, count + 1, std::memory_order_acq_rel));
  return InstanceClaim{count, count + 1};
}

void record_packet(SharedData& shared, std::size_t frame, std::size_t index,
                   std::chrono::steady_clock::time_point received_at, std::size_t receiver_core) {
  const Telemetry& telemetry = shared.telemetry;
  if (!telemetry.recorder) return;
  if (shared.config.record_frame && *shared.config.record_frame != frame) return;
  Record record;
  record.slot = shared.config.slots + shared.config.system_threads;
  record.job_id = shared.telemetry.jobs_recorded.fetch_add(1, std::memory_order_relaxed);
  record.start_ns = received_at > telemetry.start
                        ? static_cast<std::uint64_t>(std::chrono::nanoseconds(received_at - telemetry.start).count())
                        : 0;
  record.end_ns = record.start_ns + kPacketRecordNs;
  record.worker = receiver_core;
  record.task_id = 0;
  record.index = index;
  submit_record(record);
}

// The completion an admitted packet stands for: instance `index` of node 0 in `slot`.
void record_completion(SharedData& shared, std::size_t slot, std::size_t index, CmTypes value,
                       PacketAdmissionCtx& ctx) {
  NodeInfo task;
  task.slot = slot;
  task.index = index;
  task.count = 1;
  task.node_id = 0;
  SlotData& sd = shared.slots;
  const auto active = [&] { return (sd.active_bitmap.load(std::memory_order_acquire) & (std::uint64_t{1} << slot)) != 0; };
  if (!active()) {
    // A Buffering slot resolves its packets when it is handed the turn. The hand-over sets the
    // slot's bit before it empties the buffer under this lock, so a bit still clear here
    // means the buffer will be collected.
    auto buffers = sd.slot_buffers.write();
    if (!active()) {
      (*buffers)[slot].push_back(TaskCompletion{task, std::move(value)});
      return;
    }
  }
  ctx.completions->push_back(TaskCompletion{task, std::move(value)});
}

// The packet that completed the slot's count: the one thread that wins the exchange counts
// the frame as received.
void count_frame_received(SharedData& shared, std::size_t slot, std::size_t thread_id) {
  SlotData& sd = shared.slots;
  if (sd.packet_complete[slot].exchange(true, std::memory_order_acq_rel)) {
    ARVEX_DEBUG_PRINT("Thread {} -- Slot {} completion already claimed by another thread", thread_id, slot);
    return;
  }
  ARVEX_DEBUG_PRINT("Thread {} -- All {} packets received for slot {} | pending_tasks={}, pending_cond={}", thread_id,
                    shared.graph.network_config()->frame_packets, slot, sd.pending_tasks[slot].load(),
                    sd.pending_cond_tasks[slot].load());
  check_frame_completion(shared);
}

// Gives up the frame in `slot` with packets missing: its missing instances complete with no
// payload and its remaining tasks run no kernel, so the frame drains through the usual slot
// completion (which counts it completed) instead of holding the slot forever.
void give_up_frame_in_slot(SharedData& shared, std::size_t slot, std::size_t frame, std::string_view reason,
                           PacketAdmissionCtx& ctx) {
  SlotData& sd = shared.slots;
  NetworkInfra& net = shared.network;
  const SlotHold hold(sd, slot);
  if (sd.frame_id[slot].load() != static_cast<std::int64_t>(frame) || net.frame_has(frame, kFrameFinished)) return;
  if (!net.claim_frame_flag(frame, kFrameDropped)) return;
  sd.abandoned[slot].store(true, std::memory_order_release);
  const std::size_t total = net.dropped_frames.fetch_add(1, std::memory_order_acq_rel) + 1;
  ARVEX_LOG_WARN(kLogTarget, "frame dropped", log::field("frame", frame), log::field("total_dropped", total),
                 log::field("reason", reason));

  const GraphNetworkConfig& network = *shared.graph.network_config();
  const std::size_t frame_packets = network.frame_packets;
  std::size_t count = 0;
  if (network.index_function) {
    for (std::size_t index = 0; index < frame_packets; ++index) {
      const std::uint64_t bit = std::uint64_t{1} << (index % 64);
      std::atomic<std::uint64_t>& word = net.instance_seen[slot * net.instance_words_per_slot + index / 64];
      if ((word.fetch_or(bit, std::memory_order_acq_rel) & bit) != 0) continue;
      record_completion(shared, slot, index, CmTypes::none(), ctx);
      count = sd.packet_count[slot].fetch_add(1, std::memory_order_acq_rel) + 1;
    }
  } else {
    std::size_t first = sd.packet_count[slot].load(std::memory_order_acquire);
    while (first < frame_packets &&
           !sd.packet_count[slot].compare_exchange_weak(first, frame_packets, std::memory_order_acq_rel)) {
    }
    for (std::size_t index = first; index < frame_packets; ++index) {
      record_completion(shared, slot, index, CmTypes::none(), ctx);
    }
    if (first < frame_packets) count = frame_packets;
  }
  if (count == frame_packets) count_frame_received(shared, slot, ctx.thread_id);
}

// The Active frames still missing packets, oldest first.
std::vector<RunningFrame> incomplete_frames(SharedData& shared) {
  SlotData& sd = shared.slots;
  std::vector<RunningFrame> frames;
  {
    const auto running = sd.running_frames.read();
    const auto states = sd.slot_states.read();
    for (const RunningFrame& entry : *running) {
      if ((*states)[entry.slot] == SlotState::Active && !sd.packet_complete[entry.slot].load()) frames.push_back(entry);
    }
  }
  std::sort(frames.begin(), frames.end(),
            [](const RunningFrame& a, const RunningFrame& b) { return a.frame_id < b.frame_id; });
  return frames;
}

// Frames the stream has passed without a trace (no slot, nothing parked, neither finished nor
// dropped), below `below`, are counted dropped. The admission window counts frames, so each
// such hole would otherwise hold it back for the rest of the run. Frames below the settled
// cursor are finished or dropped already and are not visited again.
void drop_frames_never_received(SharedData& shared, std::size_t below) {
  NetworkInfra& net = shared.network;
  // Held for writing: no frame is assigned a slot while the sweep decides it is lost.
  const auto running = shared.slots.running_frames.write();
  const std::lock_guard lock(net.pending_frames.mutex);
  std::size_t frame = net.settled_below.load(std::memory_order_relaxed);
  while (frame < below && net.frame_has(frame, kFrameFinished | kFrameDropped)) ++frame;
  net.settled_below.store(frame, std::memory_order_relaxed);
  for (; frame < below && net.frame_tracked(frame); ++frame) {
    if (net.frame_has(frame, kFrameFinished | kFrameDropped) || net.pending_frames.frames.contains(frame)) continue;
    const bool in_slot = std::any_of(running->begin(), running->end(),
                                     [&](const RunningFrame& entry) { return entry.frame_id == frame; });
    if (!in_slot) mark_frame_dropped(shared, frame, "never received");
  }
}

// The lowest parked frame, if any.
std::optional<std::size_t> lowest_parked_frame(NetworkInfra& net) {
  const std::lock_guard lock(net.pending_frames.mutex);
  if (net.pending_frames.frames.empty()) return std::nullopt;
  return net.pending_frames.frames.begin()->first;
}

}  // namespace

void give_up_stalled_frames(SharedData& shared, PacketAdmissionCtx& ctx) {
  NetworkInfra& net = shared.network;
  if (net.pending_overflow.load(std::memory_order_acquire) && net.pending_overflow.exchange(false)) {
    // A whole slot's worth of packets of later frames waits: what the stream skipped below
    // them is lost.
    if (const std::optional<std::size_t> lowest = lowest_parked_frame(net)) drop_frames_never_received(shared, *lowest);
    const std::vector<RunningFrame> stalled = incomplete_frames(shared);
    if (!stalled.empty()) {
      give_up_frame_in_slot(shared, stalled.front().slot, stalled.front().frame_id,
                            "incomplete while the pending-frame buffer is full", ctx);
    }
  }
  if (!net.beyond_budget_seen.load(std::memory_order_acquire)) return;
  if (!net.lost_frames_swept.exchange(true)) drop_frames_never_received(shared, shared.config.max_frames);
  // Every step from now on: a parked frame re-injected incomplete has lost its packets too.
  for (const RunningFrame& stalled : incomplete_frames(shared)) {
    give_up_frame_in_slot(shared, stalled.slot, stalled.frame_id, "incomplete at the end of the stream", ctx);
  }
}

std::optional<std::size_t> packet_number(const CmTypes& value) noexcept {
  const auto non_negative = [](auto v) -> std::optional<std::size_t> {
    if (v < 0) return std::nullopt;
    return static_cast<std::size_t>(v);
  };
  switch (value.tag()) {
    case CmTag::I8: return non_negative(value.get_i8());
    case CmTag::I16: return non_negative(value.get_i16());
    case CmTag::I32: return non_negative(value.get_i32());
    case CmTag::I64: return non_negative(value.get_i64());
    case CmTag::U8: return value.get_u8();
    case CmTag::U16: return value.get_u16();
    case CmTag::U32: return value.get_u32();
    case CmTag::U64: return value.get_u64();
    case CmTag::Usize: return value.get_usize();
    case CmTag::I128:
      if (value.get_i128() < 0) return std::nullopt;
      return static_cast<std::size_t>(static_cast<std::uint64_t>(value.get_i128()));
    case CmTag::U128: return static_cast<std::size_t>(static_cast<std::uint64_t>(value.get_u128()));
    default: return std::nullopt;
  }
}

void admit_packet(SharedData& shared, std::size_t frame, CmTypes value,
                  std::chrono::steady_clock::time_point received_at, std::size_t receiver_core,
                  PacketAdmissionCtx& ctx) {
  NetworkInfra& net = shared.network;
  if (!net.frame_tracked(frame)) {
    discard_beyond_range(net, frame);
    return;
  }
  if (net.frame_has(frame, kFrameDropped)) return;

  TimedWork timing(shared.telemetry.time_buffers.get());
  const SlotAssignResult assigned = assign_frame_to_available_slot(shared, frame, *ctx.hooks);
  const std::size_t slot = assigned.slot;
  if (assigned.outcome != SlotAssignment::NoSlot) timing.add(ctx.timing_slot, "Slot Assignment", WORKER_ID);
  switch (assigned.outcome) {
    case SlotAssignment::NoSlot:
      park_pending_packet(shared, frame, std::move(value), received_at, receiver_core);
      return;
    case SlotAssignment::Finished:
      if (!net.frame_has(frame, kFrameDropped)) discard_late(shared, frame);
      return;
    case SlotAssignment::Activated: {
      *ctx.running_slots_dirty = true;
      const std::size_t slots[] = {slot};
      std::vector<NodeInfo> tasks = initial_nodes(shared.graph, slots);
      if (!tasks.empty()) {
        ARVEX_DEBUG_PRINT("Slot {} newly activated (frame {}), spawning {} initial nodes", slot, frame, tasks.size());
        if (ctx.hooks->dispatch) ctx.hooks->dispatch(tasks);
      }
      break;
    }
    case SlotAssignment::Existing:
      break;
  }

  SlotData& sd = shared.slots;
  const SlotHold hold(sd, slot);
  // The slot may have completed this frame (and taken another) since the assignment: the
  // packet is then surplus. The hold makes the answer final until the packet is recorded.
  if (sd.frame_id[slot].load() != static_cast<std::int64_t>(frame) || net.frame_has(frame, kFrameFinished)) {
    discard_late(shared, frame);
    return;
  }
  const GraphNetworkConfig& network = *shared.graph.network_config();
  const std::optional<InstanceClaim> claim = claim_instance(shared, network, frame, value, slot);
  if (!claim) return;

  record_completion(shared, slot, claim->index, std::move(value), ctx);
  record_packet(shared, frame, claim->index, received_at, receiver_core);

  if (claim->count == network.frame_packets) count_frame_received(shared, slot, ctx.thread_id);
}

void park_pending_packet(SharedData& shared, std::size_t frame, CmTypes value,
                         std::chrono::steady_clock::time_point received_at, std::size_t receiver_core) {
  NetworkInfra& net = shared.network;
  if (!net.frame_tracked(frame)) {
    discard_beyond_range(net, frame);
    return;
  }
  if (net.frame_has(frame, kFrameDropped)) return;

  const std::size_t capacity = shared.config.slots * shared.graph.network_config()->frame_packets;
  std::lock_guard lock(net.pending_frames.mutex);
  auto& frames = net.pending_frames.frames;
  if (net.parked_packets.load(std::memory_order_acquire) >= capacity) {
    net.pending_overflow.store(true, std::memory_order_release);
    const std::size_t victim = frames.empty() ? frame : std::max(frame, frames.rbegin()->first);
    if (auto it = frames.find(victim); it != frames.end()) {
      net.parked_packets.fetch_sub(it->second.size(), std::memory_order_acq_rel);
      frames.erase(it);
    }
    mark_frame_dropped(shared, victim, "pending-frame buffer full");
    if (victim == frame) return;
  }
  frames[frame].push_back(PendingPacket{receiver_core, std::move(value), received_at});
  net.parked_packets.fetch_add(1, std::memory_order_acq_rel);
}

void reinject_parked_packets(SharedData& shared, PacketAdmissionCtx& ctx) {
  NetworkInfra& net = shared.network;
  if (net.parked_packets.load(std::memory_order_acquire) == 0) return;
  // A parked frame never has a slot: with none free it would only be parked again.
  {
    const auto states = shared.slots.slot_states.read();
    if (std::none_of(states->begin(), states->end(), [](SlotState s) { return s == SlotState::Inactive; })) return;
  }
  const std::size_t limit = shared.telemetry.frames_completed.load(std::memory_order_acquire) + shared.config.slots;
  std::vector<std::pair<std::size_t, std::vector<PendingPacket>>> due;
  {
    std::lock_guard lock(net.pending_frames.mutex);
    auto& frames = net.pending_frames.frames;
    while (!frames.empty() && frames.begin()->first < limit) {
      auto node = frames.extract(frames.begin());
      net.parked_packets.fetch_sub(node.mapped().size(), std::memory_order_acq_rel);
      due.emplace_back(node.key(), std::move(node.mapped()));
    }
  }
  for (auto& [frame, packets] : due) {
    ARVEX_DEBUG_PRINT("Thread {} -- Re-injecting {} parked packets for frame {}", ctx.thread_id, packets.size(),
                      frame);
    for (PendingPacket& packet : packets) {
      admit_packet(shared, frame, std::move(packet.value), packet.received_at, packet.receiver_core, ctx);
    }
  }
}

void mark_frame_dropped(SharedData& shared, std::size_t frame, std::string_view reason) {
  NetworkInfra& net = shared.network;
  if (!net.claim_frame_flag(frame, kFrameDropped)) return;
  shared.telemetry.frames_completed.fetch_add(1, std::memory_order_acq_rel);
  const std::size_t total = net.dropped_frames.fetch_add(1, std::memory_order_acq_rel) + 1;
  ARVEX_LOG_WARN(kLogTarget, "frame dropped", log::field("frame", frame), log::field("total_dropped", total),
                 log::field("reason", reason));
}

std::size_t check_frame_completion(SharedData& shared) {
  NetworkInfra& net = shared.network;
  const std::size_t received = net.frames_received.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (received >= shared.config.max_frames) {
    ARVEX_LOG_INFO(kLogTarget, "all frames received, receivers will shut down",
                   log::field("frames", shared.config.max_frames),
                   log::field("packets_per_frame", shared.graph.network_config()->frame_packets));
    net.receive_finished.store(true, std::memory_order_release);
  }
  return received;
}

}  // namespace arvex
