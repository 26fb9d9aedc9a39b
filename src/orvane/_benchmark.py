"""The ``benchmark`` option: a price or return Series -> the benchmark's value on a result's
live bars.  ``backtest`` reads a ticker's close into a price Series before it gets here; the
result, its statistics, charts and report all align through ``align``.
"""

from __future__ import annotations

import warnings
from typing import Any, List, Mapping, NamedTuple, Optional, Tuple, Union

import numpy as np
import pandas as pd

from orvane._clock import Clock, check_dates, check_values
from orvane.stats._returns import periods_per_year

__all__ = ["FORMS", "Aligned", "check", "read", "align", "resolve", "describe"]

FORMS = ("prices", "returns")


class Aligned(NamedTuple):
    """A benchmark already aligned on a result's live bars (what ``resolve`` returned):
    passed on as it is, so one report reads and warns about its benchmark once."""

    curve: Optional[pd.Series]


Benchmark = Union[None, str, pd.Series, Mapping[str, pd.Series], Aligned]

_WHAT = ("benchmark must be a ticker of prices, a Series of prices or returns, or "
         "{'prices': series} / {'returns': series}")


def _show_dates(dates: pd.DatetimeIndex) -> str:
    return ", ".join(str(d.date()) if d == d.normalize() else str(d) for d in dates[:5])


def _unpack(value: Any) -> Tuple[pd.Series, Optional[str]]:
    """(series, explicit form or None) from a Series or a one-key mapping."""
    if isinstance(value, pd.Series):
        return value, None
    if isinstance(value, Mapping):
        keys = list(value)
        if len(keys) != 1 or keys[0] not in FORMS or not isinstance(value[keys[0]], pd.Series):
            raise ValueError(f"{_WHAT}; got a mapping with keys {keys!r}")
        return value[keys[0]], keys[0]
    raise TypeError(f"{_WHAT}; got {type(value).__name__} {value!r}"[:300])


def read(value: Any) -> Tuple[pd.Series, str, List[str]]:
    """(float Series on sorted dates, "prices" or "returns", notes) from a Series or mapping.

    A plain Series is read from its values: returns when some value is 0 or below (prices
    are positive) and all lie in [-1, 1); prices when all are positive and some reaches 1
    (returns that never fall yet once double are no benchmark).  Values all between 0 and
    1, or 0 and below mixed with 1 and above, could be either and are refused.
    """
    series, form = _unpack(value)
    dates, order = check_dates(series.index, "benchmark")
    values = check_values(series.to_frame("benchmark"), "benchmark")[:, 0]
    notes = []
    if order is not None:
        values = values[order]
        notes.append("benchmark: dates were not in ascending order and have been sorted")
    if np.isinf(values).any():
        bad = dates[np.isinf(values)]
        raise ValueError(f"benchmark must be finite, got infinite values on [{_show_dates(bad)}]")
    known = values[~np.isnan(values)]
    if not len(known):
        raise ValueError("benchmark holds no values (every one is NaN)")
    low, high = float(known.min()), float(known.max())
    if form is None:
        if low <= 0 and -1 <= low and high < 1:
            form = "returns"
        elif low > 0 and high >= 1:
            form = "prices"
        else:
            raise ValueError(
                f"benchmark values run from {low:g} to {high:g}: they could be prices or "
                "returns; pass benchmark={'prices': series} or benchmark={'returns': series}")
    if form == "prices" and low <= 0:
        bad = dates[values <= 0]
        raise ValueError(f"benchmark prices must be positive, got values at or below 0 on "
                         f"[{_show_dates(bad)}]")
    if form == "returns":
        if low < -1:
            bad = dates[values < -1]
            raise ValueError(f"benchmark returns must be -1 (a total loss) or above, got lower "
                             f"values on [{_show_dates(bad)}]")
        # A leading NaN is the first bar of a pct_change; a later one is a lost move.
        first = int(np.flatnonzero(~np.isnan(values))[0])
        dates, values = dates[first:], values[first:]
        if np.isnan(values).any():
            bad = dates[np.isnan(values)]
            raise ValueError(f"benchmark returns have NaN after their first value, on "
                             f"[{_show_dates(bad)}]: a missing return cannot be filled; pass "
                             "prices, or drop those dates if nothing moved there")
    return pd.Series(values, index=dates, name="benchmark"), form, notes


def check(value: Any) -> Any:
    """The option's check: a copy of a valid value (a Series is read in full here, so a bad
    one is refused before the run; a ticker is checked against the prices later)."""
    if value is None:
        return None
    if isinstance(value, str):
        if not value:
            raise ValueError(f"{_WHAT}; got an empty ticker")
        return value
    read(value)
    series, form = _unpack(value)
    return series.copy() if form is None else {form: series.copy()}


def describe(value: Any) -> str:
    """The setting as the report shows it."""
    if isinstance(value, str):
        return value
    if isinstance(value, Mapping):
        form = next(iter(value))
        series = value[form]
        named = getattr(series, "name", None)
        return f"{named} ({form})" if named is not None and str(named) else f"benchmark ({form})"
    if isinstance(value, pd.Series):
        # A Series is known by its name ("EW", "SPY"); without one it is just the benchmark.
        return str(value.name) if value.name is not None and str(value.name) else "benchmark"
    return "none"


