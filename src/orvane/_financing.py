"""The money a book earns and pays besides its trades: interest on cash and on short-sale
proceeds, borrow fees on shorts, dividends.  The user's rates (numbers, or step functions
over dates) and dividends (cash per share on ex-dates) -> the engine's per-bar accrual
factors and per-share amounts, aligned on the price bars.

Every rate is annual and accrues over the calendar time between two bars: on daily bars
the whole days from one bar's date to the next (a Friday-to-Monday interval is 3 days), on
intraday bars the exact time.  A rate given over dates is in force from its date until the
next one's, so a change dated on a weekend counts from that weekend; one given over periods
from its period's start.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

import numpy as np
import pandas as pd

from orvane._checks import Bounds, check_real, shown
from orvane._clock import Clock, check_dates, check_labels, check_values, unknown_tickers_error
from orvane._common import day as _day, per_ticker, percent, show as _show

__all__ = ["Financing", "DAY_COUNTS", "check_rate", "check_borrow_fee", "check_dividends",
           "check_day_count", "financing", "split_prices"]

_DAY_NS = 86_400 * 10**9
DAY_COUNTS = (360, 365)
# Annual rates as fractions.  A cash rate of 1 (100 % a year) or more is a percentage
# typed as a number; negative rates have existed and are warned of.
RATE = Bounds(-0.2, 1.0, high_open=True)
# One fee for every short: 100 % a year on the whole short book is a percentage typed.
FLAT_FEE = Bounds(0.0, 1.0, high_open=True)
# Per name: hard-to-borrow names can cost several times their value a year.
NAME_FEE = Bounds(0.0, 10.0)
_HIGH_FEE = 1.0
# General collateral costs a fraction of a percent: one fee this high on every name is
# almost always a percent written as a fraction.
_FLAT_FEE_WARNING = 0.25
# A dividend is rarely below this share of its price; all of them below it are yields.
_DIVIDEND_YIELD = 1e-3

Rate = Union[float, pd.Series]


@dataclass(frozen=True)
class Financing:
    """The engine's financing arrays of one run (see ``orvane.core.tradeloom.set_financing``)."""

    cash: Optional[np.ndarray]
    rebate: Optional[np.ndarray]
    borrow: Optional[np.ndarray]
    dividends: Optional[np.ndarray]

    def core(self) -> Dict[str, Optional[np.ndarray]]:
        return {"cash": self.cash, "rebate": self.rebate, "borrow": self.borrow,
                "dividends": self.dividends}


# ---------------------------------------------------------------- option checks

def _example(name: str) -> str:
    return f"{name}=0.05 means 5 % a year"


def check_rate(value: Any, name: str) -> Optional[Rate]:
    """An annual rate: a number, or a Series of numbers over dates (checked with the run's
    dates); None is off."""
    if value is None:
        return None
    if isinstance(value, pd.Series):
        return value.copy()
    if isinstance(value, pd.DataFrame):
        raise TypeError(f"{name} must be a number or a Series over dates, got a DataFrame; "
                        f"pass its column, e.g. frame['rate']")
    return check_real(value, name, RATE, what="an annual rate (a fraction)",
                      hint=f": {_example(name)}")


def check_borrow_fee(value: Any) -> Union[None, float, pd.Series, pd.DataFrame]:
    """A number for every short, a Series ticker -> rate, or a frame dates x tickers."""
    if value is None:
        return None
    if isinstance(value, (pd.Series, pd.DataFrame)):
        return value.copy()
    if isinstance(value, Mapping):
        # {ticker: rate} reads as the Series it spells.
        return pd.Series(dict(value), dtype=object if not value else None)
    return check_real(value, "borrow_fee", FLAT_FEE, what="an annual rate (a fraction)",
                      hint=": 0.005 means 0.5 % a year; for names that cost more give a "
                           "Series or frame of rates per ticker")


def check_dividends(value: Any) -> Optional[pd.DataFrame]:
    if value is None:
        return None
    if not isinstance(value, pd.DataFrame):
        raise TypeError(f"dividends must be a DataFrame of cash per share (ex-dates x "
                        f"tickers), got {shown(value)}")
    return value.copy()


def check_day_count(value: Any) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) \
            or int(value) not in DAY_COUNTS:
        raise ValueError(f"day_count must be 360 or 365 (days a year of interest), got "
                         f"{shown(value)}")
    return int(value)


