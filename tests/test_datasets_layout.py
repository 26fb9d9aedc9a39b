"""The seeded synthetic market in the engine's layout, for the core's tests and benchmarks."""

import numpy as np
import pytest

from orvane.core import tradeloom
from orvane.datasets import CORE_INPUTS, core_layout

from conftest import run_layout

has_engine = pytest.mark.skipif(not hasattr(tradeloom, "backtest_"), reason="backtest_ not built yet")

SIZES = [(2, 2), (45, 3), (300, 25), (800, 60)]
PRICE_NAMES = ("price_values", "close_values", "high_values", "low_values", "open_values")


def _days(ts):
    return np.asarray(ts).astype("datetime64[ns]").astype("datetime64[D]")


@pytest.mark.parametrize("n_rows,n_stocks", SIZES)
def test_shapes_and_dtypes(n_rows, n_stocks):
    m = core_layout(n_rows, n_stocks, seed=3)
    for name in PRICE_NAMES:
        a = getattr(m, name)
        assert a.dtype == np.float64 and a.shape == (n_rows, n_stocks), name
    for name in ("price_index", "pos_index", "resample", "delisting_bars"):
        assert getattr(m, name).dtype == np.int64, name
    assert m.price_index.shape == (n_rows,)
    assert m.delisting_bars.shape == (n_stocks,)
    assert m.price_columns.dtype == object and m.pos_columns.dtype == object
    assert list(m.price_columns) == ["S%04d" % (i + 1) for i in range(n_stocks)]
    assert list(m.pos_columns) == list(m.price_columns)
    assert m.pos_values.shape == (len(m.pos_index), n_stocks)
    assert len(m.pos_index) >= 1
    assert list(m.inputs()) == list(CORE_INPUTS)


@pytest.mark.parametrize("seed", [0, 1, 7])
def test_bars_are_consistent(seed):
    m = core_layout(400, 30, seed)
    missing = np.isnan(m.close_values)
    for name in PRICE_NAMES:
        # A missing bar is missing in every matrix.
        np.testing.assert_array_equal(np.isnan(getattr(m, name)), missing, err_msg=name)
    ok = ~missing
    o, h, l, c = m.open_values[ok], m.high_values[ok], m.low_values[ok], m.close_values[ok]
    assert np.all(np.isfinite(o)) and np.all(o > 0) and np.all(l > 0)
    assert np.all(l <= o) and np.all(l <= c) and np.all(o <= h) and np.all(c <= h)
    np.testing.assert_array_equal(m.price_values, m.open_values)
    assert m.price_values is not m.open_values
    # A few gaps, not a sieve: the first row is complete, and most cells hold a bar.
    assert not missing[0].any()
    assert missing.mean() < 0.2


def test_index_is_ascending_business_days():
    m = core_layout(500, 4)
    days = _days(m.price_index)
    assert np.all(np.diff(m.price_index) > 0)
    assert np.all(np.is_busday(days))
    # No business day skipped between the first and the last.
    assert np.busday_count(days[0], days[-1]) == len(days) - 1


def test_same_seed_same_market_other_seed_differs():
    a, b, c = core_layout(200, 12, seed=5), core_layout(200, 12, seed=5), core_layout(200, 12, seed=6)
    for name in PRICE_NAMES + ("price_index", "pos_values", "pos_index", "resample", "delisting_bars"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)
    assert not np.array_equal(a.close_values, c.close_values, equal_nan=True)


