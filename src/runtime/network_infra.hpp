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
#include "support/bounded_mpmc_queue.hpp"
#include "network/udp_socket.hpp"
#include "tables/cache_aligned_array.hpp"

namespace arvex {

using PacketBuffer = std::vector<std::uint8_t>;
using PacketChannel = BoundedMpmcQueue<PacketMessage>;
using BufferReturnChannel = BoundedMpmcQueue<PacketBuffer>;

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
    std::size_t tracked_frames = 0;      // dropped flags for frame ids 0 .. tracked_frames - 1
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
  // Per frame id: the frame was dropped (claimed by an exchange, so each drop counts once).
  // Frame ids beyond the array cannot be tracked.
  CacheAlignedArray<std::atomic<bool>> frame_dropped;
  PendingFrames pending_frames;
  // Packets in pending_frames; changed under its mutex, read without it.
  std::atomic<std::size_t> parked_packets{0};
};

// Entries of the packet channel: four frames' worth of packets, but at least 65536, so that a
// burst does not drop packets while the resolution threads catch up.
std::size_t packet_channel_capacity(std::size_t frame_packets) noexcept;

}  // namespace arvex
