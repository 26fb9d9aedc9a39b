"""Reading a column's values: where they came from (``Origin``, a frame passed as an argument;
``Source``, a file, and the line or row a message names), its dates by one set of rules
(``parse_dates``), its numbers and its ticker keys.  Every date column, of a file or of a
frame, goes through ``parse_dates``, so a table reads the same whichever door it comes in by.
"""

from __future__ import annotations

import csv
import datetime
import os
import pathlib
import re
import warnings
from typing import Any, Callable, Optional, Union

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from orvane._common import CLOCK_FIRST, CLOCK_LAST, day, period_dates

__all__ = ["PathLike", "PARQUET_SUFFIXES", "Origin", "Source", "AmbiguousDatesError", "first",
           "parse_dates", "numbers", "wide_numbers", "ticker_keys"]

PathLike = Union[str, "os.PathLike[str]"]

PARQUET_SUFFIXES = (".parquet", ".pq")

# The kinds of dates told apart by the first of a column; the rest must be of its kind.
_DMY = r"(\d{1,2})([/.-])(\d{1,2})\2(\d{4})"
_KINDS = {
    "integer": r"[+-]?\d+",
    "dmy": _DMY,
    # Two-digit years add a third reading (21-01-04 as 2021-01-04); they are refused.
    "short": r"\d{1,2}([/.-])\d{1,2}\1\d{2}",
}
_NUMERIC = r"[+-]?\d+|\d{1,2}[/.-]\d{1,2}[/.-]\d{2}(?:\d{2})?"  # any of them, for the other kind


# ---------------------------------------------------------------- where a value came from

class Origin:
    """Where a table comes from, and how a message points at one of its rows: a frame, named
    as the argument it was passed as, its rows counted from 0 as ``iloc`` counts them."""

    unit = "row"

    def __init__(self, name: str) -> None:
        self.name = name

    def __str__(self) -> str:
        return self.name

    def number(self, row: int) -> int:
        return row

    def at(self, row: int) -> str:
        return f"{self.unit} {self.number(row)}"

    def where(self, row: int) -> str:
        return f"{self} {self.at(row)}"


class Source(Origin):
    """A file being read: its rows by the line an editor shows (CSV), or counted from 1
    (Parquet)."""

    def __init__(self, path: PathLike) -> None:
        self.path = pathlib.Path(path)
        self.parquet = self.path.suffix.lower() in PARQUET_SUFFIXES
        self.unit = "row" if self.parquet else "line"
        super().__init__(str(self.path))

    def number(self, row: int) -> int:
        return row + 1 if self.parquet else self._line(row)

    def _line(self, row: int) -> int:
        # Only on the way to an error: the parser skips blank lines and a quoted cell may span
        # lines, so the line of a data row is found by reading the file again.
        try:
            with open(self.path, newline="", encoding="utf-8-sig", errors="replace") as handle:
                reader = csv.reader(handle)
                start, seen = 0, -1  # the header is record -1
                for record in reader:
                    if record:
                        if seen == row:
                            return start + 1
                        seen += 1
                    start = reader.line_num
        except OSError:
            pass
        return row + 2


class AmbiguousDatesError(ValueError):
    """Dates such as 03/04/2021 that read both day-first and month-first, with different days.

    ``fix`` is the advice in the message; the command line puts its own flags there.
    """

    def __init__(self, where: str, column: str, value: str, day_first: pd.Timestamp,
                 month_first: pd.Timestamp, fix: str = "pass dayfirst=True or dayfirst=False") -> None:
        self.where, self.column, self.value = where, column, value
        self.day_first, self.month_first, self.fix = day_first, month_first, fix
        super().__init__()

    def __str__(self) -> str:
        return (f"{self.where}: {self.column} {self.value!r} reads as "
                f"{self.day_first:%Y-%m-%d} day-first and {self.month_first:%Y-%m-%d} month-first, "
                f"and every date of the column reads both ways; {self.fix}, or write dates as "
                f"YYYY-MM-DD")


