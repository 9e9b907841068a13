#pragma once
// The bridge's four kernels: load a Python callable, and call one in three shapes. Each checks
// its arguments before touching the interpreter, holds the interpreter lock for its own
// duration, and reports a failure by throwing std::runtime_error with the message; the engine
// turns that into the run's error. A raised Python exception is consumed here.

#include <cstddef>
#include <string>

#include "arvex/cm_types.hpp"

namespace arvex::python_bridge {

// [0] module name, [1] attribute name → CustomType holding the attribute.
void py_load_callable(const CmTypes* args, std::size_t count, CmTypes* result);
// [0] callable, values... → CustomType holding what the call returned; None values are left out.
void py_call_any(const CmTypes* args, std::size_t count, CmTypes* result);
// [0] callable, [1] first argument, values... → None; called as f(first, [values without None]).
void py_call_void(const CmTypes* args, std::size_t count, CmTypes* result);
// [0] callable, [1] Bytes, [2] String metadata → Bytes returned by f(bytes, str).
void py_call_bytes(const CmTypes* args, std::size_t count, CmTypes* result);

// The interpreter stamp of this build: major << 24 | minor << 16, bit 15 for a free-threaded
// interpreter.
std::uint32_t bridge_abi_stamp() noexcept;

}  // namespace arvex::python_bridge
