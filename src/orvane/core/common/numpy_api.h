// One NumPy C-API table per extension: only the module.cpp of each extension
// defines ORVANE_NUMPY_IMPORT before including this header and calls import_array().
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#ifndef ORVANE_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
