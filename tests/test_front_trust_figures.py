"""Figures that used to pass in silence: bars a year on session and sparse calendars, a
benchmark on another calendar, a flip's exit fee, a ruined book's trades, and trade
statistics counted by money."""

import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import stats


def trading_days(start="2021-01-04", end="2022-12-30", per_year=252):
    """Business days thinned evenly to ``per_year`` a year (holidays have no pandas frequency)."""
    days = pd.bdate_range(start, end)
    years = round(len(days) / 261)
    drop = np.linspace(3, len(days) - 3, len(days) - per_year * years).astype(int)
    return days.delete(drop)


DAYS = trading_days()
SESSION = pd.DatetimeIndex([d + pd.Timedelta(hours=9, minutes=30) + pd.Timedelta(hours=h)
                            for d in DAYS for h in range(7)])


# ---------------------------------------------------------------- bars a year

@pytest.mark.parametrize("index, expected, rel", [
    (SESSION, 7 * 252, 0.01),                  # nights are no bars: not 365.25 x 24
    (DAYS[::2], 126, 0.01),                    # weekends are no bars: not 365.25 / 2
    (DAYS, 252, 0),
    (pd.bdate_range("2021-01-04", periods=300), 252, 0),
    (pd.date_range("2021-01-01", periods=300, freq="D"), 365, 0),
    (pd.date_range("2021-01-01", periods=120, freq="W-FRI").delete([7, 40]), 52, 0),
    (DAYS.to_series().groupby(DAYS.to_period("M")).max().to_numpy(), 12, 0),
])
def test_bars_a_year_are_counted_from_the_data(index, expected, rel):
    index = pd.DatetimeIndex(index)
    assert stats.periods_per_year(index) == pytest.approx(expected, rel=rel)


def test_session_bars_annualise_volatility_by_the_bars_they_have():
    moves = np.random.default_rng(3).normal(0, 0.002, len(SESSION))
    equity = pd.Series(np.cumprod(1 + moves), index=SESSION)
    returns = stats.equity_returns(equity)
    by_hand = returns.std(ddof=1) * np.sqrt(7 * 252)
    got = stats.annual_volatility(returns, stats.periods_per_year(SESSION))
    assert got == pytest.approx(by_hand, rel=0.01)
