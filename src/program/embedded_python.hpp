#pragma once
// The CPython interpreter embedded in the program, so that kernels (through the Python bridge)
// can call Python from any thread.

#include "program/bridge_abi_check.hpp"

namespace arvex {

// Initialises the interpreter once, without Python's signal handlers, and releases its lock
// from the calling thread so that other threads can take it. Returns the running version.
// The interpreter stays up until the process ends.
PythonVersion start_embedded_python();

}  // namespace arvex
