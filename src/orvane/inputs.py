"""Checks and alignment: user data, in the wide frames ``io`` reads every layout into -> the
arrays the engine takes.

One function per kind of input.  Every failure raises ValueError or TypeError naming the
argument, saying what was expected and showing the first offending values; every silent
adjustment is appended to a list of warnings that the caller reports once.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from orvane._calendar import period_ends
from orvane._financing import is_adjusted, split_prices
from orvane._clock import (Clock, check_dates, check_labels, check_values, outside_clock,
                           unknown_tickers_error)
from orvane._common import SHOWN, period_dates
from orvane._common import day as _day, show as _show
from orvane._schedule import Schedule, schedule
from orvane._shapes import FIELDS, VOLUME, price_frames, weight_frame
from orvane import _native

__all__ = ["PreparedPrices", "prepare_prices"]


# ---------------------------------------------------------------- calendar

def _date_values(values, name):
    """Dates given as values (rebalance dates, delisting dates) -> DatetimeIndex.

    Numbers are refused: pandas would read them as nanoseconds since 1970.
    """
    values = values if isinstance(values, pd.Index) else pd.Index(list(values), dtype=object)
    ends = period_dates(values)
    if ends is not None:
        return ends
    if len(values) and (ptypes.is_numeric_dtype(values.dtype) or ptypes.is_bool_dtype(values.dtype)
                        or values.map(lambda v: isinstance(v, (int, float, np.number))).any()):
        numbers = [v for v in values if isinstance(v, (int, float, np.number))]
        raise TypeError(f"{name} must hold dates, got numbers {_show(numbers)}; convert them "
                        "with pd.to_datetime first (for example format='%Y%m%d')")
    try:
        dates = pd.DatetimeIndex(pd.to_datetime(values))
    except pd.errors.OutOfBoundsDatetime:
        raise outside_clock(values, name) from None
    except (TypeError, ValueError, OverflowError) as exc:
        raise ValueError(f"{name} has values that are not dates: {exc}") from None
    if dates.hasnans:
        raise ValueError(f"{name} has missing dates (NaT)")
    return dates


# More rebalance dates than a century of minute bars is no calendar a run could mean.
_MOST_CALENDAR_DATES = 50_000_000


def _calendar(rebalance, weight_dates, pos_index, clock):
    """Timestamps of the rebalance calendar (ns int64).

    None: every weight row; a frequency: the last weight row of each period (periods of the
    weight rows' own dates); dates: as given, each marking the last bar not after it (on
    daily bars, the bar of the calendar date written).
    """
    if rebalance is None:
        return pos_index
    if isinstance(rebalance, str):
        return pos_index[period_ends(weight_dates, rebalance)]
    if isinstance(rebalance, pd.offsets.BaseOffset):
        return pos_index[period_ends(weight_dates, rebalance.freqstr)]
    if isinstance(rebalance, range):
        raise TypeError("rebalance must be None, a frequency such as 'W', 'M', 'Q' or 'Y', or a "
                        f"list of dates, got {rebalance!r}: integers are not dates")
    try:
        size = len(rebalance)
    except (TypeError, OverflowError):
        size = 0
    if size > _MOST_CALENDAR_DATES:
        raise ValueError(f"rebalance must be a calendar of at most {_MOST_CALENDAR_DATES:,} dates, "
                         f"got {size:,}; pass a frequency such as 'W' or 'M' for a regular "
                         "calendar")
    if isinstance(rebalance, (pd.Series, np.ndarray)) or not isinstance(rebalance, pd.Index):
        try:
            rebalance = list(rebalance)
        except TypeError:
            raise TypeError("rebalance must be None, a frequency such as 'W', 'M', 'Q' or 'Y', "
                            f"or a list of dates, got {type(rebalance).__name__}") from None
    if not len(rebalance):
        raise ValueError("rebalance must hold at least one date, got an empty calendar; pass "
                         "None to trade every weight row")
    dates = _date_values(rebalance, "rebalance")
    keys = clock.key(dates, "rebalance")
    if not clock.daily:
        return np.unique(keys)
    # Each date as the stamp of its bar, so the engine marks the bar of the day written.
    bars = np.unique(clock.last_bar_at_or_before(keys))
    return np.where(bars >= 0, clock.bars[np.maximum(bars, 0)], clock.bars[0] - 1)


# ---------------------------------------------------------------- the whole set of inputs

@dataclass(frozen=True)
class Inputs:
    """Checked, aligned arrays for one engine run plus what the result needs to read it."""

    dates: pd.DatetimeIndex          # price dates, sorted
    price_index: np.ndarray          # the same as int64 ns
    price_columns: np.ndarray        # object array of price tickers
    trade: np.ndarray                # trading price [row, price column]
    close: np.ndarray
    high: Optional[np.ndarray]
    low: Optional[np.ndarray]
    open: Optional[np.ndarray]
    weights: np.ndarray              # [weight row, sid]
    pos_index: np.ndarray            # weight rows' bars as int64 ns
    weight_dates: pd.DatetimeIndex   # the weight rows' own dates
    pos_columns: np.ndarray          # object array of weight tickers (sid order)
    price_col: np.ndarray            # price column of each sid
    resample: np.ndarray
    delisting_bars: Optional[np.ndarray]
    schedule: Schedule
    warnings: List[str]
    volume: Optional[np.ndarray] = None  # shares per bar, when a run's execution reads it


def _align_fields(frames, needed):
    """Sort, check and convert the price frames; returns dates, tickers and arrays by field.

    Every field given must have the close's dates and tickers; only the ``needed`` fields
    are converted.
    """
    close = frames["close"]
    dates, order = check_dates(close.index, "prices")
    tickers = check_labels(close.columns, "prices")
    notes = []
    if order is not None:
        notes.append("prices: dates were not in ascending order and have been sorted")
    arrays, names = {}, {}
    for field in (*FIELDS, VOLUME):
        if field not in frames:
            continue
        name = names[field] = "prices" if len(frames) == 1 else f"prices['{field}']"
        frame = frames[field]
        if field != "close":
            fdates, forder = check_dates(frame.index, name)
            fcols = check_labels(frame.columns, name)
            if not fdates.equals(dates):
                diff = fdates.symmetric_difference(dates)
                raise ValueError(f"{name} and prices['close'] have different dates: "
                                 f"{_show(_day(d) for d in diff)}")
            if set(fcols) != set(tickers):
                diff = sorted(set(fcols) ^ set(tickers))
                raise ValueError(f"{name} and prices['close'] have different tickers: {_show(diff)}")
            if field not in needed:
                continue
            if forder is not None:
                frame = frame.iloc[forder]
            if not fcols.equals(tickers):
                frame = frame.set_axis(fcols, axis=1)[list(tickers)]
        elif order is not None:
            frame = frame.iloc[order]
        arrays[field] = check_values(frame, name)
    # Every scan of the checks in one pass over the fields (None: they lie unlike in memory).
    scan = _native.scan_prices(arrays["close"], arrays.get("open"), arrays.get("high"),
                               arrays.get("low"), _REL_TOL, _JUMP_DOWN, _JUMP_UP)
    for k, field in enumerate(FIELDS):
        if field in arrays and (scan is None or not scan[0][k]):
            _check_positive(arrays[field], names[field], dates, tickers)
    if VOLUME in arrays:
        _check_volume(arrays[VOLUME], names[VOLUME], dates, tickers)
    facts: Dict[str, Any] = {}
    if scan is not None:
        facts = {"bars_hold": scan[1], "close_max": scan[4]}
    if scan is None or scan[2]:
        dates, arrays = _drop_empty_dates(dates, arrays, notes)
    _split_notes(arrays["close"], dates, tickers, notes,
                 None if scan is None or scan[2] else scan[3])
    return dates, tickers, arrays, notes, facts


def _check_volume(volume, name, dates, tickers):
    """Shares traded: 0 or more and finite, NaN for a bar without a volume."""
    bad = ~np.isnan(volume) & ~((volume >= 0) & (volume < np.inf))
    if bad.any():
        rows, cols = np.nonzero(bad)
        raise ValueError(f"{name} must be shares traded, 0 or more (NaN for a bar without a "
                         f"volume), got {volume[rows[0], cols[0]]:g} for {tickers[cols[0]]} on "
                         f"{_day(dates[rows[0]])} ({len(rows)} cells)")


def _drop_empty_dates(dates, arrays, notes):
    """Dates on which no ticker has a close are not trading days (exchange holidays of a
    business-day calendar): kept, they would take the trades of the day before them and
    drop their weights for want of a price."""
    close = arrays["close"]
    if not close.size:
        return dates, arrays
    empty = np.isnan(close).all(axis=1)
    if not empty.any():
        return dates, arrays
    if empty.all():
        raise ValueError("prices must hold at least one price, got NaN in every cell")
    notes.append(f"prices: {int(empty.sum())} dates without a single price (exchange holidays "
                 "on a business-day calendar?) are not trading days and were dropped: "
                 f"{_show((_day(d) for d in dates[empty]), total=int(empty.sum()))}")
    keep = ~empty
    return dates[keep], {field: values[keep] for field, values in arrays.items()}


@dataclass(frozen=True, eq=False)
class PreparedPrices:
    """Prices checked and converted once, for many backtests (see ``prepare_prices``)."""

    dates: pd.DatetimeIndex
    tickers: pd.Index
    arrays: Dict[str, np.ndarray]    # field -> float64 [bar, ticker]
    given: Tuple[str, ...]           # the fields the caller's prices hold
    notes: Tuple[str, ...]
    clock: "Clock"
    close_max: float
    # Whether the bars were found to hold together (checked on first use).
    _bars: Dict[str, bool]
    # The prices' own dividends (a mapping's "dividends" entry), and whether read_prices
    # adjusted them for dividends.
    dividends: Optional[pd.DataFrame] = None
    adjusted: bool = False

    def __repr__(self) -> str:
        return (f"<PreparedPrices {len(self.dates)} bars x {len(self.tickers)} tickers, "
                f"fields {', '.join(self.arrays)}>")


@dataclass(frozen=True, eq=False)
class PreparedWeights:
    """Weights checked and aligned once against prepared prices (for sweeps over fixed
    weights): what every run of them would otherwise redo."""

    market: PreparedPrices
    dates: pd.DatetimeIndex
    keys: np.ndarray
    tickers: pd.Index
    values: np.ndarray
    notes: Tuple[str, ...]
    precision: float = float(np.finfo(np.float64).eps)


def prepare_weights(weights: Any, prices: PreparedPrices) -> PreparedWeights:
    """Check and align ``weights`` once against ``prices`` (from ``prepare_prices``)."""
    notes: List[str] = []
    dates, keys, tickers, values, precision = _weight_frame(weights, prices.clock,
                                                            prices.tickers, notes)
    values.setflags(write=False)
    return PreparedWeights(prices, dates, keys, tickers, values, tuple(notes), precision)


def prepare_prices(prices: Any, fields: Optional[Iterable[str]] = None) -> PreparedPrices:
    """Check and convert prices once, for many backtests on the same market.

    ``prices`` takes every layout ``orvane.backtest`` takes; ``fields`` limits the fields
    converted (default: all given).  Pass the result as ``prices`` to ``orvane.backtest``:
    the runs skip the price checks and conversions and give the same results bit for bit.
    Sweeps do this by themselves.
    """
    try:
        return _prepare_prices(prices, fields)
    except _NotPositive as exc:
        raise ValueError(str(exc)) from None


def _prepare_prices(prices: Any, fields: Optional[Iterable[str]] = None) -> PreparedPrices:
    """``prepare_prices``, with prices at or below zero raised as ``_NotPositive`` for a
    caller that can tell whether weights were passed in their place."""
    if isinstance(prices, PreparedPrices):
        return prices
    notes: List[str] = []
    prices, dividends = split_prices(prices, None)
    frames = price_frames(prices, notes)
    needed = set(frames) if fields is None else ({"close"} | set(fields)) & set(frames)
    dates, tickers, arrays, aligned, facts = _align_fields(frames, needed)
    notes += aligned
    if len(dates) < 2 or len(tickers) == 0:
        raise ValueError(f"prices must have at least 2 dates and one ticker, got {len(dates)} dates "
                         f"and {len(tickers)} tickers")
    close = arrays["close"]
    # Prices are positive (checked above): the largest close, NaN skipped.
    close_max = facts.get("close_max")
    if close_max is None:
        close_max = float(np.fmax.reduce(close, axis=None)) if close.size else np.nan
    # The scan's verdict on the bars, read when a run first uses them.
    bars = {"hold": facts["bars_hold"]} if "bars_hold" in facts else {}
    return PreparedPrices(dates, tickers, arrays, tuple(frames), tuple(notes), Clock(dates),
                          close_max, bars, dividends, is_adjusted(prices))


_REL_TOL = 1e-9


def _check_bars(arrays, dates, tickers, hold=None):
    """low <= min(open, close) and max(open, close) <= high on every bar (NaN skipped);
    ``hold``, the price scan's verdict on these arrays when it made one."""
    c, o, h, lo = (arrays.get(f) for f in ("close", "open", "high", "low"))
    if lo is None and h is None:
        return
    # One native pass tells a clean market; the arithmetic below finds the bars to name.
    if hold if hold is not None else _native.bars_hold(c, o, h, lo, _REL_TOL):
        return
    bad = np.zeros(c.shape, dtype=bool)
    with np.errstate(invalid="ignore"):
        if lo is not None:
            bad |= lo > (c if o is None else np.minimum(o, c)) * (1 + _REL_TOL)
        if h is not None:
            bad |= h < (c if o is None else np.maximum(o, c)) * (1 - _REL_TOL)
    r, k = np.nonzero(bad)

    def cell(i, j):
        parts = ", ".join(f"{f} {arrays[f][i, j]:g}" for f in ("open", "high", "low", "close")
                          if f in arrays)
        return f"{tickers[j]} on {_day(dates[i])}: {parts}"

    hints = []
    if h is not None and lo is not None:
        checked = np.isfinite(h) & np.isfinite(lo) & np.isfinite(c)
        outside = checked & ((c < lo * (1 - _REL_TOL)) | (c > h * (1 + _REL_TOL)))
        share = outside.sum() / max(int(checked.sum()), 1)
        swapped = int((h[r, k] < lo[r, k]).sum())
        # Swapped columns show on most bars, not on one bad print.
        if swapped * 2 > int(checked.sum()):
            hints.append(f"high is below low on {swapped} bars: are the high and low columns swapped?")
        elif share >= 0.1:
            hints.append(f"close lies outside [low, high] on {share * 100:.0f} % of bars: was close "
                         "adjusted for dividends and splits while open/high/low were not?")
    raise ValueError(f"prices must hold together on every bar (low <= open, close <= high); "
                     f"{len(r)} bars do not: {_show((cell(i, j) for i, j in zip(r, k)), total=len(r))}"
                     + "".join(f"; {h}" for h in hints))