def split_prices(prices: Any, dividends: Any) -> Tuple[Any, Any]:
    """(prices, dividends) with a mapping's ``"dividends"`` entry taken out.  Dividends on
    prices that ``read_prices`` adjusted for them would be counted twice: refused."""
    own = getattr(prices, "dividends", None)
    if isinstance(own, pd.DataFrame):  # prepared prices keep their mapping's entry
        if dividends is not None:
            raise ValueError("dividends are given twice: as dividends= and as the prices' "
                             "'dividends' entry; pass one")
        return prices, own
    if isinstance(prices, Mapping) and "dividends" in prices:
        if dividends is not None:
            raise ValueError("dividends are given twice: as dividends= and as the prices' "
                             "'dividends' entry; pass one")
        dividends = prices["dividends"]
        adjusted = getattr(prices, "adjusted", False)
        prices = _without(prices, "dividends")
        if adjusted:
            setattr(prices, "adjusted", True)
    if dividends is not None and is_adjusted(prices):
        raise ValueError("dividends with prices that read_prices adjusted for dividends would "
                         "count them twice: read the prices with read_prices(..., "
                         "adjust=False), which also returns their dividends")
    return prices, dividends


def is_adjusted(prices: Any) -> bool:
    """Whether ``read_prices`` adjusted these prices for dividends: the mapping says so, or
    any of its frames (or the frame itself), as a copy or a slice of them still does."""
    if getattr(prices, "adjusted", False):
        return True
    frames = prices.values() if isinstance(prices, Mapping) else [prices]
    return any(isinstance(f, pd.DataFrame) and bool(f.attrs.get("adjusted")) for f in frames)


def _without(prices: Mapping[str, Any], key: str) -> Any:
    kept = type(prices)() if isinstance(prices, dict) else {}
    for k, v in prices.items():
        if k != key:
            kept[k] = v
    return kept


# ---------------------------------------------------------------- alignment

def financing(data: Any, settings: Mapping[str, Any], notes: List[str]) -> Optional[Financing]:
    """The engine's arrays for a run's settings, or None when every flow is off."""
    cash_rate, rebate = settings.get("cash_rate"), settings.get("short_rebate")
    borrow, dividends = settings.get("borrow_fee"), settings.get("dividends")
    if cash_rate is None and rebate is None and borrow is None and dividends is None:
        return None
    bars = _Bars(data, settings["day_count"])
    money = Financing(
        cash=None if cash_rate is None else bars.accrual(cash_rate, "cash_rate", notes),
        rebate=None if rebate is None else bars.accrual(rebate, "short_rebate", notes),
        borrow=None if borrow is None else _borrow(bars, borrow, notes),
        dividends=None if dividends is None else _dividends(bars, dividends, notes))
    if money.rebate is not None:
        _rebate_note(bars, money.rebate, money.cash, notes)
    return money


# Short-sale proceeds are cash the broker holds: it pays them the cash rate less a spread.
_REBATE_SLACK = 1e-12


def _rebate_note(bars: _Bars, rebate: np.ndarray, cash: Optional[np.ndarray],
                 notes: List[str]) -> None:
    """Warn of a rebate above the cash rate (none given: 0) on any interval."""
    cash = np.zeros_like(rebate) if cash is None else cash
    above = np.flatnonzero(rebate > cash + _REBATE_SLACK * np.abs(cash) + 1e-18)
    if not len(above):
        return
    k = int(above[0])
    # The accruals over the interval's calendar days back into annual rates.
    span = (bars.days[k] - bars.days[k - 1]) / bars.year
    notes.append(f"short_rebate is above cash_rate ({rebate[k] / span:.4g} against "
                 f"{cash[k] / span:.4g} from {_day(bars.data.dates[k - 1])}): no broker pays "
                 "more on short-sale proceeds than on cash; short_rebate is the cash rate less "
                 "a spread (0.0 for most retail accounts)")


