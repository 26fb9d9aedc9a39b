"""Runs and error paths repeated in a loop leave the collector's object count,
the traced memory and the reference counts of the inputs where they were."""
import gc
import sys
import tracemalloc

import numpy as np
import pytest

from orvane.core import tidemark as tm
from orvane import _kernels as kernels
from orvane.core import toolkin
from orvane.core import tradeloom as tl

from test_engine_reference import ARG_ORDER, KW, market

M = market([[10.0, 20.0, 30.0], [10.0, 20.0, 30.0], [9.0, 22.0, 27.0], [9.0, 23.0, 26.0], [9.5, 21.0, 28.0]],
           pos_values=[[0.3, -0.3, 0.3], [0.2, 0.4, -0.2]], stop_loss=0.05, tidemark_window=3,
           delisting_bars=np.array([-1, 4, -1], dtype=np.int64))
INPUTS = [M[k] for k in ARG_ORDER] + [M["delisting_bars"]]


def backtest(**over):
    m = {**M, **over}
    return tl.backtest_(*(m[k] for k in ARG_ORDER), **{k: m[k] for k in KW})


class Refuse:
    def __init__(self, after):
        self.left = after

    def __bool__(self):
        self.left -= 1
        if self.left < 0:
            raise LookupError("refused")
        return True


class Nested:
    def __bool__(self):
        with pytest.raises(RuntimeError):
            backtest()
        return True


def bad_price():
    p = M["price"].copy()
    p[3, 1] = -1.0
    return p


def labels_without_encode():
    return np.array([b"S0", b"S1", b"S2"], dtype=object)


FAILING = [
    (dict(price=bad_price()), ValueError),
    (dict(price=M["price"].astype(np.float32)), ValueError),
    (dict(price_columns=labels_without_encode()), AttributeError),
    (dict(tidemark_window=2**31), OverflowError),
    (dict(fee_ratio="x"), TypeError),
    (dict(stop_trading_next_period=Refuse(2)), LookupError),
    (dict(delisting_bars=np.array([1.5])), ValueError),
    (dict(pos_index=M["pos_index"][:0]), IndexError),
]


def one_pass(probe):
    was = tl.record_arrays(True)  # records kept as arrays: handed out, outliving the run
    try:
        backtest()
        kept = tl.get_trade_arrays()
        with pytest.raises(ZeroDivisionError):
            backtest(tidemark_window_step=0)  # fails inside its first record
        with pytest.raises(ValueError):
            tl.get_trade_arrays()
        del kept
    finally:
        tl.record_arrays(was)
    backtest()
    cash = np.full(len(M["price_index"]), 1e-4)
    tl.run_({"ledger": True, "arrays": True, "financing": {"cash": cash},
             "controls": {"band": 0.01}}, *(M[k] for k in ARG_ORDER), **{k: M[k] for k in KW})
    with pytest.raises(ValueError):  # fails after its switches were read
        tl.run_({"financing": {"cash": cash[:2]}}, *(M[k] for k in ARG_ORDER))
    backtest(stop_trading_next_period=Nested(), touched_exit=True)
    tl.get_trade_stocks(M["pos_columns"], M["price_index"], True)
    tl.get_stock_operations()
    tl.get_trade_arrays()
    tm.trades.append([0, "x", 1])  # an entry no run wrote, failing part-way
    tm.trade_positions.append(0.0)
    tm.tidemark.append(np.zeros(len(tm.tidemark[0])))
    with pytest.raises(TypeError):
        tl.get_trade_arrays()
    for name in ("trades", "trade_positions", "tidemark"):
        getattr(tm, name).pop()
    tl.normalize_weight({0: 0.9, 1: -0.6, 2: float("nan")}, 0.5)
    tl.ioft(1_700_000_000_123_456_789)
    toolkin.str_to_bytearray("ab\u20ac")
    ints, flags, floats = np.array([1, 0, 1]), np.array([True, False, True]), np.array([0.1, -0.2, 0.0])
    kernels.record_stats(floats, floats, floats, floats, floats)
    kernels.scan_prices(np.ones((3, 2)), None, np.ones((3, 2)), None, 1e-9, 0.3, 4.0)
    order, continues = kernels.group_records(ints, ints, flags, ints)
    kernels.group_records(ints * 2**40, ints, None, None)
    kernels.holding_sums(ints, ints, flags, ints, floats, floats, floats)
    kernels.holding_sums(ints[::-1], ints, flags, ints, floats, None, floats)
    kernels.bars_with_open(ints, ints + 1, 3)
    kernels.same_bytes(memoryview(floats), memoryview(floats.copy()))
    for fn, args, exc in [
        (tl.backtest_, INPUTS[:10], TypeError),
        (tl.get_trade_stocks, (M["pos_columns"], M["price_index"].astype(np.int32), False), ValueError),
        (tl.get_trade_stocks, (None, None, False), TypeError),  # trades exist: None is indexed
        (tl.normalize_weight, (None, 1.0), AttributeError),
        (tl.normalize_weight, ({0: "w"}, 1.0), TypeError),
        (tl.ioft, ("x",), TypeError),
        (toolkin.str_to_bytearray, (None,), TypeError),
        (kernels.same_bytes, (memoryview(floats)[::2], b""), BufferError),
        (kernels.record_stats, (floats, floats[:2], None, None, None), ValueError),
        (kernels.holding_sums, (ints, ints, flags, ints, floats[:2], None, floats), ValueError),
    ]:
        with pytest.raises(exc):
            fn(*args)
    for over, exc in FAILING:
        with pytest.raises(exc):
            backtest(**over)
    if probe is not None:
        with pytest.raises(IndexError):
            probe.record_exit(99, 1)
        with pytest.raises(ValueError):
            probe.start_analysis(M["price"].astype(np.float32), M["close"], {}, 3, 0.0, 0.0, 0, 1)


@pytest.fixture
def maybe_probe(request):
    try:
        return request.getfixturevalue("probe")
    except pytest.skip.Exception:
        return None


def test_loops_over_every_path_keep_counts_flat(maybe_probe):
    # Chunks of passes until one keeps traced memory flat: caches, freelists and
    # interned strings fill up and stop, while a leak of even one small object
    # per pass (40 bytes x 200 passes) grows every chunk past the limit.
    tracemalloc.start()
    try:
        for _ in range(100):
            one_pass(maybe_probe)
        growth = []
        for _ in range(12):
            gc.collect()
            refs = [sys.getrefcount(a) for a in INPUTS]
            objects = len(gc.get_objects())
            base = tracemalloc.get_traced_memory()[0]
            for _ in range(200):
                one_pass(maybe_probe)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - base)
            if growth[-1] < 4_000:
                break
        new_objects = len(gc.get_objects()) - objects
    finally:
        tracemalloc.stop()
    assert growth[-1] < 4_000, growth
    assert [sys.getrefcount(a) for a in INPUTS] == refs
    assert new_objects <= 10, new_objects
    assert len(tm.trades) == len(tm.tidemark)
