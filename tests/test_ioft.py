import datetime as dt
import time
import types
from fractions import Fraction

import numpy as np
import pytest
from conftest import tb_names

from orvane.core import tradeloom
from orvane.core.tradeloom import ioft


def _set_tz(monkeypatch, tz):
    monkeypatch.setenv("TZ", tz)
    time.tzset()


@pytest.fixture
def local_tz(monkeypatch):
    yield lambda tz: _set_tz(monkeypatch, tz)
    monkeypatch.undo()
    time.tzset()


@pytest.mark.parametrize(
    "v, expected",
    [
        (0, dt.datetime(1970, 1, 1)),
        (-1000000000, dt.datetime(1969, 12, 31, 23, 59, 59)),
        # quotient 1700000000.1234567: microseconds are rounded, not truncated
        (1700000000123456789, dt.datetime(2023, 11, 14, 22, 13, 20, 123457)),
        (1700000000999999999, dt.datetime(2023, 11, 14, 22, 13, 21)),
        (np.int64(1700000000123456789), dt.datetime(2023, 11, 14, 22, 13, 20, 123457)),
        (np.int64(-1000000000), dt.datetime(1969, 12, 31, 23, 59, 59)),
        (86400e9, dt.datetime(1970, 1, 2)),
        (np.float64(1.5e9), dt.datetime(1970, 1, 1, 0, 0, 1, 500000)),
        (Fraction(3, 2) * 10**9, dt.datetime(1970, 1, 1, 0, 0, 1, 500000)),
    ],
)
def test_utc_values(local_tz, v, expected):
    local_tz("UTC")
    got = ioft(v)
    assert type(got) is dt.datetime and got.tzinfo is None
    assert got == expected


def test_keyword_and_local_time(local_tz):
    local_tz("UTC")
    assert ioft(v=0) == dt.datetime(1970, 1, 1)
    # POSIX form: eight hours east of UTC, no zone database needed
    local_tz("XYZ-8")
    assert ioft(0) == dt.datetime(1970, 1, 1, 8)
    assert ioft(np.int64(1700000000999999999)) == dt.datetime(2023, 11, 15, 6, 13, 21)


class _Recorder:
    @classmethod
    def fromtimestamp(cls, *args, **kwargs):
        return ("called", args, kwargs)


@pytest.mark.parametrize(
    "v",
    [0, 1, -1, 2**53 + 1, -(2**63), 2**63 - 1, 10**300, 1.25e18, np.int64(2**62 + 1),
     np.int32(-7), np.float32(3.5), Fraction(1, 3), True],
)
def test_seconds_are_host_true_division(monkeypatch, v):
    # the datetime module is looked up on the engine module at each call
    monkeypatch.setattr(tradeloom, "datetime", types.SimpleNamespace(datetime=_Recorder))
    tag, args, kwargs = ioft(v)
    want = v / 1e9
    assert tag == "called" and kwargs == {} and len(args) == 1
    assert type(args[0]) is type(want) and args[0] == want


def _host_error(v):
    try:
        dt.datetime.fromtimestamp(v / 1e9)
    except Exception as exc:  # noqa: BLE001 - whatever the host raises is expected
        return type(exc)
    raise AssertionError("host accepted %r" % (v,))


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), {}, TypeError, "ioft() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, TypeError, "ioft() takes exactly 1 positional argument (2 given)"),
        ((1,), {"v": 2}, TypeError, None),
        (("1",), {}, TypeError, None),
        ((None,), {}, TypeError, None),
        ((10**400,), {}, OverflowError, None),
        ((float("nan"),), {}, _host_error(float("nan")), None),
        ((float("inf"),), {}, _host_error(float("inf")), None),
        ((1e30,), {}, _host_error(1e30), None),
    ],
)
def test_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        ioft(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert "orvane.core.tradeloom.ioft" in tb_names(info.value)
