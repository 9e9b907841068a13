// The bridge's kernels in the program's registry, so that graphs run by arvex-core can load and
// call Python functions without a kernel library.

#include "arvex/register_kernel.hpp"
#include "python_bridge/bridge_kernels.hpp"

ARVEX_REGISTER_KERNEL("py_load_callable_cm", arvex::python_bridge::py_load_callable);
ARVEX_REGISTER_KERNEL("py_call_any_cm", arvex::python_bridge::py_call_any);
ARVEX_REGISTER_KERNEL("py_call_void_cm", arvex::python_bridge::py_call_void);
ARVEX_REGISTER_KERNEL("py_call_bytes_cm", arvex::python_bridge::py_call_bytes);
