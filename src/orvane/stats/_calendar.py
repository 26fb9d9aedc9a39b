"""Returns by calendar period (day, month, year) and over a trailing window: the monthly
and yearly tables and the rolling Sharpe ratio and volatility.
"""

from __future__ import annotations

import math
from typing import Dict, Optional, Tuple

import numpy as np
import pandas as pd

from orvane._checks import Bounds, check_whole

from orvane.stats._returns import (bar_returns, check_periods, check_rate, check_series, index_facts,
                                   quiet)

PERIODS = {"day": 252.0, "month": 12.0, "year": 1.0}


# Trailing windows: (label, calendar offset or None for "to date", annualised).
TRAILING = (("MTD", "month", False), ("3M", pd.DateOffset(months=3), False),
            ("6M", pd.DateOffset(months=6), False), ("YTD", "year", False),
            ("1Y", pd.DateOffset(years=1), False), ("3Y", pd.DateOffset(years=3), True),
            ("5Y", pd.DateOffset(years=5), True), ("10Y", pd.DateOffset(years=10), True),
            ("All", None, True))


def _trailing(curve: pd.Series) -> Dict[str, float]:
    """Each trailing window's return of a value curve, from the last value at or before
    the window's start (the previous month's or year's last bar for MTD and YTD) to its
    last; NaN when the curve does not reach back that far.  Windows of three years and
    more, and All, are annualised over their calendar days."""
    curve = curve.dropna()
    out: Dict[str, float] = {}
    if len(curve) < 2:
        return {label: float("nan") for label, _, _ in TRAILING}
    index = pd.DatetimeIndex(curve.index)
    wall = index.tz_localize(None) if index.tz is not None else index
    end, last = wall[-1], float(curve.iloc[-1])
    for label, span, yearly in TRAILING:
        if span is None:
            start = 0
        elif isinstance(span, str):
            # The last bar of the previous month or year.
            if span == "month":
                before = (wall.year < end.year) | ((wall.year == end.year) & (wall.month < end.month))
            else:
                before = wall.year < end.year
            start = int(np.flatnonzero(before)[-1]) if before.any() else -1
        else:
            start = int(np.searchsorted(wall, end - span, side="right")) - 1
        if start < 0 or curve.iloc[start] <= 0:
            out[label] = float("nan")
            continue
        growth = np.float64(last / float(curve.iloc[start]))
        days = (end - wall[start]).days
        if not (yearly and days > 0):
            out[label] = float(growth - 1.0)
        elif growth <= 0:
            out[label] = -1.0  # a book that lost everything, as cagr reads it
        else:
            # NumPy's power overflows to inf where Python's raises.
            out[label] = float(growth ** (365.25 / days) - 1.0)
    return out


@quiet
def trailing_returns(equity: pd.Series, benchmark: Optional[pd.Series] = None) -> pd.DataFrame:
    """Trailing returns of an equity curve (and of a benchmark value curve on its dates):
    MTD, 3M, 6M, YTD, 1Y, then 3Y, 5Y, 10Y and All annualised (calendar days / 365.25).
    Rows are the windows; columns ``strategy`` and, with a benchmark, ``benchmark``.  A
    window longer than the curve, or starting at a value of 0 or below, is NaN; an
    annualised window ending at or below 0 is -1 (as ``cagr``), one beyond any float inf."""
    equity = check_series(equity, "equity", "values", dated=True)
    if benchmark is not None:
        benchmark = check_series(benchmark, "benchmark", "values")
    table = {"strategy": _trailing(equity)}
    if benchmark is not None:
        table["benchmark"] = _trailing(benchmark.reindex(equity.index).ffill())
    frame = pd.DataFrame(table)
    frame.index.name = "window"
    return frame


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
    values = 1.0 + returns.to_numpy(dtype=np.float64)
    index = pd.DatetimeIndex(returns.index)
    for period, count in PERIODS.items():
        growth = np.zeros(0)
        if len(values) and periods >= count:
            # calendar_returns' figures, without a Series per period (a sweep's every run)
            growth = np.multiply.reduceat(values, _period_bounds(index, period)[0]) - 1.0
            growth = growth[~np.isnan(growth)]
        out[f"best_{period}"] = float(growth.max()) if len(growth) else float("nan")
        out[f"worst_{period}"] = float(growth.min()) if len(growth) else float("nan")
    return out


@quiet
def rolling_stats(returns: pd.Series, window: int, periods: float,
                  risk_free: float = 0.0, benchmark: Optional[pd.Series] = None) -> pd.DataFrame:
    """Annualised Sharpe ratio, Sortino ratio and volatility over the trailing ``window``
    bars, as ``sharpe_ratio``, ``sortino_ratio`` and ``annual_volatility`` compute them on
    each window; NaN before the first full window, Sharpe NaN on a window that does not
    vary, Sortino NaN on one without a loss.  With ``benchmark`` returns (on the same
    dates) also ``beta``, cov / var over the window's bars (NaN unless all pair up)."""
    returns = check_series(returns, "returns", "returns")
    check_whole(window, "window", Bounds(2), unit="bars")
    periods = check_periods(periods)
    risk_free = check_rate(risk_free)
    if benchmark is not None:
        benchmark = check_series(benchmark, "benchmark", "returns")
    # Any window longer than the returns is never full; pandas cannot count past 2**63.
    window = min(int(window), len(returns) + 1)
    excess = returns.astype(float) - risk_free / periods
    roll = excess.rolling(window, min_periods=window)
    std = roll.std(ddof=1)
    # pandas gives exactly 0 on a constant window; anything else is a real spread.
    sharpe = (roll.mean() / std.where(std > 0)) * math.sqrt(periods)
    volatility = returns.astype(float).rolling(window, min_periods=window).std(ddof=1)
    downside = np.sqrt((np.minimum(excess, 0.0) ** 2).rolling(window, min_periods=window).mean())
    sortino = (roll.mean() / downside.where(downside > 0)) * math.sqrt(periods)
    table = pd.DataFrame({"sharpe": sharpe, "sortino": sortino,
                          "volatility": volatility * math.sqrt(periods)}, index=returns.index)
    if benchmark is not None:
        theirs = benchmark.astype(float).reindex(returns.index)
        mine = returns.astype(float)
        cov = mine.rolling(window, min_periods=window).cov(theirs, ddof=1)
        var = theirs.rolling(window, min_periods=window).var(ddof=1)
        table["beta"] = cov / var.where(var > 0)
    return table
