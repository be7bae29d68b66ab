/* The floor of a call across the boundary: a function of the same shape as
 * _native.call under the same stable ABI (fast call with keywords, op and
 * payload bound and read as UTF-8, a new str returned holding the "version"
 * envelope) that does no work of its own. bench/bench_calls.py builds it and
 * measures _native.call against it. */
#define Py_LIMITED_API 0x030A0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

static const char envelope[] = "{\"ok\":true,\"value\":{\"core\":\"0.1.0\",\"protocol\":2}}";

static PyObject* call(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  PyObject* bound[2] = {NULL, NULL};
  Py_ssize_t nkw = kwnames == NULL ? 0 : PyTuple_Size(kwnames);
  Py_ssize_t i;
  (void)module;
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError, "call() takes 2 positional arguments but %zd were given", nargs);
    return NULL;
  }
  for (i = 0; i < nargs; ++i) bound[i] = args[i];
  for (i = 0; i < nkw; ++i) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(PyTuple_GetItem(kwnames, i), &size);
    int index = -1;
    if (name == NULL) return NULL;
    if (size == 2 && memcmp(name, "op", 2) == 0) index = 0;
    if (size == 7 && memcmp(name, "payload", 7) == 0) index = 1;
    if (index < 0 || bound[index] != NULL) {
      PyErr_SetString(PyExc_TypeError, "call() got an unexpected keyword argument");
      return NULL;
    }
    bound[index] = args[nargs + i];
  }
  for (i = 0; i < 2; ++i) {
    Py_ssize_t size = 0;
    if (bound[i] == NULL || !PyUnicode_Check(bound[i])) {
      PyErr_SetString(PyExc_TypeError, "call() needs two str arguments");
      return NULL;
    }
    if (PyUnicode_AsUTF8AndSize(bound[i], &size) == NULL) return NULL;
  }
  return PyUnicode_FromStringAndSize(envelope, (Py_ssize_t)(sizeof envelope - 1));
}

static PyMethodDef methods[] = {
    {"call", (PyCFunction)(void (*)(void))call, METH_FASTCALL | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "floor", NULL, 0, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_floor(void) { return PyModuleDef_Init(&module_def); }
