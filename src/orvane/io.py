"""The one reader of shapes: price and weight tables, in files and in frames.

Tables are recognised here and nowhere else: their columns matched by name (any case,
spaces or underscores, and synonyms such as ``symbol`` for ``ticker``), their layout told
(long, wide, one ticker's bars, (field, ticker) columns, a mapping of fields), their dates
read.  Every file goes through ``read_table`` (its header checked for repeated names), and
every date column, of a file or of a frame, through ``parse_dates`` (one set of date rules),
so a table reads the same whichever door it comes in by.
"""

from __future__ import annotations

import csv
import glob
import os
import pathlib
import re
import warnings
from collections.abc import Mapping
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from orvane._common import CLOCK_FIRST, CLOCK_LAST, day, is_missing, show

__all__ = ["read_prices", "read_weights", "read_price_file", "read_wide", "read_delistings",
           "prices_from_tables", "data_files", "read_table", "parse_dates", "price_frames",
           "weight_frame", "find_columns", "table_layout", "column_key", "normalize", "Origin",
           "Source", "AmbiguousDatesError", "FIELDS", "COLUMNS", "PRICE_COLUMNS",
           "WEIGHT_COLUMNS"]

PathLike = Union[str, "os.PathLike[str]"]

PARQUET_SUFFIXES = (".parquet", ".pq")
FOLDER_SUFFIXES = (".csv",) + PARQUET_SUFFIXES

# The kinds of dates told apart by the first of a column; the rest must be of its kind.
_DMY = r"(\d{1,2})([/.-])(\d{1,2})\2(\d{4})"
_KINDS = {
    "integer": r"[+-]?\d+",
    "dmy": _DMY,
    # Two-digit years add a third reading (21-01-04 as 2021-01-04); they are refused.
    "short": r"\d{1,2}([/.-])\d{1,2}\1\d{2}",
}
_NUMERIC = r"[+-]?\d+|\d{1,2}[/.-]\d{1,2}[/.-]\d{2}(?:\d{2})?"  # any of them, for the other kind


# ---------------------------------------------------------------- column names

FIELDS = ("open", "high", "low", "close")
# Each column orvane reads, with its spellings as ``normalize`` leaves them.
COLUMNS: Dict[str, Tuple[str, ...]] = {
    "date": ("date",),
    "ticker": ("ticker", "symbol"),
    **{field: (field,) for field in FIELDS},
    "adjclose": ("adjclose",),
    "weight": ("weight",),
}
PRICE_COLUMNS = ("date", "ticker", *FIELDS, "adjclose")
WEIGHT_COLUMNS = ("date", "ticker", "weight")
_KEYS = {spelling: key for key, spellings in COLUMNS.items() for spelling in spellings}


def normalize(name: object) -> str:
    """A column name as compared: ``Adj Close``, ``adj_close`` and ``AdjClose`` are one."""
    return re.sub(r"[\s_.\-]", "", str(name).lower())


def column_key(label: object) -> Optional[str]:
    """The column of ``COLUMNS`` that ``label`` spells, or None."""
    try:
        return _KEYS.get(normalize(label))
    except Exception:  # a label whose own str() fails spells nothing; the label checks say so
        return None


def find_columns(labels: Iterable[Any], where: object, wanted: Iterable[str] = tuple(COLUMNS), *,
                 every: bool = False) -> Dict[str, Any]:
    """{column of ``wanted``: the label spelling it}.

    Two labels spelling one column are refused, and with ``every`` any two labels that
    normalize alike (a price file's header); ``where`` is the file or argument named.
    """
    wanted = set(wanted)
    found: Dict[str, Any] = {}
    seen: Dict[str, Any] = {}
    for label in labels:
        key = column_key(label)
        name = key if key in wanted else (normalize(label) if every else None)
        if name is None:
            continue
        if name in seen:
            if isinstance(where, Source):
                raise ValueError(f"{where} has repeated column names {show([seen[name], label])}; "
                                 "rename or remove the repeats")
            raise ValueError(f"{where} has the column {name!r} more than once: {seen[name]!r} "
                             f"and {label!r}; keep one")
        seen[name] = label
        if key in wanted:
            found[str(key)] = label
    return found


# ---------------------------------------------------------------- layouts

def table_layout(found: Mapping[str, Any], value: str) -> str:
    """How a table with the columns ``found`` reads, for a table of ``value`` ("close" for
    prices, "weight"): "long" (one row per date and ticker) when it has a ticker column;
    "bars" (one ticker's rows, the ticker named elsewhere) when it has the value column (or
    an adjusted close) but no ticker column; else "wide" (dates x tickers)."""
    if "ticker" in found:
        return "long"
    if value in found or (value == "close" and "adjclose" in found):
        return "bars"
    return "wide"