# A one-day move beyond these ratios is listed: undone within two bars, a bad print or a
# split applied to one day; kept, most likely a split the prices were not adjusted for.
_JUMP_DOWN, _JUMP_UP = 0.3, 4.0

# Common split ratios, as the move of the price: 7:1 divides it by 7, a reverse 1:10
# multiplies it by 10.
_SPLITS = {**{f"{n:g}:1": 1 / n for n in (2, 3, 1.5, 4, 5, 7, 8, 10, 15, 20, 30, 50)},
           **{f"1:{n}": float(n) for n in (2, 3, 4, 5, 8, 10, 15, 20, 25, 30, 50, 100)}}
_SPLITS["3:2"] = _SPLITS.pop("1.5:1")
# A split day also moves with the market: within 5 % of a ratio counts as that ratio.
_SPLIT_TOLERANCE = np.log(1.05)


def _nearest_split(move):
    name, ratio = min(_SPLITS.items(), key=lambda kv: abs(np.log(move / kv[1])))
    return f" (a {name} split?)" if abs(np.log(move / ratio)) <= _SPLIT_TOLERANCE else ""


def _split_notes(close, dates, tickers, notes, jumps=None):
    """List one-day moves beyond -70 % or +300 %: those that reverse within a bar or two,
    and those that stay (a split left in unadjusted prices, or a real crash); ``jumps``,
    the price scan's verdict on this close when it made one."""
    # One native pass finds none on a clean market; the arithmetic below names them.
    if jumps is None:
        jumps = len(close) >= 2 and _native.has_jumps(close, _JUMP_DOWN, _JUMP_UP)
    if len(close) < 2 or not jumps:
        return
    # Extreme prices may overflow the ratios: those are infinite, hence jumps as well.
    with np.errstate(all="ignore"):
        move = close[1:] / close[:-1]
        jump = (move < _JUMP_DOWN) | (move > _JUMP_UP)
        rows, cols = np.nonzero(jump)
        found, kept = [], []
        for i, j in zip(rows, cols):
            before = close[i, j]
            after = close[i + 2:i + 4, j] / before
            where = f"{tickers[j]} on {_day(dates[i + 1])}: {before:g} -> {close[i + 1, j]:g}"
            if np.any((after > 0.5) & (after < 2.0)):
                found.append(where)
            else:
                kept.append(where + _nearest_split(move[i, j]))
    if found:
        notes.append(f"prices: {len(found)} one-day moves beyond -70 % or +300 % reverse within "
                     f"two bars (a bad print, or a split applied to one day only?): "
                     f"{_show(found)}")
    if kept:
        notes.append(f"prices: {len(kept)} one-day moves beyond -70 % or +300 % do not reverse "
                     f"(a split the prices were not adjusted for, or a real crash?): "
                     f"{_show(kept)}; backtest on split-adjusted prices (read_prices uses Adj "
                     "Close when a file has it)")


