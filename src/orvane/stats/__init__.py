"""Performance statistics of a backtest, as small pure functions over pandas objects.

Every function takes plain Series/DataFrames (an equity curve, its returns, the
trade table), so each can be used on its own; ``summary`` puts them together for
a result. All values are fractions (0.05 = 5 %), never percent.

Conventions shared by the functions below:

- Returns are simple bar-to-bar returns of the equity curve.
- Annualisation uses ``periods_per_year`` of the equity index; the risk-free rate
  is 0 unless given.
- Relative statistics pair the strategy's and the benchmark's bar returns on the
  bars where both are known.
- A statistic whose formula is undefined is NaN (for example the Sharpe ratio of
  a flat curve, or the win rate without trades); a ratio whose denominator is
  zero while its numerator is positive is +inf (the profit factor when every
  trade won, the Sortino ratio without a losing bar).
"""

from __future__ import annotations

import functools
import hashlib
import math
import re
import warnings
from collections import OrderedDict
from typing import Any, Callable, Dict, NamedTuple, Optional, Tuple, TypeVar, cast

import numpy as np
import pandas as pd

from orvane._calendar import FREQUENCIES

__all__ = [
    "periods_per_year",
    "total_return",
    "cagr",
    "annual_volatility",
    "sharpe_ratio",
    "sortino_ratio",
    "drawdown",
    "max_drawdown",
    "drawdown_periods",
    "calmar_ratio",
    "skewness",
    "kurtosis",
    "value_at_risk",
    "conditional_value_at_risk",
    "calendar_returns",
    "monthly_table",
    "yearly_table",
    "rolling_stats",
    "bar_returns",
    "beta",
    "alpha",
    "correlation",
    "tracking_error",
    "information_ratio",
    "capture_ratio",
    "benchmark_stats",
    "check_rate",
    "trade_stats",
    "turnover",
    "round_trips",
    "exposure",
    "live_equity",
    "summary",
    "format_summary",
    "LABELS",
    "BENCHMARK_NAMES",
    "BOOK_NAMES",
]

_DAYS_PER_YEAR = 365.25

F = TypeVar("F", bound=Callable[..., Any])


def _quiet(func: F) -> F:
    """Extreme curves (a ruined book, overflowing prices) give inf or NaN statistics, as
    documented, never NumPy's floating-point warnings."""
    @functools.wraps(func)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        with np.errstate(all="ignore"):
            return func(*args, **kwargs)
    return cast(F, wrapper)


# Standard bar frequencies a median spacing snaps to: bars a year -> spacing in days.
_STANDARD = {52.0: 7.0, 12.0: _DAYS_PER_YEAR / 12, 4.0: _DAYS_PER_YEAR / 4, 1.0: _DAYS_PER_YEAR}
_SNAP = 0.15


@_quiet
def periods_per_year(index: pd.DatetimeIndex) -> float:
    """Number of bars in a year for a DatetimeIndex.

    A frequency pandas can infer decides: business days 252, calendar days 365,
    weeks 52, months 12, quarters 4, years 1. Otherwise the median spacing of
    the dates decides, so that trading calendars with holidays, which have no
    regular frequency, still count as the frequency they are:

    - between 0.5 and 1.5 days: trading days, 252;
    - within 15 % of a week, a month, a quarter or a year (5.95-8.05, 25.9-35.0,
      77.6-105.0 and 310.5-420.0 days): 52, 12, 4 or 1 (month-end trading days
      are 28 to 33 days apart, a median of 31 days would otherwise give 11.78);
    - any other spacing: 365.25 days / median spacing.

    Fewer than two dates give NaN.
    """
    index = pd.DatetimeIndex(index)
    facts = _facts(index)
    if "periods" not in facts:
        facts["periods"] = _periods_per_year(index)
    return facts["periods"]


# What the dates of an index give, by the index's content: a sweep's runs share their dates.
_FACTS: "OrderedDict[Tuple[bytes, str], Dict[str, Any]]" = OrderedDict()
_FACTS_KEPT = 8


def _facts(index: pd.DatetimeIndex) -> Dict[str, Any]:
    # The dtype names the unit and the time zone the integers are read in.
    key = (hashlib.blake2b(index.asi8.tobytes(), digest_size=16).digest(), str(index.dtype))
    facts = _FACTS.get(key)
    if facts is None:
        facts = _FACTS[key] = {}
        while len(_FACTS) > _FACTS_KEPT:
            _FACTS.popitem(last=False)
    return facts


def _periods_per_year(index: pd.DatetimeIndex) -> float:
    if len(index) < 2:
        return float("nan")
    freq = None
    if len(index) >= 3:
        try:
            # pandas 3 warns that this will return an offset; both forms work.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                freq = pd.infer_freq(index)
        except (TypeError, ValueError):
            freq = None
        freq = getattr(freq, "freqstr", freq)
    if freq:
        match = re.fullmatch(r"(\d*)(\w+?)(?:-\w+)?", freq)
        step, prefix = match.groups() if match else ("", "")
        if prefix in FREQUENCIES:
            return FREQUENCIES[prefix][1] / int(step or 1)
    spacing = pd.Series(index).diff().dropna().median()
    days = spacing / pd.Timedelta(days=1)
    if days <= 0 or not np.isfinite(days):
        return float("nan")
    if 0.5 <= days <= 1.5:
        return 252.0
    for periods, standard in _STANDARD.items():
        if abs(days / standard - 1.0) <= _SNAP:
            return periods
    return _DAYS_PER_YEAR / days


