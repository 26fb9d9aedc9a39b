// Raising and annotating Python errors from native code: traceback entries named
// by qualified function name, and the C++-exception fence around every entry point.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace orvane {

// Adds a traceback entry "qualname" to the pending exception, with public API only.
inline void add_traceback(const char* qualname, const char* file, int line) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyCodeObject* code = PyCode_NewEmpty(file, qualname, line);
  PyObject* globals = code ? PyDict_New() : nullptr;
  PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  // Restore drops whatever the bookkeeping above may have raised.
  PyErr_Restore(type, value, tb);
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}

#define ORVANE_TRACEBACK(qualname) ::orvane::add_traceback((qualname), __FILE__, __LINE__)

inline void set_from_cpp_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown native error");
  }
}

// Runs a Python-callable body so that no C++ exception reaches the interpreter and
// every failure leaves with a traceback entry of the function.
template <class F>
PyObject* guarded(const char* qualname, F&& body) {
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (...) {
    set_from_cpp_exception();
    result = nullptr;
  }
  if (!result) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    ORVANE_TRACEBACK(qualname);
  }
  return result;
}

// NumPy's wording for an index outside an axis.
inline void raise_numpy_index(long long index, int axis, long long size) {
  PyErr_Format(PyExc_IndexError, "index %lld is out of bounds for axis %d with size %lld", index, axis, size);
}

inline void raise_buffer_bounds(int axis) {
  PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
}

inline void raise_float_division() { PyErr_SetString(PyExc_ZeroDivisionError, "float division"); }

}  // namespace orvane