class _Bars:
    """The run's bars as times in days (calendar days on daily bars), from the first."""

    def __init__(self, data: Any, day_count: int):
        self.data = data
        self.clock = Clock(data.dates)
        keys = self.clock.keys
        self.origin = int(keys[0])
        self.days = (keys - self.origin) / _DAY_NS
        self.year = float(day_count)
        self.tickers = [str(t) for t in data.price_columns]
        self._column = {t: c for c, t in enumerate(self.tickers)}
        # The engine books nothing on the first bar it simulates: flows need rates from it.
        self.first = int(np.searchsorted(data.price_index, data.pos_index[0], side="left"))

    def columns(self, tickers: pd.Index, name: str) -> np.ndarray:
        """The price column of each of ``name``'s tickers; tickers without prices are
        refused, the first ones named."""
        found = np.array([self._column.get(t, -1) for t in tickers], dtype=np.intp)
        if (found < 0).any():
            raise unknown_tickers_error(name, list(tickers[found < 0]), self.tickers)
        return found

    def day_of(self, dates: pd.DatetimeIndex, name: str) -> np.ndarray:
        return (self.clock.key(dates, name) - self.origin) / _DAY_NS

    def step_accrual(self, knots: np.ndarray, rates: np.ndarray) -> np.ndarray:
        """Per bar, the integral over (previous bar, bar] of the step function taking
        ``rates[k]`` from ``knots[k]`` (0 before the first), over the year."""
        rates2 = rates.reshape(len(knots), -1)
        widths = np.diff(knots)[:, None]
        area = np.concatenate([np.zeros((1, rates2.shape[1])),
                               np.cumsum(rates2[:-1] * widths, axis=0)])
        k = np.searchsorted(knots, self.days, side="right") - 1
        kk = np.maximum(k, 0)
        at = np.where((k >= 0)[:, None], area[kk] + rates2[kk] * (self.days - knots[kk])[:, None],
                      0.0)
        out = np.zeros_like(at)
        out[1:] = (at[1:] - at[:-1]) / self.year
        return out if rates.ndim == 2 else out[:, 0]

    def accrual(self, rate: Rate, name: str, notes: List[str]) -> np.ndarray:
        """Per-bar accrual factors of a cash rate (a number or a Series over dates)."""
        if not isinstance(rate, pd.Series):
            if rate < 0:
                notes.append(f"{name}={rate:g} is negative: cash is charged it, not paid it")
            out = np.zeros(len(self.days))
            out[1:] = rate * np.diff(self.days) / self.year
            return out
        dates, values = _dated_numbers(rate, name)
        knots = self.day_of(dates, name)
        start = self.days[self.first]
        if knots[0] > start:
            raise ValueError(f"{name} starts on {_day(dates[0])}, after the run's first bar "
                             f"{_day(self.data.dates[self.first])}: give a rate in force from "
                             f"that bar on (each value applies from its date to the next)")
        bad = ~np.array([RATE.contains(v) for v in values])
        if bad.any():
            where = np.flatnonzero(bad)
            raise ValueError(f"{name} must hold annual rates {RATE.words()}, got "
                             f"{_show(f'{values[i]:g} on {_day(dates[i])}' for i in where)}: "
                             f"{_example(name)}")
        used = values[np.searchsorted(knots, start, side="right") - 1:]
        if (used < 0).any():
            notes.append(f"{name} is negative on some dates: cash is charged it then, not "
                         "paid it")
        return self.step_accrual(knots, values)


def _in_force(index: pd.Index) -> pd.Index:
    """A rate's period is the time it is in force, so it counts from the period's start
    (a weight row's period is known only at its end, a rate's is not)."""
    return index.start_time if isinstance(index, pd.PeriodIndex) else index


def _dated_numbers(series: pd.Series, name: str) -> Tuple[pd.DatetimeIndex, np.ndarray]:
    dates, order = check_dates(_in_force(series.index), name)
    values = check_values(series.to_frame(), name)[:, 0]
    if order is not None:
        values = values[order]
    missing = np.isnan(values)
    if missing.all():
        raise ValueError(f"{name} has no values (all NaN)")
    if missing.any():
        # A gap keeps the rate in force: the last value before it.
        dates, values = dates[~missing], values[~missing]
    return dates, values


