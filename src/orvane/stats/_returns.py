"""Per-bar returns and their risk: bars a year, growth, volatility, Sharpe and Sortino
ratios, higher moments and tail losses, each a pure function of an equity curve or its
returns.  The other statistics modules build on this one.
"""

from __future__ import annotations

import functools
import math
import re
import warnings
from typing import Any, Callable, Dict, List, Optional, Tuple, TypeVar, cast

import numpy as np
import pandas as pd

from orvane._checks import Bounds, check_real, shown
from orvane import _native

from orvane._calendar import FREQUENCIES

DAYS_PER_YEAR = 365.25

F = TypeVar("F", bound=Callable[..., Any])


def quiet(func: F) -> F:
    """Extreme curves (a ruined book, overflowing prices) give inf or NaN statistics, as
    documented, never NumPy's floating-point warnings."""
    @functools.wraps(func)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        with np.errstate(all="ignore"):
            return func(*args, **kwargs)
    return cast(F, wrapper)


# Standard bar frequencies a median spacing snaps to: bars a year -> spacing in days.
_STANDARD = {52.0: 7.0, 12.0: DAYS_PER_YEAR / 12, 4.0: DAYS_PER_YEAR / 4, 1.0: DAYS_PER_YEAR}
_SNAP = 0.15
# Bars counted over the years below this share of the spacing's rate: gaps that are no bars.
_GAPS = 0.8
_COUNT_SNAP = 0.05