@_quiet
def total_return(equity: pd.Series) -> float:
    """Last value / first value - 1; NaN for an empty curve."""
    values = _values(equity)
    if not len(values):
        return float("nan")
    return float(values[-1] / values[0] - 1.0)


@_quiet
def cagr(equity: pd.Series) -> float:
    """Compound annual growth rate: (last / first) ** (1 / years) - 1.

    Years are calendar time between the first and the last date
    (days / 365.25), so the result does not depend on the bar frequency.
    NaN with fewer than two dates; -1 when the curve ends at or below zero.
    """
    values = equity.to_numpy(dtype=np.float64, na_value=np.nan)
    known = np.flatnonzero(~np.isnan(values))
    if len(known) < 2:
        return float("nan")
    first, last = known[0], known[-1]
    years = (equity.index[last] - equity.index[first]) / pd.Timedelta(days=_DAYS_PER_YEAR)
    if years <= 0:
        return float("nan")
    growth = values[last] / values[first]
    if growth <= 0:
        return -1.0
    return float(growth ** (1.0 / years) - 1.0)


def _values(returns: pd.Series) -> np.ndarray:
    """The known returns as an array."""
    values = returns.to_numpy(dtype=np.float64, na_value=np.nan)
    known = ~np.isnan(values)
    return values if known.all() else values[known]


@_quiet
def annual_volatility(returns: pd.Series, periods: float) -> float:
    """Sample standard deviation of the returns (ddof=1) times sqrt(periods per year)."""
    values = _values(returns)
    if len(values) < 2:
        return float("nan")
    return float(values.std(ddof=1) * math.sqrt(periods))


@_quiet
def sharpe_ratio(returns: pd.Series, periods: float, risk_free: float = 0.0) -> float:
    """Annualised Sharpe ratio: mean(r - rf) / std(r - rf, ddof=1) * sqrt(periods).

    ``risk_free`` is an annual rate, spread evenly over the periods. NaN when the
    excess returns do not vary (a flat curve) or there are fewer than two.
    """
    excess = _values(returns) - risk_free / periods
    if len(excess) < 2:
        return float("nan")
    std = excess.std(ddof=1)
    if not std > 0:
        return float("nan")
    return float(excess.mean() / std * math.sqrt(periods))


@_quiet
def sortino_ratio(returns: pd.Series, periods: float, risk_free: float = 0.0) -> float:
    """Annualised Sortino ratio: mean(r - rf) / downside deviation * sqrt(periods).

    The downside deviation is sqrt(mean(min(r - rf, 0) ** 2)) over all periods
    (target 0). Without a negative excess return it is +inf for a positive
    mean, NaN otherwise.
    """
    excess = _values(returns) - risk_free / periods
    if len(excess) < 2:
        return float("nan")
    downside = math.sqrt(float((np.minimum(excess, 0.0) ** 2).mean()))
    mean = float(excess.mean())
    if downside == 0.0:
        return float("inf") if mean > 0 else float("nan")
    return mean / downside * math.sqrt(periods)


@_quiet
def drawdown(equity: pd.Series) -> pd.Series:
    """Equity / running maximum - 1: zero at every new high, negative below it."""
    return equity / equity.cummax() - 1.0


DRAWDOWN_COLUMNS = ("peak", "trough", "recovery", "depth", "bars", "days")


@_quiet
def drawdown_periods(equity: pd.Series, top: Optional[int] = None) -> pd.DataFrame:
    """Every spell below an earlier high, deepest first (``top``: only that many).

    A spell starts after a bar at the running high (its ``peak``, the last bar at
    that high) and ends on its ``recovery``, the first bar back at or above the
    peak's value (NaT while not recovered). ``trough`` is the lowest bar in it
    (the first one on a tie), ``depth`` trough / peak - 1 (a negative fraction).
    ``bars`` and ``days`` count bars and calendar days (fractional for intraday
    bars) from the peak to the recovery, or to the last bar while not recovered.
    Equal depths keep their order in time.
    """
    values = equity.dropna()
    v = values.to_numpy(dtype=np.float64)
    starts, ends, depth = _spells(v, top)
    troughs = np.array([s + int(np.argmin(v[s:e])) for s, e in zip(starts, ends)], dtype=np.int64)
    peaks = starts - 1
    recovered = ends < len(v)
    until = np.where(recovered, ends, len(v) - 1)
    index = values.index
    return pd.DataFrame({
        "peak": index[peaks],
        "trough": index[troughs],
        "recovery": index[until].where(recovered),
        "depth": depth,
        "bars": until - peaks,
        "days": (index[until] - index[peaks]) / pd.Timedelta(days=1),
    }, columns=list(DRAWDOWN_COLUMNS))