class _NotPositive(ValueError):
    """Prices at or below zero: also what weights passed as prices look like.  Never
    reaches the caller under this name (``prepare_prices`` raises a ValueError)."""


def _check_positive(values, name, dates, tickers):
    # One native pass, NaN skipped, tells a clean matrix; the arithmetic names the cells.
    if _native.positive_finite(values):
        return
    bad_r, bad_c = np.nonzero((values <= 0) | np.isinf(values))
    cells = [f"{tickers[c]} on {_day(dates[r])}: {float(values[r, c])!r}"
             for r, c in zip(bad_r[:SHOWN], bad_c[:SHOWN])]
    raise _NotPositive(f"{name} must be positive and finite (NaN marks a missing bar); "
                     f"got {_show(cells)}" + (f" ({len(bad_r)} cells)" if len(bad_r) > SHOWN else ""))


def _nan_note(count, notes):
    if count:
        notes.append(f"weights: {count} NaN weights were read as 0 (no position)")


def _weight_frame(weights, clock, price_tickers, notes):
    wide = weight_frame(weights)
    wdates, order = check_dates(wide.index, "weights")
    periods = isinstance(wide.index, pd.PeriodIndex)
    if periods and not clock.daily:
        # On intraday bars a day's period is known at its last instant, not at its midnight.
        ends = pd.DatetimeIndex(wide.index.end_time)
        wdates = ends if order is None else ends[order]
    w_key = clock.weight_keys(wdates, notes)
    if periods and len(w_key):
        # A period's weights are those of its last bar, and say so in the trade records.
        bars = clock.period_bars(w_key, wdates, wide.index.freq)
        found = bars >= 0
        w_key = np.where(found, clock.keys[np.maximum(bars, 0)], w_key)
        wdates = pd.DatetimeIndex(np.where(found, clock.dates[np.maximum(bars, 0)], wdates))
    if order is not None:
        wide = wide.iloc[order]
        notes.append("weights: dates were not in ascending order and have been sorted")
    tickers = check_labels(wide.columns, "weights")
    if len(tickers) == 0 or len(wdates) == 0:
        raise ValueError(f"weights must have at least one date and one ticker, got shape {wide.shape}")
    unknown = tickers[~tickers.isin(price_tickers)]
    if len(unknown):
        raise unknown_tickers_error("weights", unknown, price_tickers)
    # A copy: weights of dropped trades are zeroed below, never in the caller's frame.
    values = np.array(check_values(wide, "weights"), dtype=np.float64, order="C")
    precision = max((float(np.finfo(getattr(t, "numpy_dtype", t)).eps) for t in set(wide.dtypes)
                     if ptypes.is_float_dtype(t)),
                    default=float(np.finfo(np.float64).eps))
    nan = np.isnan(values)
    if nan.any():
        values[nan] = 0.0
        _nan_note(int(nan.sum()), notes)
    if np.isinf(values).any():
        r, c = np.nonzero(np.isinf(values))
        cells = [f"{tickers[j]} on {_day(wdates[i])}" for i, j in zip(r[:SHOWN], c[:SHOWN])]
        raise ValueError(f"weights must be finite; infinite weights at {_show(cells)}")
    _refuse_overflowing_gross(values, wdates, tickers)
    if not values.any():
        notes.append("weights are all zero: the run holds cash throughout")
    else:
        wdates, w_key, values = _skip_warm_up(wdates, w_key, values, notes)
    p_key, price_dates = clock.keys, clock.dates
    if w_key[-1] < p_key[0] or w_key[0] > p_key[-1]:
        side = "before" if w_key[-1] < p_key[0] else "after"
        raise ValueError(f"weights dates ({_day(wdates[0])} .. {_day(wdates[-1])}) lie entirely "
                         f"{side} the prices ({_day(price_dates[0])} .. {_day(price_dates[-1])})")
    return wdates, w_key, tickers, values, precision


