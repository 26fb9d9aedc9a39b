"""Reading files: ``read_table`` opens every one (its header checked for repeated names), and
``read_prices``, ``read_weights``, ``read_wide`` and ``read_delistings`` tell its layout and read
its cells by the rules a frame's follow (``_shapes``, ``_values``), so a table reads the same
whichever door it comes in by.  The names callers take from here stay importable from here.
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

from orvane._checks import check_path
from orvane._common import day, show
from orvane._shapes import (COLUMNS, FIELDS, FILL_COLUMNS, PRICE_COLUMNS, VOLUME, WEIGHT_COLUMNS, Cells, bars_only,
                            column_key, find_columns, long_needs, no_ticker, normalize,
                            price_frames, refuse_repeated, spread, table_layout, weight_frame)
from orvane._values import (PARQUET_SUFFIXES, AmbiguousDatesError, Origin, PathLike, Source, first,
                            numbers, parse_dates, ticker_keys, wide_numbers)

__all__ = ["read_prices", "read_weights", "read_price_file", "read_wide", "read_delistings",
           "read_dividends", "read_fills", "FILLS", "PriceTables",
           "prices_from_tables", "data_files", "read_table", "parse_dates", "price_frames",
           "weight_frame", "find_columns", "table_layout", "column_key", "normalize", "Origin",
           "Source", "AmbiguousDatesError", "FIELDS", "COLUMNS", "PRICE_COLUMNS",
           "WEIGHT_COLUMNS"]

FOLDER_SUFFIXES = (".csv",) + PARQUET_SUFFIXES
DIVIDENDS = "dividends"
# A day's dividend above this share of the previous close is a split the close was not
# adjusted for far more often than a payout.
_SPLIT_LIKE = 0.25
ADJUSTED = "adjusted"


class PriceTables(dict):
    """What ``read_prices`` returns: a plain mapping of field -> frame, which also tells
    whether its prices were adjusted for dividends (dividends on top would count twice);
    so does each frame's ``attrs["adjusted"]``, which pandas keeps through slicing."""

    adjusted: bool = False


# ---------------------------------------------------------------- files

class _Repeats(ValueError):
    """Repeated column names: raised from inside the reader, passed through as they are."""


class _CutOff(ValueError):
    """A file whose last line was cut short: passed through as it is, like ``_Repeats``."""


def _refuse_repeats(names: Sequence[str], source: Source) -> None:
    seen = [n for n in names if n]
    if len(set(seen)) < len(seen):
        repeats = pd.Index(seen)
        raise _Repeats(f"{source} has repeated column names {show(repeats[repeats.duplicated()].unique())}; "
                       "rename or remove the repeats")


# The end of a file that holds its last line whole (a price file's lines are short).
_TAIL = 1 << 16
# A number whose digits stop at a decimal point or an exponent: where a cut falls.
_CUT_NUMBER = re.compile(r"[+-]?(\d+\.|\d*\.?\d+[eE][+-]?)")


def _refuse_cut_off(header: Sequence[str], source: Source) -> None:
    """A download cut off mid-line leaves a last line with fewer fields than the header, or
    a number cut short: pandas would fill the rest with NaN, and the ticker would end a day
    early without a word."""
    if len(header) < 2:
        return
    with open(source.path, "rb") as handle:
        handle.seek(0, os.SEEK_END)
        size = handle.tell()
        handle.seek(max(0, size - _TAIL))
        tail = handle.read()
    ended = tail.endswith((b"\n", b"\r"))
    lines = [line for line in tail.decode("utf-8", errors="replace").splitlines() if line.strip()]
    if len(lines) < 2 and size <= _TAIL:
        return  # the header alone
    last = lines[-1] if lines else ""
    cells = next(csv.reader([last]), [])
    problem = ""
    if len(cells) < len(header):
        problem = f"{len(cells)} fields where the header has {len(header)}"
    elif not ended and cells and _CUT_NUMBER.fullmatch(cells[-1].strip()):
        problem = f"{header[len(cells) - 1].strip()} {cells[-1]!r} is a number cut short"
    if not problem:
        return
    with open(source.path, "rb") as handle:
        line = sum(chunk.count(b"\n") for chunk in iter(lambda: handle.read(1 << 20), b""))
    line += 1 if not ended else 0
    shown = last if len(last) <= 60 else last[:57] + "..."
    raise _CutOff(f"{source} line {line}: {problem} ({shown!r}): the file looks cut off (an "
                     "interrupted download?); download it again, or delete the line")


