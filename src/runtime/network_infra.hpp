#pragma once
// NetworkInfra: what the UDP receivers and the resolution threads share: the bound sockets,
// the packet channel from receivers to resolution threads, the per-socket channels that bring
// packet buffers back to their receiver's pool, drop counters, and the table of packets parked
// for frames that have no slot yet. Without a network source it holds an unused packet channel
// of capacity 1 and nothing per socket.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "arvex/cm_types.hpp"
#include "network/packet_channels.hpp"
#include "network/udp_socket.hpp"
#include "tables/cache_aligned_array.hpp"

namespace arvex {

// A packet whose frame could not be placed in a slot yet, with its extracted payload.
struct PendingPacket {
  std::size_t receiver_core = 0;
  CmTypes value;
  std::chrono::steady_clock::time_point received_at;
};

// The receiving end of one socket's buffer-return channel, waiting for the receiver thread
// that serves the socket. Taken once; the mutex only guards that hand-over.
class BufferReturnSlot {
 public:
  explicit BufferReturnSlot(std::shared_ptr<BufferReturnChannel> receiver) : receiver_(std::move(receiver)) {}

  // The channel on the first call, nothing afterwards.
  std::optional<std::shared_ptr<BufferReturnChannel>> take();

 private:
  std::mutex mutex_;
  std::optional<std::shared_ptr<BufferReturnChannel>> receiver_;
};

// What is known of one frame id, as bits of one byte. Changed by sequentially consistent
// read-modify-writes: the finished bit pairs with a slot's processing_count (packet admission
// raises the count, then reads the bit; the slot check sets the bit, then reads the count).
// A bit is the claim of whoever set it first.
enum FrameFlag : std::uint8_t {
  kFrameDropped = 1,    // given up; its packets are discarded
  kFrameFinished = 2,   // completed in its slot; later packets of it are late
  kLateWarned = 4,      // a late packet of it has been reported
  kExcessWarned = 8,    // a packet naming no free instance of it has been reported
};

// Frames with parked packets: frame id to its packets in parking order, smallest frame first.
struct PendingFrames {
  std::mutex mutex;
  std::map<std::size_t, std::vector<PendingPacket>> frames;
};

struct NetworkInfra {
  struct Parts {
    std::size_t packet_channel_capacity = 1;
    std::vector<NetworkSocket> sockets;  // one buffer-return channel and drop counter each
    std::size_t recv_pool_size = 1024;   // capacity of every buffer-return channel
    std::size_t tracked_frames = 0;      // flags for frame ids 0 .. tracked_frames - 1
    // With an index function: per slot, one bit per instance of the network source.
    std::size_t slots = 0;
    std::size_t frame_packets = 0;
    bool track_instances = false;
  };

  explicit NetworkInfra(Parts parts);
  NetworkInfra(const NetworkInfra&) = delete;
  NetworkInfra& operator=(const NetworkInfra&) = delete;

  // Resolution threads push returned buffers through these, one per socket.
  std::vector<std::shared_ptr<BufferReturnChannel>> buffer_return_senders;
  // Parallel to buffer_return_senders: the receiving ends, each taken by one receiver thread.
  // A deque, which builds its elements in place: a slot holds a mutex and cannot move.
  std::deque<BufferReturnSlot> buffer_return_receivers;
  // Set once (seq_cst store), never cleared, when every expected frame has been received.
  std::atomic<bool> receive_finished{false};
  PacketChannel packet_channel;
  // In port order; a socket's position is its socket id. Closed when the run ends.
  std::vector<NetworkSocket> sockets;
  // Intact packets dropped because the packet channel was full, per socket. Relaxed
  // increments by the socket's receiver; read after the receivers are joined.
  CacheAlignedArray<std::atomic<std::size_t>> drop_counters;
  // Frames fully received and frames given up; acq_rel increments by the resolution thread
  // that decides, so a reader that sees a count sees that frame's bookkeeping.
  std::atomic<std::size_t> frames_received{0};
  std::atomic<std::size_t> dropped_frames{0};
  // Per frame id, FrameFlag bits. Frame ids beyond the array cannot be tracked.
  CacheAlignedArray<std::atomic<std::uint8_t>> frame_flags;
  // Packets discarded because their frame had completed, and because they named an instance
  // out of range or already received; reported with the drop report.
  std::atomic<std::size_t> late_packets{0};
  std::atomic<std::size_t> excess_packets{0};
  // With an index function, which instances each slot's frame has received: words_per_slot
  // words per slot, claimed by fetch_or, cleared when the slot is reset. Empty otherwise.
  CacheAlignedArray<std::atomic<std::uint64_t>> instance_seen;
  std::size_t instance_words_per_slot = 0;

  bool frame_tracked(std::size_t frame) const noexcept { return frame < frame_flags.size(); }
  bool frame_has(std::size_t frame, std::uint8_t flag) const noexcept {
    return frame_tracked(frame) && (frame_flags[frame].load(std::memory_order_seq_cst) & flag) != 0;
  }
  // Sets `flag` on a tracked frame; true when this call set it.
  bool claim_frame_flag(std::size_t frame, std::uint8_t flag) noexcept {
    return frame_tracked(frame) && (frame_flags[frame].fetch_or(flag, std::memory_order_seq_cst) & flag) == 0;
  }
  void clear_frame_flag(std::size_t frame, std::uint8_t flag) noexcept {
    if (frame_tracked(frame)) frame_flags[frame].fetch_and(static_cast<std::uint8_t>(~flag), std::memory_order_seq_cst);
  }
  PendingFrames pending_frames;
  // Raised when the pending-frame table overflowed: the slots are held by frames that may have
  // lost packets, and the next network step gives the oldest incomplete one up.
  std::atomic<bool> pending_overflow{false};
  // A frame beyond the trackable range arrived: every frame of the budget has been sent. From
  // the next network step on, budget frames that never arrived (swept once) or stay
  // incomplete are given up.
  std::atomic<bool> beyond_budget_seen{false};
  std::atomic<bool> lost_frames_swept{false};
  // Every frame below it is finished or dropped; advanced by the lost-frame sweeps (under
  // running_frames and the pending-frame mutex) so that each sweep starts where the last ended.
  std::atomic<std::size_t> settled_below{0};
  // Packets in pending_frames; changed under its mutex, read without it.
  std::atomic<std::size_t> parked_packets{0};
};

// Entries of the packet channel: four frames' worth of packets, but at least 65536, so that a
// burst does not drop packets while the resolution threads catch up.
std::size_t packet_channel_capacity(std::size_t frame_packets) noexcept;

}  // namespace arvex
