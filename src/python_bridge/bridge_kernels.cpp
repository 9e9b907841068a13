#include "python_bridge/bridge_kernels.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "python_bridge/python_handle.hpp"

namespace arvex::python_bridge {

namespace {

[[noreturn]] void fail(std::string message) { throw std::runtime_error(std::move(message)); }

// A slice index past the end fails like any out-of-range index.
const CmTypes& at(const CmTypes* args, std::size_t count, std::size_t index) {
  if (index >= count) {
    throw std::out_of_range(fmt::format("index out of bounds: the len is {} but the index is {}", count, index));
  }
  return args[index];
}

// Owns one strong reference for the span of a call.
class Ref {
 public:
  explicit Ref(PyObject* object = nullptr) noexcept : object_(object) {}
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref& operator=(Ref&&) = delete;
  ~Ref() { Py_XDECREF(object_); }
  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_;
};

std::string text_of(PyObject* object) {
  Ref text(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return "<unprintable>";
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

// "Type: text" of the pending exception, which is consumed.
std::string take_python_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const Ref type_ref(type);
  const Ref value_ref(value);
  const Ref traceback_ref(traceback);
  std::string name = "Exception";
  if (type != nullptr) {
    Ref qualname(PyObject_GetAttrString(type, "__qualname__"));
    if (qualname) {
      name = text_of(qualname.get());
    } else {
      PyErr_Clear();
    }
  }
  return name + ": " + (value != nullptr ? text_of(value) : std::string());
}

// The Python object a handle cell holds, as a new reference. Fails when the cell holds
// something else.
PyObject* held_object(const CmTypes& value) {
  if (value.is(CmTag::AnyHeld)) {
    if (const PythonObjectHandle* handle = value.any_held<PythonObjectHandle>()) {
      Py_INCREF(handle->get());
      return handle->get();
    }
  } else if (value.is(CmTag::CustomType)) {
    if (const auto cell = value.read_cell<PythonObjectHandle>()) {
      Py_INCREF(cell->get());
      return cell->get();
    }
    const char* actual = value.held_type_name();
    std::printf("expected %s, found %s (arvex-python-bridge: downcast of a CustomType cell)\n",
                HeldTypeName<PythonObjectHandle>::value, actual != nullptr ? actual : "nothing");
    std::fflush(stdout);
  }
  fail("arvex-python-bridge: the slot does not hold a Python object");
}

// New reference to the Python form of `value`.
PyObject* cm_to_py(const CmTypes& value) {
  PyObject* out = nullptr;
  switch (value.tag()) {
    case CmTag::Bool: out = PyBool_FromLong(value.get_bool() ? 1 : 0); break;
    case CmTag::I8: out = PyLong_FromLongLong(value.get_i8()); break;
    case CmTag::I16: out = PyLong_FromLongLong(value.get_i16()); break;
    case CmTag::I32: out = PyLong_FromLongLong(value.get_i32()); break;
    case CmTag::I64: out = PyLong_FromLongLong(value.get_i64()); break;
    case CmTag::Isize: out = PyLong_FromLongLong(value.get_isize()); break;
    case CmTag::U8: out = PyLong_FromUnsignedLongLong(value.get_u8()); break;
    case CmTag::U16: out = PyLong_FromUnsignedLongLong(value.get_u16()); break;
    case CmTag::U32: out = PyLong_FromUnsignedLongLong(value.get_u32()); break;
    case CmTag::U64: out = PyLong_FromUnsignedLongLong(value.get_u64()); break;
    case CmTag::Usize: out = PyLong_FromUnsignedLongLong(value.get_usize()); break;
    case CmTag::F32: out = PyFloat_FromDouble(static_cast<double>(value.get_f32())); break;
    case CmTag::F64: out = PyFloat_FromDouble(value.get_f64()); break;
    case CmTag::String: {
      const std::string_view text = value.text();
      out = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
      break;
    }
    case CmTag::None: Py_INCREF(Py_None); out = Py_None; break;
    case CmTag::CustomType:
    case CmTag::AnyHeld: return held_object(value);
    case CmTag::Bytes: {
      const auto bytes = value.bytes();
      out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                      static_cast<Py_ssize_t>(bytes.size()));
      break;
    }
    default:
      fail(fmt::format("arvex-python-bridge: cannot convert CmTypes variant to Python (Discriminant({}))",
                       static_cast<unsigned>(value.tag())));
  }
  if (out == nullptr) fail("arvex-python-bridge: conversion to Python failed: " + take_python_error());
  return out;
}

CmTypes handle_cell(PyObject* owned) { return CmTypes::make_custom<PythonObjectHandle>(owned); }

void check_callable_arg(const CmTypes* args, std::size_t count, std::string_view kernel) {
  const CmTypes& callable = at(args, count, 0);
  if (!callable.is(CmTag::CustomType) && !callable.is(CmTag::AnyHeld)) {
    fail(fmt::format("{}: args[0] must be CmTypes::Any (callable handle)", kernel));
  }
}

// Calls `callable` with the tuple `call_args`; the result is a new reference.
Ref call(std::string_view kernel, PyObject* callable, PyObject* call_args) {
  Ref result(PyObject_CallObject(callable, call_args));
  if (!result) fail(fmt::format("{}: call failed: {}", kernel, take_python_error()));
  return result;
}

Ref tuple_of(std::vector<PyObject*>& owned) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(owned.size())));
  if (!tuple) {
    for (PyObject* o : owned) Py_DECREF(o);
    fail("arvex-python-bridge: cannot build the argument tuple: " + take_python_error());
  }
  for (std::size_t i = 0; i < owned.size(); ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), owned[i]);
  owned.clear();
  return tuple;
}

