#include "kernels/builtin_kernels.hpp"

namespace arvex {

void network_source_kernel(const CmTypes*, std::size_t, CmTypes* result) noexcept { *result = CmTypes::none(); }

}  // namespace arvex
