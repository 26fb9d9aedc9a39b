"""The strategy against a benchmark: beta, alpha, correlation, tracking error,
information ratio, up and down capture, and the benchmark's own figures.  Both sides are
paired on the bars where both returns are known.
"""

from __future__ import annotations

import math
from typing import Dict, Tuple

import numpy as np
import pandas as pd

from orvane.stats._drawdowns import max_drawdown
from orvane.stats._returns import bar_returns, cagr, flat, periods_per_year, quiet, total_return

def _pair(returns: pd.Series, benchmark: pd.Series) -> tuple[np.ndarray, np.ndarray]:
    """The bars on which both returns are known."""
    both = pd.concat([returns, benchmark], axis=1, join="inner").to_numpy(dtype=np.float64)
    known = np.isfinite(both).all(axis=1)
    return both[known, 0], both[known, 1]


@quiet
def beta(returns: pd.Series, benchmark: pd.Series) -> float:
    """cov(r, b) / var(b) over the bars both have (ddof=1); NaN when the benchmark's
    returns do not vary or fewer than two bars pair up."""
    r, b = _pair(returns, benchmark)
    if len(b) < 2 or flat(b):
        return float("nan")
    return float(np.cov(r, b, ddof=1)[0, 1] / np.var(b, ddof=1))


@quiet
def alpha(returns: pd.Series, benchmark: pd.Series, periods: float,
          risk_free: float = 0.0) -> float:
    """Jensen's alpha, annualised by ``periods`` without compounding:
    (mean(r - rf) - beta * mean(b - rf)) * periods, with the annual ``risk_free``
    spread evenly over the periods. NaN where ``beta`` is."""
    r, b = _pair(returns, benchmark)
    slope = beta(returns, benchmark)
    if len(b) < 2:
        return float("nan")
    rf = risk_free / periods
    return float((np.mean(r - rf) - slope * np.mean(b - rf)) * periods)


@quiet
def correlation(returns: pd.Series, benchmark: pd.Series) -> float:
    """Pearson correlation of the paired bar returns; NaN when either does not vary."""
    r, b = _pair(returns, benchmark)
    if len(b) < 2 or flat(r) or flat(b):
        return float("nan")
    return float(np.corrcoef(r, b)[0, 1])


@quiet
def tracking_error(returns: pd.Series, benchmark: pd.Series, periods: float) -> float:
    """std(r - b, ddof=1) * sqrt(periods): the annualised spread of the active return."""
    r, b = _pair(returns, benchmark)
    if len(b) < 2:
        return float("nan")
    return float(np.std(r - b, ddof=1) * math.sqrt(periods))


@quiet
def information_ratio(returns: pd.Series, benchmark: pd.Series, periods: float) -> float:
    """mean(r - b) / std(r - b, ddof=1) * sqrt(periods); NaN when the active return
    does not vary."""
    r, b = _pair(returns, benchmark)
    if len(b) < 2 or flat(r - b):
        return float("nan")
    active = r - b
    return float(active.mean() / np.std(active, ddof=1) * math.sqrt(periods))


@quiet
def capture_ratio(returns: pd.Series, benchmark: pd.Series, periods: float,
                  side: str = "up") -> float:
    """Up (``side="up"``: bars the benchmark rose) or down capture: the annualised
    compound return of the strategy over those bars / the benchmark's,
    annualised as prod(1 + x) ** (periods / bars) - 1. 1.0 moves with the
    benchmark; a down capture below 1 loses less than it. NaN without such bars."""
    if side not in ("up", "down"):
        raise ValueError(f"side must be 'up' or 'down', got {side!r}")
    r, b = _pair(returns, benchmark)
    pick = b > 0 if side == "up" else b < 0
    n = int(pick.sum())
    if not n:
        return float("nan")
    mine = np.prod(1.0 + r[pick]) ** (periods / n) - 1.0
    theirs = np.prod(1.0 + b[pick]) ** (periods / n) - 1.0
    return float(mine / theirs) if theirs != 0 else float("nan")


def _on_dates(returns: pd.Series, curve: pd.Series) -> Tuple[pd.Series, pd.Series, float]:
    """Both sides' returns from each date of ``curve`` to the next, and bars a year on them."""
    growth = (1.0 + returns).cumprod()
    base = curve.index[0]
    if base not in growth.index:
        # The bar before the first return: the strategy's base.
        growth = pd.concat([pd.Series([1.0], index=[base]), growth[growth.index > base]])
    level = growth.reindex(curve.index)
    return bar_returns(level), bar_returns(curve), periods_per_year(curve.index)


@quiet
def benchmark_stats(returns: pd.Series, benchmark: pd.Series, periods: float,
                    risk_free: float = 0.0) -> Dict[str, float]:
    """The benchmark's own figures (over the bars it covers) and the strategy's against it.

    ``returns`` are the strategy's bar returns, ``benchmark`` the benchmark's value
    curve on the same dates and the bar before the first return (NaN where it has no
    data).  When the benchmark has no value on some bars inside its span (weekly closes
    against daily bars), the relative figures are computed on the dates it holds: the
    strategy's returns are compounded between them and ``periods`` becomes
    ``periods_per_year`` of those dates.  A gap is never read as a bar without a move.
    """
    curve = benchmark.dropna()
    theirs = bar_returns(benchmark)
    if len(curve) > 1 and len(curve) < len(benchmark.loc[curve.index[0]:curve.index[-1]]):
        returns, theirs, periods = _on_dates(returns, curve)
    return {
        "benchmark_total_return": total_return(curve),
        "benchmark_cagr": cagr(curve),
        "benchmark_max_drawdown": max_drawdown(curve)[0],
        "alpha": alpha(returns, theirs, periods, risk_free),
        "beta": beta(returns, theirs),
        "correlation": correlation(returns, theirs),
        "tracking_error": tracking_error(returns, theirs, periods),
        "information_ratio": information_ratio(returns, theirs, periods),
        "up_capture": capture_ratio(returns, theirs, periods, "up"),
        "down_capture": capture_ratio(returns, theirs, periods, "down"),
    }