def _skip_warm_up(wdates, w_key, values, notes):
    """Leading rows without a position (a look-back's warm-up) hold cash whatever their
    dates: the live period, and the statistics over it, start at the first row that holds
    one, as they would if those rows had never been written."""
    held = np.flatnonzero(values.any(axis=1))
    first = int(held[0])
    if first == 0:
        return wdates, w_key, values
    notes.append(f"weights: the first {first} rows ({_day(wdates[0])} .. "
                 f"{_day(wdates[first - 1])}) hold no position (a warm-up?): the live period "
                 f"and the statistics start at the first row that does, {_day(wdates[first])}")
    return wdates[first:], w_key[first:], values[first:]


def _refuse_overflowing_gross(values, wdates, tickers):
    """Rows scaled to gross 1 need a gross that no order of summing overflows: the engine
    would divide by infinity and trade nothing, without a word."""
    with np.errstate(over="ignore"):
        bound = np.abs(values).max(axis=1, initial=0.0) * np.count_nonzero(values, axis=1)
    bad = np.flatnonzero(~np.isfinite(bound))
    if not len(bad):
        return
    rows = []
    for i in bad[:SHOWN]:
        big = np.argsort(-np.abs(values[i]), kind="stable")[:2]
        rows.append(f"{_day(wdates[i])} ({', '.join(f'{tickers[j]} {values[i, j]:g}' for j in big)})")
    raise ValueError(
        f"weights must be fractions of the portfolio (0.10 means 10 %), got rows whose gross (the "
        f"sum of absolute weights) overflows a float, so they cannot be scaled to gross 1: "
        f"{_show(rows, total=len(bad))}; check the weights for values near 1e308 (a division by "
        "a number near 0?)")


