"""Dates, labels and the trading-day clock: any index pandas reads as dates -> sorted
nanosecond stamps inside the engine's clock, ticker labels checked, values as numbers, and
the clock on which weights, prices and side series meet (calendar dates on daily bars).
"""

from __future__ import annotations

import difflib
from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from orvane._common import CLOCK_FIRST, CLOCK_LAST, SHOWN, period_dates
from orvane._common import day as _day, is_missing as _missing, show as _show

__all__ = ["Clock", "check_dates", "check_labels", "check_values", "outside_clock",
           "unknown_tickers_error"]

def check_dates(index: Any, name: str) -> Tuple[pd.DatetimeIndex, Optional[np.ndarray]]:
    """Any index pandas parses to dates -> (DatetimeIndex, order) with order None when sorted.

    Duplicates and missing dates are errors; numbers are refused because pandas would read
    them as nanoseconds since 1970.
    """
    if isinstance(index, pd.DatetimeIndex):
        dates = index
    else:
        values = pd.Index(index)
        if ptypes.is_numeric_dtype(values.dtype) or ptypes.is_bool_dtype(values.dtype):
            raise TypeError(f"{name} must be indexed by dates, got {values.dtype} values "
                            f"{_show(values)}; convert them with pd.to_datetime first")
        ends = period_dates(values)
        if ends is not None:
            dates = ends
        else:
            try:
                dates = pd.DatetimeIndex(pd.to_datetime(values))
            except pd.errors.OutOfBoundsDatetime:
                raise outside_clock(values, name) from None
            except (ValueError, TypeError, OverflowError) as exc:
                parsed = pd.to_datetime(pd.Series(values, dtype=object), errors="coerce")
                bad = values[np.asarray(parsed.isna()) & ~np.asarray(pd.isna(values))]
                shown = _show(bad) if len(bad) else str(exc)
                raise ValueError(f"{name} has dates that cannot be parsed: {shown}") from None
    if dates.hasnans:
        where = np.flatnonzero(np.asarray(dates.isna()))
        raise ValueError(f"{name} has missing dates (NaT) at positions {_show(where)}")
    if dates.has_duplicates:
        dup = dates[dates.duplicated()].unique()
        raise ValueError(f"{name} has duplicate dates: {_show(_day(d) for d in dup)}")
    order = None
    if not dates.is_monotonic_increasing:
        order = np.argsort(_ns(dates, name), kind="stable")
        dates = dates[order]
    return dates, order


def _ns(dates, name="dates"):
    """Nanoseconds since the epoch (UTC for tz-aware dates), whatever the index's unit.

    Dates the engine's clock cannot hold are refused: converting them would wrap around.
    """
    if dates.tz is not None:
        dates = dates.tz_convert(None)
    if len(dates):
        outside = dates[(dates < CLOCK_FIRST) | (dates > CLOCK_LAST)]
        if len(outside):
            raise ValueError(f"{name} has dates outside the range the engine's clock can hold "
                             f"({CLOCK_FIRST.date()} .. {CLOCK_LAST.date()}): "
                             f"{_show(_day(d) for d in outside)}")
    return np.asarray(dates, dtype="datetime64[ns]").view(np.int64)


def outside_clock(values, name):
    """The error for dates pandas itself cannot hold in nanoseconds (before pandas 2)."""
    outside = []
    for value in values:
        try:
            pd.Timestamp(value)
        except (pd.errors.OutOfBoundsDatetime, OverflowError):
            outside.append(str(value)[:10])
        except (TypeError, ValueError):
            pass
    return ValueError(f"{name} has dates outside the range the engine's clock can hold "
                      f"({CLOCK_FIRST.date()} .. {CLOCK_LAST.date()}): {_show(outside)}")


def _wall_days(dates, name):
    """The calendar day written on each date, in its own zone and never converted (ns)."""
    naive = dates.tz_localize(None) if dates.tz is not None else dates
    return _ns(naive.normalize(), name)


def _stamp_words(dates):
    naive = dates.tz_localize(None) if dates.tz is not None else dates
    times = pd.unique(np.asarray(naive - naive.normalize()))
    when = f"at {str(pd.Timedelta(times[0]))[-8:-3]}" if len(times) == 1 else "at several times of day"
    return f"{when} ({dates.tz or 'no time zone'})"


