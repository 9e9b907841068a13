#include "program/bridge_abi_check.hpp"

#include <dlfcn.h>
#include <fmt/format.h>

#include <memory>

namespace arvex {

namespace {

struct LibraryCloser {
  void operator()(void* handle) const noexcept { ::dlclose(handle); }
};
using Library = std::unique_ptr<void, LibraryCloser>;

std::string mismatch_message(PythonVersion running, std::uint32_t stamp) {
  return fmt::format(
      "arvex: Python bridge ABI mismatch!\n"
      "  Binary expects: Python {}.{} (GIL_DISABLED=0)\n"
      "  Bridge reports: Python {}.{} (GIL_DISABLED={})\n"
      "Rebuild the bridge with the same Python interpreter used to build this binary,\n"
      "or pass python_interpreter= matching the bridge's Python version to app.build().\n",
      running.major, running.minor, stamp >> 24, (stamp >> 16) & 0xFF, (stamp >> 15) & 1);
}

}  // namespace

Expected<std::optional<std::uint32_t>, std::string> check_python_bridge_abi(const std::string& path,
                                                                            PythonVersion running) {
  constexpr std::string_view kOpenFailure = "arvex: failed to pre-load bridge dylib for ABI check: ";
  if (const auto nul = path.find('\0'); nul != std::string::npos) {
    return Unexpected{fmt::format("{}nul byte found in provided data at position: {}\n", kOpenFailure, nul)};
  }
  ::dlerror();
  Library library(::dlopen(path.empty() ? nullptr : path.c_str(), RTLD_LAZY));
  if (!library) {
    const char* error = ::dlerror();
    return Unexpected{fmt::format("{}{}\n", kOpenFailure, error != nullptr ? error : "unknown error")};
  }
  void* symbol = ::dlsym(library.get(), "arvex_python_bridge_abi");
  if (symbol == nullptr) return std::optional<std::uint32_t>();  // not a bridge library: nothing to check

  const auto read_stamp = reinterpret_cast<std::uint32_t (*)()>(symbol);
  const std::uint32_t stamp = read_stamp();
  if (stamp != expected_bridge_abi(running)) return Unexpected{mismatch_message(running, stamp)};
  return std::optional<std::uint32_t>(stamp);
}

}  // namespace arvex
