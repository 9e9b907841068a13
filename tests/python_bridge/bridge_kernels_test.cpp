// The bridge's kernels in-process, with an embedded interpreter: argument checks and their
// messages, value conversion, the call shapes, Python errors, the once-only tier message, cells
// holding Python objects and their release from threads without the interpreter lock.

#include <Python.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "python_bridge/bridge_kernels.hpp"
#include "python_bridge/python_handle.hpp"

#if defined(__SANITIZE_ADDRESS__)
// The embedded interpreter keeps its allocations until the process ends, by design.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython\n"; }
#endif

namespace arvex::python_bridge {
namespace {

using Kernel = void (*)(const CmTypes*, std::size_t, CmTypes*);

// The interpreter for the whole test process, its lock released so that kernels take it.
class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    Py_InitializeEx(0);
    PyRun_SimpleString(
        "import sys, types\n"
        "m = types.ModuleType('bridge_test_mod')\n"
        "exec('''\n"
        "calls = []\n"
        "def record(*args):\n"
        "    calls.append(args)\n"
        "    return len(args)\n"
        "def upper(payload, meta):\n"
        "    return payload.upper() + meta.encode()\n"
        "def text(payload, meta):\n"
        "    return 'not bytes'\n"
        "def boom(*args):\n"
        "    raise ValueError('bad input')\n"
        "''', m.__dict__)\n"
        "sys.modules['bridge_test_mod'] = m\n");
    saved_ = PyEval_SaveThread();
  }

 private:
  PyThreadState* saved_ = nullptr;
};

const auto* const kInterpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

CmTypes str(const char* text) { return CmTypes::make_string(text); }

CmTypes run(Kernel kernel, std::vector<CmTypes> args) {
  CmTypes result;
  kernel(args.data(), args.size(), &result);
  return result;
}

std::string failure(Kernel kernel, std::vector<CmTypes> args) {
  try {
    run(kernel, std::move(args));
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no failure)";
}

CmTypes load(const char* attribute) { return run(&py_load_callable, {str("bridge_test_mod"), str(attribute)}); }

// The Python repr of the arguments of record()'s last call.
std::string last_call() {
  const InterpreterLock lock;
  PyObject* module = PyImport_ImportModule("bridge_test_mod");
  PyObject* calls = PyObject_GetAttrString(module, "calls");
  PyObject* last = PyList_GetItem(calls, PyList_Size(calls) - 1);
  PyObject* repr = PyObject_Repr(last);
  std::string text = PyUnicode_AsUTF8(repr);
  Py_DECREF(repr);
  Py_DECREF(calls);
  Py_DECREF(module);
  return text;
}