def _delisting_bars(delistings, weight_tickers, price_tickers, clock, trade):
    """Per weight ticker, the bar on which it is sold as delisted (-1: never)."""
    if delistings is None:
        return None
    n = len(clock.keys)
    if isinstance(delistings, str):
        if delistings != "infer":
            raise ValueError(f"delistings must be None, 'infer' or a mapping ticker -> date, got {delistings!r}")
        # Last bar with a trading price; a ticker whose prices stop early is taken as delisted.
        tradable = ~np.isnan(trade)
        last = n - 1 - np.argmax(tradable[::-1], axis=0)
        last[~tradable.any(axis=0)] = -1
        bars = np.where((last >= 0) & (last < n - 1), last, -1)
        by_ticker = pd.Series(bars, index=price_tickers)
        return by_ticker.reindex(weight_tickers).to_numpy(dtype=np.int64)
    if isinstance(delistings, Mapping):
        delistings = pd.Series(dict(delistings), dtype=object)
    if not isinstance(delistings, pd.Series):
        raise TypeError("delistings must be None, 'infer', or a mapping/Series ticker -> date, "
                        f"got {type(delistings).__name__}")
    names = check_labels(delistings.index, "delistings")
    unknown = names[~names.isin(price_tickers)]
    if len(unknown):
        raise unknown_tickers_error("delistings", unknown, price_tickers)
    known = ~pd.isna(delistings.to_numpy())
    given = delistings[known].to_numpy()
    when = _date_values(given, "delistings")
    # Sold on the first bar at or after the date; later than the data: never.
    keys = clock.key(when, "delistings")
    rows = clock.first_bar_at_or_after(keys)
    # A period stands for its last bar, as a weight row labelled by one does: a month
    # ending on a Sunday is not sold on the next month's first bar.
    for k in np.flatnonzero([isinstance(v, pd.Period) for v in given]):
        bar = clock.period_bars(keys[k:k + 1], when[k:k + 1], given[k].freq)[0]
        if bar >= 0:
            rows[k] = bar
    rows = np.where(rows >= n, -1, rows)
    # Without a price on that bar (the date is the first day without data), on the last bar
    # with one: the value is the same, and the trade's exit then has a price.
    cols = price_tickers.get_indexer(names[known])
    for k in np.flatnonzero((rows >= 0) & np.isnan(trade[np.maximum(rows, 0), cols])):
        priced = np.flatnonzero(~np.isnan(trade[: rows[k] + 1, cols[k]]))
        if len(priced):
            rows[k] = priced[-1]
    by_ticker = pd.Series(rows, index=names[known])
    return by_ticker.reindex(weight_tickers).fillna(-1).to_numpy(dtype=np.int64)


