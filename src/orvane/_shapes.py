"""The shapes of tables, for files and frames alike: column names matched by name (any case,
spaces or underscores, and synonyms such as ``symbol`` for ``ticker``), the layout told (long,
wide, one ticker's bars, (field, ticker) columns, a mapping of fields), and the cells of a long
table spread into wide frames, repeated rows refused.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from orvane._common import day, is_missing, show
from orvane._values import AmbiguousDatesError, Origin, Source, parse_dates

__all__ = ["FIELDS", "VOLUME", "COLUMNS", "PRICE_COLUMNS", "WEIGHT_COLUMNS", "FILL_COLUMNS", "normalize", "column_key",
           "find_columns", "table_layout", "no_ticker", "long_needs", "price_frames",
           "weight_frame", "Cells", "bars_only", "spread", "refuse_repeated"]


# ---------------------------------------------------------------- column names

FIELDS = ("open", "high", "low", "close")
# Shares traded per bar: read beside the prices, in every layout they come in.
VOLUME = "volume"
# Each column orvane reads, with its spellings as ``normalize`` leaves them.
COLUMNS: Dict[str, Tuple[str, ...]] = {
    "date": ("date",),
    "ticker": ("ticker", "symbol"),
    **{field: (field,) for field in FIELDS},
    "adjclose": ("adjclose",),
    VOLUME: (VOLUME,),
    "weight": ("weight",),
    "dividend": ("dividend", "dividends", "amount"),
}
# A broker's fills, as brokers name their columns: the date or time of the fill, signed
# shares (or a side and a quantity), its price and what it paid.
FILL_COLUMNS: Dict[str, Tuple[str, ...]] = {
    "date": ("date", "time", "timestamp", "datetime", "tradedate", "filltime", "executiontime"),
    "ticker": ("ticker", "symbol"),
    "shares": ("shares", "quantity", "qty", "filledqty", "filledquantity"),
    "side": ("side", "buysell", "action"),
    "price": ("price", "fillprice", "avgprice", "executionprice"),
    "fee": ("fee", "fees", "commission", "commissions"),
    "tax": ("tax", "taxes"),
    "id": ("id", "fillid", "execid", "executionid", "tradeid"),
}
PRICE_COLUMNS = ("date", "ticker", *FIELDS, "adjclose", VOLUME)
WEIGHT_COLUMNS = ("date", "ticker", "weight")
_KEYS = {spelling: key for key, spellings in COLUMNS.items() for spelling in spellings}


def normalize(name: object) -> str:
    """A column name as compared: ``Adj Close``, ``adj_close`` and ``AdjClose`` are one."""
    text = str(name).lower()
    # Most labels are tickers of letters and digits: nothing to remove (2,000 a frame).
    return text if text.isalnum() else re.sub(r"[\s_.\-]", "", text)


def column_key(label: object) -> Optional[str]:
    """The column of ``COLUMNS`` that ``label`` spells, or None."""
    try:
        return _KEYS.get(normalize(label))
    except Exception:  # a label whose own str() fails spells nothing; the label checks say so
        return None


def find_columns(labels: Iterable[Any], where: object, wanted: Iterable[str] = tuple(COLUMNS), *,
                 every: bool = False,
                 spellings: Optional[Mapping[str, Tuple[str, ...]]] = None) -> Dict[str, Any]:
    """{column of ``wanted``: the label spelling it}.

    Two labels spelling one column are refused, and with ``every`` any two labels that
    normalize alike (a price file's header); ``where`` is the file or argument named.
    ``spellings`` replaces ``COLUMNS`` for a table of another kind (fills).
    """
    wanted = set(wanted)
    found: Dict[str, Any] = {}
    seen: Dict[str, Any] = {}
    keys = None if spellings is None else {s: k for k, names in spellings.items() for s in names}
    for label in labels:
        key = column_key(label) if keys is None else keys.get(normalize(label))
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


def no_ticker(where: object, found: Mapping[str, Any], value: str) -> ValueError:
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


def long_needs(where: object, needed: Sequence[str], missing: Sequence[str],
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
            raise no_ticker("prices", found, "close")
        return {"close": _dated(prices, "prices")}
    if isinstance(prices, Mapping):
        _one_close(list(prices))
        out: Dict[str, pd.DataFrame] = {}
        for key in prices:
            field = column_key(key)
            if field not in FIELDS and field != VOLUME:
                raise ValueError(f"prices keys must be among {[*FIELDS, VOLUME]}, got {key!r}")
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
        raise no_ticker("weights", found, "weight")
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
    return "close" in keys and keys <= {*FIELDS, VOLUME}


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
        return spread(cells, 0.0, named=False)
    cells, barless = bars_only(cells, pd.unique(cells.tickers))
    if barless:
        notes.append(f"{where}: no valid bar (a close price) for {show(barless)}; left out")
    return spread(cells, np.nan, named=False)


def _frame_cells(frame: pd.DataFrame, found: Mapping[str, Any], value: str, where: str) -> Cells:
    """A long frame's rows as cells, with what a pivot must not meet refused."""
    index = frame.index
    on_index = "date" not in found and (isinstance(index, pd.DatetimeIndex)
                                        or column_key(index.name) == "date")
    needed = ("date", "ticker", value)
    missing = [c for c in needed if c not in found and not (c == "date" and on_index)]
    if missing:
        raise long_needs(where, needed, missing, frame.columns)
    fields = tuple(f for f in (*FIELDS, VOLUME) if f in found) if value == "close" else (value,)
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
    cells = Cells(_frame_dates(dates, where, found.get("date", "index")),
                   tickers.to_numpy(dtype=object),
                   {f: _cell_values(frame[found[f]]) for f in fields})
    refuse_repeated(cells.dates, cells.tickers, Origin(where))
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

class Cells(NamedTuple):
    """A table's rows as cells: a date, a ticker and a value per field."""

    dates: pd.DatetimeIndex
    tickers: np.ndarray
    values: Dict[str, np.ndarray]


def bars_only(cells: Cells, tickers: Iterable[str]) -> Tuple[Cells, List[str]]:
    """The rows that are bars (a row without a close is none), and those of ``tickers`` left
    without a single one."""
    bar = ~pd.isna(cells.values["close"])
    if not bar.all():
        cells = Cells(cells.dates[bar], cells.tickers[bar], {f: v[bar] for f, v in cells.values.items()})
    held = set(cells.tickers)
    return cells, sorted(t for t in tickers if t not in held)


def spread(cells: Cells, fill: float, named: bool = True) -> Dict[str, pd.DataFrame]:
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


def refuse_repeated(dates: pd.DatetimeIndex, tickers: Optional[np.ndarray], origin: Origin,
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