# pandas before 2.0 reads some decimals one unit in the last place off unless asked to
# read them as Python does; from 2.0 it reads them exactly (and deprecates the option).
_EXACT_FLOATS = {"float_precision": "round_trip"} if int(pd.__version__.split(".")[0]) < 2 else {}


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
            _refuse_cut_off(raw, source)
            text = {r: str for r in raw if column_key(r) in ("date", "ticker")}
            frame = pd.read_csv(source.path, dtype=text, encoding="utf-8-sig", **_EXACT_FLOATS)
            names = [str(c).strip() for c in frame.columns]
    except (ImportError, FileNotFoundError, _Repeats, _CutOff):
        raise
    except Exception as exc:  # the readers raise many kinds; the user needs one line
        lines = str(exc).strip().splitlines()
        raise ValueError(f"{source}: cannot read it: {lines[0] if lines else type(exc).__name__}") from None
    _refuse_repeats(names, source)
    frame.columns = pd.Index(names, dtype=object)
    return frame


def _given_path(value: object, name: str) -> pathlib.Path:
    return pathlib.Path(check_path(value, name, empty='pass "." for the working folder'))


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


# ---------------------------------------------------------------- prices

ADJ_CLOSE = "adjclose"


def _price_cells(frame: pd.DataFrame, source: Source, adjust: bool, dayfirst: Optional[bool],
                 notes: List[str]) -> Tuple[List[str], Cells, Tuple[str, ...]]:
    """One price file, long or one ticker's bars -> (its tickers, its cells, its fields)."""
    names = find_columns(frame.columns, source, PRICE_COLUMNS, every=True)
    long = table_layout(names, "close") == "long"
    if long and not {"date", "close"} <= set(names):
        needed = ("date", "ticker", "close")
        raise long_needs(source, needed, [c for c in needed if c not in names], frame.columns)
    if "close" not in names:
        raise ValueError(f"{source} must have a close column, got columns {show(frame.columns)}; "
                         "a wide file (one column per ticker) goes to orvane.backtest as it is")
    date = names.get("date")
    if date is None:
        raise ValueError(f"{source} must have a date column, got columns {show(frame.columns)}")
    dates = parse_dates(frame[date], source, date, dayfirst)
    values = {f: numbers(frame[names[f]], source, names[f]) for f in FIELDS if f in names}
    fields = tuple(values) + ((ADJ_CLOSE,) if ADJ_CLOSE in names else ()) + (
        (VOLUME,) if VOLUME in names else ())
    volume = _volume(frame, names, source)
    if adjust and ADJ_CLOSE in names:
        adjusted = numbers(frame[names[ADJ_CLOSE]], source, names[ADJ_CLOSE])
        half = np.isnan(adjusted) != np.isnan(values["close"])
        if half.any():
            notes.append(f"{source}: {int(half.sum())} bars with only one of close and adj close "
                         f"were left out, first {source.where(first(half))}")
        for field, given in ((names["close"], values["close"]), (names[ADJ_CLOSE], adjusted)):
            # A factor from a price at or below 0, or infinite, scales the bar to 0 or inf.
            bad = ~np.isnan(adjusted) & ~np.isnan(values["close"]) & ~((given > 0) & (given < np.inf))
            if bad.any():
                row = first(bad)
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
                row = first(beyond)
                raise ValueError(f"{source.where(row)}: adj close / close scales the {f} "
                                 f"{values[f][row]:g} beyond any float; correct the row")
        values = scaled
        if volume is not None:
            # Shares in the adjusted units: close x volume, the money traded, is as written.
            with np.errstate(divide="ignore", invalid="ignore"):
                volume = volume / factor
    # The tickers as they are merged (' A' is 'A'), which the dividends are inferred by too.
    keys = ticker_keys(frame[names["ticker"]], source, names["ticker"]) if long else None
    if not adjust and ADJ_CLOSE in names:
        adjusted = numbers(frame[names[ADJ_CLOSE]], source, names[ADJ_CLOSE])
        values[DIVIDENDS] = _inferred_dividends(dates, keys, values["close"], adjusted, source,
                                                notes)
    if volume is not None:
        values[VOLUME] = volume
    if keys is not None:
        tickers = [str(t) for t in pd.unique(keys)]
    else:
        keys = np.full(len(dates), source.path.stem, dtype=object)
        tickers = [source.path.stem]
    refuse_repeated(dates, keys if long else None, source, "long" if long else "bars")
    return tickers, Cells(dates, keys, values), fields