# ---------------------------------------------------------------- cells

def first(mask: np.ndarray) -> int:
    return int(np.argmax(mask))


def parse_dates(values: Union[pd.Series, pd.Index], source: Origin, column: str,
                dayfirst: Optional[bool] = None) -> pd.DatetimeIndex:
    """A column of dates, read by the rules every file of orvane (and every date column of a
    frame) follows.

    ``YYYY-MM-DD`` and other forms with the year first or the month in words are read as
    pandas reads them; eight-digit integers as ``yyyymmdd``; ``DD/MM/YYYY`` or
    ``MM/DD/YYYY`` (``/``, ``.`` or ``-``) day-first when ``dayfirst`` is True, month-first
    when False, and when None by the only order under which every date of the column is
    valid.  Refused, naming the file, line and value: a missing date, other integers
    (pandas would read them as nanoseconds since 1970), two-digit years, a date written
    unlike the first of its column, a date outside the range the engine's clock holds
    (1677-09-22 .. 2262-04-11), and (``AmbiguousDatesError``) dates that read both ways
    with different days.
    """
    dates = _read_dates(values, source, column, dayfirst)
    # Files read at different resolutions meet in one frame at the finest, nanoseconds:
    # a date the clock cannot hold is refused here, where its line is known.
    if len(dates):
        naive = dates.tz_convert(None) if dates.tz is not None else dates
        outside = np.asarray((naive < CLOCK_FIRST) | (naive > CLOCK_LAST))
        if outside.any():
            row = first(outside)
            raise _outside_clock(source, row, column, dates[row])
    return dates


def _outside_clock(source: Origin, row: int, column: str, day: Any) -> ValueError:
    return ValueError(f"{source.where(row)}: {column} {day:%Y-%m-%d} lies outside the dates the "
                      f"engine's clock can hold ({CLOCK_FIRST:%Y-%m-%d} .. {CLOCK_LAST:%Y-%m-%d}); "
                      "correct or remove the row")


def _calendar_day(text: str) -> Optional[datetime.date]:
    """A date written year first that pandas could not hold (before pandas 2, nothing
    outside 1677-09-21 .. 2262-04-11), or None."""
    for form in ("%Y-%m-%d", "%Y%m%d", "%Y/%m/%d"):
        try:
            return datetime.datetime.strptime(text, form).date()
        except ValueError:
            continue
    return None


