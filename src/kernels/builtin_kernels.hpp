#pragma once
// Kernels that come with the program.

#include <cstddef>

#include "arvex/kernel.hpp"

namespace arvex {

// Registered as "noop": ignores its arguments and returns None.
void noop_kernel(const CmTypes* args, std::size_t count, CmTypes* result) noexcept;

// The kernel of the network source node "$network". Its instances' results come from received
// packets, so the kernel itself only returns None. It is bound by the compiler, not by name.
void network_source_kernel(const CmTypes* args, std::size_t count, CmTypes* result) noexcept;

}  // namespace arvex