def _volume(frame: pd.DataFrame, names: Dict[str, str], source: Source) -> Optional[np.ndarray]:
    """A file's volume column as numbers (NaN: a bar without one), or None without one; a
    negative or infinite volume is refused."""
    if VOLUME not in names:
        return None
    volume = numbers(frame[names[VOLUME]], source, names[VOLUME])
    bad = ~np.isnan(volume) & ~((volume >= 0) & (volume < np.inf))
    if bad.any():
        row = first(bad)
        raise ValueError(f"{source.where(row)}: {names[VOLUME]} {volume[row]:g} is not a number "
                         "of shares traded (0 or more); correct the row, or leave the cell empty "
                         "for a bar without a volume")
    return volume


def _half_step(values: np.ndarray) -> float:
    """Half the decimal step the values are written to (0.005 for cents): their rounding."""
    values = values[np.isfinite(values)]
    with np.errstate(all="ignore"):
        for k in range(11):
            scaled = values * 10.0**k
            if np.all(np.abs(scaled - np.round(scaled)) <= 1e-6 * np.maximum(1.0, np.abs(scaled))):
                return 0.5 * 10.0**-k
    return 0.5e-10


def _inferred_dividends(dates: pd.DatetimeIndex, keys: Optional[np.ndarray], close: np.ndarray,
                        adjusted: np.ndarray, source: Source, notes: List[str]) -> np.ndarray:
    """Cash per share going ex on each row, from the fall of adj close / close against the
    row before (of the same ticker): close[t-1] - close[t] * adj[t-1] / adj[t], kept where it
    is above what rounding the two columns to their written step can make; 0 elsewhere."""
    out = np.zeros(len(close))
    ok = np.flatnonzero(~np.isnan(close) & ~np.isnan(adjusted) & (close > 0) & (adjusted > 0))
    if len(ok) < 2:
        return out
    group = pd.factorize(keys)[0] if keys is not None else np.zeros(len(close), dtype=np.intp)
    rows = ok[np.lexsort((np.asarray(dates[ok].asi8), group[ok]))]
    same = group[rows[1:]] == group[rows[:-1]]
    prev, cur = rows[:-1][same], rows[1:][same]
    step_close, step_adj = _half_step(close[ok]), _half_step(adjusted[ok])
    # Prices near the ends of the float range give no finite amount: no dividend there.
    with np.errstate(all="ignore"):
        ratio = adjusted[prev] / adjusted[cur]
        paid = close[prev] - close[cur] * ratio
        noise = (step_close * (1.0 + ratio)
                 + close[cur] * ratio * (step_adj / adjusted[prev] + step_adj / adjusted[cur])
                 + 1e-12 * close[prev])
        kept = np.isfinite(paid) & np.isfinite(noise) & (paid > noise)
    split = kept & (paid > _SPLIT_LIKE * close[prev])
    if split.any():
        notes.append(f"{source}: adj close / close moves like a split on "
                     f"{show(day(d) for d in dates[cur[split]])}; left out of the dividends "
                     "(is the close split-adjusted?)")
    out[cur[kept & ~split]] = paid[kept & ~split]
    return out