def _no_ticker(where: object, found: Mapping[str, Any], value: str) -> ValueError:
    """The refusal of a table that has a value column but nothing to name its ticker."""
    if value == "close":
        labels = show(found[c] for c in (*FIELDS, "adjclose") if c in found)
        return ValueError(
            f"{where} has the columns {labels} but no ticker column, so it reads two ways: as "
            f"one ticker's bars, or as a wide table whose tickers are named {labels}; for bars "
            "add a ticker column (long: date, ticker, close, ...), for a wide table of closes "
            "pass {'close': frame}")
    label = found[value]
    return ValueError(
        f"{where} has a {label!r} column but no ticker column, so it reads two ways: as one "
        f"ticker's weights, or as a wide table with a ticker named {label!r}; for weights add a "
        "ticker column (long: date, ticker, weight), for a wide table rename the column to its "
        "ticker")


def _long_needs(where: object, needed: Sequence[str], missing: Sequence[str],
                labels: Iterable[Any]) -> ValueError:
    optional = " (open, high and low optional)" if "close" in needed else ""
    return ValueError(f"{where}: a long table needs columns {', '.join(needed)}{optional}; "
                      f"missing: {', '.join(missing)}; got columns {show(labels)}")


def price_frames(prices: Any, notes: List[str]) -> Dict[str, pd.DataFrame]:
    """Prices in any layout -> {field: wide frame (dates x tickers)}, "close" always there.

    A DataFrame is long (date, ticker, close; open, high and low optional; the dates and
    tickers may be its index), has (field, ticker) columns either way round, or is wide: one
    price per ticker, used for trading and as the close.  A mapping holds one wide frame per
    field.  A row of a long frame without a close is no bar, as in a file; ``notes`` gets
    the tickers that leaves without any.  A frame that reads two ways is refused, saying how
    to tell which.
    """
    if isinstance(prices, pd.DataFrame):
        prices = _long_index(prices)
        if isinstance(prices.columns, pd.MultiIndex):
            return _split_fields(prices)
        _one_close(prices.columns)
        found = find_columns(prices.columns, "prices", PRICE_COLUMNS)
        layout = table_layout(found, "close")
        if layout == "long":
            return _from_long(prices, found, "close", "prices", notes)
        if layout == "bars":
            raise _no_ticker("prices", found, "close")
        return {"close": _dated(prices, "prices")}
    if isinstance(prices, Mapping):
        _one_close(list(prices))
        out: Dict[str, pd.DataFrame] = {}
        for key in prices:
            field = column_key(key)
            if field not in FIELDS:
                raise ValueError(f"prices keys must be among {list(FIELDS)}, got {key!r}")
            if field in out:
                raise ValueError(f"prices has the field {field!r} twice (keys spelled differently); "
                                 "keep one")
            frame = prices[key]
            if not isinstance(frame, pd.DataFrame):
                raise TypeError(f"prices[{key!r}] must be a wide DataFrame (dates x tickers), "
                                f"got {type(frame).__name__}")
            out[str(field)] = _dated(frame, f"prices[{key!r}]")
        if "close" not in out:
            raise ValueError(f"prices needs a 'close' frame; got keys {show(list(prices))}")
        return out
    raise TypeError("prices must be a DataFrame (wide, long, or with (field, ticker) columns) "
                    f"or a mapping of wide frames, got {type(prices).__name__}")


def weight_frame(weights: Any) -> pd.DataFrame:
    """Weights wide (dates x tickers) or long (date, ticker, weight) -> one wide frame.

    In the long form a (date, ticker) pair without a row is no position (0); a NaN weight
    stays NaN for the caller to report.
    """
    if not isinstance(weights, pd.DataFrame):
        raise TypeError("weights must be a DataFrame (dates x tickers, or long with columns "
                        f"date, ticker, weight), got {type(weights).__name__}")
    weights = _long_index(weights)
    found = find_columns(weights.columns, "weights", WEIGHT_COLUMNS)
    layout = table_layout(found, "weight")
    if layout == "long":
        return _from_long(weights, found, "weight", "weights", [])["weight"]
    if layout == "bars":
        raise _no_ticker("weights", found, "weight")
    return _dated(weights, "weights")


