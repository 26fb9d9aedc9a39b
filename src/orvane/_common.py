"""What the readers of user data (``io`` and ``inputs``) share: how offending values are
shown in a message, what counts as a missing label, and the dates the engine's clock holds;
and how a sum of money, a fraction and a value per ticker read in a label."""

from __future__ import annotations

from typing import Any, Iterable, Optional

import pandas as pd
from pandas.api import types as ptypes

__all__ = ["SHOWN", "show", "day", "is_missing", "period_dates", "money", "percent",
           "per_ticker", "CLOCK_FIRST", "CLOCK_LAST"]

SHOWN = 5  # offending values shown in a message

# The engine's clock counts nanoseconds in 64 bits.
CLOCK_FIRST, CLOCK_LAST = pd.Timestamp("1677-09-22"), pd.Timestamp("2262-04-11")


def show(values: Iterable[Any], limit: int = SHOWN, total: Optional[int] = None) -> str:
    """The first ``limit`` values as ``[a, b, ... (n in all)]``."""
    values = list(values)
    total = len(values) if total is None else total
    text = ", ".join(str(v) for v in values[:limit])
    if total > limit:
        text += f", ... ({total} in all)"
    return "[" + text + "]"


def day(value: Any) -> str:
    """A date as a message shows it: the day alone when it has no time of day."""
    try:
        ts = pd.Timestamp(value)
    except (TypeError, ValueError, OverflowError):
        return str(value)
    if ts is pd.NaT:
        return "NaT"
    return str(ts.date()) if ts == ts.normalize() and ts.tz is None else str(ts)


def is_missing(value: Any) -> bool:
    """None, NaN, NaT, NA or the empty string: no label at all."""
    return value is None or (ptypes.is_scalar(value) and bool(pd.isna(value))) or value == ""


_DAY = pd.Timedelta(days=1)


def period_dates(values: Any) -> Optional[pd.DatetimeIndex]:
    """Periods -> the dates they are known at, or None for values that are not periods.

    A period label means "known when the period ends": a period of a day or longer is its
    last day, so a September weight counts from September's last bar and trades on the
    first bar after it; a shorter one (an hour) is its last instant.  Its first day would
    trade a month's signal on the month's third bar.
    """
    if isinstance(values, pd.PeriodIndex):
        periods = list(values)
    elif isinstance(values, pd.Index) and values.inferred_type == "period":
        periods = [v for v in values]
    else:
        return None
    dates = [p.asfreq("D", how="end").to_timestamp() if p.end_time - p.start_time >= _DAY * 0.99
             else p.end_time for p in periods]
    return pd.DatetimeIndex(dates)


_MONEY_UNITS = ((1e12, "T"), (1e9, "B"), (1e6, "M"), (1e3, "k"))


def money(value: Optional[float]) -> str:
    """A sum of money as a label reads it, three digits at most: 1M, 21.1M, 1.5B; None (a
    capital never reached) in words."""
    if value is None:
        return "beyond the capitals tried"
    for size, unit in _MONEY_UNITS:
        if abs(value) >= size * 0.9995:
            return f"{value / size:.3g}{unit}"
    return f"{value:.3g}"


def percent(value: float) -> str:
    """A fraction as a setting reads it: 0.001425 -> "0.1425 %", 0.01 -> "1 %"."""
    return f"{value * 100 + 0.0:.4g} %"


def per_ticker(values: pd.Series, unit: str = "") -> str:
    """Values per ticker grouped by value, the most frequent first, with the tickers of
    the rare ones named: "per ticker: 86 at 1 %, 2 at 15 % (S0017, S0042)"."""
    known = values.dropna()
    if not len(known):
        return "per ticker: none"
    groups = known.groupby(known.to_numpy()).apply(lambda g: list(g.index))
    order = sorted(groups.items(), key=lambda kv: (-len(kv[1]), kv[0]))
    parts = []
    for k, (value, names) in enumerate(order):
        if k == SHOWN:
            parts.append(f"{sum(len(n) for _, n in order[k:])} at other values")
            break
        part = f"{len(names)} at {percent(float(value))}{unit}"
        if k and len(names) <= 3:
            part += f" ({', '.join(str(n) for n in names)})"
        parts.append(part)
    return "per ticker: " + ", ".join(parts)