@quiet
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
    - any other spacing: 365.25 days / median spacing, unless the bars counted
      over the elapsed years (``(len - 1) / years``) fall below 80 % of that.
      Then the data has gaps that are not bars (nights between sessions,
      weekends between every-other-day bars) and the count decides: hourly bars
      of a 7-hour session give 7 x 252 = 1,764, not 8,766; bars every other
      trading day about 126, not 182.6.  A count within 5 % of 252, 52, 12, 4
      or 1 snaps to it.

    Fewer than two dates give NaN.
    """
    index = pd.DatetimeIndex(index)
    facts = index_facts(index)
    if "periods" not in facts:
        facts["periods"] = _periods_per_year(index)
    return facts["periods"]


# What the dates of an index give, by the index's content: a sweep's runs share their
# dates.  Found by comparing the dates byte for byte (a memcmp, far cheaper than a hash).
_FACTS: List[Tuple[str, np.ndarray, Dict[str, Any]]] = []
_FACTS_KEPT = 8


def index_facts(index: pd.DatetimeIndex) -> Dict[str, Any]:
    # The dtype names the unit and the time zone the integers are read in.
    kind, dates = str(index.dtype), np.ascontiguousarray(index.asi8)
    for at, (seen_kind, seen, facts) in enumerate(_FACTS):
        if seen_kind == kind and len(seen) == len(dates) and _native.same_bytes(seen.data, dates.data):
            _FACTS.insert(0, _FACTS.pop(at))
            return facts
    kept = dates.copy()
    kept.setflags(write=False)
    facts = {}
    _FACTS.insert(0, (kind, kept, facts))
    del _FACTS[_FACTS_KEPT:]
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
    by_spacing = DAYS_PER_YEAR / days
    years = (index[-1] - index[0]) / pd.Timedelta(days=DAYS_PER_YEAR)
    counted = (len(index) - 1) / years
    # The median spacing counts nights and weekends as bars; the count does not.
    if counted >= _GAPS * by_spacing:
        return by_spacing
    for periods in (252.0, *_STANDARD):
        if abs(counted / periods - 1.0) <= _COUNT_SNAP:
            return periods
    return float(counted)


@quiet
def total_return(equity: pd.Series) -> float:
    """Last value / first value - 1; NaN for an empty curve."""
    values = _values(equity)
    if not len(values):
        return float("nan")
    return float(values[-1] / values[0] - 1.0)


@quiet
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
    years = (equity.index[last] - equity.index[first]) / pd.Timedelta(days=DAYS_PER_YEAR)
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


@quiet
def annual_volatility(returns: pd.Series, periods: float) -> float:
    """Sample standard deviation of the returns (ddof=1) times sqrt(periods per year)."""
    values = _values(returns)
    if len(values) < 2:
        return float("nan")
    return float(values.std(ddof=1) * math.sqrt(periods))


@quiet
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


@quiet
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




def psr(sharpe: np.ndarray, bars: np.ndarray, skew: np.ndarray, kurt: np.ndarray,
        threshold: float = 0.0) -> np.ndarray:
    """Probabilistic Sharpe ratio of per-bar Sharpe ratios measured over ``bars`` returns
    with population skewness and (non-excess) kurtosis:
    Z[(SR - SR0) * sqrt(T - 1) / sqrt(1 - skew * SR + (kurt - 1) / 4 * SR**2)], Z the
    standard normal CDF; NaN for fewer than 2 bars or moments no distribution has."""
    with np.errstate(all="ignore"):
        spread = 1.0 - skew * sharpe + (kurt - 1.0) / 4.0 * sharpe ** 2
        z = (sharpe - threshold) * np.sqrt(bars - 1.0) / np.sqrt(spread)
    z = np.where((spread > 0) & (bars >= 2), z, np.nan)
    # erfc keeps the lower tail's relative precision, where 1 + erf(x) would cancel.
    return np.array([0.5 * math.erfc(-v / math.sqrt(2.0)) for v in np.ravel(z)]).reshape(np.shape(z))


@quiet
def probabilistic_sharpe_ratio(returns: pd.Series, periods: float, risk_free: float = 0.0,
                               threshold: float = 0.0) -> float:
    """The probability that the true annual Sharpe ratio exceeds ``threshold``, from the
    per-bar Sharpe ratio of the excess returns (as ``sharpe_ratio``, before annualising),
    their skewness and kurtosis (population moments m3 / m2**1.5, m4 / m2**2) and their
    number (``psr``).  A long sample with a high Sharpe ratio is near 1; a short or
    fat-tailed one with the same Sharpe ratio lower.  NaN with fewer than 2 returns or
    when they do not vary."""
    return _probabilistic_sharpe_ratio(
        check_series(returns, "returns", "returns"), check_periods(periods), check_rate(risk_free),
        check_real(threshold, "threshold", what="an annual Sharpe ratio"))


@quiet
def _probabilistic_sharpe_ratio(returns: pd.Series, periods: float, risk_free: float,
                                threshold: float = 0.0) -> float:
    excess = _values(returns) - risk_free / periods
    n = len(excess)
    if n < 2 or flat(excess):
        return float("nan")
    d = excess - excess.mean()
    d2 = d * d
    m2 = float(np.mean(d2))
    sharpe = float(excess.mean()) / math.sqrt(m2 * n / (n - 1))
    out = psr(np.array(sharpe), np.array(float(n)), np.array(float(np.mean(_power(d, d2, 3))) / m2 ** 1.5),
              np.array(float(np.mean(_power(d, d2, 4))) / m2 ** 2), threshold / math.sqrt(periods))
    return float(out)


def flat(values: np.ndarray) -> bool:
    # Summing equal values can miss their mean by an ulp: test equality, not the variance.
    return bool(values.max() == values.min())


@quiet
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


@quiet
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
    if n < least or flat(x):
        return None
    d = x - x.mean()
    d2 = d * d
    return n, float(np.mean(d2)), float(np.mean(_power(d, d2, k)))


def _power(d: np.ndarray, d2: np.ndarray, k: int) -> np.ndarray:
    """d ** k for k 3 or 4 as products: NumPy's power of an array by 3 or 4 calls pow per
    value, 60 times slower (and a sweep computes these after every run)."""
    return d2 * d if k == 3 else d2 * d2


@quiet
def value_at_risk(returns: pd.Series, level: float = 0.95) -> float:
    """Historical value at risk: the (1 - level) quantile of the bar returns (linear
    interpolation between the two nearest). A return, so a loss is negative: -0.02
    at 95 % means one bar in 20 loses 2 % or more. NaN without returns."""
    return tail_risk(returns, level)[0]


@quiet
def conditional_value_at_risk(returns: pd.Series, level: float = 0.95) -> float:
    """Expected shortfall: the mean of the bar returns at or below ``value_at_risk``
    (negative for a loss, at or below the VaR). NaN without returns."""
    return tail_risk(returns, level)[1]


@quiet
def tail_risk(returns: pd.Series, level: float = 0.95) -> Tuple[float, float]:
    """(``value_at_risk``, ``conditional_value_at_risk``) from one quantile."""
    x = _values(returns)
    if not len(x):
        return float("nan"), float("nan")
    var = np.quantile(x, 1.0 - level)
    return float(var), float(x[x <= var].mean())


def bar_returns(curve: pd.Series) -> pd.Series:
    """Bar-to-bar simple returns of a value curve, NaN where either bar is NaN (the
    first bar has none)."""
    values = curve.to_numpy(dtype=np.float64)
    out = np.full(len(values), np.nan)
    with np.errstate(all="ignore"):
        out[1:] = values[1:] / values[:-1] - 1.0
    return pd.Series(out, index=curve.index, name=curve.name)


def equity_returns(equity: pd.Series) -> pd.Series:
    """Bar-to-bar simple returns of an equity curve, from its second bar on.

    The first bar has no bar before it, so it has no return: it is left out, not given
    0.0 (which would count as a flat bar in every mean, deviation and quantile).  So the
    statistics of ``summary`` and NumPy's or pandas' own on these returns agree.
    """
    values = equity.to_numpy(dtype=np.float64)
    with np.errstate(all="ignore"):
        out = values[1:] / values[:-1] - 1.0
    # bar_returns(equity).iloc[1:] as one Series (a sweep's every run computes it).
    return pd.Series(out, index=equity.index[1:], name="returns")


_RATE = Bounds(-1.0, 1.0, low_open=True, high_open=True)


def check_rate(value: Any, name: str = "risk_free") -> float:
    """An annual rate as a fraction: a finite real number above -1 and below 1 (0.04 = 4 %)."""
    return check_real(value, name, _RATE, what="an annual rate as a fraction",
                      hint=": 0.04 means 4 %")


_PERIODS = Bounds(0.0, low_open=True)


def check_periods(value: Any) -> float:
    """Bars a year: a positive finite number, or NaN, what ``periods_per_year`` gives for
    fewer than two dates (the statistics are then NaN)."""
    if isinstance(value, (float, np.floating)) and math.isnan(value):
        return float("nan")
    return check_real(value, "periods", _PERIODS, what="a number of bars a year")


def check_series(value: Any, name: str, what: str, *, dated: bool = False) -> pd.Series:
    """A Series as the statistics take it: ``dated``, on a DatetimeIndex (calendar windows
    are read from it); one value per date, so that it can be aligned on another."""
    if not isinstance(value, pd.Series):
        raise TypeError(f"{name} must be a pandas Series of {what} on dates, got "
                        f"{type(value).__name__} {shown(value, 60)}")
    if dated and not isinstance(value.index, pd.DatetimeIndex):
        raise TypeError(f"{name} must be a pandas Series of {what} on dates, got one on "
                        f"{type(value.index).__name__}")
    if value.index.has_duplicates:
        twice = value.index[value.index.duplicated()]
        raise ValueError(f"{name} must have one value per date, got {_when(twice[0])} "
                         f"twice ({len(twice)} repeated dates): drop or combine them")
    return value


def _when(date: Any) -> str:
    return f"{date:%Y-%m-%d}" if isinstance(date, pd.Timestamp) and date == date.normalize() \
        else str(date)


