#include "program/embedded_python.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace arvex {

PythonVersion start_embedded_python() {
  if (!Py_IsInitialized()) {
    Py_InitializeEx(0);
    // Keep the thread state released for good: kernels on worker threads take the lock
    // themselves, and the main thread never runs Python directly.
    (void)PyEval_SaveThread();
  }
  const PyGILState_STATE gil = PyGILState_Ensure();
  // Py_Version is the running library's version, which may differ from the headers'.
  const PythonVersion version{static_cast<unsigned>((Py_Version >> 24) & 0xFF),
                              static_cast<unsigned>((Py_Version >> 16) & 0xFF)};
  PyGILState_Release(gil);
  return version;
}

}  // namespace arvex
