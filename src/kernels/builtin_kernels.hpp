#pragma once
// Kernels that come with the program.

#include <cstddef>

#include "arvex/kernel.hpp"

namespace arvex {

// Registered as "noop": ignores its arguments and returns None.
void noop_kernel(const CmTypes* args, std::size_t count, CmTypes* result) noexcept;

// Registered as "packet_payload", an extract function: returns its Bytes argument (the whole
// packet) as the packet's payload.
void packet_payload_kernel(const CmTypes* args, std::size_t count, CmTypes* result);
// Registered as "frame_id_u64le", an ID function: the frame id of a packet as U64.
void frame_id_u64le_kernel(const CmTypes* args, std::size_t count, CmTypes* result);
// Registered as "packet_index_u32le", an index function: the packet's index as U64.
// All three throw (failing the run with their message) for anything but a Bytes value long
// enough to hold what they read.
void packet_index_u32le_kernel(const CmTypes* args, std::size_t count, CmTypes* result);

// The kernel of the network source node "$network". Its instances' results come from received
// packets, so the kernel itself only returns None. It is bound by the compiler, not by name.
void network_source_kernel(const CmTypes* args, std::size_t count, CmTypes* result) noexcept;

}  // namespace arvex