@pytest.mark.parametrize("n_rows,n_stocks", SIZES)
def test_delisting_rows(n_rows, n_stocks):
    m = core_layout(n_rows, n_stocks, seed=2)
    bars = m.delisting_bars
    delisted = np.flatnonzero(bars >= 0)
    assert np.all(bars[bars < 0] == -1)
    assert 1 <= len(delisted) <= max(1, n_stocks // 10)
    assert np.all(bars[delisted] < n_rows)
    for col in delisted:
        r = bars[col]
        for name in PRICE_NAMES:
            assert np.isnan(getattr(m, name)[r:, col]).all(), (name, col)
        assert not np.isnan(m.close_values[:r, col]).all()


@pytest.mark.parametrize("n_rows,n_stocks", SIZES)
def test_calendar(n_rows, n_stocks):
    m = core_layout(n_rows, n_stocks, seed=4)
    days = _days(m.price_index)
    months = days.astype("datetime64[M]")
    rows = np.searchsorted(m.price_index, m.pos_index)
    # Weight rows are dated on price rows, each the last row of its month.
    np.testing.assert_array_equal(m.price_index[rows], m.pos_index)
    for r in rows:
        assert r == n_rows - 1 or months[r + 1] != months[r]
    # resample: the calendar month ends of every month covered, ascending.
    ends = _days(m.resample)
    assert np.all(np.diff(m.resample) > 0)
    following = ends + np.timedelta64(1, "D")
    np.testing.assert_array_equal(following, following.astype("datetime64[M]").astype("datetime64[D]"))
    np.testing.assert_array_equal(ends.astype("datetime64[M]"), np.unique(months))


@pytest.mark.parametrize("seed", [0, 11])
@pytest.mark.parametrize("top_k", [None, 1, 4])
def test_weights_rank_by_lookback_return(seed, top_k):
    m = core_layout(700, 40, seed, top_k=top_k)
    k_max = top_k if top_k is not None else 40 // 10  # default: one stock in ten
    assert m.top_k == k_max
    rows = np.searchsorted(m.price_index, m.pos_index)
    assert np.all(rows >= m.lookback)
    for w, r in zip(m.pos_values, rows):
        score = m.close_values[r] / m.close_values[r - m.lookback] - 1.0
        gone = (m.delisting_bars >= 0) & (m.delisting_bars <= r + 1)
        eligible = np.isfinite(score) & ~gone
        k = min(k_max, int(eligible.sum()) // 2)
        longs, shorts = w > 0, w < 0
        assert longs.sum() == shorts.sum() == k
        assert not (w[~eligible] != 0).any(), "weight on a stock without a score or already delisted"
        if k == 0:
            continue
        np.testing.assert_allclose(w[longs], 0.5 / k)
        np.testing.assert_allclose(w[shorts], -0.5 / k)
        rest = eligible & (w == 0)
        assert score[longs].min() >= score[shorts].max()
        if rest.any():
            assert score[longs].min() >= score[rest].max()
            assert score[rest].min() >= score[shorts].max()


@pytest.mark.parametrize("n_rows,n_stocks", [(1, 5), (5, 1), (0, 0)])
def test_too_small_market_rejected(n_rows, n_stocks):
    with pytest.raises(ValueError):
        core_layout(n_rows, n_stocks)


@has_engine
def test_run_returns_value_series():
    m = core_layout(150, 8, seed=1)
    creturn = run_layout(m, stop_loss=0.1)
    assert creturn.dtype == np.float64 and creturn.shape == (150,)
    first = int(np.searchsorted(m.price_index, m.pos_index[0]))
    np.testing.assert_array_equal(creturn[:first], 1.0)
    assert np.all(np.isfinite(creturn))
    # The market's delisting rows went in unless overridden.
    assert run_layout(m, delisting_bars=None).shape == (150,)


@has_engine
@pytest.mark.parametrize("seed", [3, 8])
def test_frictionless_run_matches_numpy_replay(seed):
    # Without costs, gaps, stops or delisting data, the run is a plain monthly rebalance:
    # positions move with the trading price, trade at the bar after each weight row
    # and are reported at close/trade-price ratios.
    m = core_layout(300, 20, seed, gap_ratio=0.0)
    creturn = run_layout(m, fee_ratio=0.0, tax_ratio=0.0, delisting_bars=None)
    price, close = m.price_values, m.close_values
    signal_rows = np.searchsorted(m.price_index, m.pos_index)
    trade_at = {int(r) + 1: i for i, r in enumerate(signal_rows)}
    expected = np.ones(m.n_rows)
    cash, pos, base = 1.0, np.zeros(m.n_stocks), np.ones(m.n_stocks)
    for d in range(signal_rows[0], m.n_rows):
        held = pos != 0
        ratio = price[d] / base
        ratio[~np.isfinite(ratio)] = 1.0
        pos[held] *= ratio[held]
        seen = held & ~np.isnan(price[d])
        base[seen] = price[d][seen]
        if d in trade_at:
            w = m.pos_values[trade_at[d]]
            target = w * (cash + pos.sum()) / max(np.abs(w).sum(), 1.0)
            cash += (pos - target).sum()
            pos, base = target, price[d].copy()
        marked = np.where(np.isnan(price[d]) | np.isnan(close[d]), pos, pos * close[d] / price[d])
        expected[d] = cash + marked.sum()
    np.testing.assert_allclose(creturn, expected, rtol=1e-12, atol=1e-12)