def _spells(v: np.ndarray, top: Optional[int]) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(starts, ends, depths) of the spells below an earlier high, deepest first."""
    high = np.maximum.accumulate(v) if len(v) else v
    below = v < high
    edges = np.diff(np.concatenate([[0], below.astype(np.int8), [0]]))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    # Between two spells the drawdown is 0: each segment's minimum is its spell's.
    dd = v / high - 1.0
    depth = np.minimum.reduceat(dd, starts) if len(starts) else np.zeros(0)
    order = np.argsort(depth, kind="stable")[:top]
    return starts[order], ends[order], depth[order]


@_quiet
def max_drawdown(equity: pd.Series) -> tuple[float, pd.Timestamp, pd.Timestamp, pd.Timestamp]:
    """Deepest drawdown and its dates: (depth, peak, trough, recovery).

    The first row of ``drawdown_periods``: depth is the minimum of ``drawdown``
    (0 or negative), peak the last bar at the high before the trough, trough the
    lowest bar, recovery the first bar after the trough back at or above the
    peak's value, NaT when it never gets back there. A curve that never falls
    below an earlier high has depth 0 and NaT for all three dates.
    """
    values = equity.dropna()
    if values.empty:
        return float("nan"), pd.NaT, pd.NaT, pd.NaT
    v = values.to_numpy(dtype=np.float64)
    starts, ends, depth = _spells(v, 1)
    if not len(starts):
        return 0.0, pd.NaT, pd.NaT, pd.NaT
    start, end = int(starts[0]), int(ends[0])
    index = values.index
    recovery = index[end] if end < len(v) else pd.NaT
    return float(depth[0]), index[start - 1], index[start + int(np.argmin(v[start:end]))], recovery


@_quiet
def calmar_ratio(cagr_value: float, max_drawdown_value: float) -> float:
    """CAGR / |max drawdown|; NaN without a drawdown."""
    if not max_drawdown_value < 0:
        return float("nan")
    return float(cagr_value / abs(max_drawdown_value))




def _flat(values: np.ndarray) -> bool:
    # Summing equal values can miss their mean by an ulp: test equality, not the variance.
    return bool(values.max() == values.min())


@_quiet
def skewness(returns: pd.Series) -> float:
    """Sample skewness of the returns, bias-corrected (G1):
    sqrt(n (n - 1)) / (n - 2) * m3 / m2 ** 1.5, with m_k the k-th central moment.
    0 for a symmetric distribution; NaN with fewer than 3 returns or when they do
    not vary."""
    moments = _moments(returns, 3, 3)
    if moments is None:
        return float("nan")
    n, m2, m3 = moments
    return math.sqrt(n * (n - 1)) / (n - 2) * m3 / m2 ** 1.5


@_quiet
def kurtosis(returns: pd.Series) -> float:
    """Excess kurtosis of the returns, bias-corrected (G2): 0 for a normal
    distribution, positive for fat tails.
    ((n + 1) * (m4 / m2 ** 2 - 3) + 6) * (n - 1) / ((n - 2) * (n - 3)).
    NaN with fewer than 4 returns or when they do not vary."""
    moments = _moments(returns, 4, 4)
    if moments is None:
        return float("nan")
    n, m2, m4 = moments
    return ((n + 1) * (m4 / m2 ** 2 - 3.0) + 6.0) * (n - 1) / ((n - 2) * (n - 3))


def _moments(returns: pd.Series, least: int, k: int) -> Optional[Tuple[int, float, float]]:
    """(n, m2, m_k) of the known returns; None with fewer than ``least`` or when they do
    not vary."""
    x = _values(returns)
    n = len(x)
    if n < least or _flat(x):
        return None
    d = x - x.mean()
    return n, float(np.mean(d ** 2)), float(np.mean(d ** k))


@_quiet
def value_at_risk(returns: pd.Series, level: float = 0.95) -> float:
    """Historical value at risk: the (1 - level) quantile of the bar returns (linear
    interpolation between the two nearest). A return, so a loss is negative: -0.02
    at 95 % means one bar in 20 loses 2 % or more. NaN without returns."""
    x = _values(returns)
    if not len(x):
        return float("nan")
    return float(np.quantile(x, 1.0 - level))


@_quiet
def conditional_value_at_risk(returns: pd.Series, level: float = 0.95) -> float:
    """Expected shortfall: the mean of the bar returns at or below ``value_at_risk``
    (negative for a loss, at or below the VaR). NaN without returns."""
    x = _values(returns)
    if not len(x):
        return float("nan")
    return float(x[x <= np.quantile(x, 1.0 - level)].mean())


PERIODS = {"day": 252.0, "month": 12.0, "year": 1.0}


@_quiet
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
    facts = _facts(index)
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
    value curve on the same dates also ``benchmark``, its compounded return over the
    same bars (NaN for a year it has no move in), and ``excess`` = return - benchmark."""
    growth = calendar_returns(returns, "year")
    table = pd.DataFrame({"return": growth.to_numpy()},
                         index=pd.Index(growth.index.year, name="year"))
    if benchmark is not None:
        moves = bar_returns(benchmark.reindex(returns.index))
        theirs = calendar_returns(moves.fillna(0.0), "year")
        seen = moves.notna().groupby(moves.index.year).any().to_numpy()
        table["benchmark"] = np.where(seen, theirs.to_numpy(), np.nan)
        table["excess"] = table["return"] - table["benchmark"]
    return table


def _extremes(returns: pd.Series, periods: float) -> Dict[str, float]:
    """Best and worst day, month and year; NaN for a period the bars are coarser than
    (fewer bars a year than it has: weekly bars have no best day)."""
    out = {}
    for period, count in PERIODS.items():
        growth = calendar_returns(returns, period)
        usable = len(growth) and periods >= count
        out[f"best_{period}"] = float(growth.max()) if usable else float("nan")
        out[f"worst_{period}"] = float(growth.min()) if usable else float("nan")
    return out


