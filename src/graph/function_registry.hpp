#pragma once
// The function registry: graph files name kernels, and this table binds the names to kernels
// compiled into the program. Entries arrive at static initialisation (ARVEX_REGISTER_KERNEL)
// and the table is only read afterwards.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arvex/kernel.hpp"
#include "arvex/register_kernel.hpp"

namespace arvex::function_registry {

// The kernel registered under exactly `name`, if any.
std::optional<KernelFn> lookup(std::string_view name);

// Every registered name, sorted.
std::vector<std::string> names();

}  // namespace arvex::function_registry
