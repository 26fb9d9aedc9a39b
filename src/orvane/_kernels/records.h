// Sums over trade records for the summaries of the Python layer (records.cpp).
#pragma once

#include <Python.h>

namespace orvane::kernels {

// What record_stats returns, in order (the first five without the means); published
// as RECORD_STATS.
constexpr const char* kRecordStats[] = {"records", "known", "winners", "won", "lost", "avg_win", "avg_loss",
                                        "avg_bars_held", "avg_mae_winners", "avg_mfe_winners",
                                        "avg_mae_losers", "avg_mfe_losers"};

PyObject* record_stats(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* group_records(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* holding_sums(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* bars_with_open(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace orvane::kernels
