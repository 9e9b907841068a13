#pragma once
// What one run of the UDP test sender sends: the destination, the frames and their layout,
// the pace, and the faults to inject (reordering, duplicates, late and truncated packets).
// Filled by the arvex-udp-send command line or by tests; `check_plan` vets it before anything
// is built from it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace arvex {

inline constexpr std::uint64_t kDefaultSendSeed = 0x5eed;
inline constexpr std::uint64_t kDefaultLateLag = 8;
// The largest UDP payload over IPv4 (65535 less the IP and UDP headers).
inline constexpr std::size_t kMaxUdpPayload = 65507;

struct SendPlan {
  std::string host = "127.0.0.1";  // literal (IPv6 with or without brackets) or host name
  std::uint64_t start_port = 0;
  // Packet `i` of a frame goes to start_port + (i mod sockets).
  std::uint64_t sockets = 1;
  std::uint64_t frames = 0;
  std::uint64_t packets_per_frame = 0;
  std::size_t packet_length = 0;  // bytes of every frame packet, header included
  std::uint64_t first_frame = 0;
  double rate = 0;  // datagrams per second over all kinds; 0 sends as fast as possible
  bool shuffle = false;  // each frame's packets in a seeded random order
  std::uint64_t seed = kDefaultSendSeed;
  // Frame packets sent a second time right after the original, spread evenly over the run.
  std::uint64_t duplicates = 0;
  // Re-sends of packet 0 of the frame sent `late_lag` frames earlier, after each of the first
  // `late` frames that have such a predecessor.
  std::uint64_t late = 0;
  std::uint64_t late_lag = kDefaultLateLag;
  // Datagrams one byte shorter than packet_length, sent before the first frame.
  std::uint64_t short_packets = 0;
  // This frame goes first; the others keep their order.
  std::optional<std::uint64_t> send_first;
};

// Why `plan` cannot be sent, or nothing when it can. The messages name the plan's values so
// that a command-line user can tell which option to change.
std::optional<std::string> check_plan(const SendPlan& plan);

}  // namespace arvex
