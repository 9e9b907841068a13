// The exports of the arvex_python_bridge shared library: the four kernels under their C names,
// the two ABI functions, and the Python module entry point that lets the same file be imported.

#include <Python.h>

#include <cstdint>

#include "python_bridge/bridge_kernels.hpp"

#define ARVEX_BRIDGE_EXPORT extern "C" __attribute__((visibility("default")))

ARVEX_BRIDGE_EXPORT void py_load_callable_cm(const arvex::CmTypes* args, std::size_t count, arvex::CmTypes* result) {
  arvex::python_bridge::py_load_callable(args, count, result);
}
ARVEX_BRIDGE_EXPORT void py_call_any_cm(const arvex::CmTypes* args, std::size_t count, arvex::CmTypes* result) {
  arvex::python_bridge::py_call_any(args, count, result);
}
ARVEX_BRIDGE_EXPORT void py_call_void_cm(const arvex::CmTypes* args, std::size_t count, arvex::CmTypes* result) {
  arvex::python_bridge::py_call_void(args, count, result);
}
ARVEX_BRIDGE_EXPORT void py_call_bytes_cm(const arvex::CmTypes* args, std::size_t count, arvex::CmTypes* result) {
  arvex::python_bridge::py_call_bytes(args, count, result);
}

ARVEX_BRIDGE_EXPORT std::uint32_t arvex_python_bridge_abi() { return arvex::python_bridge::bridge_abi_stamp(); }
ARVEX_BRIDGE_EXPORT std::uint32_t arvex_abi_version() { return 3; }

namespace {

PyModuleDef_Slot module_slots[] = {
#ifdef Py_GIL_DISABLED
    // The module has no functions or state: nothing in it needs the lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "arvex_python_bridge",
    "Import entry point of the Arvex Python bridge. The library is normally loaded by the arvex-core\n"
    "runtime as a kernel library, not imported; importing it only proves that it loads. It defines\n"
    "no functions and holds no state, so declaring that it does not need the global interpreter\n"
    "lock is safe: every kernel takes the lock itself for the span of its call.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_arvex_python_bridge() { return PyModuleDef_Init(&module_definition); }
