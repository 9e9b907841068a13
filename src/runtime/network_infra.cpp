#include "runtime/network_infra.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace arvex {

namespace {

constexpr std::size_t kMinPacketChannel = 65536;
constexpr std::size_t kFramesInChannel = 4;

}  // namespace

std::optional<std::shared_ptr<BufferReturnChannel>> BufferReturnSlot::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(receiver_, std::nullopt);
}

std::size_t packet_channel_capacity(std::size_t frame_packets) noexcept {
  // Saturates rather than wraps; the queue rejects a capacity that large with a message.
  if (frame_packets > std::numeric_limits<std::size_t>::max() / kFramesInChannel) {
    return std::numeric_limits<std::size_t>::max();
  }
  return std::max(kFramesInChannel * frame_packets, kMinPacketChannel);
}

NetworkInfra::NetworkInfra(Parts parts)
    : packet_channel(parts.packet_channel_capacity),
      sockets(std::move(parts.sockets)),
      drop_counters(sockets.size()),
      frame_flags(parts.tracked_frames),
      instance_seen(parts.track_instances ? parts.slots * ((parts.frame_packets + 63) / 64) : 0),
      instance_words_per_slot(parts.track_instances ? (parts.frame_packets + 63) / 64 : 0) {
  buffer_return_senders.reserve(sockets.size());
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    auto channel = std::make_shared<BufferReturnChannel>(parts.recv_pool_size);
    buffer_return_receivers.emplace_back(channel);
    buffer_return_senders.push_back(std::move(channel));
  }
}

}  // namespace arvex
