#pragma once
// Python objects held in value cells, and the interpreter lock around bridge calls.
//
// A cell made by the bridge holds a PythonObjectHandle: one strong reference. The last value
// referring to the cell may go away on any thread, with or without the interpreter lock; the
// reference is then dropped at once when the thread holds the lock, or queued and dropped by
// the next thread that takes the lock through the bridge. The interpreter is never touched
// without the lock.

#include <Python.h>

#include "arvex/held_type.hpp"

namespace arvex::python_bridge {

class PythonObjectHandle {
 public:
  // Takes over one strong reference.
  explicit PythonObjectHandle(PyObject* object) noexcept : object_(object) {}
  PythonObjectHandle(const PythonObjectHandle&) = delete;
  PythonObjectHandle& operator=(const PythonObjectHandle&) = delete;
  ~PythonObjectHandle();

  // The held object, borrowed; call with the lock held.
  PyObject* get() const noexcept { return object_; }

 private:
  PyObject* object_;
};

// Holds the interpreter lock for one bridge call (nested takes by one thread are counted by the
// interpreter) and drops the references queued by threads that released cells without it.
class InterpreterLock {
 public:
  InterpreterLock();
  ~InterpreterLock();
  InterpreterLock(const InterpreterLock&) = delete;
  InterpreterLock& operator=(const InterpreterLock&) = delete;

 private:
  PyGILState_STATE state_;
};

// References waiting for the lock; for tests.
std::size_t queued_releases() noexcept;

}  // namespace arvex::python_bridge

// Cells holding Python objects are recognised by this name in every binary.
template <>
struct arvex::HeldTypeName<arvex::python_bridge::PythonObjectHandle> {
  static constexpr const char* value = "Python object handle";
};