def _borrow(bars: _Bars, fee: Union[float, pd.Series, pd.DataFrame],
            notes: List[str]) -> np.ndarray:
    """Per bar and price column, the accrual of each short's borrow fee."""
    n, width = len(bars.days), len(bars.tickers)
    if not isinstance(fee, (pd.Series, pd.DataFrame)):
        if fee >= _FLAT_FEE_WARNING:
            notes.append(f"borrow_fee={fee:g} is {fee * 100:g} % a year on every short: a "
                         "percent written as a fraction? 0.005 means 0.5 %; give hard-to-borrow "
                         "names their own rate with a Series or frame per ticker")
        per_bar = bars.step_accrual(np.zeros(1), np.array([float(fee)]))
        return np.broadcast_to(per_bar[:, None], (n, width))
    if isinstance(fee, pd.Series):
        if isinstance(fee.index, (pd.DatetimeIndex, pd.PeriodIndex)):
            raise TypeError("borrow_fee as a Series is a rate per ticker (indexed by ticker); "
                            "for rates over time pass a frame of dates x tickers")
        frame = pd.DataFrame([fee.to_numpy()], columns=fee.index)
        knots = np.array([-np.inf])
        dates = None
    else:
        frame = fee
        dates, order = check_dates(_in_force(frame.index), "borrow_fee")
        if order is not None:
            frame = frame.iloc[order]
        knots = bars.day_of(dates, "borrow_fee")
    tickers = check_labels(frame.columns, "borrow_fee")
    values = check_values(frame, "borrow_fee")
    columns = bars.columns(tickers, "borrow_fee")
    bad = ~np.isnan(values) & ~((values >= NAME_FEE.low) & (values <= NAME_FEE.high))
    if bad.any():
        r, c = np.argwhere(bad)[0]
        when = "" if dates is None else f" on {_day(dates[r])}"
        raise ValueError(f"borrow_fee must hold annual rates {NAME_FEE.words()}, got "
                         f"{values[r, c]:g} for {tickers[c]}{when}: 0.05 means 5 % a year")
    if (values >= _HIGH_FEE).any():
        r, c = np.argwhere(values >= _HIGH_FEE)[0]
        notes.append(f"borrow_fee for {tickers[c]} is {values[r, c]:g}, {values[r, c] * 100:g} % "
                     "of the short's value a year")
    rates = np.full((len(frame), width), np.nan)
    rates[:, columns] = values
    # Each name's rate stays in force until its next one; before its first it has none.
    rates = pd.DataFrame(rates).ffill().to_numpy()
    known = np.where(np.isnan(rates).all(axis=0), np.inf,
                     knots[np.argmax(~np.isnan(rates), axis=0)])
    _check_borrow_known(bars, known)
    if np.isinf(knots[0]):
        knots = np.array([min(0.0, bars.days[0])])
    return bars.step_accrual(knots, np.nan_to_num(rates, nan=0.0))


def _check_borrow_known(bars: _Bars, known: np.ndarray) -> None:
    """Every short the weights trade must have a fee from its trade bar on."""
    data = bars.data
    plan = data.schedule
    live = plan.bar < len(bars.days)
    for bar, row in zip(plan.bar[live], plan.weight_row[live]):
        short = np.flatnonzero(data.weights[row] < 0)
        if not len(short):
            continue
        cols = data.price_col[short]
        missing = known[cols] > bars.days[bar]
        if missing.any():
            names = [bars.tickers[c] for c in cols[missing]]
            raise ValueError(f"borrow_fee has no rate for {_show(names)}, shorted from "
                             f"{_day(data.dates[bar])}: give every ticker the weights short a "
                             "rate from its first short on (e.g. a frame's fillna(0.005), or a "
                             "Series of one rate per ticker)")