def _long_index(frame: pd.DataFrame) -> pd.DataFrame:
    """A long frame indexed by (date, ticker) as one with those columns."""
    index = frame.index
    if isinstance(index, pd.MultiIndex) and index.nlevels == 2:
        keys = [column_key(n) for n in index.names]
        if set(keys) == {"date", "ticker"} or (
                isinstance(index.levels[0], pd.DatetimeIndex) and keys[1] != "date"):
            frame = frame.reset_index()
            frame.columns = ["date", "ticker", *frame.columns[2:]] if keys[0] != "ticker" \
                else ["ticker", "date", *frame.columns[2:]]
    return frame


def _dated(frame: pd.DataFrame, where: str) -> pd.DataFrame:
    """A wide frame whose dates may sit in a date column (read as a file's) instead of the
    index."""
    if isinstance(frame.index, pd.RangeIndex):
        found = find_columns(frame.columns, where, ("date",))
        if "date" in found:
            column = found["date"]
            frame = frame.drop(columns=[column]).set_axis(_frame_dates(frame[column], where, column))
    return frame


def _frame_dates(values: Union[pd.Series, pd.Index], where: str, column: Any) -> pd.DatetimeIndex:
    try:
        return parse_dates(values, Origin(where), str(column))
    except AmbiguousDatesError as exc:
        exc.fix = "convert the column with pd.to_datetime(..., dayfirst=True) or dayfirst=False"
        raise


def _split_fields(prices: pd.DataFrame) -> Dict[str, pd.DataFrame]:
    """(field, ticker) or (ticker, field) columns -> {field: wide frame}."""
    columns = prices.columns
    # The fields present, not the level's values: a column selection keeps unused ones.
    levels = [columns.get_level_values(k).unique() for k in (0, 1)]
    for values in levels:
        _one_close(values)
    fits = [k for k, values in enumerate(levels) if _all_fields(values)]
    named = [k for k, name in enumerate(columns.names[:2]) if normalize(name) == "field"]
    if len(named) == 1:
        level = named[0]
        if level not in fits:
            raise ValueError(f"prices names column level {level} 'field', but its values "
                             f"{show(levels[level])} are not fields among {list(FIELDS)} (with "
                             "'close')")
    elif len(fits) == 2:
        raise ValueError(
            f"prices has field names on both column levels, {show(levels[0])} and "
            f"{show(levels[1])}, so it reads two ways: as (field, ticker) or as (ticker, field); "
            "name the level of fields 'field' to say which (prices.columns.names = ['field', "
            "'ticker'])")
    elif fits:
        level = fits[0]
    else:
        raise ValueError("prices with two column levels must have one level of fields among "
                         f"{list(FIELDS)} (with 'close'), got {show(levels[0])} and {show(levels[1])}")
    out: Dict[str, pd.DataFrame] = {}
    for value in levels[level]:
        frame = prices.xs(value, axis=1, level=level)
        if frame.shape[1]:
            field = str(column_key(value))
            if field in out:
                raise ValueError(f"prices has the field {field!r} twice (labels spelled "
                                 "differently); keep one")
            out[field] = frame
    return out


def _all_fields(values: Iterable[Any]) -> bool:
    keys = {column_key(v) for v in values}
    return "close" in keys and keys <= set(FIELDS)


def _one_close(labels: Iterable[Any]) -> None:
    """Refuse a price layout holding both a close and an adjusted close."""
    closes: Dict[str, Any] = {}
    for label in labels:
        key = column_key(label)
        if key in ("close", "adjclose"):
            closes.setdefault(str(key), label)
    if len(closes) == 2:
        raise ValueError(f"prices has both {closes['close']!r} and {closes['adjclose']!r}: say "
                         "which close to use by dropping the other (to backtest on adjusted "
                         "prices, orvane.read_prices(..., adjust=True) also scales open, high "
                         "and low to match)")


def _from_long(frame: pd.DataFrame, found: Mapping[str, Any], value: str, where: str,
               notes: List[str]) -> Dict[str, pd.DataFrame]:
    """A long frame -> {field: wide frame}: weights 0 where a (date, ticker) pair has no row;
    prices NaN, and a row without a close is no bar, as in a file."""
    cells = _frame_cells(frame, found, value, where)
    if value == "weight":
        return _spread(cells, 0.0, named=False)
    cells, barless = _bars_only(cells, pd.unique(cells.tickers))
    if barless:
        notes.append(f"{where}: no valid bar (a close price) for {show(barless)}; left out")
    return _spread(cells, np.nan, named=False)


