"""Reading real data: price files (one per ticker, or long), their dates and their adjustment.

Every file orvane reads, here and on the command line, goes through ``read_table`` (its
header checked for repeated names) and ``parse_dates`` (one set of date rules), so a file
reads the same whichever door it comes in by.
"""

from __future__ import annotations

import csv
import glob
import os
import pathlib
import re
import warnings
from typing import Dict, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from orvane._common import CLOCK_FIRST, CLOCK_LAST, show as _show

__all__ = ["read_prices", "prices_from_tables", "price_files", "read_table", "parse_dates", "Source",
           "AmbiguousDatesError", "normalize", "FIELDS"]

PathLike = Union[str, "os.PathLike[str]"]

FIELDS = ("open", "high", "low", "close")
PARQUET_SUFFIXES = (".parquet", ".pq")
FOLDER_SUFFIXES = (".csv",) + PARQUET_SUFFIXES
TICKER_COLUMNS = ("ticker", "symbol")
ADJ_CLOSE = "adjclose"

# The kinds of dates told apart by the first of a column; the rest must be of its kind.
_DMY = r"(\d{1,2})([/.-])(\d{1,2})\2(\d{4})"
_KINDS = {
    "integer": r"[+-]?\d+",
    "dmy": _DMY,
    # Two-digit years add a third reading (21-01-04 as 2021-01-04); they are refused.
    "short": r"\d{1,2}([/.-])\d{1,2}\1\d{2}",
}
_NUMERIC = r"[+-]?\d+|\d{1,2}[/.-]\d{1,2}[/.-]\d{2}(?:\d{2})?"  # any of them, for the other kind


def normalize(name: object) -> str:
    """A column name as compared: ``Adj Close``, ``adj_close`` and ``AdjClose`` are one."""
    return re.sub(r"[\s_.\-]", "", str(name).lower())


class Source:
    """A file being read, and how to point at one of its data rows."""

    def __init__(self, path: PathLike) -> None:
        self.path = pathlib.Path(path)
        self.parquet = self.path.suffix.lower() in PARQUET_SUFFIXES

    def __str__(self) -> str:
        return str(self.path)

    @property
    def unit(self) -> str:
        """What ``number`` counts: the line an editor shows (CSV), or the row (Parquet)."""
        return "row" if self.parquet else "line"

    def number(self, row: int) -> int:
        return row + 1 if self.parquet else self._line(row)

    def at(self, row: int) -> str:
        return f"{self.unit} {self.number(row)}"

    def where(self, row: int) -> str:
        return f"{self.path} {self.at(row)}"

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


# ---------------------------------------------------------------- files

class _Repeats(ValueError):
    """Repeated column names: raised from inside the reader, passed through as they are."""


def _refuse_repeats(names: Sequence[str], source: Source) -> None:
    seen = [n for n in names if n]
    if len(set(seen)) < len(seen):
        repeats = pd.Index(seen)
        raise _Repeats(f"{source} has repeated column names {_show(repeats[repeats.duplicated()].unique())}; "
                       "rename or remove the repeats")


