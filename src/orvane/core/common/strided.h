// Typed views over NumPy arrays and buffers: base pointer, shape and byte strides,
// plus the type/dimension/element checks with the host's buffer messages.
// Elements are read through memcpy: NumPy accepts unaligned arrays (a view of
// a byte buffer at any offset), where a typed dereference is undefined; on
// x86-64 the copy compiles to the same single load.
#pragma once
#include <cstdint>
#include <cstring>

#include "errors.h"
#include "numpy_api.h"

namespace orvane {

// Wraps a possibly negative index into [0, n); false (nothing raised) when outside.
inline bool wrap_index(long long i, long long n, long long* out) {
  if (i < 0) i += n;
  if (i < 0 || i >= n) return false;
  *out = i;
  return true;
}

template <class T>
inline T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The address of one element found by a checked accessor: false when the
// access failed (an error is set), read with *.
template <class T>
struct Item {
  const char* p = nullptr;
  explicit operator bool() const { return p != nullptr; }
  T operator*() const { return load<T>(p); }
};

template <class T>
struct View1 {
  char* data = nullptr;
  npy_intp n = 0;
  npy_intp stride = 0;
  bool present = false;  // false for a None argument

  T operator()(npy_intp i) const { return load<T>(data + i * stride); }
  // Buffer-style checked access: wrap-around, IndexError on axis 0 otherwise.
  Item<T> checked(long long i) const {
    long long k;
    if (!present || !wrap_index(i, n, &k)) {
      raise_buffer_bounds(0);
      return {};
    }
    return {data + k * stride};
  }
};

template <class T>
struct View2 {
  char* data = nullptr;
  npy_intp n0 = 0, n1 = 0;
  npy_intp s0 = 0, s1 = 0;
  bool present = false;

  T operator()(npy_intp i, npy_intp j) const { return load<T>(data + i * s0 + j * s1); }
  // NumPy-style checked access a[i, j], with NumPy's IndexError text; a None
  // argument fails as the host's subscript of None does.
  Item<T> at(long long i, long long j) const {
    if (!present) {
      PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
      return {};
    }
    long long ii, jj;
    if (!wrap_index(i, n0, &ii)) {
      raise_numpy_index(i, 0, n0);
      return {};
    }
    if (!wrap_index(j, n1, &jj)) {
      raise_numpy_index(j, 1, n1);
      return {};
    }
    return {data + ii * s0 + jj * s1};
  }
};

enum class Elem { Float64, Int64, Object };

// Cython-style description of a buffer element type character.
inline const char* describe_type_char(char ch, bool is_complex) {
  switch (ch) {
    case '?': return "'bool'";
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'f': return is_complex ? "'complex float'" : "'float'";
    case 'd': return is_complex ? "'complex double'" : "'double'";
    case 'g': return is_complex ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's':
    case 'p': return "a string";
    case 0: return "end";
    default: return "unparsable format string";
  }
}

inline const char* describe_descr(PyArray_Descr* d) {
  const char kind = d->kind;
  const int size = static_cast<int>(PyDataType_ELSIZE(d));
  switch (kind) {
    case 'b': return describe_type_char('?', false);
    case 'i':
    case 'u': {
      // NumPy's own type character keeps 'l' and 'q' apart for 8-byte integers.
      char t = d->type;
      if (std::strchr("bhilqBHILQ", t) == nullptr) t = kind == 'i' ? 'q' : 'Q';
      return describe_type_char(t, false);
    }
    case 'f':
      if (size == 4) return describe_type_char('f', false);
      if (size == 8) return describe_type_char('d', false);
      if (size > 8) return describe_type_char('g', false);
      return describe_type_char('e', false);
    case 'c':
      if (size == 8) return describe_type_char('f', true);
      if (size == 16) return describe_type_char('d', true);
      return describe_type_char('g', true);
    case 'O': return describe_type_char('O', false);
    case 'S':
    case 'U': return describe_type_char('s', false);
    case 'V': return describe_type_char('T', false);
    default: return describe_type_char('e', false);
  }
}

// "Argument 'name' has incorrect type (expected numpy.ndarray, got T)" unless obj
// is an ndarray (or subclass) or None.
inline bool check_ndarray_or_none(PyObject* obj, const char* name) {
  if (obj == Py_None || PyArray_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
               PyArray_Type.tp_name, Py_TYPE(obj)->tp_name);
  return false;
}

inline bool elem_matches(PyArray_Descr* d, Elem elem) {
  switch (elem) {
    case Elem::Float64: return d->kind == 'f' && PyDataType_ELSIZE(d) == 8;
    case Elem::Int64: return d->kind == 'i' && PyDataType_ELSIZE(d) == 8;
    case Elem::Object: return d->type_num == NPY_OBJECT;
  }
  return false;
}

// Dimension check, then element type, of an ndarray (never converted).
inline bool check_array_buffer(PyArrayObject* arr, int ndim, Elem elem, const char* expected_name) {
  if (PyArray_NDIM(arr) != ndim) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                 PyArray_NDIM(arr));
    return false;
  }
  PyArray_Descr* d = PyArray_DESCR(arr);
  if (d->kind == 'M' || d->kind == 'm') {
    PyErr_Format(PyExc_ValueError, "cannot include dtype '%c' in a buffer", d->kind);
    return false;
  }
  if (!elem_matches(d, elem)) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", expected_name, "'",
                 describe_descr(d));
    return false;
  }
  if (elem != Elem::Object && !PyArray_ISNOTSWAPPED(arr)) {
    PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
    return false;
  }
  return true;
}