def _frame_cells(frame: pd.DataFrame, found: Mapping[str, Any], value: str, where: str) -> _Cells:
    """A long frame's rows as cells, with what a pivot must not meet refused."""
    index = frame.index
    on_index = "date" not in found and (isinstance(index, pd.DatetimeIndex)
                                        or column_key(index.name) == "date")
    needed = ("date", "ticker", value)
    missing = [c for c in needed if c not in found and not (c == "date" and on_index)]
    if missing:
        raise _long_needs(where, needed, missing, frame.columns)
    fields = tuple(f for f in FIELDS if f in found) if value == "close" else (value,)
    for f in fields:
        # Refused before spreading, which has no place for them.
        dtype = frame[found[f]].dtype
        if ptypes.is_complex_dtype(dtype) or ptypes.is_bool_dtype(dtype) or (
                not ptypes.is_numeric_dtype(dtype) and not ptypes.is_object_dtype(dtype)
                and not ptypes.is_string_dtype(dtype)):
            raise TypeError(f"{where} must hold real numbers; column {found[f]!r} has dtype {dtype}")
    dates = pd.Series(index) if on_index else frame[found["date"]]
    tickers = frame[found["ticker"]]
    for key, values, what in ((found.get("date"), dates, "dates (NaT)"),
                              (found["ticker"], tickers, "tickers (None, NaN or empty)")):
        absent = _missing_rows(values)
        if len(absent):
            place = "its index" if key is None else f"its {key!r} column"
            raise ValueError(f"{where} has missing {what} in {place} at rows {show(absent)}")
    if pd.api.types.infer_dtype(tickers, skipna=True) != "string":
        # Tickers are paired by their text (and a tuple label would read as two columns).
        tickers = tickers.map(str)
    cells = _Cells(_frame_dates(dates, where, found.get("date", "index")),
                   tickers.to_numpy(dtype=object),
                   {f: _cell_values(frame[found[f]]) for f in fields})
    _refuse_repeated(cells.dates, cells.tickers, Origin(where))
    return cells


def _missing_rows(values: pd.Series) -> np.ndarray:
    if ptypes.is_numeric_dtype(values.dtype) or ptypes.is_datetime64_any_dtype(values.dtype):
        return np.flatnonzero(values.isna().to_numpy(dtype=bool))
    return np.flatnonzero([is_missing(v) for v in values])


def _cell_values(values: pd.Series) -> np.ndarray:
    """Numbers as float64; anything else as it is, for the value checks to name."""
    if ptypes.is_numeric_dtype(values.dtype):
        return values.to_numpy(dtype=np.float64, na_value=np.nan)
    return values.to_numpy(dtype=object)


# ---------------------------------------------------------------- cells of a long table

class _Cells(NamedTuple):
    """A table's rows as cells: a date, a ticker and a value per field."""

    dates: pd.DatetimeIndex
    tickers: np.ndarray
    values: Dict[str, np.ndarray]


def _bars_only(cells: _Cells, tickers: Iterable[str]) -> Tuple[_Cells, List[str]]:
    """The rows that are bars (a row without a close is none), and those of ``tickers`` left
    without a single one."""
    bar = ~pd.isna(cells.values["close"])
    if not bar.all():
        cells = _Cells(cells.dates[bar], cells.tickers[bar], {f: v[bar] for f, v in cells.values.items()})
    held = set(cells.tickers)
    return cells, sorted(t for t in tickers if t not in held)


def _spread(cells: _Cells, fill: float, named: bool = True) -> Dict[str, pd.DataFrame]:
    """Cells with unique (date, ticker) pairs -> {field: wide frame}, dates and tickers
    sorted and ``named`` so; a pair without a cell holds ``fill``."""
    rows, dates = pd.factorize(cells.dates, sort=True)
    columns, tickers = pd.factorize(pd.Index(cells.tickers, dtype=object), sort=True)
    index = pd.DatetimeIndex(dates, name="date" if named else None)
    labels = pd.Index(list(tickers), name="ticker" if named else None)
    out = {}
    for field, values in cells.values.items():
        grid = np.full((len(index), len(labels)), fill,
                       dtype=object if values.dtype == object else np.float64)
        grid[rows, columns] = values
        out[field] = pd.DataFrame(grid, index=index, columns=labels)
    return out