def read_table(path: PathLike) -> pd.DataFrame:
    """One CSV or Parquet file as a frame with a RangeIndex and stripped text column names.

    A repeated column name is an error (pandas would rename the second ``AAA.1``); the date
    and ticker columns of a CSV are read as text, so ``0050`` stays a ticker and
    ``20210104`` a date.  Raises ``FileNotFoundError``, ``ImportError`` (Parquet without
    pyarrow) or ``ValueError`` naming the file.
    """
    source = Source(path)
    if not source.path.is_file():
        raise FileNotFoundError(f"{source} does not exist")
    try:
        if source.parquet:
            try:
                import pyarrow  # noqa: F401
            except ImportError:
                raise ImportError(f"reading {source} needs pyarrow: pip install 'orvane[parquet]'") from None
            frame = pd.read_parquet(source.path)
            if not isinstance(frame.index, pd.RangeIndex):
                # Written from an indexed frame: the index (often the dates) is a column again.
                frame = frame.reset_index()
            names = [str(c).strip() for c in frame.columns]
        else:
            with open(source.path, newline="", encoding="utf-8-sig") as handle:
                raw = next(csv.reader(handle), [])
            # Checked before the whole file is read: pandas would rename a repeat.
            _refuse_repeats([c.strip() for c in raw], source)
            text = {r: str for r in raw if normalize(r) in ("date",) + TICKER_COLUMNS}
            frame = pd.read_csv(source.path, dtype=text, encoding="utf-8-sig")
            names = [str(c).strip() for c in frame.columns]
    except (ImportError, FileNotFoundError, _Repeats):
        raise
    except Exception as exc:  # the readers raise many kinds; the user needs one line
        lines = str(exc).strip().splitlines()
        raise ValueError(f"{source}: cannot read it: {lines[0] if lines else type(exc).__name__}") from None
    _refuse_repeats(names, source)
    frame.columns = pd.Index(names, dtype=object)
    return frame


def _given_path(value: object, name: str) -> pathlib.Path:
    """A path as given (str or os.PathLike), never empty (that is the working folder) and
    without a NUL byte (no file can be named so; the OS would cut the name there)."""
    text = os.fspath(value) if isinstance(value, os.PathLike) else value
    if isinstance(text, bytes):
        raise TypeError(f"{name} must be a str or os.PathLike path, got bytes {text!r}; decode it "
                        "with os.fsdecode")
    if not isinstance(text, str):
        raise TypeError(f"{name} must be a str or os.PathLike path, got {type(value).__name__} "
                        f"{value!r}"[:300])
    if not text:
        raise ValueError(f"{name} must name a file or folder, got an empty path; pass \".\" for "
                         "the working folder")
    if "\0" in text:
        raise ValueError(f"{name} must not contain a NUL byte, got {text!r}")
    return pathlib.Path(text)


def price_files(path: Union[PathLike, Iterable[PathLike]]) -> List[pathlib.Path]:
    """The files ``read_prices`` reads for ``path`` (see there)."""
    if isinstance(path, (str, bytes, os.PathLike)):
        p = _given_path(path, "path")
        if p.is_dir():
            files = sorted(f for f in p.iterdir() if f.is_file() and not f.name.startswith(".")
                           and f.suffix.lower() in FOLDER_SUFFIXES)
            if not files:
                raise ValueError(f"folder {p} has no .csv or .parquet files")
            return files
        if p.is_file():
            return [p]
        if isinstance(path, str) and re.search(r"[*?[]", path):
            files = sorted(pathlib.Path(m) for m in glob.glob(path) if os.path.isfile(m))
            if not files:
                raise FileNotFoundError(f"no file matches {path}")
            return files
        raise FileNotFoundError(f"{p} does not exist")
    if isinstance(path, Iterable):
        files = [_given_path(p, f"path[{i}]") for i, p in enumerate(path)]
        if not files:
            raise ValueError("path must name at least one file, got an empty list")
        for f in files:
            if not f.is_file():
                raise FileNotFoundError(f"{f} does not exist")
        return files
    raise TypeError("path must be a folder, a glob pattern, a file or a list of files, "
                    f"got {type(path).__name__}")


# ---------------------------------------------------------------- cells

def _first(mask: np.ndarray) -> int:
    return int(np.argmax(mask))


