#pragma once
// The order in which the UDP test sender puts datagrams on the wire, kept apart from the
// sockets so that the fault injection can be checked without a network.
//
// A run sends, in this order:
//  1. `short_packets` short datagrams of packet_length - 1 bytes, all of frame first_frame;
//     short datagram j carries packet index j mod packets_per_frame.
//  2. The frames: `send_first` (when set) and then the others in increasing id. Each frame's
//     packets go in index order, or in a random order drawn from (seed, frame id) with
//     `shuffle`, so a frame is shuffled the same way whatever else the run holds.
//     - Duplicates: with T frame packets and D duplicates, the frame packets at send positions
//       floor(j * T / D), j = 0 .. D-1 (counting frame packets only, in send order), are each
//       followed at once by a copy. The first frame packet is always one of them.
//     - Late packets: after the last packet of the m-th frame sent (m from 0), when
//       m >= late_lag and fewer than `late` have gone, packet 0 of the frame sent at position
//       m - late_lag is sent again. Without send_first that is frame k - late_lag after
//       frame k, for the first `late` frames k >= first_frame + late_lag.
// Every datagram with packet index i goes to port offset i mod sockets.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "udp_sender/send_plan.hpp"

namespace arvex {

enum class PacketKind : std::uint8_t { Normal, Duplicate, Late, Short };

// "normal", "duplicate", "late", "short".
std::string_view debug_name(PacketKind kind) noexcept;

// One datagram of a run.
struct ScheduledPacket {
  std::uint64_t frame = 0;
  std::uint32_t index = 0;
  std::uint32_t port_offset = 0;  // added to the plan's start port
  std::size_t length = 0;
  PacketKind kind = PacketKind::Normal;

  friend bool operator==(const ScheduledPacket&, const ScheduledPacket&) = default;
};

// Calls `visit` for every datagram of `plan`, in send order, holding at most one frame's order
// at a time so that long runs need no memory for their schedule. `plan` must pass check_plan.
void for_each_scheduled_packet(const SendPlan& plan, const std::function<void(const ScheduledPacket&)>& visit);

// The whole schedule of `plan` as a list; for tests and small runs. `plan` must pass check_plan.
std::vector<ScheduledPacket> packet_schedule(const SendPlan& plan);

}  // namespace arvex
