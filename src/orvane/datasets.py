"""Deterministic synthetic data: an OHLC market with sectors, gaps, listings and delistings,
the momentum strategy the demo runs, and the same market in the engine's array layout for
the core's tests and benchmarks, so everything works offline.

One random walk (``_random_walk``) feeds both markets and one ranking (``rank_weights``)
makes every momentum book.
"""

from __future__ import annotations

import math

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Dict, Iterator, Optional, Tuple, Union

import numpy as np
import pandas as pd

from orvane._calendar import period_ends
from orvane._checks import Bounds, check_real, check_whole
from orvane._shapes import FIELDS, VOLUME

__all__ = ["Market", "synthetic_market", "momentum", "rank_weights", "CoreLayout", "core_layout",
           "CORE_INPUTS"]

BARS_PER_YEAR = 252
START = "2010-01-04"
SECTORS = ("Energy", "Materials", "Industrials", "Consumer Staples", "Consumer Discretionary",
           "Health Care", "Financials", "Technology", "Communication", "Utilities",
           "Real Estate")


def _random_walk(n_rows: int, n_stocks: int, seed: int, gap_ratio: float,
                 start: np.datetime64) -> Tuple[np.ndarray, Dict[str, np.ndarray], np.ndarray]:
    """(business days, OHLC arrays by field, delisting rows) of a seeded random-walk market.

    Prices follow log-normal steps; each bar's open gaps from the previous close and
    high/low bracket open and close.  ``gap_ratio`` of the cells after the first row are
    missing bars (NaN in every field), and about one stock in twenty stops trading in the
    second half (NaN from its delisting row on; -1 = never).
    """
    rng = np.random.default_rng(seed)
    days = np.busday_offset(start, np.arange(n_rows), roll="forward")

    # Per-stock daily drift and volatility; close is a geometric random walk.
    drift = rng.normal(0.0003, 0.0004, n_stocks)
    vol = rng.uniform(0.01, 0.03, n_stocks)
    first = np.exp(rng.uniform(np.log(10.0), np.log(200.0), n_stocks))

    log_close = rng.standard_normal((n_rows, n_stocks))
    log_close *= vol
    log_close += drift - 0.5 * vol * vol
    np.cumsum(log_close, axis=0, out=log_close)
    log_close += np.log(first)

    # Overnight gap from the previous close (the first open gaps from the start price).
    gap = rng.standard_normal((n_rows, n_stocks))
    gap *= 0.3 * vol
    log_open = gap
    log_open[1:] += log_close[:-1]
    log_open[0] += np.log(first)

    close = np.exp(log_close)
    del log_close
    open_ = np.exp(log_open)
    del log_open, gap

    wick = np.abs(rng.standard_normal((n_rows, n_stocks)))
    wick *= 0.5 * vol
    high = np.maximum(open_, close)
    high *= np.exp(wick)
    np.abs(rng.standard_normal((n_rows, n_stocks)), out=wick)
    wick *= -0.5 * vol
    low = np.minimum(open_, close)
    low *= np.exp(wick)
    del wick

    # Missing bars: whole bars vanish, never the first row.
    n_gaps = int(round(gap_ratio * (n_rows - 1) * n_stocks))
    gap_rows = rng.integers(1, n_rows, n_gaps)
    gap_cols = rng.integers(0, n_stocks, n_gaps)

    # Delistings in the second half; the delisting row is the first row without a bar.
    delisting_bars = np.full(n_stocks, -1, dtype=np.int64)
    n_delisted = max(1, n_stocks // 20)
    delisted = rng.choice(n_stocks, n_delisted, replace=False)
    delisting_bars[delisted] = rng.integers(n_rows // 2, n_rows, n_delisted)

    fields = {"open": open_, "high": high, "low": low, "close": close}
    for values in fields.values():
        values[gap_rows, gap_cols] = np.nan
        for col in delisted:
            values[delisting_bars[col]:, col] = np.nan
    return days, fields, delisting_bars


def rank_weights(score: np.ndarray, ok: np.ndarray, n_long: np.ndarray,
                 n_short: np.ndarray) -> np.ndarray:
    """Equal-weight long/short books from scores: per row, long the ``n_long`` best and short
    the ``n_short`` worst of the cells where ``ok``, each at 1 / (n_long + n_short).

    Ranks are taken among the ``ok`` cells only; ties keep column order.
    """
    best = _ranks(np.where(ok, -score, np.inf))
    worst = _ranks(np.where(ok, score, np.inf))
    long_ = ok & (best < n_long[:, None])
    short = ok & ~long_ & (worst < n_short[:, None])
    size = np.maximum(n_long + n_short, 1)[:, None]
    return (long_.astype(np.float64) - short) / size


def _momentum_scores(close: np.ndarray, rows: np.ndarray, lookback: int, skip: int) -> np.ndarray:
    """Close-to-close return over ``lookback`` bars ending ``skip`` bars before each row."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return close[rows - skip] / close[rows - skip - lookback] - 1.0

_KEYS = (*FIELDS, VOLUME)


@dataclass(frozen=True, eq=False)
class Market(Mapping):
    """Wide OHLC frames and volumes (business-day dates x tickers) with per-ticker metadata.

    A read-only mapping over "open", "high", "low", "close" and "volume" (shares), so
    ``orvane.backtest(w, market)`` takes it as prices.  ``sectors``: ticker -> sector name.
    ``delistings``: ticker -> date of its last bar, for the tickers that stop trading before
    the end (pass it as ``delistings=`` or use ``delistings="infer"``, which finds the same
    bars).
    """

    open: pd.DataFrame
    high: pd.DataFrame
    low: pd.DataFrame
    close: pd.DataFrame
    volume: pd.DataFrame
    sectors: pd.Series
    delistings: pd.Series

    def __getitem__(self, key: str) -> pd.DataFrame:
        if key not in _KEYS:
            raise KeyError(key)
        return getattr(self, key)

    def __iter__(self) -> Iterator[str]:
        return iter(_KEYS)

    def __len__(self) -> int:
        return len(_KEYS)

    __hash__ = object.__hash__

    def __eq__(self, other: object) -> bool:
        return self is other

    def __repr__(self) -> str:
        dates = self.close.index
        return (f"<Market {len(dates)} bars x {self.close.shape[1]} tickers, "
                f"{dates[0].date()} .. {dates[-1].date()}, {len(self.delistings)} delisted>")


def _whole(value: Any, name: str, least: int, unit: str = "") -> int:
    # Counts of bars and tickers: a market has fewer than 2**31 of either.
    return check_whole(value, name, Bounds(least), unit=unit, int32=True)


def synthetic_market(stocks: int = 300, years: float = 10, seed: int = 0,
                     trend: float = 0.0) -> Market:
    """A seeded random-walk market of ``years`` x 252 business days by ``stocks`` tickers.

    ``trend``: the annual standard deviation of a drift of each ticker's own that changes
    slowly (half of it is gone after a year), which a momentum book can catch; 0 (the
    default) for none: a walk past returns say nothing about.  Gaps, listings, delistings
    and the money traded per name are drawn as without it.

    Closes follow log-normal steps with a drift and volatility per ticker; each open gaps
    from the previous close and high/low bracket open and close.  About 0.2 % of the bars
    are missing (NaN in all four fields; never on the last bar, where a gap would look
    like a delisting), about one ticker in ten lists late (NaN before its
    first bar, in the first half) and about one in twenty is delisted in the second half
    (NaN after its last bar).  Sectors are assigned at random.  The same arguments give the
    same market on every machine.
    """
    stocks = _whole(stocks, "stocks", 2)
    years = check_real(years, "years", Bounds(2 / BARS_PER_YEAR), what="a number of years",
                       hint=" (two bars at least)")
    trend = check_real(trend, "trend", Bounds(0.0, 2.0), what="an annual standard deviation",
                       hint=": 0.2 means 20 % a year")
    rows = int(round(years * BARS_PER_YEAR))
    _, values, delisting_bars = _random_walk(rows, stocks, seed, 0.002, _LAYOUT_START)
    if trend > 0:
        _add_trend(values, trend, seed)
    rng = np.random.default_rng([int(seed), 8])
    n_late = stocks // 10
    late = rng.choice(stocks, n_late, replace=False)
    listing = rng.integers(1, max(2, rows // 2), n_late)
    mask = np.arange(rows)[:, None] < listing[None, :]
    for array in values.values():
        block = array[:, late]
        block[mask] = np.nan
        array[:, late] = block
    # A gap on the last bar would read as a delisting; those bars repeat the last close.
    close = values["close"]
    hole = np.flatnonzero(np.isnan(close[-1]) & (delisting_bars < 0))
    if len(hole):
        before = close[:, hole]
        last_close = before[len(before) - 1 - np.argmax(~np.isnan(before[::-1]), axis=0), np.arange(len(hole))]
        for array in values.values():
            array[-1, hole] = last_close
    dates = pd.bdate_range(START, periods=rows)
    tickers = pd.Index(list(_labels(stocks)), dtype=object)
    values[VOLUME] = _volumes(close, seed)
    frames = {k: pd.DataFrame(v, index=dates, columns=tickers, copy=False) for k, v in values.items()}
    valid = ~np.isnan(close)
    last = rows - 1 - np.argmax(valid[::-1], axis=0)
    gone = (delisting_bars >= 0) & valid.any(axis=0)
    delistings = pd.Series(dates[last[gone]], index=tickers[gone], name="delisting")
    sectors = pd.Series(np.asarray(SECTORS, dtype=object)[rng.integers(0, len(SECTORS), stocks)],
                        index=tickers, name="sector")
    return Market(sectors=sectors, delistings=delistings, **frames)


def _add_trend(values: Dict[str, np.ndarray], trend: float, seed: int) -> None:
    """Each ticker's prices times the growth of a drift of its own, an AR(1) with a
    one-year half-life whose annual standard deviation is ``trend`` (a stream of its own)."""
    rng = np.random.default_rng([int(seed), 10])
    rows, stocks = values["close"].shape
    keep = 0.5 ** (1.0 / BARS_PER_YEAR)
    daily = trend / BARS_PER_YEAR
    step = rng.standard_normal((rows, stocks)) * (daily * math.sqrt(1.0 - keep * keep))
    step[0] = rng.standard_normal(stocks) * daily
    for t in range(1, rows):
        step[t] += keep * step[t - 1]
    growth = np.exp(np.cumsum(step, axis=0))
    for array in values.values():
        array *= growth


def _volumes(close: np.ndarray, seed: int) -> np.ndarray:
    """Shares traded per bar (NaN without a bar): each ticker's money traded a day spread
    over four orders of magnitude (2e5 to 2e9 a day), as across a market's names, noisy
    from day to day and higher on days of large moves."""
    # A stream of its own: the prices are the same with or without volumes.
    rng = np.random.default_rng([int(seed), 9])
    rows, stocks = close.shape
    money = np.exp(rng.uniform(np.log(2e5), np.log(2e9), stocks))
    noise = rng.lognormal(-0.08, 0.4, (rows, stocks))
    with np.errstate(invalid="ignore", divide="ignore"):
        moves = np.abs(np.diff(np.log(close), axis=0, prepend=np.nan))
        noise *= 1.0 + 20.0 * np.nan_to_num(moves)
        return np.round(money * noise / close)


def momentum(market_or_close: Union[Market, Mapping, pd.DataFrame], lookback: int = 126,
             skip: int = 21, top: int = 20, bottom: int = 20, rebalance: str = "M") -> pd.DataFrame:
    """Cross-sectional momentum weights: long the past winners, short the past losers.

    At the last date of each ``rebalance`` period, each ticker's score is its close-to-close
    return over ``lookback`` bars ending ``skip`` bars earlier (the most recent month is
    skipped, where short-term reversal lives).  Tickers with a close on the signal date and a
    full history qualify; with a ``Market``, so do only tickers that are not delisted by the
    next bar.  The ``top`` best go long and the ``bottom`` worst go short, all with equal
    weight 1 / (number of positions), so the gross exposure is 1 (fewer qualifying tickers:
    fewer positions, split in the same ratio).

    Returns a wide weights frame (signal dates x tickers) for ``orvane.backtest``.
    """
    if isinstance(market_or_close, Mapping):
        close = market_or_close["close"]
        delistings = getattr(market_or_close, "delistings", None)
    else:
        close, delistings = market_or_close, None
    if not isinstance(close, pd.DataFrame):
        raise TypeError(f"market_or_close must be a Market or a wide close frame, got "
                        f"{type(close).__name__}")
    lookback = _whole(lookback, "lookback", 1, "bars")
    skip = _whole(skip, "skip", 0, "bars")
    top, bottom = _whole(top, "top", 0, "tickers"), _whole(bottom, "bottom", 0, "tickers")
    if top + bottom == 0:
        raise ValueError("top + bottom must be at least 1 (a book needs a ticker), got "
                         f"top={top}, bottom={bottom}")
    dates = close.index
    values = close.to_numpy(dtype=np.float64)
    rows = np.flatnonzero(period_ends(dates, rebalance))
    rows = rows[rows >= lookback + skip]
    score = _momentum_scores(values, rows, lookback, skip)
    ok = np.isfinite(score) & np.isfinite(values[rows])
    if delistings is not None and len(delistings):
        next_bar = dates[np.minimum(rows + 1, len(dates) - 1)]
        last = pd.Series(delistings).reindex(close.columns).to_numpy(dtype="datetime64[ns]")
        ok &= ~(last[None, :] <= np.asarray(next_bar, dtype="datetime64[ns]")[:, None])
    eligible = ok.sum(axis=1)
    n_long = np.minimum(top, eligible * top // (top + bottom))
    n_short = np.minimum(bottom, eligible - n_long)
    weights = rank_weights(score, ok, n_long, n_short)
    return pd.DataFrame(weights, index=dates[rows], columns=close.columns)


def _ranks(keys: np.ndarray) -> np.ndarray:
    order = np.argsort(keys, axis=1, kind="stable")
    ranks = np.empty_like(order)
    np.put_along_axis(ranks, order, np.arange(keys.shape[1])[None, :].repeat(len(keys), 0), axis=1)
    return ranks


# ---------------------------------------------------------------- the engine's layout

# The eleven required inputs of the engine, in its order.
CORE_INPUTS = (
    "price_values",
    "close_values",
    "high_values",
    "low_values",
    "open_values",
    "price_index",
    "price_columns",
    "pos_values",
    "pos_index",
    "pos_columns",
    "resample",
)
_LAYOUT_START = np.datetime64("2020-01-02", "D")


@dataclass
class CoreLayout:
    """A synthetic market as the engine's raw arrays (not a ``Market``: no pandas, no checks).

    For the core's tests and benchmarks.  ``price_values`` is the trading price (the bar's
    open); ``delisting_bars`` holds each stock's first row without a bar (-1: never).
    """

    price_values: np.ndarray
    close_values: np.ndarray
    high_values: np.ndarray
    low_values: np.ndarray
    open_values: np.ndarray
    price_index: np.ndarray
    price_columns: np.ndarray
    pos_values: np.ndarray
    pos_index: np.ndarray
    pos_columns: np.ndarray
    resample: np.ndarray
    delisting_bars: np.ndarray
    lookback: int
    top_k: int
    seed: int

    @property
    def n_rows(self) -> int:
        return int(self.price_values.shape[0])

    @property
    def n_stocks(self) -> int:
        return int(self.price_values.shape[1])

    def inputs(self) -> Dict[str, Any]:
        """The eleven required inputs of the engine, by keyword."""
        return {name: getattr(self, name) for name in CORE_INPUTS}


def _labels(n: int) -> np.ndarray:
    width = max(4, len(str(n)))
    return np.array([f"S{i + 1:0{width}d}" for i in range(n)], dtype=object)


def _month_end_timestamps(days: np.ndarray) -> np.ndarray:
    months = np.unique(days.astype("datetime64[M]"))
    ends = (months + 1).astype("datetime64[D]") - np.timedelta64(1, "D")
    return ends.astype("datetime64[ns]").astype(np.int64)


def core_layout(n_rows: int, n_stocks: int, seed: int = 0, *, top_k: Optional[int] = None,
                lookback: int = 63, gap_ratio: float = 0.002) -> CoreLayout:
    """A seeded random-walk market of ``n_rows`` business days by ``n_stocks`` stocks from
    2020-01-02, in the engine's layout (see ``_random_walk`` for the bars).

    Weights are dated at the last price row of each month (the final, possibly partial,
    month included): long the ``top_k`` best and short the ``top_k`` worst stocks by
    ``lookback``-row close-to-close return, +-1/(2k) each, so the gross exposure is 1 (k is
    ``top_k``, or fewer when fewer stocks qualify; a stock delisted by the trade row does
    not).  ``resample`` holds the calendar month ends.
    """
    n_rows = _whole(n_rows, "n_rows", 2, "bars")
    n_stocks = _whole(n_stocks, "n_stocks", 2)
    top_k = max(1, n_stocks // 10) if top_k is None else _whole(top_k, "top_k", 1)
    days, fields, delisting_bars = _random_walk(n_rows, n_stocks, seed, gap_ratio, _LAYOUT_START)
    price_index = days.astype("datetime64[ns]").astype(np.int64)

    months = days.astype("datetime64[M]")
    month_last = np.flatnonzero(np.append(months[1:] != months[:-1], True))
    # Short markets shrink the lookback so that at least the last month signals.
    lookback = int(min(lookback, month_last[-1]))
    rows = month_last[month_last >= lookback]
    close = fields["close"]
    score = _momentum_scores(close, rows, lookback, 0)
    # Stocks delisted by the trade row would be bought only to be sold at book value at
    # once: the announced delisting keeps them out of the book.
    gone = (delisting_bars >= 0)[None, :] & (delisting_bars[None, :] <= rows[:, None] + 1)
    ok = np.isfinite(score) & ~gone
    k = np.minimum(top_k, ok.sum(axis=1) // 2)
    columns = _labels(n_stocks)
    return CoreLayout(
        # Trading happens at the open of the bar after the signal.
        price_values=fields["open"].copy(),
        close_values=close,
        high_values=fields["high"],
        low_values=fields["low"],
        open_values=fields["open"],
        price_index=price_index,
        price_columns=columns,
        pos_values=rank_weights(score, ok, k, k),
        pos_index=price_index[rows].copy(),
        pos_columns=columns.copy(),
        resample=_month_end_timestamps(days),
        delisting_bars=delisting_bars,
        lookback=lookback,
        top_k=top_k,
        seed=seed,
    )