@_quiet
def rolling_stats(returns: pd.Series, window: int, periods: float,
                  risk_free: float = 0.0) -> pd.DataFrame:
    """Annualised Sharpe ratio and volatility over the trailing ``window`` bars, as
    ``sharpe_ratio`` and ``annual_volatility`` compute them on each window; NaN
    before the first full window and Sharpe NaN on a window that does not vary."""
    if isinstance(window, (bool, np.bool_)) or not isinstance(window, (int, np.integer)) or window < 2:
        raise ValueError(f"window must be a whole number of bars, at least 2, got {window!r}")
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


def _pair(returns: pd.Series, benchmark: pd.Series) -> tuple[np.ndarray, np.ndarray]:
    """The bars on which both returns are known."""
    both = pd.concat([returns, benchmark], axis=1, join="inner").to_numpy(dtype=np.float64)
    known = np.isfinite(both).all(axis=1)
    return both[known, 0], both[known, 1]


@_quiet
def beta(returns: pd.Series, benchmark: pd.Series) -> float:
    """cov(r, b) / var(b) over the bars both have (ddof=1); NaN when the benchmark's
    returns do not vary or fewer than two bars pair up."""
    r, b = _pair(returns, benchmark)
    if len(b) < 2 or _flat(b):
        return float("nan")
    return float(np.cov(r, b, ddof=1)[0, 1] / np.var(b, ddof=1))


@_quiet
def alpha(returns: pd.Series, benchmark: pd.Series, periods: float,
          risk_free: float = 0.0) -> float:
    """Jensen's alpha, annualised by ``periods`` without compounding:
    (mean(r - rf) - beta * mean(b - rf)) * periods, with the annual ``risk_free``
    spread evenly over the periods. NaN where ``beta`` is."""
    r, b = _pair(returns, benchmark)
    slope = beta(returns, benchmark)
    rf = risk_free / periods
    return float((np.mean(r - rf) - slope * np.mean(b - rf)) * periods)


@_quiet
def correlation(returns: pd.Series, benchmark: pd.Series) -> float:
    """Pearson correlation of the paired bar returns; NaN when either does not vary."""
    r, b = _pair(returns, benchmark)
    if len(b) < 2 or _flat(r) or _flat(b):
        return float("nan")
    return float(np.corrcoef(r, b)[0, 1])


@_quiet
def tracking_error(returns: pd.Series, benchmark: pd.Series, periods: float) -> float:
    """std(r - b, ddof=1) * sqrt(periods): the annualised spread of the active return."""
    r, b = _pair(returns, benchmark)
    if len(b) < 2:
        return float("nan")
    return float(np.std(r - b, ddof=1) * math.sqrt(periods))


@_quiet
def information_ratio(returns: pd.Series, benchmark: pd.Series, periods: float) -> float:
    """mean(r - b) / std(r - b, ddof=1) * sqrt(periods); NaN when the active return
    does not vary."""
    r, b = _pair(returns, benchmark)
    if len(b) < 2 or _flat(r - b):
        return float("nan")
    active = r - b
    return float(active.mean() / np.std(active, ddof=1) * math.sqrt(periods))


@_quiet
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


def bar_returns(curve: pd.Series) -> pd.Series:
    """Bar-to-bar simple returns of a value curve, NaN where either bar is NaN (the
    first bar has none)."""
    values = curve.to_numpy(dtype=np.float64)
    out = np.full(len(values), np.nan)
    with np.errstate(all="ignore"):
        out[1:] = values[1:] / values[:-1] - 1.0
    return pd.Series(out, index=curve.index, name=curve.name)


@_quiet
def benchmark_stats(returns: pd.Series, benchmark: pd.Series, periods: float,
                    risk_free: float = 0.0) -> Dict[str, float]:
    """The benchmark's own figures (over the bars it covers) and the strategy's against it.

    ``returns`` are the strategy's bar returns, ``benchmark`` the benchmark's value
    curve on the same dates (NaN where it has no data).
    """
    curve = benchmark.dropna()
    theirs = bar_returns(benchmark)
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


class TradeFigures(NamedTuple):
    """The trade table's columns the statistics read, as arrays (one row per record)."""

    ret: np.ndarray        # return, NaN while unknown
    bars_held: np.ndarray  # whole numbers (any dtype)
    mae: np.ndarray
    gmfe: np.ndarray
    weight: np.ndarray     # signed weight at entry
    key: np.ndarray        # one integer per ticker
    short: np.ndarray
    entry: np.ndarray      # entry and exit dates as int64 in their unit (NaT's while open)
    exit: np.ndarray


NAT = np.iinfo(np.int64).min  # NaT as int64 nanoseconds


def _float(trades: pd.DataFrame, name: str) -> np.ndarray:
    return trades[name].to_numpy(dtype=np.float64)


def trade_figures(trades: pd.DataFrame, keys: Optional[np.ndarray] = None) -> TradeFigures:
    """The arrays of a trade table; ``keys`` numbers its tickers when the caller knows them
    (else they are factorised from the ``ticker`` column)."""
    if not len(trades):
        empty = np.zeros(0)
        ns = np.zeros(0, dtype=np.int64)
        return TradeFigures(empty, empty, empty, empty, empty, ns, np.zeros(0, dtype=bool), ns, ns)
    if keys is None:
        keys = pd.factorize(trades["ticker"].to_numpy())[0]
    return TradeFigures(
        ret=_float(trades, "return"), bars_held=_float(trades, "bars_held"),
        mae=_float(trades, "mae"), gmfe=_float(trades, "gmfe"), weight=_float(trades, "weight"),
        key=np.asarray(keys), short=np.asarray(trades["side"].to_numpy() == "short"),
        entry=pd.DatetimeIndex(trades["entry_date"]).asi8,
        exit=pd.DatetimeIndex(trades["exit_date"]).asi8)


