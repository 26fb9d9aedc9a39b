"""Calling conventions of the engine module: argument errors, defaults and
conversions, weight normalisation, the record accessors and strided arrays."""
import math
from fractions import Fraction

import numpy as np
import pytest

from orvane.core import tidemark as tm
from orvane.core import tradeloom as tl

INF = float("inf")
NAN = float("nan")


def small():
    """The eleven required arrays of a two-stock, four-row run."""
    px = np.column_stack([[10.0, 10.0, 11.0, 12.0], [20.0, 20.0, 19.0, 18.0]])
    pi = np.array([10, 20, 30, 40], dtype=np.int64)
    labels = np.array(["A", "B"], dtype=object)
    return [px, px.copy(), px.copy(), px.copy(), px.copy(), pi, labels,
            np.array([[0.6, -0.3]]), pi[:1].copy(), labels.copy(), pi.copy()]


DEFAULTS = [0.001425, 0.003, 1.0, INF, INF, 0.0, False, 1.0, False, True, 0, 1, True, None]
NAMES = ["price_values", "close_values", "high_values", "low_values", "open_values",
         "price_index", "price_columns", "pos_values", "pos_index", "pos_columns", "resample"]


def with_arg(i, value):
    args = small()
    args[i] = value
    return args, {}


def with_kw(**kw):
    return small(), kw