TEST(BridgeKernels, ArgumentChecksFailBeforeTheInterpreterIsTouched) {
  const CmTypes handle = load("record");
  struct Case {
    const char* name;
    Kernel kernel;
    std::vector<CmTypes> args;
    std::string message;
  };
  const Case cases[] = {
      {"load, one argument", &py_load_callable, {str("m")}, "index out of bounds: the len is 1 but the index is 1"},
      {"load, module not a String", &py_load_callable, {CmTypes::make_i32(1), str("f")},
       "py_load_callable: args[0] must be String (module name)"},
      {"load, attribute not a String", &py_load_callable, {str("m"), CmTypes::make_i32(1)},
       "py_load_callable: args[1] must be String (function name)"},
      {"call_any, no arguments", &py_call_any, {}, "index out of bounds: the len is 0 but the index is 0"},
      {"call_any, not a handle", &py_call_any, {CmTypes::make_i32(1)}, "py_call_any: args[0] must be CmTypes::Any (callable handle)"},
      {"call_void, not a handle", &py_call_void, {str("f"), str("x")}, "py_call_void: args[0] must be CmTypes::Any (callable handle)"},
      {"call_void, handle only", &py_call_void, {handle}, "py_call_void: need at least 2 args (callable, first_arg)"},
      {"call_bytes, not a handle", &py_call_bytes, {CmTypes::none()}, "py_call_bytes: args[0] must be CmTypes::Any (callable handle)"},
      {"call_bytes, payload not Bytes", &py_call_bytes, {handle, str("x"), str("m")}, "py_call_bytes: args[1] must be CmTypes::Bytes"},
      {"call_bytes, metadata not a String", &py_call_bytes, {handle, CmTypes::make_bytes({}), CmTypes::make_i32(1)},
       "py_call_bytes: args[2] must be CmTypes::String (metadata)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failure(c.kernel, c.args), c.message);
  }
}

TEST(BridgeKernels, ValuesConvertByAlternativeAndNoneIsLeftOut) {
  const CmTypes record = load("record");
  const std::uint8_t raw[] = {0x61, 0x00, 0xff};
  const CmTypes returned = run(&py_call_any, {record, CmTypes::make_bool(true), CmTypes::make_i8(-8), CmTypes::make_i64(-64),
                                              CmTypes::make_u16(16), CmTypes::make_u64(18446744073709551615ull),
                                              CmTypes::make_usize(7), CmTypes::make_f32(0.5f), CmTypes::make_f64(-2.25),
                                              CmTypes::none(), str("x\xc3\xa9"), CmTypes::make_bytes(raw), record});
  const std::string expected_prefix =
      "(True, -8, -64, 16, 18446744073709551615, 7, 0.5, -2.25, 'x\xc3\xa9', b'a\\x00\\xff', <function record at ";
  const std::string seen = last_call();
  EXPECT_EQ(seen.substr(0, expected_prefix.size()), expected_prefix) << "a handle converts to the object it holds";
  EXPECT_TRUE(returned.is(CmTag::CustomType)) << "the returned object comes back in a cell";

  EXPECT_EQ(failure(&py_call_any, {record, CmTypes::make_char(U'a')}),
            "arvex-python-bridge: cannot convert CmTypes variant to Python (Discriminant(11))");
}

TEST(BridgeKernels, CallShapes) {
  const CmTypes record = load("record");
  EXPECT_TRUE(run(&py_call_void, {record, CmTypes::none()}).is(CmTag::None));
  EXPECT_EQ(last_call(), "(None, [])");
  run(&py_call_void, {record, CmTypes::make_i32(1), CmTypes::none(), str("x"), CmTypes::make_i32(2)});
  EXPECT_EQ(last_call(), "(1, ['x', 2])");
  run(&py_call_any, {record, CmTypes::make_i32(1), CmTypes::none(), str("x")});
  EXPECT_EQ(last_call(), "(1, 'x')");

  const std::uint8_t payload[] = {'a', 'b'};
  const CmTypes bytes = run(&py_call_bytes, {load("upper"), CmTypes::make_bytes(payload), str("!")});
  ASSERT_TRUE(bytes.is(CmTag::Bytes));
  EXPECT_EQ(std::string(bytes.bytes().begin(), bytes.bytes().end()), "AB!");
  EXPECT_EQ(failure(&py_call_bytes, {load("text"), CmTypes::make_bytes(payload), str("")}),
            "py_call_bytes: function must return bytes");
}

TEST(BridgeKernels, PythonErrorsBecomeTheirTypeAndText) {
  const CmTypes boom = load("boom");
  EXPECT_EQ(failure(&py_call_any, {boom}), "py_call_any: call failed: ValueError: bad input");
  EXPECT_EQ(failure(&py_call_void, {boom, CmTypes::none()}), "py_call_void: call failed: ValueError: bad input");
  EXPECT_EQ(failure(&py_call_bytes, {boom, CmTypes::make_bytes({}), str("")}),
            "py_call_bytes: call failed: ValueError: bad input");
  EXPECT_EQ(failure(&py_load_callable, {str("no_such_module_here"), str("f")}),
            "py_load_callable: cannot import module 'no_such_module_here': ModuleNotFoundError: No module named "
            "'no_such_module_here'");
  EXPECT_EQ(failure(&py_load_callable, {str("bridge_test_mod"), str("missing")}),
            "py_load_callable: 'missing' not found in module 'bridge_test_mod': AttributeError: module "
            "'bridge_test_mod' has no attribute 'missing'");
  const InterpreterLock lock;
  EXPECT_EQ(PyErr_Occurred(), nullptr) << "nothing stays pending";
}

TEST(BridgeKernels, TierMessageOnceAndOnlyFromTheLoadKernel) {
  // The message is once per process: a fresh one (the threadsafe style re-runs the binary).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const CmTypes handle = load("record");
        run(&py_call_any, {handle});  // a call says nothing
        load("record");
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "^arvex-python-bridge: tier 1 [^\n]*GIL [^\n]*for tier 3\\)\n$");
}

TEST(BridgeKernels, SubinterpreterRequestIsAnsweredBeforeTheTierMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::setenv("ARVEX_PY_SUBINTERPRETERS", "", 1);
        load("record");
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0),
      "^arvex-python-bridge: ARVEX_PY_SUBINTERPRETERS requested but not yet implemented; falling back to tier 1\n"
      "arvex-python-bridge: tier 1 [^\n]*\n$");
}