class Clock:
    """How the other dates meet the price bars.

    Daily bars (at most one a calendar date): every side's dates are read as the calendar
    dates written on them, each in its own zone and never converted, so a weight dated D
    trades on the first bar after the bar dated D whatever the time stamps say; converting
    instants could move a signal onto the very close it was computed from.  Intraday bars:
    instants are compared (aware ones in UTC).
    """

    def __init__(self, price_dates: pd.DatetimeIndex):
        self.dates = price_dates
        self.bars = _ns(price_dates, "prices")
        days = _wall_days(price_dates, "prices")
        self.daily = bool(np.all(days[1:] != days[:-1]))
        self.keys = days if self.daily else self.bars

    def key(self, dates: pd.DatetimeIndex, name: str) -> np.ndarray:
        """Keys of ``dates`` comparable with ``self.keys``."""
        _same_tz(dates, name, self.dates, "prices")
        return _wall_days(dates, name) if self.daily else _ns(dates, name)

    def period_bars(self, keys: np.ndarray, ends: pd.DatetimeIndex, freq: Any) -> np.ndarray:
        """Bars of the periods ending at ``ends`` (``keys`` their keys): each period's last
        bar, or -1 for a period without one.  What a period label stands for is that bar's
        close, not the calendar day ending it (a weekend, whose value would go to the next
        period's first bar)."""
        starts = self.key(pd.DatetimeIndex(ends.to_period(freq).start_time), "periods")
        bar = self.last_bar_at_or_before(keys)
        return np.where((bar >= 0) & (self.keys[np.maximum(bar, 0)] >= starts), bar, -1)

    def last_bar_at_or_before(self, keys: np.ndarray) -> np.ndarray:
        return np.searchsorted(self.keys, keys, side="right") - 1

    def first_bar_at_or_after(self, keys: np.ndarray) -> np.ndarray:
        return np.searchsorted(self.keys, keys, side="left")

    def weight_keys(self, wdates: pd.DatetimeIndex, notes: List[str]) -> np.ndarray:
        keys = self.key(wdates, "weights")
        if self.daily:
            mine, theirs = _stamp_words(wdates), _stamp_words(self.dates)
            if mine != theirs:
                notes.append(f"weights are stamped {mine} and prices {theirs}: on daily bars "
                             "each side's dates are read as the calendar dates written on "
                             "them, so a weight dated D trades on the first bar after the bar "
                             "dated D")
        else:
            naive = wdates.tz_localize(None) if wdates.tz is not None else wdates
            if (naive == naive.normalize()).all():
                raise ValueError(
                    "weights are dated at midnight only, but prices have several bars a day: "
                    "a midnight weight would count from the previous day's last bar whatever "
                    "data it was computed from; stamp each weight row with the time of the bar "
                    "whose data it uses (or pass daily prices)")
        return keys


def _same_tz(a, a_name, b, b_name):
    if (a.tz is None) != (b.tz is None):
        aware, naive = (a_name, b_name) if a.tz is not None else (b_name, a_name)
        raise ValueError(f"{aware} has time-zone-aware dates and {naive} naive ones; "
                         "localize or strip the time zone of one of them")


def check_labels(columns: Any, name: str) -> pd.Index:
    """Tickers as text (the engine pairs them by their text); missing and duplicate tickers
    are errors."""
    if not isinstance(columns, pd.Index):
        columns = pd.Index(list(columns), dtype=object)
    if columns.inferred_type != "string":
        missing = [i for i, c in enumerate(columns) if _missing(c)]
        if missing:
            raise ValueError(f"{name} has missing tickers (None, NaN or empty) at positions "
                             f"{_show(missing)}; every column needs a ticker name")
        try:
            columns = pd.Index([str(c) for c in columns])
        except Exception:  # a label's own __str__ failed: nothing to pair it by
            raise TypeError(f"{name} has tickers that cannot be read as text: "
                            f"{_show(type(c).__name__ for c in columns)}") from None
    else:
        # A string index still holds NaN where a label is missing (the type skips it).
        absent = np.flatnonzero(np.asarray(columns.isna()))
        if len(absent):
            raise ValueError(f"{name} has missing tickers (None, NaN or empty) at positions "
                             f"{_show(absent)}; every column needs a ticker name")
        if (columns == "").any():
            raise ValueError(f"{name} has empty tickers at positions "
                             f"{_show(np.flatnonzero(columns == ''))}; every column needs a "
                             "ticker name")
    labels = pd.Index(np.asarray(columns, dtype=object), dtype=object)
    if labels.has_duplicates:
        raise ValueError(f"{name} has duplicate tickers: {_show(labels[labels.duplicated()].unique())}")
    return labels


def check_values(frame: pd.DataFrame, name: str) -> np.ndarray:
    """Numeric columns -> one float64 array; other dtypes are refused by column."""
    dtypes = frame.dtypes
    if len(dtypes) and (dtypes == np.float64).all():
        return frame.to_numpy()
    bad = [c for c, t in dtypes.items()
           if not ptypes.is_numeric_dtype(t) or ptypes.is_bool_dtype(t) or ptypes.is_complex_dtype(t)]
    if bad:
        kinds = sorted({str(dtypes[c]) for c in bad[:SHOWN]})
        raise TypeError(f"{name} must hold numbers; columns {_show(bad)} have dtype "
                        f"{', '.join(kinds)}{_text_cells(frame, bad)}")
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def _text_cells(frame, columns):
    """The first cells of ``columns`` that are not numbers, as "T on D: 'x'"."""
    cells = []
    for c in columns:
        values = frame[c]
        if ptypes.is_bool_dtype(values.dtype):
            continue
        numbers = pd.to_numeric(values, errors="coerce")
        for date, value in values[numbers.isna() & values.notna()].head(SHOWN).items():
            when = _day(date) if isinstance(date, (pd.Timestamp, np.datetime64)) else str(date)
            cells.append(f"{c} on {when}: {value!r}")
        if len(cells) >= SHOWN:
            break
    return f"; not numbers: {_show(cells)}" if cells else ""


def unknown_tickers_error(name: str, unknown: Iterable[str], known: Iterable[str]) -> ValueError:
    """ValueError listing tickers absent from ``known``, with close matches (case ignored)."""
    lower: Dict[str, str] = {}
    for k in known:
        lower.setdefault(k.lower(), k)
    hints = []
    for t in list(unknown)[:SHOWN]:
        close = difflib.get_close_matches(t.lower(), list(lower), n=3, cutoff=0.75)
        if close:
            hints.append(f"{t} -> {' or '.join(lower[c] for c in close)}?")
    hint = ("; close matches: " + ", ".join(hints)) if hints else ""
    return ValueError(f"{name} has tickers without prices: {_show(unknown)}{hint}")