def prices_from_tables(tables: Iterable[Tuple[Source, pd.DataFrame]], *, adjust: bool = True,
                       dayfirst: Optional[bool] = None) -> Dict[str, pd.DataFrame]:
    """Tables already read (see ``read_prices``) -> the OHLC mapping ``backtest`` takes."""
    read: List[Tuple[Source, Cells, Tuple[str, ...]]] = []
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
        cells, barless = bars_only(cells, tickers)
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
    if not adjust and 0 < len(plain) < len(kept):
        notes.append(f"no Adj Close column in {show(files(plain))}: no dividends are known for "
                     "their tickers")
    zones = {cells.dates.tz for _, cells, _ in kept}
    if None in zones and len(zones) > 1:
        raise ValueError("some files have time-zone-aware dates and others naive ones: "
                         f"{show(files(s for s, c, _ in kept if c.dates.tz is not None))} and "
                         f"{show(files(s for s, c, _ in kept if c.dates.tz is None))}")
    fields = tuple(f for f in (*FIELDS, VOLUME) if all(f in given for _, _, given in kept))
    partial = [f for f in FIELDS if f not in fields and any(f in given for _, _, given in kept)]
    if partial:
        lacking = files(s for s, _, given in kept if not set(partial) <= set(given))
        notes.append(f"{', '.join(partial)} prices left out: {show(lacking)} lack some of them")
    if VOLUME not in fields and any(VOLUME in given for _, _, given in kept):
        lacking = files(s for s, _, given in kept if VOLUME not in given)
        notes.append(f"volume left out: {show(lacking)} have no volume column")
    for note in notes:
        warnings.warn(note, UserWarning, stacklevel=3)
    # Dates in several zones meet in UTC.
    dates = [c.dates if len(zones) == 1 else c.dates.tz_convert("UTC") for _, c, _ in kept]
    columns = {f: np.concatenate([c.values[f] for _, c, _ in kept]) for f in fields}
    if not adjust and len(plain) < len(kept):
        columns[DIVIDENDS] = np.concatenate([c.values.get(DIVIDENDS, np.full(len(c.dates), np.nan))
                                             for _, c, _ in kept])
    out = PriceTables(spread(Cells(dates[0].append(dates[1:]),
                                   np.concatenate([c.tickers for _, c, _ in kept]), columns),
                             np.nan))
    out.adjusted = adjust and len(plain) < len(kept)
    if out.adjusted:
        # On the frames too: a copy of the mapping, or a frame sliced from it, still says so.
        for frame in out.values():
            frame.attrs[ADJUSTED] = True
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
        ``High``, ``Low``, ``Adj Close`` and ``Volume`` (shares traded, 0 or more; an empty
        cell is a bar without one); other columns are not read.
        Column names match whatever their case, spaces or underscores (``adj_close``).
        The ticker is the file name without its suffix (``BRK.B.csv`` is ``BRK.B``),
        unless the file has a ``ticker`` (or ``symbol``) column: then it is a long file
        holding many tickers.  Parquet needs pyarrow.  ``orvane.backtest`` takes the
        table of a long file in memory as it is, and runs it the same.
    adjust : bool, default True
        With an ``Adj Close`` column: the close becomes the adjusted close and open, high
        and low are multiplied by adj close / close of their bar, so a split or a dividend
        is not a jump in the prices and stops and intrabar exits see the same adjusted bar
        as the close; volume is divided by it, so close x volume (the money traded) stays
        as the file writes it.  False: the raw (split-adjusted) close, and a ``"dividends"`` frame of
        the cash per share going ex on each bar, inferred from Close and Adj Close:
        ``close[t-1] - close[t] * adj[t-1] / adj[t]``, kept where it is above what rounding
        the two columns to the decimals they are written in can make (0 elsewhere; NaN for
        tickers whose file has no Adj Close).  A fall beyond 25 % of the previous close is
        a split the close was not adjusted for, not a dividend: warned and left out.
        ``backtest`` pays those dividends to the holdings (see its ``dividends``).
    dayfirst : bool or None, default None
        How to read dates written ``03/04/2021``: True day first, False month first.  None
        takes the only order under which every date of a file is valid, and refuses a file
        whose dates all read both ways with different days.  ``YYYY-MM-DD`` and ``yyyymmdd``
        dates are never ambiguous.

    Returns
    -------
    PriceTables (a dict of str to DataFrame)
        ``{"open": ..., "high": ..., "low": ..., "close": ...}``, each dates x tickers with
        dates and tickers sorted, NaN where a ticker has no bar (a row without a close is
        none), and ``"volume"`` (shares) when the files have it.  Only the fields every file
        has; ``"close"`` always; ``"dividends"`` with
        ``adjust=False`` and an ``Adj Close`` column.  Its ``adjusted`` attribute is True
        when the prices were adjusted.

    Raises
    ------
    ValueError
        Naming the file and, for a cell, its line (``AAPL.csv line 1004: Close '--' is not
        a number``): a cell that is not a number, a date that cannot be read (see
        ``parse_dates`` for the rules), repeated column names, repeated dates within a
        ticker, two files giving the same ticker, a file cut off mid-line (its last line
        shorter than the header, or ending in a number cut short such as ``45.``), a file
        without a date or close column, a
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
    refuse_repeated(dates, None, source, "wide")
    tickers = [c for c in frame.columns if c != date]
    wide = pd.DataFrame({t: wide_numbers(frame[t], source, t, dates) for t in tickers},
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


def _weight_cells(frame: pd.DataFrame, source: Source, dayfirst: Optional[bool]) -> Cells:
    """One weights file, long or wide, as cells."""
    found = find_columns(frame.columns, source, WEIGHT_COLUMNS)
    layout = table_layout(found, "weight")
    if layout == "bars":
        raise no_ticker(source, found, "weight")
    if layout == "wide":
        wide = _wide_table(frame, source, dayfirst)
        rows, columns = wide.shape
        return Cells(wide.index.repeat(columns), np.tile(np.asarray(wide.columns, dtype=object), rows),
                      {"weight": wide.to_numpy(dtype=np.float64).ravel()})
    missing = [c for c in WEIGHT_COLUMNS if c not in found]
    if missing:
        raise long_needs(source, WEIGHT_COLUMNS, missing, frame.columns)
    dates = parse_dates(frame[found["date"]], source, found["date"], dayfirst)
    tickers = ticker_keys(frame[found["ticker"]], source, found["ticker"])
    refuse_repeated(dates, tickers, source)
    return Cells(dates, tickers, {"weight": numbers(frame[found["weight"]], source, found["weight"])})


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
    cells = Cells(dates[0].append(dates[1:]), np.concatenate([c.tickers for _, c in read]),
                   {"weight": np.concatenate([c.values["weight"] for _, c in read])})
    if len(read) > 1:
        _refuse_given_twice(cells, np.repeat(np.arange(len(read)), [len(c.dates) for _, c in read]),
                            [s for s, _ in read])
    return spread(cells, 0.0)["weight"]


def _refuse_given_twice(cells: Cells, file_of: np.ndarray, sources: Sequence[Source]) -> None:
    # Each file's own pairs are unique already: a repeat spans two files.
    keys = pd.DataFrame({"date": cells.dates, "ticker": cells.tickers})
    repeated = np.flatnonzero(keys.duplicated(keep=False).to_numpy())
    if not len(repeated):
        return
    same = repeated[(keys.iloc[repeated] == keys.iloc[repeated[0]]).all(axis=1).to_numpy()]
    a, b = (sources[file_of[i]] for i in same[:2])
    raise ValueError(f"weights for {cells.tickers[same[0]]} on {day(cells.dates[same[0]])} come "
                     f"from two files, {a} and {b}; keep one of them")


def read_dividends(path: PathLike, *, dayfirst: Optional[bool] = None) -> pd.DataFrame:
    """A dividends file -> ex-dates x tickers of cash per share (NaN: none).  Long, with
    columns date, ticker and dividend (or amount); or wide, a date column then one column
    per ticker."""
    source, frame = Source(path), read_table(path)
    needed = ("date", "ticker", "dividend")
    found = find_columns(frame.columns, source, needed)
    if "ticker" not in found:
        return _wide_table(frame, source, dayfirst)
    missing = [c for c in needed if c not in found]
    if missing:
        raise long_needs(source, needed, missing, frame.columns)
    value = found["dividend"]
    dates = parse_dates(frame[found["date"]], source, found["date"], dayfirst)
    tickers = ticker_keys(frame[found["ticker"]], source, found["ticker"])
    refuse_repeated(dates, tickers, source)
    cells = Cells(dates, tickers, {DIVIDENDS: numbers(frame[value], source, value)})
    return spread(cells, np.nan, named=False)[DIVIDENDS]


def read_delistings(path: PathLike, *, dayfirst: Optional[bool] = None) -> pd.Series:
    """A long file of delistings (columns date and ticker) -> ticker -> delisting date."""
    source, frame = Source(path), read_table(path)
    found = find_columns(frame.columns, source, ("date", "ticker"))
    missing = [c for c in ("date", "ticker") if c not in found]
    if missing:
        raise long_needs(source, ("date", "ticker"), missing, frame.columns)
    dates = parse_dates(frame[found["date"]], source, found["date"], dayfirst)
    tickers = ticker_keys(frame[found["ticker"]], source, found["ticker"])
    return pd.Series(dates, index=pd.Index(tickers, dtype=object), name="delisting")


# ---------------------------------------------------------------- fills

FILLS = ("date", "ticker", "shares", "price", "fee", "tax")
# A side as brokers write it, and the sign it gives the quantity.
_SIDES = {**dict.fromkeys(("buy", "b", "bot", "bought", "long", "cover", "buytocover", "bc"), 1.0),
          **dict.fromkeys(("sell", "s", "sld", "sold", "short", "sellshort", "ss", "sshrt"), -1.0)}


def read_fills(fills: Union[PathLike, pd.DataFrame], *,
               dayfirst: Optional[bool] = None) -> pd.DataFrame:
    """A broker's fills, one row per fill, as ``orvane.reconcile`` compares them with a run.

    Parameters
    ----------
    fills : path or DataFrame
        A CSV or Parquet file, or a frame, in the long layout: a date (or time stamp) column
        (``date``, ``time``, ``timestamp``, ...), ``ticker`` (or ``symbol``), ``shares``
        (signed: bought > 0, sold < 0; or ``quantity``/``qty``) or a ``side`` (buy, sell,
        short, cover, B, S, ...) beside a positive quantity, ``price`` (or ``fill price``,
        ``avg price``), optionally ``fee`` (or ``commission``) and ``tax`` in money, and an
        ``id`` (``fill id``, ``exec id``).  Names are matched whatever their case, spaces
        or underscores, as the price files' are.  A frame's dates may be its index.
    dayfirst : bool or None
        How to read dates written ``03/04/2021``, as for ``read_prices``.

    Returns
    -------
    DataFrame
        ``date`` (the fill's time as given, wall clock; its day names the bar), ``ticker``,
        ``shares`` (signed), ``price``, ``fee``, ``tax`` (money paid, 0 when not given) and
        ``id`` when the fills have one; one row per row given, in the order given (a row's
        position is its ``fill`` in ``reconcile``'s tables).

    Raises
    ------
    ValueError
        Naming the file (or ``fills``) and row: a missing column, a date, number or side
        that cannot be read, a price that is not above 0, zero shares, a quantity whose sign
        contradicts its side, a fee or tax that is not a number, an id given twice.
        Tickers and dates are checked against a run by ``orvane.reconcile``.
    """
    if isinstance(fills, pd.DataFrame):
        origin: Origin = Origin("fills")
        frame = fills
        if not isinstance(frame.index, pd.RangeIndex):
            found = find_columns(frame.columns, origin, ("date",), spellings=_FILL_NAMES)
            if "date" not in found and (isinstance(frame.index, pd.DatetimeIndex)
                                        or _FILL_KEYS.get(normalize(frame.index.name)) == "date"):
                frame = frame.rename_axis("date").reset_index()
        frame = frame.reset_index(drop=True)
    else:
        origin = Source(fills)
        frame = read_table(fills)
    found = find_columns(frame.columns, origin, tuple(_FILL_NAMES), spellings=_FILL_NAMES)
    needed = ["date", "ticker", "shares", "price"]
    missing = [c for c in needed if c not in found]
    if missing:
        raise ValueError(f"{origin}: fills need columns date, ticker, shares (signed, or a side and "
                         f"a quantity) and price (fee, tax and id optional); missing: "
                         f"{', '.join(missing)}; got columns {show(frame.columns)}")
    dates = parse_dates(frame[found["date"]], origin, found["date"], dayfirst)
    if dates.tz is not None:
        # The wall clock where the fill was made: its day is the bar's.
        dates = dates.tz_localize(None)
    tickers = ticker_keys(frame[found["ticker"]], origin, found["ticker"])  # type: ignore[arg-type]
    shares = _fill_numbers(frame, found, "shares", origin)
    price = _fill_numbers(frame, found, "price", origin)
    if "side" in found:
        shares = _sided(frame[found["side"]], shares, origin, found)
    zero = shares == 0
    if zero.any():
        row = first(zero)
        raise ValueError(f"{origin.where(row)}: {found['shares']} is 0: a fill trades shares; "
                         "delete the row")
    low = ~(price > 0)
    if low.any():
        row = first(low)
        raise ValueError(f"{origin.where(row)}: {found['price']} {frame[found['price']].iloc[row]!r} "
                         "must be above 0")
    out = pd.DataFrame({"date": dates, "ticker": tickers, "shares": shares, "price": price})
    for name in ("fee", "tax"):
        out[name] = _fill_costs(frame, found, name, origin) if name in found else 0.0
    if "id" in found:
        ids = frame[found["id"]].reset_index(drop=True)
        empty = ids.isna().to_numpy()
        if empty.any():
            raise ValueError(f"{origin.where(first(empty))}: {found['id']} is empty; every fill "
                             "needs its id, or drop the column")
        text = ids.astype(str).str.strip()
        twice = text.duplicated(keep=False).to_numpy()
        if twice.any():
            rows = np.flatnonzero(twice)
            same = rows[text.iloc[rows].to_numpy() == text.iloc[rows[0]]]
            raise ValueError(f"{origin} has the fill {found['id']} {text.iloc[same[0]]!r} twice "
                             f"({origin.unit}s {origin.number(int(same[0]))} and "
                             f"{origin.number(int(same[1]))}): a fill is counted once; delete "
                             "the repeat")
        out["id"] = text.to_numpy(dtype=object)
    return out


_FILL_NAMES = FILL_COLUMNS
_FILL_KEYS = {s: k for k, names in _FILL_NAMES.items() for s in names}


def _fill_numbers(frame: pd.DataFrame, found: Dict[str, str], name: str, origin: Origin) -> np.ndarray:
    column = found[name]
    values = numbers(frame[column].reset_index(drop=True), origin, column)  # type: ignore[arg-type]
    empty = ~np.isfinite(values)
    if empty.any():
        row = first(empty)
        raise ValueError(f"{origin.where(row)}: {column} is {'empty' if np.isnan(values[row]) else values[row]}; "
                         "every fill needs its shares and price")
    return values


def _fill_costs(frame: pd.DataFrame, found: Dict[str, str], name: str, origin: Origin) -> np.ndarray:
    """Money paid: an empty cell is none.  Written all as negatives (as some brokers write a
    cost), the signs are turned with a warning; mixed signs are paid and rebates."""
    column = found[name]
    values = numbers(frame[column].reset_index(drop=True), origin, column)  # type: ignore[arg-type]
    bad = np.isinf(values)
    if bad.any():
        raise ValueError(f"{origin.where(first(bad))}: {column} {values[first(bad)]} is not money")
    values = np.nan_to_num(values, nan=0.0)
    if (values <= 0).all() and (values < 0).any():
        warnings.warn(f"{origin}: every {column} is 0 or negative: read as money paid (signs "
                      "turned); write a fee as a positive number, a rebate as a negative one",
                      UserWarning, stacklevel=3)
        values = -values
    return values + 0.0


def _sided(sides: pd.Series, quantity: np.ndarray, origin: Origin, found: Dict[str, str]) -> np.ndarray:
    words = sides.reset_index(drop=True).map(lambda v: normalize(v) if isinstance(v, str) else v)
    sign = words.map(_SIDES).to_numpy(dtype=np.float64, na_value=np.nan)
    unknown = np.isnan(sign)
    if unknown.any():
        row = first(unknown)
        raise ValueError(f"{origin.where(row)}: {found['side']} {sides.iloc[row]!r} is not a side: "
                         "write buy or sell (short and cover are read too)")
    against = (quantity < 0) & (sign > 0)
    if against.any():
        row = first(against)
        raise ValueError(f"{origin.where(row)}: {found['shares']} {quantity[row]:g} is negative on a "
                         f"{sides.iloc[row]!r}: with a side, write the quantity as a positive number")
    return sign * np.abs(quantity)