def _refuse_repeated(dates: pd.DatetimeIndex, tickers: Optional[np.ndarray], origin: Origin,
                     layout: str = "long") -> None:
    """Two rows for one date (of one ticker, in a long table) are refused, naming the rows of
    the first two.  Each layout words it as its frames are told: "more than one row per
    (date, ticker)" (long), "duplicate dates" (wide), "repeated dates" (one ticker's bars)."""
    keys = pd.DataFrame({"date": dates, "ticker": tickers if tickers is not None else ""})
    repeated = keys.duplicated(keep=False).to_numpy()
    if not repeated.any():
        return
    rows = np.flatnonzero(repeated)
    same = rows[(keys.iloc[rows] == keys.iloc[rows[0]]).all(axis=1).to_numpy()]
    a, b = (origin.number(int(row)) for row in same[:2])
    first = f"(the first on {origin.unit}s {a} and {b})"
    pairs = keys.iloc[rows].drop_duplicates()
    if tickers is not None:
        shown = show(f"({day(d)}, {t})" for d, t in pairs.itertuples(index=False))
        raise ValueError(f"{origin} has more than one row per (date, ticker): {shown} {first}; "
                         "keep one")
    word = "duplicate" if layout == "wide" else "repeated"
    raise ValueError(f"{origin} has {word} dates: {show(day(d) for d in pairs['date'])} {first}; "
                     "keep one row per date")


# ---------------------------------------------------------------- files

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


class _Repeats(ValueError):
    """Repeated column names: raised from inside the reader, passed through as they are."""