def _mean(values: np.ndarray) -> float:
    """Mean of the known values (NaN skipped, as pandas does), NaN without any."""
    if not len(values):
        return float("nan")
    total = values.sum()
    if np.isnan(total):
        known = values[~np.isnan(values)]
        return float(known.sum() / len(known)) if len(known) else float("nan")
    return float(total / len(values))


def _record_stats(ret: np.ndarray, bars_held: np.ndarray, mae: np.ndarray,
                  gmfe: np.ndarray, means: bool = True) -> dict:
    known = int(np.count_nonzero(~np.isnan(ret)))
    # NaN compares false: unknown returns are neither winners nor losers.
    win, loss = ret > 0, ret <= 0
    wins, losers = ret[win], ret[loss]
    gains, lost = float(wins.sum()), float(losers.sum())
    if not known:
        profit_factor = float("nan")
    elif lost < 0:
        profit_factor = gains / -lost
    else:
        profit_factor = float("inf") if gains > 0 else float("nan")
    out = {
        "trades": len(ret),
        "win_rate": len(wins) / known if known else float("nan"),
        "profit_factor": profit_factor,
    }
    if not means:
        return out
    return {
        **out,
        "avg_win": gains / len(wins) if len(wins) else float("nan"),
        "avg_loss": lost / len(losers) if len(losers) else float("nan"),
        "avg_bars_held": _mean(bars_held),
        "avg_mae_winners": _mean(mae[win]),
        "avg_mfe_winners": _mean(gmfe[win]),
        "avg_mae_losers": _mean(mae[loss]),
        "avg_mfe_losers": _mean(gmfe[loss]),
    }


@_quiet
def trade_stats(trades: pd.DataFrame) -> dict:
    """Statistics of the trade table (one row per trade record, open ones included).

    A record is one position over one rebalance segment: a holding kept across
    rebalances is split into one record each (``split_trades_on_rebalance``), so
    these are statistics of records, not of holdings from entry to final exit.

    Open trades count with their return marked at the last bar. A winner has a
    return above 0, a loser a return of 0 or below, so the win rate and the
    share of losers add up to 1. Returns are per-trade fractions and every
    trade counts equally, whatever its size:

    - win_rate = winners / trades with a known return
    - profit_factor = sum of winners' returns / |sum of losers' returns|
      (+inf when no trade lost and some won; NaN without trades)
    - avg_win, avg_loss = mean return of winners, of losers (avg_loss <= 0)
    - avg_bars_held = mean bars held
    - avg_mae_*, avg_mfe_* = mean worst (mae) and best (gmfe) excursion of
      winners and of losers, fractions of the entry value
    """
    f = trade_figures(trades)
    return _record_stats(f.ret, f.bars_held, f.mae, f.gmfe)


@_quiet
def turnover(trades: pd.DataFrame, years: float) -> float:
    """Gross weight of the positions opened per year: sum of |weight at entry| / years.

    One-way and annualised, as a fraction of the portfolio: a gross-1 book that is
    replaced entirely every month turns over about 12 per year. A trade that
    continues a position kept across a rebalance (same ticker and side, entered
    on the bar the previous trade of the ticker ended) is not counted, nor is the
    resizing of kept positions.
    """
    if not years > 0:
        return float("nan")
    if trades.empty:
        return 0.0
    figures = trade_figures(trades)
    return _turnover(figures, *_segments(figures), years)


def _turnover(f: TradeFigures, order: np.ndarray, continues: np.ndarray, years: float) -> float:
    if not years > 0:
        return float("nan")
    return float(np.abs(f.weight[order])[~continues].sum() / years)


def group_order(key: np.ndarray, entry: np.ndarray) -> np.ndarray:
    """``np.lexsort((entry, key))``: records by ticker, then entry.  A ticker's records
    usually come in entry order already, and a stable sort of small keys is linear."""
    if len(key) and 0 <= key.min() and key.max() < 2 ** 16:
        order = np.argsort(key.astype(np.uint16), kind="stable")
        k, e = key[order], entry[order]
        if not np.any((k[1:] == k[:-1]) & (e[1:] < e[:-1])):
            return order
    return np.lexsort((entry, key))


def _segments(f: TradeFigures) -> Tuple[np.ndarray, np.ndarray]:
    """(order, continues): the records grouped by ticker and entry, and whether each
    continues the one before it (same ticker and side, entered on the bar it left: a
    position a rebalance split)."""
    order = group_order(f.key, f.entry)
    key, entry, exit_, side = f.key[order], f.entry[order], f.exit[order], f.short[order]
    continues = np.zeros(len(order), dtype=bool)
    continues[1:] = (key[1:] == key[:-1]) & (side[1:] == side[:-1]) & (entry[1:] == exit_[:-1]) \
        & (exit_[:-1] != NAT)
    return order, continues


def _holding_stats(f: TradeFigures, order: np.ndarray, continues: np.ndarray) -> dict:
    """The holdings' count, win rate, profit factor and mean bars (the ``trade_stats`` of
    ``round_trips``), without building that table."""
    first = np.flatnonzero(~continues)
    ret = (np.multiply.reduceat(1.0 + f.ret[order], first) - 1.0 if len(first)
           else np.zeros(0))
    stats = _record_stats(ret, np.zeros(0), np.zeros(0), np.zeros(0), means=False)
    # Bar counts are whole numbers: their sum is exact, in any order.
    stats["avg_bars_held"] = float(f.bars_held.sum() / len(first)) if len(first) \
        else float("nan")
    return stats


