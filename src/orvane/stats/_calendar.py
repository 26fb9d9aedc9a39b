"""Returns by calendar period (day, month, year) and over a trailing window: the monthly
and yearly tables and the rolling Sharpe ratio and volatility.
"""

from __future__ import annotations

import math
from typing import Dict, Optional, Tuple

import numpy as np
import pandas as pd

from orvane._checks import Bounds, check_whole

from orvane.stats._returns import bar_returns, check_rate, index_facts, quiet

PERIODS = {"day": 252.0, "month": 12.0, "year": 1.0}


@quiet
def calendar_returns(returns: pd.Series, period: str) -> pd.Series:
    """Compounded return of each calendar ``period`` ("day", "month" or "year") that
    has bars, labelled with the period's last bar. Periods are read from the dates
    as written (in their own time zone); the first and last may be partial."""
    if period not in PERIODS:
        raise ValueError(f"period must be 'day', 'month' or 'year', got {period!r}")
    if not len(returns):
        return pd.Series([], index=returns.index[:0], dtype=float, name=period)
    starts, last = _period_bounds(pd.DatetimeIndex(returns.index), period)
    growth = np.multiply.reduceat(1.0 + returns.to_numpy(dtype=np.float64), starts) - 1.0
    return pd.Series(growth, index=returns.index[last], name=period)


def _period_bounds(index: pd.DatetimeIndex, period: str) -> Tuple[np.ndarray, np.ndarray]:
    """First and last position of each calendar period in a non-empty index."""
    facts = index_facts(index)
    if period not in facts:
        wall = index.tz_localize(None) if index.tz is not None else index
        key = wall.year.to_numpy() * 10_000
        if period != "year":
            key = key + wall.month.to_numpy() * 100
        if period == "day":
            key = key + wall.day.to_numpy()
        starts = np.flatnonzero(np.concatenate([[True], key[1:] != key[:-1]]))
        last = np.concatenate([starts[1:], [len(key)]]) - 1
        starts.setflags(write=False)
        last.setflags(write=False)
        facts[period] = (starts, last)
    return facts[period]


def monthly_table(returns: pd.Series) -> pd.DataFrame:
    """``calendar_returns`` by month as a table: rows year, columns month 1..12 (NaN
    where a month has no bar)."""
    growth = calendar_returns(returns, "month")
    index = growth.index
    table = pd.Series(growth.to_numpy(), index=[index.year, index.month]).unstack()
    table = table.reindex(columns=range(1, 13))
    table.index.name = "year"
    table.columns.name = "month"
    return table


def yearly_table(returns: pd.Series, benchmark: Optional[pd.Series] = None) -> pd.DataFrame:
    """``calendar_returns`` by year (index: year), column ``return``; with a benchmark
    value curve (on the equity's dates: those of the returns and the bar before the
    first) also ``benchmark``, its compounded return over the same bars (NaN for a year
    it has no move in), and ``excess`` = return - benchmark."""
    growth = calendar_returns(returns, "year")
    table = pd.DataFrame({"return": growth.to_numpy()},
                         index=pd.Index(growth.index.year, name="year"))
    if benchmark is not None:
        dates = returns.index
        # Bars inside its span without a value of their own (a sparser calendar) carry
        # the last one: a year's return runs from its last value before the year to its last in it.
        benchmark = benchmark.ffill().where(benchmark.bfill().notna())
        # The first return is the move from the bar before it: the benchmark's too.
        before = benchmark.index[benchmark.index < dates[0]][-1:] if len(dates) else dates
        moves = bar_returns(benchmark.reindex(before.append(dates))).iloc[len(before):]
        theirs = calendar_returns(moves.fillna(0.0), "year")
        seen = moves.notna().groupby(moves.index.year).any().to_numpy()
        table["benchmark"] = np.where(seen, theirs.to_numpy(), np.nan)
        table["excess"] = table["return"] - table["benchmark"]
    return table


def extremes(returns: pd.Series, periods: float) -> Dict[str, float]:
    """Best and worst day, month and year; NaN for a period the bars are coarser than
    (fewer bars a year than it has: weekly bars have no best day)."""
    out = {}
    for period, count in PERIODS.items():
        growth = calendar_returns(returns, period)
        usable = len(growth) and periods >= count
        out[f"best_{period}"] = float(growth.max()) if usable else float("nan")
        out[f"worst_{period}"] = float(growth.min()) if usable else float("nan")
    return out


@quiet
def rolling_stats(returns: pd.Series, window: int, periods: float,
                  risk_free: float = 0.0) -> pd.DataFrame:
    """Annualised Sharpe ratio and volatility over the trailing ``window`` bars, as
    ``sharpe_ratio`` and ``annual_volatility`` compute them on each window; NaN
    before the first full window and Sharpe NaN on a window that does not vary."""
    check_whole(window, "window", Bounds(2), unit="bars")
    risk_free = check_rate(risk_free)
    # Any window longer than the returns is never full; pandas cannot count past 2**63.
    window = min(int(window), len(returns) + 1)
    excess = returns.astype(float) - risk_free / periods
    roll = excess.rolling(window, min_periods=window)
    std = roll.std(ddof=1)
    # pandas gives exactly 0 on a constant window; anything else is a real spread.
    sharpe = (roll.mean() / std.where(std > 0)) * math.sqrt(periods)
    volatility = returns.astype(float).rolling(window, min_periods=window).std(ddof=1)
    return pd.DataFrame({"sharpe": sharpe, "volatility": volatility * math.sqrt(periods)},
                        index=returns.index)
