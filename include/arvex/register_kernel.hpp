#pragma once
// Adding a kernel to the program's function registry. Each kernel registers itself from its own
// source file, at static initialisation:
//
//   void scale_kernel(const arvex::CmTypes* args, std::size_t count, arvex::CmTypes* result);
//   ARVEX_REGISTER_KERNEL("scale", scale_kernel);
//
// Graph files then name the kernel by that name. A name registered twice stops the program.
// Link kernels as object files (or a whole archive): the linker drops unreferenced members of a
// static library, and their registrations with them.

#include <string_view>

#include "arvex/kernel.hpp"

namespace arvex {

// Returns true so that it can initialise a static; stops the program on a duplicate name.
bool register_kernel(std::string_view name, KernelFn kernel) noexcept;

}  // namespace arvex

#define ARVEX_KERNEL_CONCAT_INNER(a, b) a##b
#define ARVEX_KERNEL_CONCAT(a, b) ARVEX_KERNEL_CONCAT_INNER(a, b)
#define ARVEX_REGISTER_KERNEL(name, kernel)                                                  \
  [[maybe_unused]] static const bool ARVEX_KERNEL_CONCAT(arvex_kernel_registered_, __LINE__) = \
      ::arvex::register_kernel((name), (kernel))
