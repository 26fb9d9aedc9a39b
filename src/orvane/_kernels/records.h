// Sums over trade records for the summaries of the Python layer (records.cpp).
#pragma once

#include <Python.h>

namespace orvane::toolkin {

PyObject* record_stats(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* group_records(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* holding_sums(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* bars_with_open(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace orvane::toolkin