// Converted values, released if a later conversion fails.
class Converted {
 public:
  ~Converted() {
    for (PyObject* o : objects_) Py_DECREF(o);
  }
  void add(const CmTypes& value) {
    PyObject* object = cm_to_py(value);
    objects_.push_back(object);
  }
  std::vector<PyObject*>& objects() { return objects_; }

 private:
  std::vector<PyObject*> objects_;
};

void ensure_logged() {
  static std::once_flag bridge_init;
  std::call_once(bridge_init, [] {
    if (std::getenv("ARVEX_PY_SUBINTERPRETERS") != nullptr) {
      std::fputs("arvex-python-bridge: ARVEX_PY_SUBINTERPRETERS requested but not yet implemented; falling back to tier 1\n",
                 stderr);
    }
    std::fputs("arvex-python-bridge: tier 1 \xE2\x80\x94 standard GIL (NumPy/BLAS ops release GIL; use python3.13t for tier 3)\n",
               stderr);
    std::fflush(stderr);
  });
}

}  // namespace

void py_load_callable(const CmTypes* args, std::size_t count, CmTypes* result) {
  ensure_logged();
  const CmTypes& module_name = at(args, count, 0);
  const CmTypes& attribute = at(args, count, 1);
  if (!module_name.is(CmTag::String)) fail("py_load_callable: args[0] must be String (module name)");
  if (!attribute.is(CmTag::String)) fail("py_load_callable: args[1] must be String (function name)");
  const std::string module_text(module_name.text());
  const std::string attribute_text(attribute.text());

  const InterpreterLock lock;
  Ref module(PyImport_ImportModule(module_text.c_str()));
  if (!module) fail(fmt::format("py_load_callable: cannot import module '{}': {}", module_text, take_python_error()));
  Ref object(PyObject_GetAttrString(module.get(), attribute_text.c_str()));
  if (!object) {
    fail(fmt::format("py_load_callable: '{}' not found in module '{}': {}", attribute_text, module_text,
                     take_python_error()));
  }
  *result = handle_cell(object.release());
}

void py_call_any(const CmTypes* args, std::size_t count, CmTypes* result) {
  check_callable_arg(args, count, "py_call_any");
  const InterpreterLock lock;
  const Ref callable(held_object(args[0]));
  Converted converted;
  for (std::size_t i = 1; i < count; ++i) {
    if (!args[i].is(CmTag::None)) converted.add(args[i]);
  }
  const Ref call_args = tuple_of(converted.objects());
  Ref returned = call("py_call_any", callable.get(), call_args.get());
  *result = handle_cell(returned.release());
}

void py_call_void(const CmTypes* args, std::size_t count, CmTypes* result) {
  check_callable_arg(args, count, "py_call_void");
  if (count < 2) fail("py_call_void: need at least 2 args (callable, first_arg)");
  const InterpreterLock lock;
  const Ref callable(held_object(args[0]));
  Converted first;
  first.add(args[1]);
  Converted rest;
  for (std::size_t i = 2; i < count; ++i) {
    if (!args[i].is(CmTag::None)) rest.add(args[i]);
  }
  Ref list(PyList_New(static_cast<Py_ssize_t>(rest.objects().size())));
  if (!list) fail("py_call_void: cannot build the argument list: " + take_python_error());
  for (std::size_t i = 0; i < rest.objects().size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), rest.objects()[i]);
  }
  rest.objects().clear();
  std::vector<PyObject*> pair = {first.objects()[0], list.release()};
  first.objects().clear();
  const Ref call_args = tuple_of(pair);
  call("py_call_void", callable.get(), call_args.get());
  *result = CmTypes::none();
}

void py_call_bytes(const CmTypes* args, std::size_t count, CmTypes* result) {
  check_callable_arg(args, count, "py_call_bytes");
  const CmTypes& payload = at(args, count, 1);
  const CmTypes& metadata = at(args, count, 2);
  if (!payload.is(CmTag::Bytes)) fail("py_call_bytes: args[1] must be CmTypes::Bytes");
  if (!metadata.is(CmTag::String)) fail("py_call_bytes: args[2] must be CmTypes::String (metadata)");
  const InterpreterLock lock;
  const Ref callable(held_object(args[0]));
  Converted converted;
  converted.add(payload);
  converted.add(metadata);
  const Ref call_args = tuple_of(converted.objects());
  const Ref returned = call("py_call_bytes", callable.get(), call_args.get());
  if (PyBytes_Check(returned.get()) == 0) fail("py_call_bytes: function must return bytes");
  const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(returned.get()));
  *result = CmTypes::make_bytes({data, static_cast<std::size_t>(PyBytes_GET_SIZE(returned.get()))});
}

std::uint32_t bridge_abi_stamp() noexcept {
  std::uint32_t stamp = (std::uint32_t{PY_MAJOR_VERSION} << 24) | (std::uint32_t{PY_MINOR_VERSION} << 16);
#ifdef Py_GIL_DISABLED
  stamp |= 1u << 15;
#endif
  return stamp;
}

}  // namespace arvex::python_bridge