TEST(BridgeKernels, ACellHoldingAnotherTypeIsNotACallable) {
  struct NotPython {
    int value = 0;
  };
  const CmTypes handle = load("record");
  struct Case {
    const char* name;
    CmTypes value;
    bool diagnostic;  // a CustomType cell says which type it found
  };
  const Case cases[] = {
      {"CustomType", CmTypes::make_custom<NotPython>(), true},
      {"AnyHeld", CmTypes::make_any_held<NotPython>(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool as_argument : {false, true}) {
      ::testing::internal::CaptureStdout();
      const std::string message = as_argument ? failure(&py_call_any, {handle, c.value}) : failure(&py_call_any, {c.value});
      const std::string out = ::testing::internal::GetCapturedStdout();
      EXPECT_EQ(message, "arvex-python-bridge: the slot does not hold a Python object");
      EXPECT_EQ(out.find("expected Python object handle, found ") == 0, c.diagnostic) << out;
    }
  }
}

TEST(BridgeKernels, TwoLoadsGiveDistinctCellsHoldingTheSameObject) {
  const CmTypes first = load("record");
  const CmTypes second = load("record");
  EXPECT_FALSE(first == second) << "two cells";
  const auto a = first.read_cell<PythonObjectHandle>();
  const auto b = second.read_cell<PythonObjectHandle>();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->get(), b->get());
}

TEST(BridgeKernels, ReleasesWithoutTheLockWaitForTheNextLockedCall) {
  PyObject* object = nullptr;
  {
    CmTypes handle = load("record");
    object = handle.read_cell<PythonObjectHandle>()->get();
    Py_ssize_t before = 0;
    {
      const InterpreterLock lock;
      before = Py_REFCNT(object);
    }
    std::thread([moved = std::move(handle)]() mutable { moved = CmTypes::none(); }).join();
    EXPECT_EQ(queued_releases(), 1u) << "released on a thread without the lock: queued";
    const InterpreterLock lock;  // drains the queue
    EXPECT_EQ(queued_releases(), 0u);
    EXPECT_EQ(Py_REFCNT(object), before - 1);
  }
}

TEST(BridgeKernels, CallsFromSeveralThreadsAtOnce) {
  const CmTypes record = load("record");
  const auto recorded_calls = [] {
    const InterpreterLock lock;
    PyObject* module = PyImport_ImportModule("bridge_test_mod");
    PyObject* calls = PyObject_GetAttrString(module, "calls");
    const Py_ssize_t size = PyList_Size(calls);
    Py_DECREF(calls);
    Py_DECREF(module);
    return size;
  };
  const Py_ssize_t before = recorded_calls();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&record, t] {
      for (int i = 0; i < 200; ++i) run(&py_call_void, {record, CmTypes::make_i32(t), CmTypes::make_i32(i)});
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(recorded_calls() - before, 800);
}

TEST(BridgeKernels, AbiStampNamesTheInterpreterBuiltAgainst) {
  EXPECT_EQ(bridge_abi_stamp(), (std::uint32_t{PY_MAJOR_VERSION} << 24) | (std::uint32_t{PY_MINOR_VERSION} << 16));
}

// The built module carries its own copy of the value code: values made on one side must read
// and release correctly on the other.
TEST(BridgeLibrary, ValuesCrossBetweenTheModuleAndThisBinary) {
  void* library = ::dlopen(ARVEX_PYTHON_BRIDGE_LIB, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  const auto kernel = [&](const char* name) { return reinterpret_cast<Kernel>(::dlsym(library, name)); };
  const auto abi = reinterpret_cast<std::uint32_t (*)()>(::dlsym(library, "arvex_python_bridge_abi"));
  const auto abi_version = reinterpret_cast<std::uint32_t (*)()>(::dlsym(library, "arvex_abi_version"));
  ASSERT_TRUE(abi && abi_version && kernel("py_load_callable_cm") && kernel("py_call_bytes_cm"));
  EXPECT_EQ(abi(), bridge_abi_stamp());
  EXPECT_EQ(abi_version(), 3u);

  PyObject* object = nullptr;
  Py_ssize_t references = 0;
  {
    // A handle made by the module, read here through this binary's value code.
    CmTypes handle = run(kernel("py_load_callable_cm"), {str("bridge_test_mod"), str("upper")});
    const auto cell = handle.read_cell<PythonObjectHandle>();
    ASSERT_TRUE(cell) << "the module's cell is recognised as a Python object handle here";
    object = cell->get();
    {
      const InterpreterLock lock;
      references = Py_REFCNT(object);
    }
    // Bytes made here, read by the module.
    const std::uint8_t payload[] = {'h', 'i'};
    const CmTypes bytes = run(kernel("py_call_bytes_cm"), {handle, CmTypes::make_bytes(payload), str("?")});
    EXPECT_EQ(std::string(bytes.bytes().begin(), bytes.bytes().end()), "HI?");
  }
  // Released here without the lock: the module's release routine queued it (in the module's
  // own queue), and its next locked call drops it.
  run(kernel("py_load_callable_cm"), {str("bridge_test_mod"), str("record")});
  const InterpreterLock lock;
  EXPECT_EQ(Py_REFCNT(object), references - 1);
}

}  // namespace
}  // namespace arvex::python_bridge