ARG_ERRORS = {
    "ten-positional": ((small()[:10], {}), TypeError,
                       "backtest_() takes at least 11 positional arguments (10 given)"),
    "26-positional": ((small() + DEFAULTS + [None], {}), TypeError,
                      "backtest_() takes at most 25 positional arguments (26 given)"),
    "unexpected-kw": (with_kw(foo=1), TypeError, "backtest_() got an unexpected keyword argument 'foo'"),
    "kw-twice": (with_kw(price_values=small()[0]), TypeError,
                 "backtest_() got multiple values for keyword argument 'price_values'"),
    "list-prices": (with_arg(0, [[1.0]]), TypeError,
                    "Argument 'price_values' has incorrect type (expected numpy.ndarray, got list)"),
    "list-pos-columns": (with_arg(9, ["A", "B"]), TypeError,
                         "Argument 'pos_columns' has incorrect type (expected numpy.ndarray, got list)"),
    "1d-prices": (with_arg(0, np.ones(4)), ValueError,
                  "Buffer has wrong number of dimensions (expected 2, got 1)"),
    "float32-prices": (with_arg(0, np.ones((4, 2), dtype=np.float32)), ValueError,
                       "Buffer dtype mismatch, expected 'double' but got 'float'"),
    "float32-close": (with_arg(1, np.ones((4, 2), dtype=np.float32)), ValueError,
                      "Buffer dtype mismatch, expected 'double' but got 'float'"),
    "int32-price-index": (with_arg(5, np.arange(4, dtype=np.int32)), ValueError,
                          r"re:^Buffer dtype mismatch, expected .+ but got .+$"),
    "2d-resample": (with_arg(10, np.zeros((1, 1), dtype=np.int64)), ValueError,
                    "Buffer has wrong number of dimensions (expected 1, got 2)"),
    "window-2**31": (with_kw(tidemark_window=2 ** 31), OverflowError, "value too large to convert to int"),
    "step-below-int32": (with_kw(tidemark_window_step=-2 ** 31 - 1), OverflowError,
                         "value too large to convert to int"),
    "window-str": (with_kw(tidemark_window="3"), TypeError, "an integer is required"),
    "fee-str": (with_kw(fee_ratio="x"), TypeError, None),
    "delisting-2d": (with_kw(delisting_bars=np.zeros((2, 1), dtype=np.int64)), ValueError,
                     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    "delisting-float": (with_kw(delisting_bars=np.zeros(2)), ValueError,
                        r"re:^Buffer dtype mismatch, expected .+ but got 'double'$"),
    "delisting-int32": (with_kw(delisting_bars=np.zeros(2, dtype=np.int32)), ValueError,
                        r"re:^(Item size of buffer \(4 bytes\) does not match size of '.+' \(8 bytes\)"
                        r"|Buffer dtype mismatch, expected .+ but got .+)$"),
}


@pytest.mark.parametrize("call,exc,msg", ARG_ERRORS.values(), ids=ARG_ERRORS.keys())
def test_backtest_argument_errors(call, exc, msg):
    args, kw = call
    with pytest.raises(exc) as ei:
        tl.backtest_(*args, **kw)
    if msg is None:
        return
    if msg.startswith("re:"):
        assert ei.match(msg[3:])
    else:
        assert str(ei.value) == msg


def test_defaults_and_conversions():
    # flip both settings first, so the defaults run must write them back
    tl.backtest_(*small(), retain_cost_when_rebalance=True, periodically_rebalance=False)
    base = tl.backtest_(*small())
    assert tl.RETAIN_COST_WHEN_REBALANCE is False and tl.RESAMPLE is True
    explicit = tl.backtest_(*small(), *DEFAULTS)
    by_keyword = tl.backtest_(**dict(zip(NAMES, small())), fee_ratio=Fraction(57, 40000),
                              tax_ratio=0.003, tidemark_window=np.int32(0),
                              touched_exit=0, stop_trading_next_period=[1])
    assert base.tolist() == explicit.tolist() == by_keyword.tolist()
    # the default fee does show: without it the result differs
    assert tl.backtest_(*small(), fee_ratio=0.0).tolist() != base.tolist()


@pytest.mark.parametrize("weights,limit,expected", [
    ({}, 1.0, {}),
    ({0: 0.5, 1: -0.5}, 1.0, {0: 0.5, 1: -0.5}),           # gross exactly 1: kept
    ({0: 0.0, 1: 0.0}, 1.0, {0: 0.0, 1: 0.0}),
    ({0: 0.6, 1: 0.6}, 1.0, {0: 0.6 * (1 / 1.2), 1: 0.6 * (1 / 1.2)}),
    ({0: 0.9, 1: -0.3}, 0.5, {0: 0.5, 1: -0.3 * (1 / (0.9 + 0.3))}),
    ({"a": 0.5, "b": -0.5}, 0.5, {"a": 0.5, "b": -0.5}),   # at the limit: kept
    ({0: NAN, 1: 2.0}, 1.0, {0: NAN, 1: 1.0}),             # NaN gross: no scaling
    ({0: INF, 1: 0.5}, 1.0, {0: NAN, 1: 0.0}),             # factor 1/inf = 0
    ({0: 0.3, 1: -3.0}, 2.0, {0: 0.3 * (1 / (0.3 + 3.0)), 1: -3.0 * (1 / (0.3 + 3.0))}),
])
def test_normalize_weight(weights, limit, expected):
    out = tl.normalize_weight(weights, limit)
    assert out is weights
    assert list(out) == list(expected)
    for k, v in expected.items():
        assert (math.isnan(v) and math.isnan(out[k])) or out[k] == v


def test_normalize_weight_types_and_identity():
    lim = float("0.25")
    w = tl.normalize_weight({0: 1, 1: 0}, 1.0)
    assert w == {0: 1, 1: 0} and type(w[0]) is int           # untouched ints stay ints
    w = tl.normalize_weight({0: 2}, 5.0)
    assert w == {0: 1.0} and type(w[0]) is float             # scaled
    w = tl.normalize_weight(weights={0: 0.75, 1: -0.25}, position_limit=lim)
    assert w[0] is lim and w[1] == -0.25                     # the limit object itself


@pytest.mark.parametrize("args,kw,msg", [
    (({},), {}, "normalize_weight() takes exactly 2 positional arguments (1 given)"),
    (({}, 1.0, 2), {}, "normalize_weight() takes exactly 2 positional arguments (3 given)"),
    ((), {"weights": {}, "limit": 1.0}, None),
    (({},), {"weights": {}, "position_limit": 1.0}, None),
])
def test_normalize_weight_arguments(args, kw, msg):
    with pytest.raises(TypeError) as ei:
        tl.normalize_weight(*args, **kw)
    if msg:
        assert str(ei.value) == msg


def _gts_case(i, v):
    args = [np.array(["A", "B"], dtype=object), np.array([10, 20], dtype=np.int64), False]
    args[i] = v
    return args


@pytest.mark.parametrize("args,exc,msg", [
    (_gts_case(0, None)[:2], TypeError, "get_trade_stocks() takes exactly 3 positional arguments (2 given)"),
    (_gts_case(0, ["A"]), TypeError,
     "Argument 'pos_columns' has incorrect type (expected numpy.ndarray, got list)"),
    (_gts_case(1, (10, 20)), TypeError,
     "Argument 'price_index' has incorrect type (expected numpy.ndarray, got tuple)"),
    (_gts_case(0, np.array([1.0, 2.0])), ValueError,
     "Buffer dtype mismatch, expected 'unicode object' but got 'double'"),
    (_gts_case(0, np.array(["A", "B"])), ValueError,
     r"re:^Buffer dtype mismatch, expected 'unicode object' but got "),
    (_gts_case(1, np.array([10.0, 20.0])), ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    (_gts_case(1, np.array([10, 20], dtype=np.int32)), ValueError,
     r"re:^Buffer dtype mismatch, expected 'int64_t' but got "),
    (_gts_case(0, np.array([["A"]], dtype=object)), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (_gts_case(1, np.zeros((2, 1), dtype=np.int64)), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
])
def test_get_trade_stocks_argument_errors(args, exc, msg):
    with pytest.raises(exc) as ei:
        tl.get_trade_stocks(*args)
    if msg.startswith("re:"):
        assert ei.match(msg[3:])
    else:
        assert str(ei.value) == msg


def test_stock_operations_copy_and_record():
    args = small()
    args[7] = np.zeros((1, 2))                 # a run without trades
    tl.backtest_(*args)
    assert tm.trades == []
    rows, rec = tl.get_trade_stocks(None, None, False)   # nothing indexed
    assert rows == [] and rec == tl.get_stock_operations()
    tl.backtest_(*small())
    a = tl.get_stock_operations()
    assert a == {"actions": {}, "weights": {0: 0.6, 1: -0.3}, "next_weights": {0: 0.6, 1: -0.3},
                 "weight_time": 0, "next_weight_time": 0}
    del a["actions"]
    b = tl.get_stock_operations()
    assert "actions" in b and b is not a and b["weights"] is a["weights"]
    rec = tl.get_trade_stocks(args[9], args[5], False)[1]
    rec["extra"] = 1                           # the record itself, not a copy
    assert tl.get_stock_operations()["extra"] == 1
    with pytest.raises(TypeError):
        tl.get_stock_operations(1)
    tl.backtest_(*small())
    assert "extra" not in tl.get_stock_operations()


def strided(a):
    """A view of a copy of `a` that is neither C- nor Fortran-contiguous."""
    if a.ndim == 1:
        big = np.empty(a.shape[0] * 3, dtype=a.dtype)
        big[::3] = a
        return big[::3]
    big = np.empty((a.shape[0] * 2, a.shape[1] * 3), dtype=a.dtype)
    big[::2, ::3] = a
    return big[::2, ::3]


def reversed_view(a):
    return a[::-1].copy()[::-1] if a.ndim == 1 else a[::-1, ::-1].copy()[::-1, ::-1]


@pytest.mark.parametrize("touched", [False, True])
@pytest.mark.parametrize("layout", [np.asfortranarray, strided, reversed_view])
def test_non_contiguous_arrays_match_contiguous(layout, touched):
    px = np.array([[10, 20, 5], [10, 20, 5], [11, 18, 5.5], [NAN, 19, 6],
                   [12, 21, 4], [9, 22, 4.5], [10, 23, 4.4]])
    close = px + 0.1
    high, low, opn = np.fmax(px, close) + 0.5, np.fmin(px, close) - 0.6, px - 0.2
    pi = np.arange(1, 8, dtype=np.int64) * 10
    labels = np.array(["A", "B", "C"], dtype=object)
    pos = np.array([[0.4, -0.3, 0.3], [0.0, 0.5, 0.5]])
    arrays = [px, close, high, low, opn, pi, labels, pos, pi[[0, 3]].copy(), labels.copy(), pi.copy()]
    kw = dict(stop_loss=0.05, take_profit=0.1, touched_exit=touched,
              delisting_bars=np.array([-1, -1, 5], dtype=np.int64))

    def go(arrs, bars):
        cret = tl.backtest_(*arrs, **dict(kw, delisting_bars=bars))
        return (cret.tolist(), [[int(x) for x in t] for t in tm.trades],
                [float(x) for x in tm.trade_positions], tl.get_stock_operations())

    want = go(arrays, kw["delisting_bars"])
    got = go([layout(a) for a in arrays], layout(kw["delisting_bars"]))
    assert not layout(px).flags.c_contiguous
    assert want[1] == got[1] and want[2] == got[2] and want[3] == got[3]
    assert np.array_equal(want[0], got[0], equal_nan=True)
    assert len(want[1]) >= 3     # the scenario does trade and exit