def align(value: Any, dates: pd.DatetimeIndex, price_dates: Optional[pd.DatetimeIndex] = None
          ) -> Tuple[pd.Series, List[str]]:
    """The benchmark's value on ``dates`` (1.0 on its first bar there) and notes on coverage.

    Dates meet as the prices' dates meet the weights' (``Clock``: calendar dates on
    daily bars).  A bar takes the benchmark's last value at or before it when that value is
    new (dated after the bar before), so moves on dates between two bars fall into the later
    bar.  A bar with no new value is NaN, not the previous value: a benchmark sparser than
    the bars (weekly closes against daily bars) would otherwise read "no move" on four bars
    in five.  Its statistics then pair the two series on the bars it holds (a note says
    so).  Returns are compounded into a price path whose base (1.0) is the bar before their
    first date.  Bars before the benchmark's first date or after its last are NaN.
    """
    series, form, notes = read(value)
    clock = Clock(price_dates if price_dates is not None else dates)
    mine = clock.key(dates, "prices")
    keys = clock.key(series.index, "benchmark")
    raw, _ = _unpack(value)
    if isinstance(raw.index, pd.PeriodIndex) and len(keys):
        bars = clock.period_bars(keys, series.index, raw.index.freq)
        keys = np.where(bars >= 0, clock.keys[np.maximum(bars, 0)], keys)
    if len(keys) > 1 and not np.all(keys[1:] > keys[:-1]):
        twice = series.index[1:][keys[1:] == keys[:-1]]
        raise ValueError(f"benchmark has several values on one day ([{_show_dates(twice)}]), "
                         "and the prices one bar a day; give one value a day")
    level = series.to_numpy()
    if form == "returns":
        with np.errstate(all="ignore"):
            level = np.cumprod(1.0 + level)
        if np.isinf(level).any():
            when = series.index[np.isinf(level)][:1]
            raise ValueError(f"benchmark returns compound beyond any price by "
                             f"{_show_dates(when)}: give returns of one bar each, as fractions "
                             "(0.05 = 5 %)")
        before = np.flatnonzero(mine < keys[0])
        if len(before):
            keys = np.concatenate([mine[before[-1:]], keys])
            level = np.concatenate([[1.0], level])
    known = ~np.isnan(level)
    keys, level = keys[known], level[known]
    at = np.searchsorted(keys, mine, side="right") - 1
    inside = (at >= 0) & (mine <= keys[-1])
    values = np.where(inside, level[np.maximum(at, 0)], np.nan)
    covered = np.flatnonzero(inside)
    if len(covered) < 2:
        span = f"{_show_dates(series.index[:1])} to {_show_dates(series.index[-1:])}"
        raise ValueError(f"benchmark covers {span}, which leaves fewer than two of the "
                         f"result's bars ({_show_dates(dates[:1])} to {_show_dates(dates[-1:])})")
    if values[covered[0]] == 0:
        # Only returns get here (prices are positive): every later move would be 0 / 0.
        lost = series.index[series.to_numpy() <= -1]
        raise ValueError(f"benchmark must be worth something on its first bar in the result, "
                         f"{_show_dates(dates[covered[:1]])}, got returns reaching -1 (a total "
                         f"loss) on {_show_dates(lost[:1])}; returns are fractions (-0.01 = -1 %), "
                         "or start the benchmark after that date")
    with np.errstate(all="ignore"):
        values = values / values[covered[0]]
    stale = np.zeros(len(dates), dtype=bool)
    stale[covered[1:]] = at[covered[1:]] == at[covered[1:] - 1]
    if stale.any():
        values[stale] = np.nan
        held = dates[~np.isnan(values)]
        notes.append(
            f"benchmark has a value of its own on {len(held)} of the {len(covered)} bars it "
            f"spans: benchmark statistics use the calendar of those {len(held)} dates "
            f"({periods_per_year(held):.4g} a year), the strategy's returns compounded between "
            "them, not the bars' calendar on which the missing dates would read as no move")
    if covered[0] > 0:
        notes.append(f"benchmark starts on {_show_dates(dates[covered[:1]])}, after the result's "
                     f"first bar {_show_dates(dates[:1])}: benchmark statistics cover the bars "
                     "from then on")
    if covered[-1] < len(dates) - 1:
        notes.append(f"benchmark ends on {_show_dates(dates[covered[-1:]])}, before the result's "
                     f"last bar {_show_dates(dates[-1:])}: benchmark statistics cover the bars "
                     "up to then")
    return pd.Series(values, index=dates, name="benchmark"), notes


def filled(curve: pd.Series) -> pd.Series:
    """``align``'s curve with each bar inside its span carrying the last value at or before
    it (what a chart shows; the statistics read the gaps)."""
    return curve.ffill().where(curve.bfill().notna())


def own(result: Any) -> Optional[pd.Series]:
    """A result's own benchmark as ``align`` left it (NaN on bars without a value of their
    own), or its public ``benchmark`` when it keeps no other."""
    curve = getattr(result, "_benchmark", None)
    if not isinstance(curve, pd.Series):
        curve = getattr(result, "benchmark", None)
    return curve.copy() if isinstance(curve, pd.Series) else None


def resolve(result: Any, value: Benchmark) -> Optional[pd.Series]:
    """The benchmark curve a result's statistics, charts and report use: the run's own when
    ``value`` is None, else ``value`` aligned on the result's live bars (coverage notes are
    emitted as warnings)."""
    if isinstance(value, Aligned):
        return value.curve
    if value is None:
        return own(result)
    if isinstance(value, str):
        setting = (getattr(result, "settings", None) or {}).get("benchmark")
        # The run's own setting may be a Series: compare only a ticker with a ticker.
        if isinstance(setting, str) and setting == value:
            return own(result)
        raise ValueError(f"benchmark {value!r}: a ticker is read from the prices by "
                         f"orvane.backtest(..., benchmark={value!r}); here pass a Series")
    dates = result.equity.index
    full = getattr(result, "full_equity", None)
    curve, notes = align(value, dates, full.index if isinstance(full, pd.Series) else None)
    for note in notes:
        warnings.warn(note, UserWarning, stacklevel=3)
    return curve
