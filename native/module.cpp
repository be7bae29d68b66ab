// The extension module `_native`: translates between Python str objects and
// the core's text boundary, and nothing else. Built against the stable ABI of
// Python 3.10, so one binary serves every later interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "core_ops.hpp"
#include "ffi.hpp"

namespace {

namespace core = quillon_bo_core;

// Owns one strong reference; every early return releases what it holds.
class Ref {
 public:
  explicit Ref(PyObject* p = nullptr) : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_;
};

[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

// The class of binding-layer faults. It derives from BaseException so that
// `except Exception` does not swallow a broken binding. Made on first use and
// kept for the life of the process; only touched with the interpreter lock held.
PyObject* fault_class() {
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    cls = PyErr_NewExceptionWithDoc(
        "quillon_bo.core._native.CoreFault",
        "A fault in the binding layer of the native core (not an error of an operation).",
        PyExc_BaseException, nullptr);
  }
  return cls;
}

// Raises a binding fault with `message`. A failure while doing so cannot be
// reported to Python any more.
void raise_fault(const char* message) noexcept {
  try {
    PyObject* cls = fault_class();
    if (cls == nullptr) abort_at_boundary();
    PyErr_SetString(cls, message);
  } catch (...) {
    abort_at_boundary();
  }
}

// PyErr_Fetch and friends are the stable-ABI way to reach the raised
// exception object on 3.10 and 3.11; newer headers mark them deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// Attaches `note` to the exception being raised. Interpreters without
// `add_note` (3.10) raise it unannotated.
void add_note(const char* note) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Ref result(PyObject_CallMethod(value, "add_note", "s", note));
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}
#pragma GCC diagnostic pop

// The UTF-8 text of a str argument, borrowed from the str itself.
bool text_of(PyObject* value, const char* note, std::string_view& text) {
  if (value == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
    add_note(note);
    return false;
  }
  if (!PyUnicode_Check(value)) {
    Ref qualname(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    if (qualname)
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", qualname.get());
    add_note(note);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) {  // a lone surrogate: the interpreter's UnicodeEncodeError
    add_note(note);
    return false;
  }
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

constexpr const char* parameter_names[2] = {"op", "payload"};

int parameter_index(PyObject* keyword) {
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (name == nullptr) {
    PyErr_Clear();
    return -1;
  }
  const std::string_view view(name, static_cast<std::size_t>(size));
  if (view == "op") return 0;
  if (view == "payload") return 1;
  return -1;
}

// Binds the arguments of call(op, payload) the way a Python function would,
// with the same TypeError messages.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* bound[2]) {
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError, "call() takes 2 positional arguments but %zd were given", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    const int index = parameter_index(keyword);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "call() got an unexpected keyword argument '%S'", keyword);
      return false;
    }
    if (bound[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "call() got multiple values for argument '%s'",
                   parameter_names[index]);
      return false;
    }
    bound[index] = args[nargs + k];
  }
  if (bound[0] == nullptr && bound[1] == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    "call() missing 2 required positional arguments: 'op' and 'payload'");
    return false;
  }
  for (int i = 0; i < 2; ++i) {
    if (bound[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "call() missing 1 required positional argument: '%s'",
                   parameter_names[i]);
      return false;
    }
  }
  return true;
}

// The result str of a call: the core's answer, which is valid UTF-8.
PyObject* str_of(std::string_view answer) {
  PyObject* text =
      PyUnicode_FromStringAndSize(answer.data(), static_cast<Py_ssize_t>(answer.size()));
  if (text == nullptr) {
    PyErr_Clear();
    raise_fault("could not create the result str");
  }
  return text;
}

PyObject* call_checked(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2] = {nullptr, nullptr};
  if (!bind_arguments(args, nargs, kwnames, bound)) return nullptr;
  std::string_view op, payload;
  if (!text_of(bound[0], "while processing 'op'", op)) return nullptr;
  if (!text_of(bound[1], "while processing 'payload'", payload)) return nullptr;

  // A constant answer goes from the core's text to the str directly.
  if (const auto fixed = core::ffi::fixed_answer(op)) return str_of(*fixed);
  const core::CoreOps registry;
  const std::string result = core::ffi::call(registry, op, payload);
  return str_of(result);
}

PyObject* call(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return call_checked(args, nargs, kwnames);
  } catch (const std::exception& e) {
    raise_fault(e.what());
  } catch (...) {
    raise_fault("unknown fault in the binding layer");
  }
  return nullptr;
}

PyMethodDef call_def = {
    "call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
    METH_FASTCALL | METH_KEYWORDS,
    "call(op, payload)\n--\n\nRuns a core operation; `payload` and the result are JSON strings\n"
    "(see `quillon_bo_core::ffi`)."};

// The module's `__all__`, made empty when the module has none yet.
PyObject* all_list(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return nullptr;
    }
    return all;
  }
  if (!PyList_Check(all)) {
    Ref type_name(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(all)), "__qualname__"));
    if (type_name) {
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'list'", type_name.get());
    }
    Py_DECREF(all);
    return nullptr;
  }
  return all;
}

// Appends `name` to `__all__` and sets the attribute; takes ownership of `value`.
bool export_value(PyObject* module, PyObject* name, PyObject* value) {
  Ref owned(value);
  if (!owned) return false;
  Ref all(all_list(module));
  if (!all) return false;
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    raise_fault("could not append __name__ to __all__");
    return false;
  }
  return PyObject_SetAttr(module, name, owned.get()) == 0;
}

bool export_named(PyObject* module, const char* name, PyObject* value) {
  Ref name_object(PyUnicode_FromString(name));
  if (!name_object) {
    Py_XDECREF(value);
    return false;
  }
  return export_value(module, name_object.get(), value);
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "the execution step of _native needs a module object");
    return -1;
  }
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref function(PyCMethod_New(&call_def, module, module_name.get(), nullptr));
  if (!function) return -1;
  Ref function_name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name) return -1;
  if (!export_value(module, function_name.get(), function.release())) return -1;

  const std::string version(core::core_version);
  if (!export_named(
          module, "__version__",
          PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size())))) {
    return -1;
  }
  if (!export_named(module, "PROTOCOL_VERSION", PyLong_FromLong(core::protocol_version))) return -1;
  return 0;
}

int exec_module_guarded(PyObject* module) {
  try {
    return exec_module(module);
  } catch (const std::exception& e) {
    raise_fault(e.what());
  } catch (...) {
    raise_fault("unknown fault while initialising _native");
  }
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module_guarded)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&module_def); }
