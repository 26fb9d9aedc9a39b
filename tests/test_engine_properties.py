"""Properties of backtest_ on random markets: it never crashes, shapes hold,
strides do not matter, and a cost-free rebalance conserves value."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane.core import tidemark, tradeloom

from conftest import labels

SETTINGS = settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@st.composite
def markets(draw, nan_rate=0.1):
    rows = draw(st.integers(1, 25))
    ncols = draw(st.integers(1, 4))
    nsids = draw(st.integers(1, 4))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0, 0.05, size=(rows, ncols))
    close = 100.0 * np.exp(np.cumsum(steps, axis=0))
    price = close * np.exp(rng.normal(0.0, 0.01, size=close.shape))
    high = np.maximum(price, close) * (1 + rng.uniform(0, 0.03, size=close.shape))
    low = np.minimum(price, close) * (1 - rng.uniform(0, 0.03, size=close.shape))
    open_ = np.clip(price * (1 + rng.normal(0, 0.01, size=close.shape)), low, high)
    for m in (price, close, high, low, open_):
        m[rng.random(m.shape) < nan_rate] = np.nan
    price_index = np.cumsum(rng.integers(1, 4, size=rows)).astype(np.int64) * 10
    npos = draw(st.integers(1, 5))
    pos_index = np.sort(rng.integers(0, price_index[-1] + 20, size=npos)).astype(np.int64)
    weights = rng.normal(0, 0.6, size=(npos, nsids))
    weights[rng.random(weights.shape) < 0.3] = 0.0
    resample = np.sort(rng.integers(0, price_index[-1] + 20, size=draw(st.integers(0, 6)))).astype(np.int64)
    names = [f"S{i}" for i in range(ncols)]
    pos_names = [draw(st.sampled_from(names + ["ZZ"])) for _ in range(nsids)]
    return dict(
        price_values=price, close_values=close, high_values=high, low_values=low, open_values=open_,
        price_index=price_index, price_columns=labels(*names), pos_values=weights, pos_index=pos_index,
        pos_columns=labels(*pos_names), resample=resample,
    )


options = st.fixed_dictionaries({
    "fee_ratio": st.sampled_from([0.0, 0.001425, 0.01]),
    "tax_ratio": st.sampled_from([0.0, 0.003]),
    "stop_loss": st.sampled_from([1.0, 0.05, 0.1, -0.2]),
    "take_profit": st.sampled_from([np.inf, 0.05, 0.2]),
    "trail_stop": st.sampled_from([np.inf, 0.03, 0.1]),
    "trail_stop_activation": st.sampled_from([0.0, 0.02, 0.1]),
    "touched_exit": st.booleans(),
    "position_limit": st.sampled_from([1.0, 0.3, 2.0]),
    "retain_cost_when_rebalance": st.booleans(),
    "stop_trading_next_period": st.booleans(),
    "tidemark_window": st.integers(0, 6),
    "tidemark_window_step": st.integers(1, 3),
    "periodically_rebalance": st.booleans(),
})


def run(market, **kw):
    return tradeloom.backtest_(**market, **kw)


def results(market, **kw):
    creturn = run(market, **kw)
    return (
        creturn,
        [list(map(int, t)) for t in tidemark.trades],
        [float(p) for p in tidemark.trade_positions],
        [a.copy() for a in tidemark.tidemark],
        tradeloom.get_stock_operations(),
    )


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


@SETTINGS
@given(markets(), options)
def test_any_market_runs_to_the_end(market, kw):
    creturn = run(market, **kw)
    assert creturn.shape == market["price_index"].shape and creturn.dtype == np.float64
    before = market["price_index"] < market["pos_index"][0]
    assert np.all(creturn[before] == 1.0)
    trades = tidemark.trades
    assert len(trades) == len(tidemark.trade_positions) == len(tidemark.tidemark)
    nrows = len(market["price_index"])
    for sid, entry, exit_row in trades:
        assert 0 <= sid < market["pos_values"].shape[1]
        assert 0 <= entry < nrows and (exit_row == -1 or entry <= exit_row < nrows)
    q = (kw["tidemark_window"] - 1) // kw["tidemark_window_step"]
    assert all(len(rec) == 6 * q + 12 for rec in tidemark.tidemark)
    rows, record = tradeloom.get_trade_stocks(market["pos_columns"], market["price_index"], kw["touched_exit"])
    again = tradeloom.get_trade_stocks(market["pos_columns"], market["price_index"], kw["touched_exit"])
    assert len(rows) == len(trades) and record is again[1] and repr(rows) == repr(again[0])
    assert list(record) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    if not before.all():  # the last simulated row brings every weight row into force
        assert record["next_weight_time"] == len(market["pos_index"]) - 1


def strided(a):
    """The same values behind a non-contiguous, reversed-stride view."""
    if a.ndim == 1:
        big = np.empty(a.shape[0] * 2, dtype=a.dtype)
        big[::2] = a[::-1]
        return big[::2][::-1]
    big = np.empty((a.shape[0] * 2, a.shape[1] * 3), dtype=a.dtype, order="F")
    view = big[::2, ::3]
    view[...] = a
    return view


@SETTINGS
@given(markets(), options)
def test_strides_do_not_change_a_bit(market, kw):
    expected = results(market, **kw)
    moved = {k: strided(v) for k, v in market.items()}
    got = results(moved, **kw)
    assert same_bits(expected[0], got[0])
    assert expected[1] == got[1] and same_bits(expected[2], got[2])
    assert all(same_bits(a, b) for a, b in zip(expected[3], got[3]))
    assert repr(expected[4]) == repr(got[4])


@SETTINGS
@given(markets(nan_rate=0.0), st.data())
def test_cost_free_rebalance_conserves_value(market, data):
    # One weight row, close equal to the trading price: the only change on the
    # rebalance row is the trade itself, which moves value between cash and book.
    market["close_values"] = market["price_values"].copy()
    market["pos_values"] = market["pos_values"][:1]
    market["pos_index"] = market["price_index"][:1].copy()
    market["resample"] = market["price_index"][:1].copy()
    creturn = run(market, fee_ratio=0.0, tax_ratio=0.0,
                  position_limit=data.draw(st.sampled_from([1.0, 0.25])))
    if len(creturn) > 1:
        assert creturn[1] == pytest.approx(creturn[0], rel=1e-12, abs=1e-15)


@SETTINGS
@given(markets(), options)
def test_a_run_is_repeatable(market, kw):
    first = results(market, **kw)
    second = results(market, **kw)
    assert same_bits(first[0], second[0]) and first[1] == second[1]
    assert all(same_bits(a, b) for a, b in zip(first[3], second[3]))


@SETTINGS
@given(markets(), options, st.data())
def test_mismatched_shapes_fail_in_order(market, kw, data):
    # Nothing checks the shape relations: a run over mismatched arrays must end
    # normally or with IndexError, never read outside an array.
    trim = data.draw(st.sampled_from(sorted(market)))
    arr = market[trim]
    if arr.ndim == 2:
        market[trim] = arr[: data.draw(st.integers(1, arr.shape[0])), : data.draw(st.integers(1, arr.shape[1]))]
    else:
        market[trim] = arr[: data.draw(st.integers(0, len(arr)))]
    nsids = market["pos_values"].shape[1]
    bars = np.array(data.draw(st.lists(st.integers(-1, 30), max_size=nsids + 1)), dtype=np.int64)
    try:
        creturn = run(market, delisting_bars=bars, **kw)
    except IndexError:
        return
    assert creturn.shape == market["price_index"].shape