@_quiet
def round_trips(trades: pd.DataFrame) -> pd.DataFrame:
    """One row per holding: the trade records of one position joined where a rebalance
    split it (same ticker and side, the next record entering on the bar the previous one
    left).  ``return`` compounds the records' returns; ``pnl``, ``costs`` and
    ``bars_held`` add up; ``records`` counts them; ``exit_date`` and ``exit_reason`` are
    the last record's; ``mae`` is the worst and ``gmfe`` the best record's excursion
    (each measured from its own record's entry).  Ordered like the trade table: by exit,
    open holdings last."""
    extra = [c for c in ("pnl", "costs") if c in trades.columns]
    columns = ["ticker", "side", "entry_date", "exit_date", "signal_date", "weight",
               "bars_held", "return", "exit_reason", "records", "mae", "gmfe", *extra]
    if trades.empty:
        return trades.iloc[:0].assign(records=np.zeros(0, dtype=np.int64))[columns]
    order, continues = _segments(trade_figures(trades))
    first = np.flatnonzero(~continues)
    last = np.append(first[1:], len(order)) - 1
    heads, tails = order[first], order[last]

    def column(name: str) -> np.ndarray:
        return trades[name].to_numpy(dtype=np.float64)[order]

    table = trades.iloc[heads][["ticker", "side", "entry_date", "signal_date", "weight"]]
    table = table.reset_index(drop=True).assign(
        exit_date=trades["exit_date"].iloc[tails].to_numpy(),
        bars_held=np.add.reduceat(trades["bars_held"].to_numpy()[order], first),
        **{"return": np.multiply.reduceat(1.0 + column("return"), first) - 1.0},
        exit_reason=trades["exit_reason"].iloc[tails].to_numpy(),
        records=np.diff(np.append(first, len(order))),
        mae=np.minimum.reduceat(column("mae"), first),
        gmfe=np.maximum.reduceat(column("gmfe"), first),
    )
    for name in extra:
        table[name] = np.add.reduceat(column(name), first)
    table["exit_reason"] = pd.Categorical(table["exit_reason"],
                                          categories=trades["exit_reason"].cat.categories)
    ends = pd.DatetimeIndex(table["exit_date"]).asi8
    open_ = ends == NAT
    rank = np.lexsort((pd.DatetimeIndex(table["entry_date"]).asi8,
                       np.where(open_, np.iinfo(np.int64).max, ends)))
    return table.iloc[rank][columns].reset_index(drop=True)


@_quiet
def exposure(trades: pd.DataFrame, index: pd.DatetimeIndex) -> float:
    """Share of the bars of ``index`` on which at least one trade is open.

    A trade is open from its entry bar up to, not including, its exit bar;
    trades without an exit date are open to the end.
    """
    return _time_in_market(*_open_bars(trades, index), len(index))


def _open_bars(trades: pd.DataFrame, index: pd.DatetimeIndex) -> Tuple[np.ndarray, np.ndarray]:
    """Per record, the positions in ``index`` of its entry and exit (len(index) while open)."""
    if not len(index) or trades.empty:
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    exit_dates = pd.DatetimeIndex(trades["exit_date"])
    return (index.searchsorted(pd.DatetimeIndex(trades["entry_date"])),
            np.where(exit_dates.isna(), len(index), index.searchsorted(exit_dates)))


def _time_in_market(start: np.ndarray, stop: np.ndarray, n: int) -> float:
    """Share of ``n`` bars with a record open: records open on bars start..stop-1."""
    if n == 0:
        return float("nan")
    if not len(start):
        return 0.0
    opened = np.bincount(start, minlength=n + 1) - np.bincount(stop, minlength=n + 1)
    return float(np.count_nonzero(np.cumsum(opened[:n]) > 0) / n)


def live_equity(result: Any) -> pd.Series:
    """The result's equity from its first simulated date (``start``) on, without NaN.

    Bars before the first weight date only hold the starting value and would
    dilute every per-bar statistic.
    """
    equity = result.equity
    start = getattr(result, "start", None)
    if start is not None and not pd.isna(start):
        equity = equity.loc[start:]
    return equity.dropna()


