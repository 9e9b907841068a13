#include "python_bridge/python_handle.hpp"

#include <concurrentqueue/concurrentqueue.h>

#include <stdexcept>

namespace arvex::python_bridge {

namespace {

// Unbounded: a thread releasing a cell must never block or fail. Leaked on purpose, so that
// releases during process exit still find it.
moodycamel::ConcurrentQueue<PyObject*>& pending_releases() {
  static auto* queue = new moodycamel::ConcurrentQueue<PyObject*>();
  return *queue;
}

}  // namespace

PythonObjectHandle::~PythonObjectHandle() {
  if (object_ == nullptr) return;
  if (Py_IsInitialized() != 0 && PyGILState_Check() != 0) {
    Py_DECREF(object_);
  } else {
    pending_releases().enqueue(object_);
  }
}

namespace {

PyGILState_STATE take_lock() {
  // Taking the lock of an interpreter that is not running (or is finalising) would hang or
  // crash the thread; fail the call instead.
  if (Py_IsInitialized() == 0 || _Py_IsFinalizing() != 0) {
    throw std::runtime_error("arvex-python-bridge: the Python interpreter is not running");
  }
  return PyGILState_Ensure();
}

}  // namespace

InterpreterLock::InterpreterLock() : state_(take_lock()) {
  PyObject* object = nullptr;
  while (pending_releases().try_dequeue(object)) Py_DECREF(object);
}

InterpreterLock::~InterpreterLock() { PyGILState_Release(state_); }

std::size_t queued_releases() noexcept { return pending_releases().size_approx(); }

}  // namespace arvex::python_bridge