def _price_like(weights):
    """Weights that look like prices: all positive, typically well above 1."""
    try:
        wide = weight_frame(weights)
    except (TypeError, ValueError):
        # A mapping of fields, or a market: its closes.
        try:
            wide = price_frames(weights, [])["close"]
        except (TypeError, ValueError, KeyError):
            return False
    try:
        values = wide.select_dtypes(["integer", "floating"]).to_numpy(dtype=np.float64)
    except (TypeError, ValueError):
        return False
    values = values[np.isfinite(values)]
    return bool(values.size) and bool((values > 0).all()) and float(np.median(values)) > 1.0


def _swapped():
    return ValueError("prices and weights look swapped: the prices hold weight-like values "
                      "(zero, negative or at most 1) and the weights price-like ones (all "
                      "positive, most above 1); call backtest(weights, prices)")


# Gross exposure a row may reach before the engine's scaling counts as meant.
_GROSS_TOLERANCE = 1e-9
# Rounding a weight to its dtype moves it by half an ulp; a few ulps per name covers the
# rounding of weights normalised to gross 1 in that dtype, and of their sum.
_ULPS_PER_NAME = 4
# ... but a float16 row of many names is not let off by more than this.
_MOST_ROUNDING = 1e-3


def _gross_notes(values, notes, precision, limit=1.0):
    """Say when the engine will scale weight rows down to the gross limit.  A row at the
    limit within the precision of the dtype its weights came in (float32 rows summing to
    1.0000001) is no adjustment worth a word."""
    gross = np.abs(values).sum(axis=1)
    names = np.count_nonzero(values, axis=1)
    over = gross > limit * (1.0 + np.clip(_ULPS_PER_NAME * precision * names, _GROSS_TOLERANCE,
                                          _MOST_ROUNDING))
    if not over.any():
        return
    counts = f"{int(over.sum())} rows, largest gross {gross.max():g}"
    if (np.abs(values) > 1.0).any():
        notes.append(f"weights are fractions of the portfolio: 0.10 means 10 %; rows with gross "
                     f"above {limit:g} are scaled to {limit:g}, the max_gross in force ({counts})")
    else:
        notes.append(f"weights: rows with gross above {limit:g} are scaled to gross {limit:g} "
                     f"({counts}); with exit rules, a stopped name's weight is then spread over "
                     "the rest of its row instead of staying in cash; max_gross sets the limit")