def _dividends(bars: _Bars, frame: pd.DataFrame, notes: List[str]) -> np.ndarray:
    """Cash per share by bar and price column: each ex-date on its day's first bar."""
    dates, order = check_dates(frame.index, "dividends")
    if order is not None:
        frame = frame.iloc[order]
    tickers = check_labels(frame.columns, "dividends")
    values = check_values(frame, "dividends")
    columns = bars.columns(tickers, "dividends")
    bad = values < 0
    if bad.any():
        r, c = np.argwhere(bad)[0]
        raise ValueError(f"dividends must be cash per share, 0 or more, got {values[r, c]:g} "
                         f"for {tickers[c]} on {_day(dates[r])}")
    if not np.isfinite(values[~np.isnan(values)]).all():
        raise ValueError("dividends must be finite amounts of cash per share")
    days = bars.clock.key(dates, "dividends") if bars.clock.daily else _wall_days(dates)
    bar_days = bars.clock.keys if bars.clock.daily else _wall_days(bars.data.dates)
    bar = np.searchsorted(bar_days, days, side="left")
    inside = (days >= bar_days[0]) & (days <= bar_days[-1])
    matched = inside & (bar < len(bar_days)) & (bar_days[np.minimum(bar, len(bar_days) - 1)] == days)
    paying = ~np.isnan(values).all(axis=1) & (np.nan_to_num(values) != 0).any(axis=1)
    stray = inside & ~matched & paying
    if stray.any():
        raise ValueError(f"dividends has ex-dates without a price bar: "
                         f"{_show(_day(d) for d in dates[stray])}; an ex-date is a trading day "
                         "of the prices")
    outside = ~inside & paying
    if outside.any():
        notes.append(f"dividends: {int(outside.sum())} ex-dates outside the prices' dates "
                     f"({_show(_day(d) for d in dates[outside])}) are left out")
    out = np.zeros((len(bars.days), len(bars.tickers)))
    rows = np.flatnonzero(matched)
    if len(rows) and len(columns):
        amounts = np.nan_to_num(values[rows], nan=0.0)
        # Ex-dates of one day (times written on daily bars) fall on one bar: each is paid.
        np.add.at(out, (bar[rows][:, None], columns[None, :]), amounts)
        per_bar = pd.DataFrame(amounts != 0).groupby(bar[rows]).sum()
        shared = per_bar.to_numpy() > 1
        if shared.any():
            b, c = np.argwhere(shared)[0]
            notes.append(f"dividends: {int(per_bar.to_numpy()[shared].sum())} ex-dates fall on "
                         f"the bar of another ({tickers[c]} on "
                         f"{_day(bars.data.dates[per_bar.index[b]])}): their amounts are paid "
                         "together")
    _check_dividend_sizes(bars, out, notes)
    return out


def _check_dividend_sizes(bars: _Bars, paid: np.ndarray, notes: List[str]) -> None:
    """Against the close before each ex-date (what the shares are counted at): none may
    reach it, and all of them far below it are yields, not cash per share."""
    close = bars.data.close
    r, c = np.nonzero(paid[1:] > 0)
    if not len(r):
        return
    r = r + 1
    amount, before = paid[r, c], close[r - 1, c]
    with np.errstate(invalid="ignore", divide="ignore"):
        share = amount / before
    over = np.flatnonzero(share >= 1.0)
    if len(over):
        k = over[0]
        raise ValueError(f"dividends must be cash per share below the close before the ex-date, "
                         f"got {amount[k]:g} for {bars.tickers[c[k]]} on "
                         f"{_day(bars.data.dates[r[k]])} against a close of {before[k]:g}")
    known = np.isfinite(share)
    if known.any() and (share[known] < _DIVIDEND_YIELD).all():
        k = np.flatnonzero(known)[np.argmax(share[known])]
        notes.append(f"dividends are all below {_DIVIDEND_YIELD * 100:g} % of the close before "
                     f"their ex-date (the largest {amount[k]:g} for {bars.tickers[c[k]]} on "
                     f"{_day(bars.data.dates[r[k]])}, {share[k] * 100:.2g} % of {before[k]:g}): "
                     "dividends are cash per share, not yields; a yield y on a close p pays "
                     "y * p a share")


def _wall_days(dates: pd.DatetimeIndex) -> np.ndarray:
    naive = dates.tz_localize(None) if dates.tz is not None else dates
    return np.asarray(naive.normalize(), dtype="datetime64[ns]").view(np.int64)


def describe_rate(value: Any) -> str:
    """How the report shows a rate setting: a Series by date is a rate over time, one by
    ticker a rate per name."""
    if isinstance(value, pd.Series):
        if isinstance(value.index, (pd.DatetimeIndex, pd.PeriodIndex)):
            known = pd.to_numeric(value, errors="coerce").dropna()
            span = (f" from {percent(float(known.iloc[0]))} to {percent(float(known.iloc[-1]))}"
                    if len(known) else "")
            return f"{len(value)} dated rates{span} a year"
        return per_ticker(pd.to_numeric(value, errors="coerce"), " a year")
    if isinstance(value, pd.DataFrame):
        return f"{value.shape[1]} tickers over {value.shape[0]} dates"
    return f"{percent(value)} a year" if isinstance(value, float) and math.isfinite(value) else str(value)


def describe_dividends(value: pd.DataFrame) -> str:
    """How the report shows the dividends: the payments and the dates they fall on."""
    cash = np.nan_to_num(value.to_numpy(dtype=float))
    paid = cash != 0
    return f"{int(paid.sum()):,} payments on {int(paid.any(axis=1).sum()):,} dates"
