import importlib
import os

import numpy as np
import pytest


@pytest.fixture(scope="session")
def probe():
    """The test-only driver of the analytics entry table."""
    try:
        return importlib.import_module("orvane.core._probe")
    except ModuleNotFoundError as exc:
        if exc.name != "orvane.core._probe":
            raise
        reason = "orvane.core._probe is not built (install with -Csetup-args=-Dtest_probe=true)"
        if os.environ.get("ORVANE_REQUIRE_PROBE") == "1":
            pytest.fail(reason + " but ORVANE_REQUIRE_PROBE=1")
        pytest.skip(reason)


def run_layout(layout, **kwargs):
    """The engine on a ``datasets.core_layout`` market (its delisting rows unless given)."""
    from orvane.core import tradeloom

    kwargs.setdefault("delisting_bars", layout.delisting_bars)
    return tradeloom.backtest_(**layout.inputs(), **kwargs)


def mat(rows):
    """2-D float64 matrix from a list of rows; a flat list becomes one column."""
    a = np.array(rows, dtype=np.float64)
    return a.reshape(len(a), -1) if a.ndim < 2 else a


def stamps(*dates):
    """int64 nanosecond index from ISO date strings."""
    return np.array([np.datetime64(d, "ns") for d in dates]).astype(np.int64)


def labels(*names):
    """1-D object array of column labels."""
    out = np.empty(len(names), dtype=object)
    out[:] = list(names)
    return out


class Number:
    """A number argument whose conversions (float(), operator.index()) call hook() first."""

    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __float__(self):
        self.hook()
        return float(self.value)

    def __index__(self):
        self.hook()
        return int(self.value)


def tb_names(exc):
    import traceback

    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
