#include "graph/function_registry.hpp"

#include <map>
#include <mutex>

#include "arvex/fatal.hpp"

namespace arvex {

namespace {

struct Registry {
  // Registrations run during static initialisation, possibly of libraries loaded later, while
  // lookups happen on the loading and compiling paths: a mutex is plenty.
  std::mutex mutex;
  std::map<std::string, KernelFn, std::less<>> kernels;
};

Registry& registry() {
  static Registry instance;  // built on first use, whatever the static-initialisation order
  return instance;
}

}  // namespace

bool register_kernel(std::string_view name, KernelFn kernel) noexcept {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (!r.kernels.emplace(std::string(name), kernel).second) {
    fatal_stop("kernel registered twice", name);
  }
  return true;
}

namespace function_registry {

std::optional<KernelFn> lookup(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const auto it = r.kernels.find(name);
  if (it == r.kernels.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> names() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<std::string> out;
  for (const auto& [name, kernel] : r.kernels) out.push_back(name);
  return out;
}

}  // namespace function_registry
}  // namespace arvex
