#pragma once
// The body of one UDP receiver thread: it polls a range of sockets, copies every datagram of
// the expected size into a pooled buffer and hands it to the resolution threads. Receivers
// never touch frames, slots or the graph.

#include <atomic>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "network/packet_channels.hpp"
#include "network/udp_socket.hpp"
#include "tables/cache_aligned_array.hpp"

namespace arvex {

struct ReceiverLoopArgs {
  std::size_t packet_length = 0;
  std::size_t pool_size = 0;  // buffers each socket's pool starts with
  const std::atomic<bool>* shutdown = nullptr;
  PacketChannel* packets = nullptr;
  // All sockets of the run in port order, and their drop counters; the loop serves
  // [first_socket, end_socket).
  std::span<const NetworkSocket> sockets;
  CacheAlignedArray<std::atomic<std::size_t>>* drop_counters = nullptr;
  std::size_t thread_id = 0;
  std::size_t first_socket = 0;
  std::size_t end_socket = 0;
  // Position in the list of usable cores; past the list the thread runs unpinned.
  std::size_t core_position = 0;
  // The return channels of the served sockets, in socket order.
  std::vector<std::shared_ptr<BufferReturnChannel>> return_receivers;
};

// Runs until `shutdown` is set (read once per pass over the sockets, and at least every
// millisecond while the sockets are idle) or a receive fails with an error other than "would
// block". Datagrams of another size are logged and discarded; intact
// packets that find the packet channel full are counted in their socket's drop counter.
void multi_socket_receiver_loop(ReceiverLoopArgs args);

}  // namespace arvex
