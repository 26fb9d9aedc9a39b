import ast
import ctypes
import subprocess
import sys

import numpy as np
import pytest
from conftest import mat

import orvane.core.tidemark as tm

START = "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)"
END = "PyObject *(std::map<int,double>  &)"
SIGNATURES = {
    "entry": "PyArrayObject *",
    "position": "PyArrayObject *",
    "start_analysis": START,
    "record_date": "void (int)",
    "record_entry": "void (int, double, int)",
    "record_exit": "void (int, int)",
    "end_analysis": END,
}

_api = ctypes.pythonapi
_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def test_published_signatures_exact():
    table = tm._native_entries
    assert set(table) == set(SIGNATURES)
    for name, sig in SIGNATURES.items():
        assert type(table[name]).__name__ == "PyCapsule"
        assert _api.PyCapsule_GetName(table[name]).decode() == sig, name


def test_data_entries_point_at_the_module_variable(probe):
    def deref(name):
        cap = tm._native_entries[name]
        return ctypes.c_void_p.from_address(_api.PyCapsule_GetPointer(cap, SIGNATURES[name].encode())).value

    for n in (3, 5):
        probe.start_analysis(mat([[1.0]]), mat([[1.0]]), {}, n, 0.0, 0.0, 0, 1)
        entry, position = probe.slots()
        # a fresh start stores new arrays; the entries must follow them
        assert deref("entry") == id(entry) and deref("position") == id(position)
        assert entry.shape == (n,) and entry.dtype == np.int64 and not entry.any()
        assert position.shape == (n,) and position.dtype == np.float64 and not position.any()


TAMPER = r"""
import ctypes, sys
import orvane.core.tidemark as tm
api = ctypes.pythonapi
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
api.PyCapsule_GetName.restype = ctypes.c_char_p
api.PyCapsule_GetName.argtypes = [ctypes.py_object]
api.PyCapsule_GetPointer.restype = ctypes.c_void_p
api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
table = tm._native_entries
action, name = sys.argv[1], sys.argv[2]
if action == "del":
    del table[name]
elif action == "rename":
    KEEP = sys.argv[3].encode()  # the capsule borrows these bytes
    old = table[name]
    table[name] = api.PyCapsule_New(api.PyCapsule_GetPointer(old, api.PyCapsule_GetName(old)), KEEP, None)
assert "orvane.core.tradeloom" not in sys.modules
try:
    import orvane.core.tradeloom
except Exception as e:
    print(type(e).__name__ + ": " + str(e))
else:
    print("imported")
"""

_C = "C function orvane.core.tidemark."
_V = "C variable orvane.core.tidemark."
_BAD_START = START.replace("> ,", ">,")
_BAD_END = END.replace("  &", " &")


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["none", "-"], "imported"),
        (["del", "record_date"],
         "ImportError: orvane.core.tidemark does not export expected C function record_date"),
        (["del", "end_analysis"],
         "ImportError: orvane.core.tidemark does not export expected C function end_analysis"),
        (["del", "position"],
         "ImportError: orvane.core.tidemark does not export expected C variable position"),
        (["rename", "start_analysis", _BAD_START],
         f"TypeError: {_C}start_analysis has wrong signature (expected {START}, got {_BAD_START})"),
        (["rename", "end_analysis", _BAD_END],
         f"TypeError: {_C}end_analysis has wrong signature (expected {END}, got {_BAD_END})"),
        (["rename", "record_entry", "void (int, int, int)"],
         f"TypeError: {_C}record_entry has wrong signature "
         "(expected void (int, double, int), got void (int, int, int))"),
        (["rename", "entry", "PyArrayObject*"],
         f"TypeError: {_V}entry has wrong signature (expected PyArrayObject *, got PyArrayObject*)"),
    ],
)
def test_engine_import_binds_table(argv, expected):
    out = subprocess.run([sys.executable, "-c", TAMPER, *argv], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == expected


def test_engine_namespace_order_at_import():
    code = (
        "import sys, datetime, numpy, orvane.core.tradeloom as t\n"
        "assert t.org_np is numpy and t.datetime is datetime\n"
        "assert t.tidemark is sys.modules['orvane.core.tidemark']\n"
        "assert t.get_stock_operations() == {} and t.get_trade_stocks(None, None, None) == ([], {})\n"
        "print(repr([(k, type(v).__name__, repr(v) if k.isupper() else getattr(v, '__name__', ''))"
        " for k, v in vars(t).items() if not k.startswith('__')]))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    items = ast.literal_eval(out.stdout)
    assert items[:5] == [
        ("org_np", "module", "numpy"),
        ("tidemark", "module", "orvane.core.tidemark"),
        ("datetime", "module", "datetime"),
        ("RETAIN_COST_WHEN_REBALANCE", "bool", "False"),
        ("RESAMPLE", "NoneType", "None"),
    ]
    rest = {k: kind for k, kind, _ in items[5:]}
    assert rest.get("ioft") == "builtin_function_or_method"
    assert "stock_operations" not in rest
    # Then the functions, and the names the engine publishes for its results.
    published = {"LEDGER_ROWS", "LEDGER_TRADES", "FLOWS", "BOOK_CONTROLS", "COST_KINDS", "EXECUTION",
                 "EXECUTION_EVENTS", "LEDGER_FILLS"}
    assert {k for k, kind in rest.items() if kind == "tuple"} == published
    assert all(kind == "builtin_function_or_method" for k, kind in rest.items()
               if k not in published), rest