template <class T>
View1<T> view1(PyObject* obj) {
  View1<T> v;
  if (obj == nullptr || obj == Py_None) return v;
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  v.data = static_cast<char*>(PyArray_DATA(a));
  v.n = PyArray_DIM(a, 0);
  v.stride = PyArray_STRIDE(a, 0);
  v.present = true;
  return v;
}

template <class T>
View2<T> view2(PyObject* obj) {
  View2<T> v;
  if (obj == nullptr || obj == Py_None) return v;
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  v.data = static_cast<char*>(PyArray_DATA(a));
  v.n0 = PyArray_DIM(a, 0);
  v.n1 = PyArray_DIM(a, 1);
  v.s0 = PyArray_STRIDE(a, 0);
  v.s1 = PyArray_STRIDE(a, 1);
  v.present = true;
  return v;
}

// Any object exposing a 1-D buffer of 8-byte signed integers (read-only is fine).
// On success the caller owns `buf` and must PyBuffer_Release it.
inline bool acquire_int64_buffer(PyObject* obj, Py_buffer* buf, View1<int64_t>* out) {
  if (PyObject_GetBuffer(obj, buf, PyBUF_RECORDS_RO) < 0) return false;
  auto fail = [&]() {
    PyBuffer_Release(buf);
    return false;
  };
  if (buf->ndim != 1) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1, buf->ndim);
    return fail();
  }
  const char* fmt = buf->format ? buf->format : "B";
  bool native_sizes = true;
  bool big_endian = false;
  if (*fmt == '@') {
    ++fmt;
  } else if (*fmt == '=' || *fmt == '<' || *fmt == '>' || *fmt == '!') {
    native_sizes = false;
    big_endian = (*fmt == '>' || *fmt == '!');
    ++fmt;
  }
  while (*fmt >= '0' && *fmt <= '9') ++fmt;
  bool is_complex = false;
  if (*fmt == 'Z') {
    is_complex = true;
    ++fmt;
  }
  const char ch = *fmt;
  size_t size = 0;
  bool signed_int = false;
  switch (ch) {
    case 'b': size = 1; signed_int = true; break;
    case 'h': size = 2; signed_int = true; break;
    case 'i': size = 4; signed_int = true; break;
    case 'l': size = native_sizes ? sizeof(long) : 4; signed_int = true; break;
    case 'q': size = 8; signed_int = true; break;
    case 'n': size = sizeof(Py_ssize_t); signed_int = true; break;
    default: break;
  }
  if (!signed_int || is_complex || size != 8 || fmt[1] != '\0') {
    const char* got = describe_type_char(ch, is_complex);
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", "int64_t", "'", got);
    return fail();
  }
  if (big_endian) {
    PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
    return fail();
  }
  if (buf->itemsize != 8) {
    PyErr_Format(PyExc_ValueError, "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                 static_cast<size_t>(buf->itemsize), buf->itemsize > 1 ? "s" : "", "int64_t", static_cast<size_t>(8),
                 "s");
    return fail();
  }
  out->data = static_cast<char*>(buf->buf);
  out->n = buf->shape ? buf->shape[0] : buf->len / 8;
  out->stride = buf->strides ? buf->strides[0] : 8;
  out->present = true;
  return true;
}

}  // namespace orvane