def _control_notes(values, rows, wdates, wtickers, notes, max_gross, position_limit, band):
    """Say when the book controls change the targets traded (``rows`` of ``values``): a
    name cut to ``position_limit`` after the scaling to ``max_gross``, and a band as wide as
    every target, which leaves every held name as it is."""
    block = np.abs(values[rows])
    if not block.size:
        return
    gross = block.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        held = block * np.where(gross > max_gross, max_gross / gross, 1.0)[:, None]
    over = held > position_limit * (1.0 + _GROSS_TOLERANCE)
    if over.any():
        r, c = np.unravel_index(np.argmax(np.where(over, held, -1.0)), held.shape)
        notes.append(f"weights: {int(over.sum())} targets above position_limit="
                     f"{position_limit:g} are cut to it, the rest held in cash (largest "
                     f"{held[r, c]:g}, {wtickers[c]} on {_day(wdates[rows[r]])}); "
                     "position_limit can go up to max_gross")
    largest = float(np.minimum(held, position_limit).max())
    if band and largest > 0 and band >= largest:
        notes.append(f"band={band:g} is as wide as every target weight (the largest "
                     f"{largest:g}): a held name is never resized, only entered and exited; "
                     "band is an absolute weight (0.02 = 2 percentage points), not a share "
                     "of the target")


def _refuse_lotless(values, rows, bar, price_col, trade, wdates, wtickers, capital, lot):
    """Refuse a capital in which no target traded is worth one lot at its trading price:
    every target would round to nothing and the run hold cash throughout.  The targets
    before any scaling and the equity it starts with are the most any rebalance can buy
    while nothing has been bought."""
    if capital is None or not len(rows):
        return
    money = np.abs(values[rows]) * capital
    cost = lot * trade[bar[:, None], price_col[None, :]]
    held = money > 0
    with np.errstate(invalid="ignore"):
        if not held.any() or (held & (money >= cost)).any():
            return
        # The target nearest to buying its lot.
        r, c = np.unravel_index(np.argmax(np.where(held & (cost > 0), money / cost, -1.0)),
                                money.shape)
    raise ValueError(f"capital must buy one lot of some target, got {capital:,g}: the largest "
                     f"target, {money[r, c] / capital:g} of it ({wtickers[c]} on "
                     f"{_day(wdates[rows[r]])}), is {money[r, c]:,.4g} against a lot of {lot} "
                     f"shares at {cost[r, c] / lot:g} ({cost[r, c]:,.4g}); give capital in "
                     "money (e.g. capital=100000) or a smaller lot")


def control_notes(data: "Inputs", max_gross: float, position_limit: float,
                  band: Optional[float], capital: Optional[float], lot: int) -> List[str]:
    """What the book controls do to the prepared targets: the notes (targets cut to
    ``position_limit``, a band as wide as every target) and the refusal of a capital that
    buys no lot.  Apart from ``prepare``, so that runs differing only in these reuse it."""
    plan = data.schedule
    live = plan.bar < len(data.dates)
    notes: List[str] = []
    _control_notes(data.weights, plan.weight_row[live], data.weight_dates, data.pos_columns,
                   notes, max_gross, position_limit, band)
    _refuse_lotless(data.weights, plan.weight_row[live], plan.bar[live], data.price_col,
                    data.trade, data.weight_dates, data.pos_columns, capital, lot)
    return notes