def check_rate(value: Any, name: str = "risk_free") -> float:
    """An annual rate as a fraction: a finite real number above -1 and below 1 (0.04 = 4 %)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be an annual rate as a fraction (0.04 = 4 %), got "
                        f"{type(value).__name__} {value!r}")
    try:
        rate = float(value)
        shown = repr(value)
    except OverflowError:  # an integer beyond any float
        rate, shown = math.inf, f"an integer of {len(str(abs(int(value))))} digits"
    if not -1.0 < rate < 1.0:
        raise ValueError(f"{name} must be an annual rate as a fraction between -1 and 1 "
                         f"(0.04 = 4 %), got {shown}")
    return rate


class RunFigures(NamedTuple):
    """What ``summary`` reads of a result."""

    equity: pd.Series                # live_equity
    trades: TradeFigures
    holdings: bool                   # with the per-holding rows
    gross: Optional[np.ndarray]      # gross and net exposure per live bar, from the book
    net: Optional[np.ndarray]
    paid: Optional[float]            # costs paid over the live bars
    ruined: bool
    # Per record, the positions in ``equity`` of its entry and exit (len(equity) while open).
    open_bars: Tuple[np.ndarray, np.ndarray]


def run_figures(result: Any) -> RunFigures:
    """The figures of a result (a ``BacktestResult`` or an object with its attributes)."""
    trades = getattr(result, "_trades", None)
    if not isinstance(trades, pd.DataFrame):
        trades = result.trades
    gross = net = paid = None
    try:
        book, costs = result.exposure, result.costs
    except (AttributeError, ValueError):
        pass
    else:
        gross, net = _float(book, "gross"), _float(book, "net")
        paid = float(np.nansum(_float(costs, "total")))
    equity = live_equity(result)
    return RunFigures(equity=equity,
                      trades=trade_figures(trades, getattr(result, "_trade_keys", None)),
                      holdings=isinstance(trades, pd.DataFrame) and hasattr(result, "round_trips"),
                      gross=gross, net=net, paid=paid,
                      ruined=bool(getattr(result, "ruined", False)),
                      open_bars=_open_bars(trades, equity.index))


@_quiet
def summary(result: Any, risk_free: float = 0.0, benchmark: Optional[pd.Series] = None) -> pd.Series:
    """Every statistic of a backtest result as one Series (object dtype).

    Computed on ``live_equity(result)`` and the trade table. See the functions of
    this module for each formula. The index names are the keys of ``LABELS``.
    ``risk_free`` is an annual rate (fraction) for the Sharpe and Sortino ratios
    and alpha. ``benchmark`` is a benchmark value curve on the result's dates (NaN
    where it has no data), by default the result's own ``benchmark``; with one, the
    benchmark rows follow the per-bar rows (see ``benchmark_stats``). Without one
    they are left out, as is ``ruined_on`` unless the equity reached 0.

    The trade rows count trade records, one per position and rebalance segment (a
    holding kept across rebalances is a new record at each, see
    ``split_trades_on_rebalance``), not holdings from entry to final exit.
    """
    risk_free = check_rate(risk_free)
    if benchmark is None:
        benchmark = getattr(result, "benchmark", None)
    return figures_summary(run_figures(result), risk_free, benchmark)


@_quiet
def figures_summary(fig: RunFigures, risk_free: float = 0.0,
                    benchmark: Optional[pd.Series] = None) -> pd.Series:
    """``summary`` of a result's figures (``risk_free`` already checked)."""
    equity = fig.equity
    returns = equity.pct_change().iloc[1:]
    periods = periods_per_year(equity.index)
    depth, peak, trough, recovery = max_drawdown(equity)
    growth = cagr(equity)
    years = (
        (equity.index[-1] - equity.index[0]) / pd.Timedelta(days=_DAYS_PER_YEAR)
        if len(equity) > 1 else float("nan")
    )
    values = {
        "start": equity.index[0] if len(equity) else pd.NaT,
        "end": equity.index[-1] if len(equity) else pd.NaT,
        "total_return": total_return(equity),
        "cagr": growth,
        "annual_volatility": annual_volatility(returns, periods),
        "sharpe": sharpe_ratio(returns, periods, risk_free),
        "sortino": sortino_ratio(returns, periods, risk_free),
        "max_drawdown": depth,
        "max_drawdown_peak": peak,
        "max_drawdown_trough": trough,
        "max_drawdown_recovery": recovery,
        "calmar": calmar_ratio(growth, depth),
        "skew": skewness(returns),
        "kurtosis": kurtosis(returns),
        "var_95": value_at_risk(returns, 0.95),
        "cvar_95": conditional_value_at_risk(returns, 0.95),
    }
    values.update(_extremes(returns, periods))
    names = list(LABELS)
    if isinstance(benchmark, pd.Series):
        curve = benchmark.reindex(equity.index)
        values.update(benchmark_stats(returns, curve, periods, risk_free))
    else:
        names = [n for n in names if n not in BENCHMARK_NAMES]
    f = fig.trades
    values.update(_record_stats(f.ret, f.bars_held, f.mae, f.gmfe))
    order, continues = _segments(f)
    values["turnover"] = _turnover(f, order, continues, years)
    values["exposure"] = _time_in_market(*fig.open_bars, len(equity))
    book = _book_stats(fig, order, continues)
    values.update(book)
    names = [n for n in names if n not in BOOK_NAMES or n in book]
    if fig.ruined:
        values["ruined_on"] = equity.index[-1]
    else:
        names.remove("ruined_on")
    return pd.Series(values, index=names, dtype=object, name="stats")


