"""Deterministic synthetic data: an OHLC market with sectors, gaps, listings and delistings,
and the momentum strategy the demo runs, so examples and tests work offline.
"""

from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np
import pandas as pd

from orvane.inputs import period_ends
from orvane.sample import make_market

__all__ = ["Market", "synthetic_market", "momentum"]

BARS_PER_YEAR = 252
START = "2010-01-04"
SECTORS = ("Energy", "Materials", "Industrials", "Consumer Staples", "Consumer Discretionary",
           "Health Care", "Financials", "Technology", "Communication", "Utilities",
           "Real Estate")
FIELDS = ("open", "high", "low", "close")


@dataclass(frozen=True, eq=False)
class Market(Mapping):
    """Wide OHLC frames (business-day dates x tickers) with per-ticker metadata.

    A read-only mapping over "open", "high", "low", "close", so ``orvane.backtest(w, market)``
    takes it as OHLC prices.  ``sectors``: ticker -> sector name.  ``delistings``: ticker ->
    date of its last bar, for the tickers that stop trading before the end (pass it as
    ``delistings=`` or use ``delistings="infer"``, which finds the same bars).
    """

    open: pd.DataFrame
    high: pd.DataFrame
    low: pd.DataFrame
    close: pd.DataFrame
    sectors: pd.Series
    delistings: pd.Series

    def __getitem__(self, key):
        if key not in FIELDS:
            raise KeyError(key)
        return getattr(self, key)

    def __iter__(self):
        return iter(FIELDS)

    def __len__(self):
        return len(FIELDS)

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other

    def __repr__(self):
        dates = self.close.index
        return (f"<Market {len(dates)} bars x {self.close.shape[1]} tickers, "
                f"{dates[0].date()} .. {dates[-1].date()}, {len(self.delistings)} delisted>")


def synthetic_market(stocks=300, years=10, seed=0):
    """A seeded random-walk market of ``years`` x 252 business days by ``stocks`` tickers.

    Closes follow log-normal steps with a drift and volatility per ticker; each open gaps
    from the previous close and high/low bracket open and close.  About 0.2 % of the bars
    are missing (NaN in all four fields; never on the last bar, where a gap would look
    like a delisting), about one ticker in ten lists late (NaN before its
    first bar, in the first half) and about one in twenty is delisted in the second half
    (NaN after its last bar).  Sectors are assigned at random.  The same arguments give the
    same market on every machine.
    """
    stocks = int(stocks)
    rows = int(round(float(years) * BARS_PER_YEAR))
    if stocks < 2 or rows < 2:
        raise ValueError(f"synthetic_market needs at least 2 stocks and 2 bars, got "
                         f"stocks={stocks}, years={years}")
    base = make_market(rows, stocks, seed)
    rng = np.random.default_rng([int(seed), 8])
    n_late = stocks // 10
    late = rng.choice(stocks, n_late, replace=False)
    listing = rng.integers(1, max(2, rows // 2), n_late)
    values = {"open": base.open_values, "high": base.high_values, "low": base.low_values,
              "close": base.close_values}
    mask = np.arange(rows)[:, None] < listing[None, :]
    for array in values.values():
        block = array[:, late]
        block[mask] = np.nan
        array[:, late] = block
    # A gap on the last bar would read as a delisting; those bars repeat the last close.
    close = values["close"]
    hole = np.flatnonzero(np.isnan(close[-1]) & (base.delisting_bars < 0))
    if len(hole):
        before = close[:, hole]
        last_close = before[len(before) - 1 - np.argmax(~np.isnan(before[::-1]), axis=0), np.arange(len(hole))]
        for array in values.values():
            array[-1, hole] = last_close
    dates = pd.bdate_range(START, periods=rows)
    tickers = pd.Index(list(base.price_columns), dtype=object)
    frames = {k: pd.DataFrame(v, index=dates, columns=tickers, copy=False) for k, v in values.items()}
    valid = ~np.isnan(close)
    last = rows - 1 - np.argmax(valid[::-1], axis=0)
    gone = (base.delisting_bars >= 0) & valid.any(axis=0)
    delistings = pd.Series(dates[last[gone]], index=tickers[gone], name="delisting")
    sectors = pd.Series(np.asarray(SECTORS, dtype=object)[rng.integers(0, len(SECTORS), stocks)],
                        index=tickers, name="sector")
    return Market(sectors=sectors, delistings=delistings, **frames)


def momentum(market_or_close, lookback=126, skip=21, top=20, bottom=20, rebalance="M"):
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
        raise TypeError(f"momentum needs a Market or a wide close frame, got {type(close).__name__}")
    lookback, skip, top, bottom = (int(v) for v in (lookback, skip, top, bottom))
    if lookback < 1 or skip < 0 or top < 0 or bottom < 0 or top + bottom == 0:
        raise ValueError("momentum needs lookback >= 1, skip >= 0 and top + bottom >= 1")
    dates = close.index
    values = close.to_numpy(dtype=np.float64)
    rows = np.flatnonzero(period_ends(dates, rebalance))
    rows = rows[rows >= lookback + skip]
    with np.errstate(divide="ignore", invalid="ignore"):
        score = values[rows - skip] / values[rows - skip - lookback] - 1.0
    ok = np.isfinite(score) & np.isfinite(values[rows])
    if delistings is not None and len(delistings):
        next_bar = dates[np.minimum(rows + 1, len(dates) - 1)]
        last = pd.Series(delistings).reindex(close.columns).to_numpy(dtype="datetime64[ns]")
        ok &= ~(last[None, :] <= np.asarray(next_bar, dtype="datetime64[ns]")[:, None])
    eligible = ok.sum(axis=1)
    n_long = np.minimum(top, eligible * top // (top + bottom))
    n_short = np.minimum(bottom, eligible - n_long)
    # Rank among the qualifying tickers only; ties keep column order.
    best = _ranks(np.where(ok, -score, np.inf))
    worst = _ranks(np.where(ok, score, np.inf))
    long_ = ok & (best < n_long[:, None])
    short = ok & ~long_ & (worst < n_short[:, None])
    size = np.maximum(n_long + n_short, 1)[:, None]
    weights = (long_.astype(np.float64) - short) / size
    return pd.DataFrame(weights, index=dates[rows], columns=close.columns)


def _ranks(keys):
    order = np.argsort(keys, axis=1, kind="stable")
    ranks = np.empty_like(order)
    np.put_along_axis(ranks, order, np.arange(keys.shape[1])[None, :].repeat(len(keys), 0), axis=1)
    return ranks