def _read_dates(values: Union[pd.Series, pd.Index], source: Origin, column: str,
                dayfirst: Optional[bool]) -> pd.DatetimeIndex:
    series = pd.Series(values).reset_index(drop=True)
    if series.empty:
        return pd.DatetimeIndex([])
    missing = series.isna().to_numpy()
    if missing.any():
        raise ValueError(f"{source.where(first(missing))}: {column} is empty; every row needs a date")
    if ptypes.is_datetime64_any_dtype(series.dtype):
        return pd.DatetimeIndex(series)
    ends = period_dates(pd.Index(series))
    if ends is not None:
        return ends
    if ptypes.infer_dtype(series, skipna=False) in ("datetime", "datetime64"):
        # Timestamps held as objects (a frame's column): as text they would lose their zone.
        try:
            return pd.DatetimeIndex(pd.to_datetime(series))
        except (ValueError, TypeError, OverflowError) as exc:
            raise ValueError(f"{source}: {column}: cannot read the dates: "
                             f"{str(exc).splitlines()[0] if str(exc) else type(exc).__name__}") from None
    if ptypes.is_bool_dtype(series.dtype):
        raise ValueError(f"{source.where(0)}: {column} {series.iloc[0]} is not a date")
    if ptypes.is_float_dtype(series.dtype):
        whole = (series == np.floor(series)).to_numpy()
        if not whole.all():
            row = first(~whole)
            raise ValueError(f"{source.where(row)}: {column} {series.iloc[row]} is not a date")
        series = series.astype(np.int64)
    text = series.astype(str).str.strip()
    if re.fullmatch(r"\d{4}-\d{2}-\d{2}", text.iloc[0]):
        # The common case in one strict pass; anything else in the column is looked at below.
        try:
            parsed = pd.to_datetime(text, format="%Y-%m-%d", errors="coerce")
            if parsed.notna().all():
                return pd.DatetimeIndex(parsed)
        except (ValueError, TypeError, OverflowError):
            # pandas 1.5 leaves a time zone among plain dates as objects it then cannot
            # convert: the general reading below says what is wrong.
            pass
    kind = next((k for k, pattern in _KINDS.items() if re.fullmatch(pattern, text.iloc[0])), "other")
    alike = text.str.fullmatch(_KINDS.get(kind, _NUMERIC)).to_numpy(dtype=bool)
    unlike = alike if kind == "other" else ~alike
    if unlike.any():
        row = first(unlike)
        raise ValueError(f"{source.where(row)}: {column} {text.iloc[row]!r} is written unlike the "
                         f"first date {text.iloc[0]!r}; write every date the same way, best "
                         "as YYYY-MM-DD")
    if kind == "short":
        raise ValueError(f"{source.where(0)}: {column} {text.iloc[0]!r} has a two-digit year; "
                         "write dates as YYYY-MM-DD")
    if kind == "integer":
        other = ~text.str.fullmatch(r"\d{8}").to_numpy(dtype=bool)
        if other.any():
            row = first(other)
            raise ValueError(f"{source.where(row)}: {column} {text.iloc[row]} is an integer, not a "
                             "date; write dates as YYYY-MM-DD or yyyymmdd (20210104)")
        parsed = pd.to_datetime(text, format="%Y%m%d", errors="coerce")
    elif kind == "dmy":
        parsed = _day_month(text, source, column, dayfirst)
    else:
        with warnings.catch_warnings():
            # pandas warns when it falls back to parsing one by one; the bad ones show below.
            warnings.simplefilter("ignore", UserWarning)
            try:
                parsed = pd.to_datetime(text, errors="coerce")
            except (ValueError, TypeError, OverflowError) as exc:
                raise ValueError(f"{source}: {column}: cannot read the dates: "
                                 f"{str(exc).splitlines()[0] if str(exc) else type(exc).__name__}") from None
    bad = parsed.isna().to_numpy()
    if bad.any():
        row = first(bad)
        day = _calendar_day(text.iloc[row])
        if day is not None:
            raise _outside_clock(source, row, column, day)
        raise ValueError(f"{source.where(row)}: {column} {text.iloc[row]!r} is not a date")
    try:
        return pd.DatetimeIndex(parsed)
    except (ValueError, TypeError, OverflowError):
        zoned = parsed.map(lambda v: getattr(v, "tzinfo", None) is not None).to_numpy(dtype=bool)
        row = first(zoned) if zoned.any() and not zoned.all() else 0
        raise ValueError(f"{source.where(row)}: {column} {text.iloc[row]!r} carries a time zone "
                         "unlike the other dates; write every date the same way, best as "
                         "YYYY-MM-DD") from None


