#include "arvex/register_kernel.hpp"
#include "kernels/builtin_kernels.hpp"

namespace arvex {

void noop_kernel(const CmTypes*, std::size_t, CmTypes* result) noexcept { *result = CmTypes::none(); }

ARVEX_REGISTER_KERNEL("noop", noop_kernel);

}  // namespace arvex