def _refuse_repeats(names: Sequence[str], source: Source) -> None:
    seen = [n for n in names if n]
    if len(set(seen)) < len(seen):
        repeats = pd.Index(seen)
        raise _Repeats(f"{source} has repeated column names {show(repeats[repeats.duplicated()].unique())}; "
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
                # Written from an indexed frame: the index (often the dates) is a column again,
                # named date when it was unnamed dates.
                unnamed = frame.index.name is None and ptypes.is_datetime64_any_dtype(frame.index.dtype)
                frame = frame.reset_index()
                if unnamed and not any(column_key(c) == "date" for c in frame.columns):
                    frame = frame.rename(columns={"index": "date"})
            names = [str(c).strip() for c in frame.columns]
        else:
            with open(source.path, newline="", encoding="utf-8-sig") as handle:
                raw = next(csv.reader(handle), [])
            # Checked before the whole file is read: pandas would rename a repeat.
            _refuse_repeats([c.strip() for c in raw], source)
            text = {r: str for r in raw if column_key(r) in ("date", "ticker")}
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


def data_files(path: Union[PathLike, Iterable[PathLike]]) -> List[pathlib.Path]:
    """The files ``read_prices`` and ``read_weights`` read for ``path`` (see there)."""
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
            row = _first(outside)
            raise ValueError(f"{source.where(row)}: {column} {dates[row]:%Y-%m-%d} lies outside "
                             f"the dates the engine's clock can hold ({CLOCK_FIRST:%Y-%m-%d} .. "
                             f"{CLOCK_LAST:%Y-%m-%d}); correct or remove the row")
    return dates


def _read_dates(values: Union[pd.Series, pd.Index], source: Origin, column: str,
                dayfirst: Optional[bool]) -> pd.DatetimeIndex:
    series = pd.Series(values).reset_index(drop=True)
    if series.empty:
        return pd.DatetimeIndex([])
    missing = series.isna().to_numpy()
    if missing.any():
        raise ValueError(f"{source.where(_first(missing))}: {column} is empty; every row needs a date")
    if ptypes.is_datetime64_any_dtype(series.dtype):
        return pd.DatetimeIndex(series)
    if ptypes.infer_dtype(series, skipna=False) in ("datetime", "datetime64"):
        # Timestamps held as objects (a frame's column): as text they would lose their zone.
        try:
            return pd.DatetimeIndex(pd.to_datetime(series))
        except (ValueError, TypeError, OverflowError) as exc:
            raise ValueError(f"{source}: {column}: cannot read the dates: "
                             f"{str(exc).splitlines()[0] if str(exc) else type(exc).__name__}") from None
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


def _day_month(text: pd.Series, source: Origin, column: str, dayfirst: Optional[bool]) -> pd.Series:
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


def _wide_numbers(values: pd.Series, source: Source, ticker: Any, dates: pd.DatetimeIndex) -> np.ndarray:
    """A wide file's column of one ticker, its cells named by ticker and date."""
    if ptypes.is_numeric_dtype(values.dtype) and not ptypes.is_bool_dtype(values.dtype):
        return values.to_numpy(dtype=np.float64, na_value=np.nan)
    numbers = pd.to_numeric(values.astype(object), errors="coerce")
    bad = (numbers.isna() & values.notna()).to_numpy() | ptypes.is_bool_dtype(values.dtype)
    if bad.any():
        row = _first(bad)
        raise ValueError(f"{source}: {ticker} on {day(dates[row])}: {values.iloc[row]!r} is not a "
                         f"number ({source.at(row)})")
    return numbers.to_numpy(dtype=np.float64, na_value=np.nan)


def _ticker_keys(values: pd.Series, source: Source, column: str) -> np.ndarray:
    empty = values.isna().to_numpy()
    if empty.any():
        raise ValueError(f"{source.where(_first(empty))}: {column} is empty")
    return values.astype(str).str.strip().to_numpy(dtype=object)


# ---------------------------------------------------------------- prices

ADJ_CLOSE = "adjclose"


def _price_cells(frame: pd.DataFrame, source: Source, adjust: bool, dayfirst: Optional[bool],
                 notes: List[str]) -> Tuple[List[str], _Cells, Tuple[str, ...]]:
    """One price file, long or one ticker's bars -> (its tickers, its cells, its fields)."""
    names = find_columns(frame.columns, source, PRICE_COLUMNS, every=True)
    long = table_layout(names, "close") == "long"
    if long and not {"date", "close"} <= set(names):
        needed = ("date", "ticker", "close")
        raise _long_needs(source, needed, [c for c in needed if c not in names], frame.columns)
    if "close" not in names:
        raise ValueError(f"{source} must have a close column, got columns {show(frame.columns)}; "
                         "a wide file (one column per ticker) goes to orvane.backtest as it is")
    date = names.get("date")
    if date is None:
        raise ValueError(f"{source} must have a date column, got columns {show(frame.columns)}")
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
        with np.errstate(over="ignore"):
            factor = adjusted / values["close"]
            scaled = {f: adjusted if f == "close" else values[f] * factor for f in values}
        for f, value in scaled.items():
            beyond = np.isinf(value) & ~np.isinf(values[f])
            if beyond.any():
                row = _first(beyond)
                raise ValueError(f"{source.where(row)}: adj close / close scales the {f} "
                                 f"{values[f][row]:g} beyond any float; correct the row")
        values = scaled
    if long:
        keys = _ticker_keys(frame[names["ticker"]], source, names["ticker"])
        tickers = [str(t) for t in pd.unique(keys)]
    else:
        keys = np.full(len(dates), source.path.stem, dtype=object)
        tickers = [source.path.stem]
    _refuse_repeated(dates, keys if long else None, source, "long" if long else "bars")
    return tickers, _Cells(dates, keys, values), fields


def prices_from_tables(tables: Iterable[Tuple[Source, pd.DataFrame]], *, adjust: bool = True,
                       dayfirst: Optional[bool] = None) -> Dict[str, pd.DataFrame]:
    """Tables already read (see ``read_prices``) -> the OHLC mapping ``backtest`` takes."""
    read: List[Tuple[Source, _Cells, Tuple[str, ...]]] = []
    origin: Dict[str, Source] = {}
    empty: List[str] = []
    notes: List[str] = []
    for source, frame in tables:
        tickers, cells, fields = _price_cells(frame, source, adjust, dayfirst, notes)
        for ticker in tickers:
            if ticker in origin:
                raise ValueError(f"ticker {ticker} comes from two files, {origin[ticker]} and "
                                 f"{source}; keep one of them")
            origin[ticker] = source
        cells, barless = _bars_only(cells, tickers)
        empty += barless
        read.append((source, cells, fields))
    if empty:
        notes.append(f"no valid bar (a close price) for "
                     f"{show(f'{t} ({origin[t].path.name})' for t in sorted(empty))}; left out")
    kept = [(source, cells, fields) for source, cells, fields in read if len(cells.dates)]
    if not kept:
        raise ValueError(f"no file has a valid bar (a close price): {show(str(s) for s, _, _ in read)}")

    def files(sources: Iterable[Source]) -> List[str]:
        return sorted({s.path.name for s in sources})

    plain = [source for source, _, fields in kept if ADJ_CLOSE not in fields]
    if adjust and 0 < len(plain) < len(kept):
        notes.append(f"no Adj Close column in {show(files(plain))}: their prices are used as they "
                     "are, unlike the other files'")
    zones = {cells.dates.tz for _, cells, _ in kept}
    if None in zones and len(zones) > 1:
        raise ValueError("some files have time-zone-aware dates and others naive ones: "
                         f"{show(files(s for s, c, _ in kept if c.dates.tz is not None))} and "
                         f"{show(files(s for s, c, _ in kept if c.dates.tz is None))}")
    fields = tuple(f for f in FIELDS if all(f in given for _, _, given in kept))
    partial = [f for f in FIELDS if f not in fields and any(f in given for _, _, given in kept)]
    if partial:
        lacking = files(s for s, _, given in kept if not set(partial) <= set(given))
        notes.append(f"{', '.join(partial)} prices left out: {show(lacking)} lack some of them")
    for note in notes:
        warnings.warn(note, UserWarning, stacklevel=3)
    # Dates in several zones meet in UTC.
    dates = [c.dates if len(zones) == 1 else c.dates.tz_convert("UTC") for _, c, _ in kept]
    return _spread(_Cells(dates[0].append(dates[1:]), np.concatenate([c.tickers for _, c, _ in kept]),
                          {f: np.concatenate([c.values[f] for _, c, _ in kept]) for f in fields}),
                   np.nan)


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
        holding many tickers.  Parquet needs pyarrow.  ``orvane.backtest`` takes the
        table of a long file in memory as it is, and runs it the same.
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
        dates and tickers sorted, NaN where a ticker has no bar (a row without a close is
        none).  Only the fields every file has; ``"close"`` always.

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
    files = data_files(path)
    return prices_from_tables(((Source(f), read_table(f)) for f in files), adjust=adjust,
                              dayfirst=dayfirst)


def read_price_file(path: PathLike, *, adjust: bool = True,
                    dayfirst: Optional[bool] = None) -> Union[pd.DataFrame, Dict[str, pd.DataFrame]]:
    """One price file of any layout: one ticker's bars or long -> the mapping ``read_prices``
    gives; wide -> one frame of prices (dates x tickers, see ``read_wide``)."""
    source, frame = Source(path), read_table(path)
    if table_layout(find_columns(frame.columns, source, PRICE_COLUMNS), "close") == "wide":
        return _wide_table(frame, source, dayfirst)
    return prices_from_tables([(source, frame)], adjust=adjust, dayfirst=dayfirst)


# ---------------------------------------------------------------- wide files and weights

def _wide_table(frame: pd.DataFrame, source: Source, dayfirst: Optional[bool]) -> pd.DataFrame:
    """A wide file: its date column (the one named date, else the first), then one column per
    ticker -> dates x tickers, sorted by date."""
    date = find_columns(frame.columns, source, ("date",)).get("date")
    if date is None and len(frame.columns):
        date = frame.columns[0]
    if date is None or frame.shape[1] < 2:
        raise ValueError(f"{source}: a wide file needs a date column and at least one ticker column")
    if frame.empty:
        raise ValueError(f"{source} holds no rows")
    dates = parse_dates(frame[date], source, str(date), dayfirst)
    _refuse_repeated(dates, None, source, "wide")
    tickers = [c for c in frame.columns if c != date]
    wide = pd.DataFrame({t: _wide_numbers(frame[t], source, t, dates) for t in tickers},
                        index=pd.DatetimeIndex(dates, name="date"))
    wide.columns = pd.Index(tickers, name="ticker")
    return wide.sort_index(kind="stable")


def read_wide(path: PathLike, *, dayfirst: Optional[bool] = None) -> pd.DataFrame:
    """One wide file (a date column, the one named date or else the first, then one column
    per ticker) -> a frame of dates x tickers sorted by date, every cell a number or NaN.
    A file laid out otherwise (with a ticker column, or one ticker's bars) is refused."""
    source, frame = Source(path), read_table(path)
    found = find_columns(frame.columns, source, PRICE_COLUMNS)
    layout = table_layout(found, "close")
    if layout != "wide":
        labels = show(found[c] for c in ("ticker", *FIELDS, "adjclose") if c in found)
        kind = "a long table" if layout == "long" else "one ticker's bars"
        raise ValueError(f"{source} must be a wide file (a date column, then one column per "
                         f"ticker), got the columns {labels} of {kind}")
    return _wide_table(frame, source, dayfirst)


def _weight_cells(frame: pd.DataFrame, source: Source, dayfirst: Optional[bool]) -> _Cells:
    """One weights file, long or wide, as cells."""
    found = find_columns(frame.columns, source, WEIGHT_COLUMNS)
    layout = table_layout(found, "weight")
    if layout == "bars":
        raise _no_ticker(source, found, "weight")
    if layout == "wide":
        wide = _wide_table(frame, source, dayfirst)
        rows, columns = wide.shape
        return _Cells(wide.index.repeat(columns), np.tile(np.asarray(wide.columns, dtype=object), rows),
                      {"weight": wide.to_numpy(dtype=np.float64).ravel()})
    missing = [c for c in WEIGHT_COLUMNS if c not in found]
    if missing:
        raise _long_needs(source, WEIGHT_COLUMNS, missing, frame.columns)
    dates = parse_dates(frame[found["date"]], source, found["date"], dayfirst)
    tickers = _ticker_keys(frame[found["ticker"]], source, found["ticker"])
    _refuse_repeated(dates, tickers, source)
    return _Cells(dates, tickers, {"weight": _numbers(frame[found["weight"]], source, found["weight"])})


def read_weights(path: Union[PathLike, Iterable[PathLike]], *,
                 dayfirst: Optional[bool] = None) -> pd.DataFrame:
    """Read weight files into the frame that ``orvane.backtest`` takes.

    Parameters
    ----------
    path : str, path or list of them
        A folder (its ``.csv``, ``.parquet`` and ``.pq`` files), a glob pattern, a list of
        files, or one file, as for ``read_prices``.  Each file is wide (a date column, the
        one named ``date`` or else the first, then one column per ticker) or long (columns
        ``date``, ``ticker`` (or ``symbol``) and ``weight``, matched whatever their case,
        spaces or underscores).  Weights are target fractions of the portfolio per signal
        date, negative for shorts.  ``orvane.backtest`` takes the table of any of these
        files in memory as it is, and runs it the same.
    dayfirst : bool or None, default None
        How to read dates written ``03/04/2021``, as for ``read_prices``.

    Returns
    -------
    DataFrame
        Signal dates x tickers, both sorted.  The files' cells together: a (date, ticker)
        pair no file gives is 0 (no position), as in a long file; an empty cell of a wide
        file stays NaN (``backtest`` reads it as 0 and says so).

    Raises
    ------
    ValueError
        Naming the file and, for a cell, its line: a cell that is not a number, a date
        that cannot be read (see ``parse_dates``), repeated column names, a date given twice
        (for a ticker, in a long file), a (date, ticker) pair given by two files, a long
        file without its date, ticker or weight column, a file with a weight column but no
        ticker column (one ticker's weights, or a wide file with a ticker named weight?),
        no rows in any file.
    TypeError, FileNotFoundError
        As for ``read_prices``.

    Examples
    --------
    >>> weights = orvane.read_weights("weights.csv")      # doctest: +SKIP
    >>> result = orvane.backtest(weights, orvane.read_prices("data/"))  # doctest: +SKIP
    """
    sources = [Source(f) for f in data_files(path)]
    read = [(s, _weight_cells(read_table(s.path), s, dayfirst)) for s in sources]
    read = [(s, cells) for s, cells in read if len(cells.dates)]
    if not read:
        raise ValueError(f"no weights in {show(str(s) for s in sources)}: every file holds no rows")
    zones = {cells.dates.tz for _, cells in read}
    if None in zones and len(zones) > 1:
        raise ValueError("some files have time-zone-aware dates and others naive ones: "
                         f"{show(s.path.name for s, c in read if c.dates.tz is not None)} and "
                         f"{show(s.path.name for s, c in read if c.dates.tz is None)}")
    # Dates in several zones meet in UTC.
    dates = [c.dates if len(zones) == 1 else c.dates.tz_convert("UTC") for _, c in read]
    cells = _Cells(dates[0].append(dates[1:]), np.concatenate([c.tickers for _, c in read]),
                   {"weight": np.concatenate([c.values["weight"] for _, c in read])})
    if len(read) > 1:
        _refuse_given_twice(cells, np.repeat(np.arange(len(read)), [len(c.dates) for _, c in read]),
                            [s for s, _ in read])
    return _spread(cells, 0.0)["weight"]


def _refuse_given_twice(cells: _Cells, file_of: np.ndarray, sources: Sequence[Source]) -> None:
    # Each file's own pairs are unique already: a repeat spans two files.
    keys = pd.DataFrame({"date": cells.dates, "ticker": cells.tickers})
    repeated = np.flatnonzero(keys.duplicated(keep=False).to_numpy())
    if not len(repeated):
        return
    same = repeated[(keys.iloc[repeated] == keys.iloc[repeated[0]]).all(axis=1).to_numpy()]
    a, b = (sources[file_of[i]] for i in same[:2])
    raise ValueError(f"weights for {cells.tickers[same[0]]} on {day(cells.dates[same[0]])} come "
                     f"from two files, {a} and {b}; keep one of them")


def read_delistings(path: PathLike, *, dayfirst: Optional[bool] = None) -> pd.Series:
    """A long file of delistings (columns date and ticker) -> ticker -> delisting date."""
    source, frame = Source(path), read_table(path)
    found = find_columns(frame.columns, source, ("date", "ticker"))
    missing = [c for c in ("date", "ticker") if c not in found]
    if missing:
        raise _long_needs(source, ("date", "ticker"), missing, frame.columns)
    dates = parse_dates(frame[found["date"]], source, found["date"], dayfirst)
    tickers = _ticker_keys(frame[found["ticker"]], source, found["ticker"])
    return pd.Series(dates, index=pd.Index(tickers, dtype=object), name="delisting")