# name -> (label, kind); kind picks the text form in format_summary.
LABELS = {
    "start": ("Start", "date"),
    "end": ("End", "date"),
    "total_return": ("Total return", "pct"),
    "cagr": ("CAGR", "pct"),
    "annual_volatility": ("Annual volatility", "pct"),
    "sharpe": ("Sharpe ratio", "ratio"),
    "sortino": ("Sortino ratio", "ratio"),
    "max_drawdown": ("Max drawdown", "pct"),
    "max_drawdown_peak": ("Max drawdown peak", "date"),
    "max_drawdown_trough": ("Max drawdown trough", "date"),
    "max_drawdown_recovery": ("Max drawdown recovery", "recovery"),
    "calmar": ("Calmar ratio", "ratio"),
    "skew": ("Skew", "ratio"),
    "kurtosis": ("Excess kurtosis", "ratio"),
    "var_95": ("VaR 95 % (one bar)", "pct"),
    "cvar_95": ("CVaR 95 % (one bar)", "pct"),
    "best_day": ("Best day", "pct"),
    "worst_day": ("Worst day", "pct"),
    "best_month": ("Best month", "pct"),
    "worst_month": ("Worst month", "pct"),
    "best_year": ("Best year", "pct"),
    "worst_year": ("Worst year", "pct"),
    # Only with a benchmark.
    "benchmark_total_return": ("Benchmark total return", "pct"),
    "benchmark_cagr": ("Benchmark CAGR", "pct"),
    "benchmark_max_drawdown": ("Benchmark max drawdown", "pct"),
    "alpha": ("Alpha (annual)", "pct"),
    "beta": ("Beta", "ratio"),
    "correlation": ("Correlation", "ratio"),
    "tracking_error": ("Tracking error", "pct"),
    "information_ratio": ("Information ratio", "ratio"),
    "up_capture": ("Up capture", "ratio"),
    "down_capture": ("Down capture", "ratio"),
    # Per trade record: one per position and rebalance segment, not per holding.
    "trades": ("Trades", "int"),
    "win_rate": ("Win rate (per record)", "pct"),
    "profit_factor": ("Profit factor (records)", "ratio"),
    "avg_win": ("Average win (per record)", "pct"),
    "avg_loss": ("Average loss (per record)", "pct"),
    "avg_bars_held": ("Average bars per record", "float"),
    "turnover": ("Turnover (per year, resizes not counted)", "times"),
    "exposure": ("Exposure (time in market)", "pct"),
    "avg_mae_winners": ("Average MAE, winners", "pct"),
    "avg_mfe_winners": ("Average MFE, winners", "pct"),
    "avg_mae_losers": ("Average MAE, losers", "pct"),
    "avg_mfe_losers": ("Average MFE, losers", "pct"),
    # Per holding and from the engine's book, when the result has them.
    "holdings": ("Holdings (round trips)", "int"),
    "holding_win_rate": ("Win rate (per holding)", "pct"),
    "holding_profit_factor": ("Profit factor (holdings)", "ratio"),
    "avg_bars_per_holding": ("Average bars per holding", "float"),
    "avg_gross_exposure": ("Average gross exposure", "pct"),
    "avg_net_exposure": ("Average net exposure", "pct"),
    "total_costs": ("Costs paid (of capital 1.0)", "pct"),
    "return_before_costs": ("Total return before costs", "pct"),
    # Only when it happened: the result ends on that bar.
    "ruined_on": ("Equity reached 0 on", "date"),
}
BOOK_NAMES = ("holdings", "holding_win_rate", "holding_profit_factor", "avg_bars_per_holding",
              "avg_gross_exposure", "avg_net_exposure", "total_costs", "return_before_costs")
BENCHMARK_NAMES = ("benchmark_total_return", "benchmark_cagr", "benchmark_max_drawdown", "alpha",
                   "beta", "correlation", "tracking_error", "information_ratio", "up_capture",
                   "down_capture")


def _book_stats(fig: RunFigures, order: np.ndarray, continues: np.ndarray) -> dict:
    """Per holding (round trip) and from the engine's book (exposure, costs), when the
    result has them.

    - holdings, holding_win_rate, holding_profit_factor, avg_bars_per_holding: the trade
      statistics of ``result.round_trips()`` (a holding kept across rebalances counts once)
    - avg_gross_exposure, avg_net_exposure: mean of ``result.exposure`` gross and net
      over the live bars (fractions of equity)
    - total_costs: fees and tax paid, in units of the starting capital
    - return_before_costs: total return with the costs added back (not compounded)
    """
    out: dict = {}
    if fig.holdings:
        per = _holding_stats(fig.trades, order, continues)
        out.update(holdings=per["trades"], holding_win_rate=per["win_rate"],
                   holding_profit_factor=per["profit_factor"],
                   avg_bars_per_holding=per["avg_bars_held"])
    if fig.gross is None or fig.net is None or fig.paid is None:
        return out
    equity = fig.equity
    out.update(avg_gross_exposure=_mean(fig.gross), avg_net_exposure=_mean(fig.net),
               total_costs=fig.paid,
               return_before_costs=total_return(equity) + fig.paid / float(equity.iloc[0])
               if len(equity) else float("nan"))
    return out


def _text(value: Any, kind: str) -> str:
    if value is None or (not isinstance(value, str) and pd.isna(value)):
        return "not yet" if kind == "recovery" else "n/a"
    if kind in ("date", "recovery"):
        return pd.Timestamp(value).strftime("%Y-%m-%d")
    if kind == "int":
        return f"{int(value):,}"
    value = float(value)
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if kind == "pct":
        return f"{value:.2%}"
    if kind == "times":
        return f"{value:.2f}x"
    if kind == "float":
        return f"{value:.1f}"
    return f"{value:.2f}"


def format_summary(stats: pd.Series) -> pd.Series:
    """The summary as readable text, indexed by label: percentages, dates, ratios.

    A drawdown not recovered by the end reads "not yet"; any other missing
    value (a recovery without a drawdown too) "n/a".
    """
    rows = {}
    fell = stats.get("max_drawdown", 0.0) < 0
    for name, value in stats.items():
        label, kind = LABELS.get(name, (str(name), "float"))
        # Nothing to recover from without a drawdown.
        rows[label] = _text(value, kind if fell or kind != "recovery" else "date")
    return pd.Series(rows, dtype=object, name="value")