def prepare(weights: Any, prices: Any, *, trade_at: str = "close", rebalance: Any = None,
            delistings: Any = None, intrabar_exits: bool = False,
            max_gross: float = 1.0, fields: Iterable[str] = ()) -> Inputs:
    """Check and align the data of one run (see ``orvane.backtest`` for the rules).
    ``fields``: price fields the run reads besides these (volume, or the bars of a spread
    estimate), converted where the prices hold them."""
    fields = tuple(fields)
    bars_used = intrabar_exits or trade_at == "open" or "high" in fields
    needed = {"close", trade_at} | ({"open", "high", "low"} if bars_used else set()) | set(fields)
    if isinstance(prices, PreparedPrices):
        market = prices
    else:
        try:
            market = _prepare_prices(prices, needed)
        except _NotPositive as exc:
            raise (_swapped() if _price_like(weights) else ValueError(str(exc))) from None
    if trade_at == "open" and "open" not in market.given:
        raise ValueError("trade_at='open' needs opening prices: pass prices as a mapping or "
                         "(field, ticker) frame with an 'open' field")
    if intrabar_exits and not {"open", "high", "low"} <= set(market.given):
        raise ValueError("intrabar_exits=True needs open, high and low prices besides close; "
                         "pass prices as a mapping or (field, ticker) frame with those fields")
    # Fields the prices hold but were not prepared with (the fields not given at all are
    # refused above where a run needs them: high and low only check the bars).
    missing = sorted((needed & set(market.given)) - set(market.arrays))
    if missing:
        raise ValueError(f"prices were prepared without the fields this run needs: {missing}; "
                         "prepare them with those fields (prepare_prices(prices, fields=...))")
    if market.close_max <= 1.0 and not isinstance(weights, PreparedWeights) \
            and _price_like(weights):
        raise _swapped()
    dates, tickers, arrays, clock = market.dates, market.tickers, market.arrays, market.clock
    notes = list(market.notes)
    if bars_used and not market._bars.get("checked"):
        _check_bars(arrays, dates, tickers, market._bars.get("hold"))
        market._bars["checked"] = True
    if isinstance(weights, PreparedWeights):
        if weights.market is not market:
            raise ValueError("weights were prepared for other prices; prepare them with "
                             "prepare_weights(weights, prices) for these")
        wdates, w_key, wtickers = weights.dates, weights.keys, weights.tickers
        precision = weights.precision
        # A copy: weights of dropped trades are zeroed below.
        values = weights.values.copy()
        notes += weights.notes
    else:
        wdates, w_key, wtickers, values, precision = _weight_frame(weights, clock, tickers, notes)
    p_ns = clock.bars
    n = len(p_ns)

    # Each weight row counts from the last price bar at or before its date (earlier dates:
    # the first bar).  Several rows on one bar: the engine would trade only the last.
    bar_of_row = np.clip(clock.last_bar_at_or_before(w_key), 0, n - 1)
    keep = np.append(bar_of_row[1:] != bar_of_row[:-1], True)
    if not keep.all():
        notes.append(f"weights: {int((~keep).sum())} rows share a price bar with a later row "
                     "and are superseded by it")
        values = values[keep]
        wdates = wdates[keep]
        bar_of_row = bar_of_row[keep]
    pos_index = p_ns[bar_of_row]
    resample = _calendar(rebalance, wdates, pos_index, clock)

    trade = arrays[trade_at]
    bars = _delisting_bars(delistings, wtickers, tickers, clock, trade)
    price_col = tickers.get_indexer(wtickers)
    plan = schedule(p_ns, pos_index, resample)

    # A weight traded on a bar without a trading price (not listed yet, a gap, delisted),
    # or on or after the ticker's delisting bar, is dropped for that rebalance.
    live = plan.bar < n
    rows, bar = plan.weight_row[live], plan.bar[live]
    if len(rows):
        block = values[rows]
        missing = (block != 0) & np.isnan(trade[bar[:, None], price_col[None, :]])
        if bars is not None:
            missing |= (block != 0) & (bars[None, :] >= 0) & (bar[:, None] >= bars[None, :])
        if missing.any():
            r, c = np.nonzero(missing)
            cells = [f"{wtickers[j]} on {_day(dates[bar[i]])}" for i, j in zip(r[:10], c[:10])]
            values[rows[r], c] = 0.0
            notes.append(f"weights: {len(r)} non-zero weights dropped for their rebalance "
                         f"because the ticker has no trading price on the bar it would be "
                         f"traded (not listed yet, a gap, or delisted): {_show(cells, 10, len(r))}")
    _gross_notes(values, notes, precision, max_gross)
    return Inputs(
        dates=dates,
        price_index=p_ns,
        price_columns=np.asarray(tickers, dtype=object),
        trade=trade,
        close=arrays["close"],
        high=arrays.get("high"),
        low=arrays.get("low"),
        open=arrays.get("open"),
        weights=values,
        pos_index=pos_index,
        weight_dates=wdates,
        pos_columns=np.asarray(wtickers, dtype=object),
        price_col=price_col,
        resample=resample,
        delisting_bars=bars,
        schedule=plan,
        warnings=notes,
        volume=arrays.get(VOLUME),
    )
