// Text to a byte array holding the low 8 bits of each code point, for the package's
// Python layer. The module's only function.
#include "args.h"
#include "errors.h"
#include "pyref.h"

namespace orvane::toolkin {

namespace {

constexpr const char* kParams[] = {"text"};
constexpr Signature kSig{"str_to_bytearray", kParams, 1, 1};

PyObject* str_to_bytearray_impl(PyObject* args, PyObject* kwargs) {
  PyObject* text;
  if (!bind_args(kSig, args, kwargs, &text)) return nullptr;
  if (text == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' is not iterable");
    return nullptr;
  }
  if (!PyUnicode_CheckExact(text)) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "text",
                 PyUnicode_Type.tp_name, Py_TYPE(text)->tp_name);
    return nullptr;
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(text) < 0) return nullptr;
#endif
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  PyRef out = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, n));
  if (!out) return nullptr;
  char* dst = PyByteArray_AS_STRING(out.get());
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  for (Py_ssize_t i = 0; i < n; ++i) {
    dst[i] = static_cast<char>(static_cast<unsigned char>(PyUnicode_READ(kind, data, i) & 0xFF));
  }
  return out.release();
}

PyObject* str_to_bytearray(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.toolkin.str_to_bytearray", [&] { return str_to_bytearray_impl(args, kwargs); });
}

PyMethodDef kMethods[] = {
    {"str_to_bytearray", ORVANE_KW_FUNC(str_to_bytearray),
     METH_VARARGS | METH_KEYWORDS,
     "str_to_bytearray(text)\n--\n\n"
     "A new bytearray of len(text) bytes, byte i being ord(text[i]) & 0xFF: Latin-1\n"
     "for code points up to U+00FF, the low 8 bits above. text must be exactly str."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "orvane.core.toolkin", "Utilities for the package's Python layer.", -1, kMethods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace orvane::toolkin

PyMODINIT_FUNC PyInit_toolkin(void) { return PyModule_Create(&orvane::toolkin::kModuleDef); }