def _day_month(text: pd.Series, source: Origin, column: str, dayfirst: Optional[bool]) -> pd.Series:
    parts = text.str.extract(_DMY)
    lead, second, year = parts[0].astype(int), parts[2].astype(int), parts[3]

    def build(day: pd.Series, month: pd.Series) -> pd.Series:
        # Strict: pandas' own day-first parsing swaps day and month when a reading fails.
        iso = year + "-" + month.map("{:02d}".format) + "-" + day.map("{:02d}".format)
        return pd.to_datetime(iso, format="%Y-%m-%d", errors="coerce")

    day_first, month_first = build(lead, second), build(second, lead)
    if dayfirst is not None:
        parsed = day_first if dayfirst else month_first
        bad = parsed.isna().to_numpy()
        if bad.any():
            row = first(bad)
            order = "DD/MM/YYYY (day first)" if dayfirst else "MM/DD/YYYY (month first)"
            raise ValueError(f"{source.where(row)}: {column} {text.iloc[row]!r} is not a date "
                             f"written {order}")
        return parsed
    ok_day, ok_month = day_first.notna().to_numpy(), month_first.notna().to_numpy()
    if ok_day.all() and ok_month.all():
        differ = (day_first != month_first).to_numpy()
        if differ.any():
            row = first(differ)
            raise AmbiguousDatesError(source.where(row), column, text.iloc[row],
                                      day_first.iloc[row], month_first.iloc[row])
        return day_first
    if ok_day.all():
        return day_first
    if ok_month.all():
        return month_first
    neither = ~ok_day & ~ok_month
    if neither.any():
        row = first(neither)
        raise ValueError(f"{source.where(row)}: {column} {text.iloc[row]!r} is not a date")
    d, m = first(~ok_month), first(~ok_day)
    raise ValueError(f"{source}: {column} mixes day-first ({text.iloc[d]!r}, {source.at(d)}) and "
                     f"month-first ({text.iloc[m]!r}, {source.at(m)}) dates")


def _to_numbers(values: pd.Series, where: Callable[[int], str]) -> pd.Series:
    """Text cells as numbers, NaN where they are not; a whole number beyond any float is
    refused by its cell (pandas would stop at it with an OverflowError)."""
    try:
        return pd.to_numeric(values.astype(object), errors="coerce")
    except OverflowError:
        for row, cell in enumerate(values.astype(object)):
            try:
                float(int(str(cell).strip()))
            except OverflowError:
                raise ValueError(f"{where(row)}: {str(cell)[:20]}... ({len(str(cell).strip())} "
                                 "digits) is beyond any float; correct the cell") from None
            except ValueError:
                continue
        raise


def numbers(values: pd.Series, source: Source, column: str) -> np.ndarray:
    if ptypes.is_bool_dtype(values.dtype):
        # As a Python bool: NumPy 2 writes its own as np.True_.
        raise ValueError(f"{source.where(0)}: {column} {values.astype(object).iloc[0]!r} is not a number")
    if ptypes.is_numeric_dtype(values.dtype):
        return values.to_numpy(dtype=np.float64, na_value=np.nan)
    parsed = _to_numbers(values, lambda row: f"{source.where(row)}: {column}")
    bad = (parsed.isna() & values.notna()).to_numpy()
    if bad.any():
        row = first(bad)
        raise ValueError(f"{source.where(row)}: {column} {values.iloc[row]!r} is not a number")
    return parsed.to_numpy(dtype=np.float64, na_value=np.nan)


def wide_numbers(values: pd.Series, source: Source, ticker: Any, dates: pd.DatetimeIndex) -> np.ndarray:
    """A wide file's column of one ticker, its cells named by ticker and date."""
    if ptypes.is_numeric_dtype(values.dtype) and not ptypes.is_bool_dtype(values.dtype):
        return values.to_numpy(dtype=np.float64, na_value=np.nan)
    parsed = _to_numbers(values, lambda row: f"{source}: {ticker} on {day(dates[row])} "
                                             f"({source.at(row)})")
    bad = (parsed.isna() & values.notna()).to_numpy() | ptypes.is_bool_dtype(values.dtype)
    if bad.any():
        row = first(bad)
        cell = values.astype(object).iloc[row]
        raise ValueError(f"{source}: {ticker} on {day(dates[row])}: {cell!r} is not a number "
                         f"({source.at(row)})")
    return parsed.to_numpy(dtype=np.float64, na_value=np.nan)


def ticker_keys(values: pd.Series, source: Source, column: str) -> np.ndarray:
    empty = values.isna().to_numpy()
    if empty.any():
        raise ValueError(f"{source.where(first(empty))}: {column} is empty")
    return values.astype(str).str.strip().to_numpy(dtype=object)
