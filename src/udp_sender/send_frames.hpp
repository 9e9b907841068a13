#pragma once
// Puts a plan's datagrams on the wire: one UDP socket, paced by a steady clock. Called by the
// arvex-udp-send program and by tests that need traffic on loopback.

#include <cstdint>
#include <string>

#include "arvex/expected.hpp"
#include "udp_sender/send_plan.hpp"

namespace arvex {

struct SendReport {
  std::uint64_t packets_sent = 0;  // datagrams the kernel accepted
  std::uint64_t bytes_sent = 0;
  // Datagrams refused (e.g. ECONNREFUSED after an ICMP port unreachable); the run goes on.
  std::uint64_t send_errors = 0;
  std::string first_send_error;  // the system's text for the first refusal, if any
  double elapsed_seconds = 0;    // from the first send to the return of the last
};

// Sends the schedule of `plan` (see packet_schedule.hpp) to `plan.host`. The first resolved
// address a socket can be opened for is used; with a single port the socket is connected, so
// that a missing listener shows up as send errors, otherwise every datagram names its port.
// With a rate, datagram k (all kinds counted, from 0) leaves no earlier than k / rate seconds
// after the first, so that pauses do not accumulate drift. Fails only when nothing can be sent
// at all: a plan that check_plan rejects, a host that does not resolve, no usable socket.
Expected<SendReport, std::string> send_frames(const SendPlan& plan);

}  // namespace arvex
