#pragma once
// The kernel library may carry the Python bridge's ABI stamp, "arvex_python_bridge_abi": an
// unsigned 32-bit (major << 24) | (minor << 16) of the Python it was built for, bit 15 for a
// free-threaded build. It must match the interpreter this program embeds, or the bridge's
// kernels would talk to the wrong C API.

#include <cstdint>
#include <optional>
#include <string>

#include "arvex/expected.hpp"

namespace arvex {

struct PythonVersion {
  unsigned major = 0;
  unsigned minor = 0;
};

// The stamp a matching bridge reports for `version`.
constexpr std::uint32_t expected_bridge_abi(PythonVersion version) noexcept {
  return (std::uint32_t{version.major & 0xFF} << 24) | (std::uint32_t{version.minor & 0xFF} << 16);
}

// Opens `path` (empty: the program itself) to read its stamp. Success holds the verified
// stamp, or nothing when the library has none; failure holds the complete text for standard
// error (the caller exits with status 1).
Expected<std::optional<std::uint32_t>, std::string> check_python_bridge_abi(const std::string& path,
                                                                            PythonVersion running);

}  // namespace arvex
