"""Runs that keep only statistics (the sweep's default) skip the result's tables, and still
give backtest().stats() bit for bit, with the same warnings."""
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets, engine, inputs

DAYS = pd.bdate_range("2024-01-01", periods=8)


@pytest.fixture(scope="module")
def market():
    return datasets.synthetic_market(stocks=30, years=2, seed=5)


@pytest.fixture(scope="module")
def fixed(market):
    return datasets.momentum(market, lookback=42, top=5, bottom=5)


def same(a, b, typed=True):
    if pd.isna(a) is True or pd.isna(b) is True:
        return pd.isna(a) is True and pd.isna(b) is True
    return (type(a) is type(b) or not typed) and a == b


def caught(call):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        out = call()
    return out, [str(w.message) for w in seen]


def check_same(weights, prices, **options):
    result, full_notes = caught(lambda: orvane.backtest(weights, prices, **options))
    lean, lean_notes = caught(lambda: engine.summarize(weights, prices, **options))
    expected = result.stats()
    assert list(lean.stats.index) == list(expected.index)
    for name in expected.index:
        assert same(lean.stats[name], expected[name]), (name, lean.stats[name], expected[name])
    live = result.full_equity.where(result.full_equity.index.isin(result.equity.index))
    pd.testing.assert_series_equal(lean.equity, live, check_exact=True)
    assert lean_notes == full_notes
    return result


OPTIONS = {
    "defaults": {},
    "close-stops": dict(stop_loss=0.04, take_profit=0.06, trailing_stop=0.03),
    "intrabar-open": dict(stop_loss=0.04, trailing_stop=0.05, intrabar_exits=True, trade_at="open"),
    "window": dict(window=15, window_step=4, stop_loss=0.05),
    "kept-costs": dict(keep_costs_on_rebalance=True, stop_loss=0.05, rebalance="W"),
    "unsplit": dict(split_trades_on_rebalance=False, take_profit=0.05),
    "delisted-benchmark": dict(delistings="infer", benchmark="S0007", fee=0.0, tax=0.0),
    "not-skipped": dict(skip_stopped_until_rebalance=False, stop_loss=0.03, position_limit=0.15),
}


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
def test_statistics_alone_equal_the_full_result(market, fixed, options):
    result = check_same(fixed, market, **options)
    assert len(result.trades) > 20


def test_statistics_alone_on_hand_made_books():
    close = pd.DataFrame({"A": [10.0, 11, 12, 11, 13, 14, 13, 15],
                          "B": [20.0, 21, 19, 22, 23, 21, 24, 25]}, index=DAYS)
    # A trade closed on a bar without a price (its value rebuilt from the last one seen),
    # split and not, with a look-ahead window past the exits.
    gap = close.assign(A=[10.0, 11, 12, 11, np.nan, 14, 13, 15])
    w = pd.DataFrame({"A": [1.0, 0.0, 0.5], "B": [0.0, 0.5, 0.5]}, index=DAYS[[0, 3, 5]])
    for window in (0, 3):
        check_same(w, gap, fee=0.01, tax=0.02, window=window)
    # A short squeeze that takes the book to zero: the result ends there.
    squeeze = close.assign(A=[10.0, 12, 15, 19, 22, 25, 30, 32])
    ruined = check_same(pd.DataFrame({"A": [-1.0, 1.0], "B": [0.0, 0.0]}, index=DAYS[[0, 4]]),
                        squeeze, fee=0, tax=0)
    assert ruined.ruined
    # Nothing ever traded.
    check_same(pd.DataFrame({"A": [0.0], "B": [0.0]}, index=DAYS[:1]), close)


def test_fixed_weights_are_aligned_once_per_options(market, fixed):
    prices = inputs.prepare_prices(market)
    weights = inputs.prepare_weights(fixed, prices)
    prepared = {}
    engine.summarize(weights, prices, prepared, stop_loss=0.05)
    first = prepared["inputs"][3]
    engine.summarize(weights, prices, prepared, stop_loss=0.1)
    assert prepared["inputs"][3] is first  # reused: only the stop changed
    # Equal options built anew hit too; other options align again.
    engine.summarize(weights, prices, prepared, rebalance=list(market.close.index[::21]))
    again = prepared["inputs"][3]
    engine.summarize(weights, prices, prepared, rebalance=list(market.close.index[::21]))
    assert prepared["inputs"][3] is again and again is not first


def test_a_sweep_of_statistics_and_equity_equals_sequential_runs(market, fixed):
    grid = {"stop_loss": [None, 0.05], "window": [0, 10]}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        res = orvane.sweep(market, grid, weights=fixed, keep=("stats", "equity"), workers=1,
                           progress=False)
        for i, params in enumerate(res.params):
            run = orvane.backtest(fixed, market, **params)
            expected = run.stats()
            row = res.table.iloc[i]
            assert all(same(row[name], expected[name], typed=False) for name in expected.index)
            curve = res.equity.iloc[:, i]
            np.testing.assert_array_equal(curve.dropna().to_numpy(), run.equity.to_numpy())


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_statistics_alone_on_dates_of_any_unit(market, fixed, unit):
    if not hasattr(pd.DatetimeIndex, "as_unit"):
        pytest.skip("pandas before 2.0 holds nanoseconds only")
    close = market.close.set_axis(market.close.index.as_unit(unit))
    weights = fixed.set_axis(fixed.index.as_unit(unit))
    result = check_same(weights, close, stop_loss=0.05)
    # Time in market from the trades' own dates: the bars from entry up to the exit.
    equity = result.equity.index
    held = np.zeros(len(equity), dtype=bool)
    for entry, exit_ in zip(result.trades["entry_date"], result.trades["exit_date"]):
        held[(equity >= entry) & ((equity < exit_) if not pd.isna(exit_) else True)] = True
    assert 0 < held.mean() < 1 and result.stats()["time_in_market"] == held.mean()
