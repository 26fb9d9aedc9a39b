// Host-style argument binding and scalar conversions with the interpreter's own
// wording, shared by every Python-callable function of the package.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstddef>
#include <cstdint>

#include "pyref.h"

namespace orvane {

// A new tuple of the n names: how a module publishes the names its results use,
// so the Python side reads them instead of spelling them again.
inline PyObject* names_tuple(const char* const* names, Py_ssize_t n) {
  PyRef t = PyRef::steal(PyTuple_New(n));
  if (!t) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyUnicode_FromString(names[i]);
    if (!name) return nullptr;
    PyTuple_SET_ITEM(t.get(), i, name);
  }
  return t.release();
}

// module.attr = names_tuple(names); false with an error set.
template <size_t N>
bool publish_names(PyObject* module, const char* attr, const char* const (&names)[N]) {
  PyRef t = PyRef::steal(names_tuple(names, static_cast<Py_ssize_t>(N)));
  return t && PyObject_SetAttrString(module, attr, t.get()) == 0;
}

// A METH_VARARGS | METH_KEYWORDS function as a method table's PyCFunction.
#define ORVANE_KW_FUNC(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

struct Signature {
  const char* name;          // function name used in the messages
  const char* const* params; // parameter names, in order
  Py_ssize_t nparams;
  Py_ssize_t nrequired;      // the leading required parameters
};

inline void raise_arg_count(const Signature& sig, Py_ssize_t given) {
  const bool exact = sig.nrequired == sig.nparams;
  Py_ssize_t expected;
  const char* more_or_less;
  if (given < sig.nrequired) {
    expected = sig.nrequired;
    more_or_less = exact ? "exactly" : "at least";
  } else {
    expected = sig.nparams;
    more_or_less = exact ? "exactly" : "at most";
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name,
               more_or_less, expected, expected == 1 ? "" : "s", given);
}

// Binds args/kwargs to out[0..nparams); an omitted optional parameter is left
// nullptr. Order of checks: too many positional arguments, the first missing
// required parameter (reported with the count of parameters bound before it),
// then leftover keywords. With `held`, each bound object gets a strong
// reference the moment it is found, for callers whose arguments are still in
// use while Python code runs (a keyword dict's keys compare by running code).
inline bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out,
                      PyRef* held = nullptr) {
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (nargs > sig.nparams) {
    raise_arg_count(sig, nargs);
    return false;
  }
  const Py_ssize_t nkw = (kwargs && PyDict_Check(kwargs)) ? PyDict_GET_SIZE(kwargs) : 0;
  Py_ssize_t used = 0;
  for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
    out[i] = nullptr;
    if (i < nargs) {
      out[i] = PyTuple_GET_ITEM(args, i);
      if (held) held[i] = PyRef::borrow(out[i]);
      continue;
    }
    if (nkw > used) {
      PyObject* v = PyDict_GetItemString(kwargs, sig.params[i]);
      if (v) {
        out[i] = v;
        if (held) held[i] = PyRef::borrow(v);
        ++used;
        continue;
      }
    }
    if (i < sig.nrequired) {
      raise_arg_count(sig, i);
      return false;
    }
  }
  if (nkw > used) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
        return false;
      }
      Py_ssize_t found = -1;
      for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
          found = i;
          break;
        }
      }
      if (found < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        return false;
      }
      if (found < nargs) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
        return false;
      }
    }
  }
  return true;
}

// Real-number parameter: the object's float conversion; the host's TypeError otherwise.
inline bool to_double(PyObject* o, double* out) {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

// Integer parameter, 32-bit signed.
inline bool to_int32(PyObject* o, int* out) {
  PyObject* num = nullptr;
  if (PyLong_Check(o)) {
    Py_INCREF(o);
    num = o;
  } else {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb && nb->nb_index) {
      num = PyNumber_Index(o);
    } else if (nb && nb->nb_int) {
      num = PyNumber_Long(o);
    } else {
      PyErr_SetString(PyExc_TypeError, "an integer is required");
      return false;
    }
    if (!num) return false;
    if (!PyLong_Check(num)) {
      Py_DECREF(num);
      PyErr_SetString(PyExc_TypeError, "an integer is required");
      return false;
    }
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(num, &overflow);
  Py_DECREF(num);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v > INT_MAX || v < INT_MIN) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

inline bool to_truth(PyObject* o, bool* out) {
  int t = PyObject_IsTrue(o);
  if (t < 0) return false;
  *out = t != 0;
  return true;
}

inline bool to_int64(PyObject* o, long long* out) {
  long long v = PyLong_AsLongLong(o);
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

}  // namespace orvane
