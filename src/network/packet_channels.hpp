#pragma once
// The channels between the UDP receivers and the resolution threads: accepted datagrams travel
// to the resolution threads on one shared packet channel, and each socket's packet buffers come
// back to its receiver's pool on a return channel of their own.

#include <cstdint>
#include <vector>

#include "network/udp_socket.hpp"
#include "support/bounded_mpmc_queue.hpp"

namespace arvex {

using PacketBuffer = std::vector<std::uint8_t>;
// Many receivers push, many resolution threads pop; a full channel drops the packet.
using PacketChannel = BoundedMpmcQueue<PacketMessage>;
// Resolution threads push, the one receiver serving the socket pops.
using BufferReturnChannel = BoundedMpmcQueue<PacketBuffer>;

}  // namespace arvex
