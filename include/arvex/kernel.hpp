#pragma once
// The kernel signature. A kernel reads a borrowed, read-only array of argument values and
// writes its one owned result into the caller's slot (which holds None on entry). Kernels keep
// no state: the same kernel runs on many worker threads at once.

#include <cstddef>

#include "arvex/cm_types.hpp"

namespace arvex {

using KernelFn = void (*)(const CmTypes* args, std::size_t count, CmTypes* result);

}  // namespace arvex