def parse_dates(values: Union[pd.Series, pd.Index], source: Source, column: str,
                dayfirst: Optional[bool] = None) -> pd.DatetimeIndex:
    """A column of dates, read by the rules every file of orvane follows.

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
            row = _first(outside)
            raise ValueError(f"{source.where(row)}: {column} {dates[row]:%Y-%m-%d} lies outside "
                             f"the dates the engine's clock can hold ({CLOCK_FIRST:%Y-%m-%d} .. "
                             f"{CLOCK_LAST:%Y-%m-%d}); correct or remove the row")
    return dates


def _read_dates(values: Union[pd.Series, pd.Index], source: Source, column: str,
                dayfirst: Optional[bool]) -> pd.DatetimeIndex:
    series = pd.Series(values).reset_index(drop=True)
    if series.empty:
        return pd.DatetimeIndex([])
    missing = series.isna().to_numpy()
    if missing.any():
        raise ValueError(f"{source.where(_first(missing))}: {column} is empty; every row needs a date")
    if ptypes.is_datetime64_any_dtype(series.dtype):
        return pd.DatetimeIndex(series)
    if ptypes.is_bool_dtype(series.dtype):
        raise ValueError(f"{source.where(0)}: {column} {series.iloc[0]!r} is not a date")
    if ptypes.is_float_dtype(series.dtype):
        whole = (series == np.floor(series)).to_numpy()
        if not whole.all():
            row = _first(~whole)
            raise ValueError(f"{source.where(row)}: {column} {series.iloc[row]!r} is not a date")
        series = series.astype(np.int64)
    text = series.astype(str).str.strip()
    if re.fullmatch(r"\d{4}-\d{2}-\d{2}", text.iloc[0]):
        # The common case in one strict pass; anything else in the column is looked at below.
        parsed = pd.to_datetime(text, format="%Y-%m-%d", errors="coerce")
        if parsed.notna().all():
            return pd.DatetimeIndex(parsed)
    kind = next((k for k, pattern in _KINDS.items() if re.fullmatch(pattern, text.iloc[0])), "other")
    alike = text.str.fullmatch(_KINDS.get(kind, _NUMERIC)).to_numpy(dtype=bool)
    unlike = alike if kind == "other" else ~alike
    if unlike.any():
        row = _first(unlike)
        raise ValueError(f"{source.where(row)}: {column} {text.iloc[row]!r} is written unlike the "
                         f"first date {text.iloc[0]!r}; write every date the same way, best "
                         "as YYYY-MM-DD")
    if kind == "short":
        raise ValueError(f"{source.where(0)}: {column} {text.iloc[0]!r} has a two-digit year; "
                         "write dates as YYYY-MM-DD")
    if kind == "integer":
        other = ~text.str.fullmatch(r"\d{8}").to_numpy(dtype=bool)
        if other.any():
            row = _first(other)
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
        row = _first(bad)
        raise ValueError(f"{source.where(row)}: {column} {text.iloc[row]!r} is not a date")
    return pd.DatetimeIndex(parsed)


def _day_month(text: pd.Series, source: Source, column: str, dayfirst: Optional[bool]) -> pd.Series:
    parts = text.str.extract(_DMY)
    first, second, year = parts[0].astype(int), parts[2].astype(int), parts[3]

    def build(day: pd.Series, month: pd.Series) -> pd.Series:
        # Strict: pandas' own day-first parsing swaps day and month when a reading fails.
        iso = year + "-" + month.map("{:02d}".format) + "-" + day.map("{:02d}".format)
        return pd.to_datetime(iso, format="%Y-%m-%d", errors="coerce")

    day_first, month_first = build(first, second), build(second, first)
    if dayfirst is not None:
        parsed = day_first if dayfirst else month_first
        bad = parsed.isna().to_numpy()
        if bad.any():
            row = _first(bad)
            order = "DD/MM/YYYY (day first)" if dayfirst else "MM/DD/YYYY (month first)"
            raise ValueError(f"{source.where(row)}: {column} {text.iloc[row]!r} is not a date "
                             f"written {order}")
        return parsed
    ok_day, ok_month = day_first.notna().to_numpy(), month_first.notna().to_numpy()
    if ok_day.all() and ok_month.all():
        differ = (day_first != month_first).to_numpy()
        if differ.any():
            row = _first(differ)
            raise AmbiguousDatesError(source.where(row), column, text.iloc[row],
                                      day_first.iloc[row], month_first.iloc[row])
        return day_first
    if ok_day.all():
        return day_first
    if ok_month.all():
        return month_first
    neither = ~ok_day & ~ok_month
    if neither.any():
        row = _first(neither)
        raise ValueError(f"{source.where(row)}: {column} {text.iloc[row]!r} is not a date")
    d, m = _first(~ok_month), _first(~ok_day)
    raise ValueError(f"{source}: {column} mixes day-first ({text.iloc[d]!r}, {source.at(d)}) and "
                     f"month-first ({text.iloc[m]!r}, {source.at(m)}) dates")


def _numbers(values: pd.Series, source: Source, column: str) -> np.ndarray:
    if ptypes.is_bool_dtype(values.dtype):
        raise ValueError(f"{source.where(0)}: {column} {values.iloc[0]!r} is not a number")
    if ptypes.is_numeric_dtype(values.dtype):
        return values.to_numpy(dtype=np.float64, na_value=np.nan)
    numbers = pd.to_numeric(values.astype(object), errors="coerce")
    bad = (numbers.isna() & values.notna()).to_numpy()
    if bad.any():
        row = _first(bad)
        raise ValueError(f"{source.where(row)}: {column} {values.iloc[row]!r} is not a number")
    return numbers.to_numpy(dtype=np.float64, na_value=np.nan)


# ---------------------------------------------------------------- prices

def _columns(frame: pd.DataFrame, source: Source) -> Dict[str, str]:
    """{normalized name: the file's name}; two names that normalize alike are refused."""
    found: Dict[str, str] = {}
    for name in frame.columns:
        key = normalize(name)
        if key in found:
            raise ValueError(f"{source} has repeated column names {_show([found[key], name])}; "
                             "rename or remove the repeats")
        found[key] = name
    return found


def _bars(frame: pd.DataFrame, source: Source, adjust: bool, dayfirst: Optional[bool],
          notes: List[str]) -> Tuple[Dict[str, pd.DataFrame], Tuple[str, ...]]:
    """One table -> ({ticker: bars indexed by date}, the fields it has)."""
    names = _columns(frame, source)
    if "close" not in names:
        raise ValueError(f"{source} must have a close column, got columns {_show(frame.columns)}; "
                         "a wide file (one column per ticker) goes to orvane.backtest as it is")
    date = names.get("date")
    if date is None and "index" in names and ptypes.is_datetime64_any_dtype(frame[names["index"]].dtype):
        date = names["index"]  # Parquet written from a frame indexed by unnamed dates
    if date is None:
        raise ValueError(f"{source} must have a date column, got columns {_show(frame.columns)}")
    dates = parse_dates(frame[date], source, date, dayfirst)
    values = {f: _numbers(frame[names[f]], source, names[f]) for f in FIELDS if f in names}
    fields = tuple(values) + ((ADJ_CLOSE,) if ADJ_CLOSE in names else ())
    if adjust and ADJ_CLOSE in names:
        adjusted = _numbers(frame[names[ADJ_CLOSE]], source, names[ADJ_CLOSE])
        half = np.isnan(adjusted) != np.isnan(values["close"])
        if half.any():
            notes.append(f"{source}: {int(half.sum())} bars with only one of close and adj close "
                         f"were left out, first {source.where(_first(half))}")
        for field, given in ((names["close"], values["close"]), (names[ADJ_CLOSE], adjusted)):
            # A factor from a price at or below 0, or infinite, scales the bar to 0 or inf.
            bad = ~np.isnan(adjusted) & ~np.isnan(values["close"]) & ~((given > 0) & (given < np.inf))
            if bad.any():
                row = _first(bad)
                raise ValueError(f"{source.where(row)}: {field} {given[row]:g} is not a positive "
                                 "price, so adj close / close cannot scale the bar's open, high "
                                 "and low; correct the row, or leave the cell empty to mark a "
                                 "missing bar")
        # One factor per bar, so stops and intrabar exits see the bar the close is part of.
        factor = adjusted / values["close"]
        for f in values:
            values[f] = adjusted if f == "close" else values[f] * factor
    table = pd.DataFrame(values, index=dates)
    key_names = [names[t] for t in TICKER_COLUMNS if t in names]
    if key_names:
        tickers = frame[key_names[0]]
        empty = tickers.isna().to_numpy()
        if empty.any():
            raise ValueError(f"{source.where(_first(empty))}: {key_names[0]} is empty")
        keys = tickers.astype(str).str.strip().to_numpy()
    else:
        keys = np.full(len(table), source.path.stem, dtype=object)
    _refuse_repeated_dates(dates, keys, source, bool(key_names))
    if not key_names:
        return {source.path.stem: table}, fields
    return {str(t): rows for t, rows in table.groupby(keys, sort=False)}, fields


def _refuse_repeated_dates(dates: pd.DatetimeIndex, keys: np.ndarray, source: Source,
                           long: bool) -> None:
    repeated = (pd.DataFrame({"ticker": keys, "date": dates}).duplicated(keep=False).to_numpy() if long
                else dates.duplicated(keep=False))
    if not repeated.any():
        return
    pairs = pd.DataFrame({"ticker": keys, "date": dates})
    rows = np.flatnonzero(repeated)
    same = rows[(keys[rows] == keys[rows[0]]) & (dates[rows] == dates[rows[0]])]
    a, b = source.number(int(same[0])), source.number(int(same[1]))
    first = pairs.iloc[rows].drop_duplicates()
    shown = [f"{t} {d:%Y-%m-%d}" if long else f"{d:%Y-%m-%d}" for t, d in first.itertuples(index=False)]
    raise ValueError(f"{source} has repeated dates{' per ticker' if long else ''}: {_show(shown)} "
                     f"(the first on {source.unit}s {a} and {b}); keep one row per date")


def prices_from_tables(tables: Iterable[Tuple[Source, pd.DataFrame]], *, adjust: bool = True,
                       dayfirst: Optional[bool] = None) -> Dict[str, pd.DataFrame]:
    """Tables already read (see ``read_prices``) -> the OHLC mapping ``backtest`` takes."""
    bars: Dict[str, pd.DataFrame] = {}
    origin: Dict[str, Source] = {}
    fields_of: Dict[str, Tuple[str, ...]] = {}
    notes: List[str] = []
    for source, frame in tables:
        found, fields = _bars(frame, source, adjust, dayfirst, notes)
        for ticker, rows in found.items():
            if ticker in origin:
                raise ValueError(f"ticker {ticker} comes from two files, {origin[ticker]} and "
                                 f"{source}; keep one of them")
            origin[ticker], bars[ticker], fields_of[ticker] = source, rows, fields
    empty = sorted(t for t, rows in bars.items() if not rows["close"].notna().any())
    if empty:
        notes.append(f"no valid bar (a close price) for {_show(f'{t} ({origin[t].path.name})' for t in empty)}"
                     "; left out")
    kept = {t: rows.loc[rows["close"].notna().to_numpy()] for t, rows in bars.items() if t not in empty}
    if not kept:
        raise ValueError(f"no file has a valid bar (a close price): {_show(str(s) for s in origin.values())}")

    def files(tickers: Iterable[str]) -> List[str]:
        return sorted({origin[t].path.name for t in tickers})

    plain = [t for t in kept if ADJ_CLOSE not in fields_of[t]]
    if adjust and 0 < len(plain) < len(kept):
        notes.append(f"no Adj Close column in {_show(files(plain))}: their prices are used as they "
                     "are, unlike the other files'")
    aware = {t: rows.index.tz is not None for t, rows in kept.items()}
    if len(set(aware.values())) > 1:
        raise ValueError("some files have time-zone-aware dates and others naive ones: "
                         f"{_show(files(t for t, a in aware.items() if a))} and "
                         f"{_show(files(t for t, a in aware.items() if not a))}")
    fields = tuple(f for f in FIELDS if all(f in fields_of[t] for t in kept))
    partial = [f for f in FIELDS if f not in fields and any(f in fields_of[t] for t in kept)]
    if partial:
        lacking = files(t for t in kept if not set(partial) <= set(fields_of[t]))
        notes.append(f"{', '.join(partial)} prices left out: {_show(lacking)} lack some of them")
    for note in notes:
        warnings.warn(note, UserWarning, stacklevel=3)
    out = {}
    for f in fields:
        wide = pd.concat({t: rows[f] for t, rows in kept.items()}, axis=1, sort=True).sort_index(axis=1)
        wide.index.name = "date"
        wide.columns.name = "ticker"
        out[f] = wide
    return out


def read_prices(path: Union[PathLike, Iterable[PathLike]], *, adjust: bool = True,
                dayfirst: Optional[bool] = None) -> Dict[str, pd.DataFrame]:
    """Read price files into the OHLC mapping that ``orvane.backtest`` takes.

    Parameters
    ----------
    path : str, path or list of them
        A folder (its ``.csv``, ``.parquet`` and ``.pq`` files; other files and hidden ones
        are passed over), a glob pattern (``"data/*.csv"``), a list of files, or one file.
        Each file has a ``Date`` column and a ``Close`` column, optionally ``Open``,
        ``High``, ``Low`` and ``Adj Close``; other columns (``Volume``) are not read.
        Column names match whatever their case, spaces or underscores (``adj_close``).
        The ticker is the file name without its suffix (``BRK.B.csv`` is ``BRK.B``),
        unless the file has a ``ticker`` (or ``symbol``) column: then it is a long file
        holding many tickers.  Parquet needs pyarrow.
    adjust : bool, default True
        With an ``Adj Close`` column: the close becomes the adjusted close and open, high
        and low are multiplied by adj close / close of their bar, so a split or a dividend
        is not a jump in the prices and stops and intrabar exits see the same adjusted bar
        as the close.  False: the raw close; ``Adj Close`` is not read.
    dayfirst : bool or None, default None
        How to read dates written ``03/04/2021``: True day first, False month first.  None
        takes the only order under which every date of a file is valid, and refuses a file
        whose dates all read both ways with different days.  ``YYYY-MM-DD`` and ``yyyymmdd``
        dates are never ambiguous.

    Returns
    -------
    dict of str to DataFrame
        ``{"open": ..., "high": ..., "low": ..., "close": ...}``, each dates x tickers with
        dates and tickers sorted, NaN where a ticker has no bar.  Only the fields every file
        has; ``"close"`` always.

    Raises
    ------
    ValueError
        Naming the file and, for a cell, its line (``AAPL.csv line 1004: Close '--' is not
        a number``): a cell that is not a number, a date that cannot be read (see
        ``parse_dates`` for the rules), repeated column names, repeated dates within a
        ticker, two files giving the same ticker, a file without a date or close column, a
        close or adj close at or below 0 where the bar is adjusted; an empty path or one
        holding a NUL byte.
    TypeError
        A path that is not a str or os.PathLike (bytes: decode them with ``os.fsdecode``).
    FileNotFoundError
        When ``path`` or a listed file does not exist, or a pattern matches nothing.

    Warns
    -----
    UserWarning
        Tickers without a single valid bar (a close price), which are left out; bars with
        only one of close and adj close (left out); a field some files lack (left out); files
        without ``Adj Close`` among files with it.

    Examples
    --------
    >>> prices = orvane.read_prices("data/")                  # doctest: +SKIP
    >>> result = orvane.backtest(weights, prices, intrabar_exits=True, stop_loss=0.1)  # doctest: +SKIP
    """
    files = price_files(path)
    return prices_from_tables(((Source(f), read_table(f)) for f in files), adjust=adjust,
                              dayfirst=dayfirst)
