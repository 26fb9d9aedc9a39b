"""The capacity curve: the same book at a list of capitals, and the capitals at which its
net CAGR halves and reaches 0."""

import math
import warnings

import numpy as np
import pytest

import orvane
from orvane import datasets
from orvane.sweep.capacity import _crossing

MARKET = datasets.synthetic_market(stocks=30, years=2, seed=4)
WEIGHTS = datasets.momentum(MARKET, lookback=42, top=5, bottom=5)


def test_each_capital_is_the_backtest_at_that_capital():
    options = dict(impact=0.7, max_participation=0.05, spread=0.001, fee=0.0, tax=0.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        cap = orvane.capacity(WEIGHTS, MARKET, [1e9, 1e6, 1e7], workers=1, **options)
        one = orvane.backtest(WEIGHTS, MARKET, capital=1e7, **options).stats()
    assert list(cap.table.index) == [1e6, 1e7, 1e9]
    for name in cap.table.columns:
        assert cap.table.loc[1e7, name] == pytest.approx(float(one[name]), rel=0, abs=0,
                                                        nan_ok=True), name
    # Larger books are cut by the cap more often and miss more of their targets.
    for name in ("capped_trades", "avg_shortfall"):
        assert np.all(np.diff(cap.table[name].to_numpy()) > 0), name
    assert cap.reference_cagr == cap.table["cagr"].iloc[0]


def test_without_a_cap_larger_books_pay_more_impact_on_more_of_the_volume():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        cap = orvane.capacity(WEIGHTS, MARKET, [1e6, 1e7, 1e8, 1e9], workers=1, impact=0.7)
    for name in ("impact_paid", "avg_participation", "p95_participation"):
        assert np.all(np.diff(cap.table[name].to_numpy()) > 0), name
    assert (cap.table["capped_trades"] == 0).all()
    # The square-root law: per unit of capital, ten times the capital pays sqrt(10) = 3.16
    # times the impact, a little less as the costs shrink the book that trades.
    ratio = cap.table.loc[1e7, "impact_paid"] / cap.table.loc[1e6, "impact_paid"]
    assert 2.9 < ratio < math.sqrt(10)


@pytest.mark.parametrize("cagr, level, expected", [
    ([0.10, 0.08, 0.06], 0.05, None),                    # never that low
    ([0.10, 0.06, 0.02], 0.05, 10 ** 7.25),              # a quarter of the way, in log capital
    ([0.10, 0.10, 0.00], 0.05, 10 ** 7.5),
    ([0.10, 0.05, -0.1], 0.05, 1e7),                     # reached exactly at a capital
    ([-0.01, -0.02, -0.03], 0.0, 1e6),                   # below from the start
    ([0.10, np.nan, 0.0], 0.0, 1e7),                     # a run without a CAGR counts as gone
])
def test_the_crossing_is_interpolated_in_log_capital(cagr, level, expected):
    got = _crossing([1e6, 1e7, 1e8], np.array(cagr), level)
    if expected is None:
        assert got is None
    else:
        assert math.isclose(got, expected, rel_tol=1e-12)


@pytest.mark.parametrize("capitals, options, error, message", [
    ([1e6, 1e7], dict(impact=0.5, capital=1e6), TypeError, "capitals=\\[...\\], not capital="),
    ([1e6, 1e7], dict(spread=0.001), ValueError, "needs impact or max_participation"),
    ([1e6], dict(impact=0.5), ValueError, "at least two capitals"),
    ([1e6, 1e6], dict(impact=0.5), ValueError, "distinct, got 1,000,000 twice"),
    ([1e6, -5.0], dict(impact=0.5), ValueError, "capitals must be amounts of money above 0"),
    (1e6, dict(impact=0.5), TypeError, "capitals must be a list"),
])
def test_a_capacity_run_that_cannot_mean_anything_is_refused(capitals, options, error, message):
    with pytest.raises(error, match=message):
        orvane.capacity(WEIGHTS, MARKET, capitals, workers=1, **options)


def test_the_report_shows_the_capacity_curve_it_is_given(tmp_path):
    pytest.importorskip("matplotlib")
    import re

    options = dict(impact=0.7, max_participation=0.05)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        cap = orvane.capacity(WEIGHTS, MARKET, [1e5, 1e7, 1e9], workers=1, **options)
        result = orvane.backtest(WEIGHTS, MARKET, capital=1e5, **options)
    page = result.report(tmp_path / "r.html", capacity=cap).read_text(encoding="utf-8")
    section = page[page.index('<section id="capacity">'):]
    section = section[:section.index("</section>")]
    rows = re.findall(r"<tr><td class=\"\">([\d,]+)</td>", section)
    assert rows == ["100,000", "10,000,000", "1,000,000,000"]
    assert section.count("data:image/png;base64,") == 2
    assert "halves at" in section and "stress estimates" in section
    with pytest.raises(TypeError, match="capacity must be what orvane.capacity returns"):
        result.report(tmp_path / "s.html", capacity=cap.table)
