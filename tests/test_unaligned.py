"""Unaligned float64 and int64 inputs (views of a byte buffer at an odd offset,
in either memory order, reversed or not) give bit for bit the results of their
aligned copies, in the engine, its analytics and the trade rows."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane.core import tradeloom as tl

from test_engine_reference import assert_same, engine_run, markets

NUMERIC = ("price", "close", "high", "low", "open", "price_index", "pos_values", "pos_index", "resample",
           "delisting_bars")


def misaligned(a, offset=1, order="C", reverse=False):
    """A copy of `a` living at `offset` bytes into a bytearray (rows stored
    backwards, and so read with a negative stride, when `reverse`)."""
    a = np.asarray(a)
    buf = bytearray(a.nbytes + offset)
    storage = np.frombuffer(buf, dtype=a.dtype, count=a.size, offset=offset).reshape(a.shape, order=order)
    storage[...] = a[::-1] if reverse else a
    out = storage[::-1] if reverse else storage
    assert a.size == 0 or not out.flags.aligned
    return out


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(markets(), st.sampled_from([1, 3, 5, 7]), st.sampled_from(["C", "F"]), st.booleans())
def test_engine_results_do_not_depend_on_alignment(m, offset, order, reverse):
    odd = dict(m)
    for key in NUMERIC:
        if odd[key] is not None:
            odd[key] = misaligned(odd[key], offset, order, reverse)
    try:
        want = engine_run(m)
    except ZeroDivisionError as exc:
        with pytest.raises(ZeroDivisionError, match=str(exc)):
            engine_run(odd)
        return
    got = engine_run(odd)
    assert_same(got, want)
    rows = tl.get_trade_stocks(m["pos_columns"], m["price_index"], m["touched_exit"])[0]
    assert tl.get_trade_stocks(m["pos_columns"], odd["price_index"], m["touched_exit"])[0] == rows


@pytest.mark.parametrize("offset", [1, 4])
def test_analytics_records_do_not_depend_on_alignment(probe, offset):
    rng = np.random.default_rng(7)
    price = 100 * np.exp(np.cumsum(rng.normal(0, 0.03, size=(12, 3)), axis=0))
    close = price * np.exp(rng.normal(0, 0.01, size=price.shape))
    close[4, 1] = np.nan

    def records(p, c):
        probe.start_analysis(p, c, {0: 0, 1: 1, 2: 2}, 3, 0.001, 0.003, 5, 2)
        for d, (sid, size) in enumerate([(0, 0.3), (1, -0.2), (2, 0.5)]):
            probe.record_date(d)
            probe.record_entry(sid, size, 1)
        probe.record_date(9)
        probe.record_exit(1, 1)
        probe.end_analysis({0: 0.3, 2: 0.5})
        from orvane.core import tidemark as tm
        return [r.copy() for r in tm.tidemark]

    want = records(price, close)
    got = records(misaligned(price, offset, "F"), misaligned(close, offset))
    assert len(got) == len(want) == 3
    assert all(np.array_equal(g.view(np.int64), w.view(np.int64)) for g, w in zip(got, want))
