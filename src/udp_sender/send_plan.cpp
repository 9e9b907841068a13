#include "udp_sender/send_plan.hpp"

#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "network/packet_format.hpp"

namespace arvex {

namespace {

constexpr std::uint64_t kMaxPort = 65535;
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

}  // namespace

std::optional<std::string> check_plan(const SendPlan& plan) {
  if (plan.host.empty()) return "the host is empty";
  if (plan.start_port == 0 || plan.start_port > kMaxPort) {
    return fmt::format("port {} is not in 1..{}", plan.start_port, kMaxPort);
  }
  if (plan.sockets == 0) return "the number of sockets must be at least 1";
  if (plan.sockets - 1 > kMaxPort - plan.start_port) {
    return fmt::format("{} sockets from port {} go beyond port {}", plan.sockets, plan.start_port, kMaxPort);
  }
  if (plan.packet_length < kPacketHeaderBytes) {
    return fmt::format("packet length {} is shorter than the {}-byte header", plan.packet_length,
                       kPacketHeaderBytes);
  }
  if (plan.packet_length > kMaxUdpPayload) {
    return fmt::format("packet length {} exceeds the largest UDP payload ({} bytes)", plan.packet_length,
                       kMaxUdpPayload);
  }
  if (plan.packets_per_frame == 0) return "the number of packets per frame must be at least 1";
  if (plan.packets_per_frame - 1 > std::numeric_limits<std::uint32_t>::max()) {
    return fmt::format("{} packets per frame do not fit the 32-bit packet index", plan.packets_per_frame);
  }
  if (plan.frames == 0) return "the number of frames must be at least 1";
  if (plan.frames - 1 > kMaxU64 - plan.first_frame) {
    return fmt::format("{} frames from frame {} go beyond the 64-bit frame id", plan.frames, plan.first_frame);
  }
  if (plan.frames > kMaxU64 / plan.packets_per_frame) {
    return fmt::format("{} frames of {} packets are too many packets to count", plan.frames,
                       plan.packets_per_frame);
  }
  if (!std::isfinite(plan.rate) || plan.rate < 0) {
    return fmt::format("rate {} is not a number of packets per second >= 0", plan.rate);
  }
  const std::uint64_t last_frame = plan.first_frame + (plan.frames - 1);
  if (plan.send_first && (*plan.send_first < plan.first_frame || *plan.send_first > last_frame)) {
    return fmt::format("frame {} to send first is not among the frames sent ({}..{})", *plan.send_first,
                       plan.first_frame, last_frame);
  }
  const std::uint64_t frame_packets = plan.frames * plan.packets_per_frame;
  if (plan.duplicates > frame_packets) {
    return fmt::format("{} duplicates exceed the {} frame packets of the run", plan.duplicates, frame_packets);
  }
  if (plan.late > 0) {
    // A lag of 0 would re-send a packet right after its own frame: a duplicate, not a late one.
    if (plan.late_lag == 0) return "the late lag must be at least 1 frame";
    if (plan.late > plan.frames || plan.late_lag > plan.frames - plan.late) {
      return fmt::format("{} late packets with a lag of {} frames need {} + {} frames, the run has {}", plan.late,
                         plan.late_lag, plan.late_lag, plan.late, plan.frames);
    }
  }
  return std::nullopt;
}

}  // namespace arvex
