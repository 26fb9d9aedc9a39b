"""A seeded synthetic market in the layout ``backtest_`` takes: business-day OHLC bars,
a monthly long/short momentum weight matrix, its rebalance calendar and delisting rows.

Pure NumPy and deterministic for a given seed, so demos, benchmarks and tests can
rebuild the same market anywhere without data files.
"""

from dataclasses import dataclass

import numpy as np

__all__ = ["Market", "make_market", "run"]

# Order and names of the eleven required inputs of backtest_.
INPUT_NAMES = (
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

_START = np.datetime64("2020-01-02", "D")


@dataclass
class Market:
    """Inputs of one backtest; ``price_values`` is the trading price (the bar's open)."""

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

    def inputs(self) -> dict:
        """The eleven required inputs of backtest_, by keyword."""
        return {name: getattr(self, name) for name in INPUT_NAMES}


def _labels(n):
    width = max(4, len(str(n)))
    return np.array(["S%0*d" % (width, i + 1) for i in range(n)], dtype=object)


def _month_end_timestamps(days):
    months = np.unique(days.astype("datetime64[M]"))
    ends = (months + 1).astype("datetime64[D]") - np.timedelta64(1, "D")
    return ends.astype("datetime64[ns]").astype(np.int64)


def _momentum_weights(close, delisting_bars, rows, lookback, top_k):
    """Long the top_k, short the bottom_k by lookback return at each signal row."""
    n_stocks = close.shape[1]
    weights = np.zeros((len(rows), n_stocks))
    for i, m in enumerate(rows):
        score = close[m] / close[m - lookback] - 1.0
        # Stocks delisted by the trade row (m + 1) would be bought only to be sold at
        # book value at once; the announced delisting keeps them out of the book.
        gone = (delisting_bars >= 0) & (delisting_bars <= m + 1)
        eligible = np.flatnonzero(np.isfinite(score) & ~gone)
        k = min(top_k, len(eligible) // 2)
        if k == 0:
            continue
        # Stable sort on the negated score: ties keep label order, run after run.
        order = eligible[np.argsort(-score[eligible], kind="stable")]
        weights[i, order[:k]] = 0.5 / k
        weights[i, order[-k:]] = -0.5 / k
    return weights


def make_market(n_rows, n_stocks, seed=0, *, top_k=None, lookback=63, gap_ratio=0.002):
    """Build a seeded random-walk market of n_rows business days by n_stocks stocks.

    Prices follow log-normal steps; each bar's open gaps from the previous close and
    high/low bracket open and close.  ``gap_ratio`` of the cells after the first row
    are missing bars (NaN in all five matrices), and about one stock in twenty stops
    trading in the second half (NaN from its ``delisting_bars`` row on; -1 = never).

    Weights are dated at the last price row of each month (the final, possibly
    partial, month included): long the ``top_k`` best and short the ``top_k`` worst
    stocks by ``lookback``-row close-to-close return, +-1/(2k) each, so the gross
    exposure is 1.  ``resample`` holds the calendar month ends.
    """
    n_rows = int(n_rows)
    n_stocks = int(n_stocks)
    if n_rows < 2 or n_stocks < 2:
        raise ValueError("make_market needs at least 2 rows and 2 stocks")
    if top_k is None:
        top_k = max(1, n_stocks // 10)
    top_k = int(top_k)
    if top_k < 1:
        raise ValueError("top_k must be at least 1")
    rng = np.random.default_rng(seed)

    days = np.busday_offset(_START, np.arange(n_rows), roll="forward")
    price_index = days.astype("datetime64[ns]").astype(np.int64)

    # Per-stock daily drift and volatility; close is a geometric random walk.
    drift = rng.normal(0.0003, 0.0004, n_stocks)
    vol = rng.uniform(0.01, 0.03, n_stocks)
    start = np.exp(rng.uniform(np.log(10.0), np.log(200.0), n_stocks))

    log_close = rng.standard_normal((n_rows, n_stocks))
    log_close *= vol
    log_close += drift - 0.5 * vol * vol
    np.cumsum(log_close, axis=0, out=log_close)
    log_close += np.log(start)

    # Overnight gap from the previous close (the first open gaps from the start price).
    gap = rng.standard_normal((n_rows, n_stocks))
    gap *= 0.3 * vol
    log_open = gap
    log_open[1:] += log_close[:-1]
    log_open[0] += np.log(start)

    close_values = np.exp(log_close)
    del log_close
    open_values = np.exp(log_open)
    del log_open, gap

    wick = np.abs(rng.standard_normal((n_rows, n_stocks)))
    wick *= 0.5 * vol
    high_values = np.maximum(open_values, close_values)
    high_values *= np.exp(wick)
    np.abs(rng.standard_normal((n_rows, n_stocks)), out=wick)
    wick *= -0.5 * vol
    low_values = np.minimum(open_values, close_values)
    low_values *= np.exp(wick)
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

    for values in (open_values, high_values, low_values, close_values):
        values[gap_rows, gap_cols] = np.nan
        for col in delisted:
            values[delisting_bars[col]:, col] = np.nan

    # Trading happens at the open of the bar after the signal.
    price_values = open_values.copy()

    months = days.astype("datetime64[M]")
    month_last = np.flatnonzero(np.append(months[1:] != months[:-1], True))
    # Short markets shrink the lookback so that at least the last month signals.
    lookback = int(min(lookback, month_last[-1]))
    signal_rows = month_last[month_last >= lookback]
    pos_values = _momentum_weights(close_values, delisting_bars, signal_rows, lookback, top_k)

    columns = _labels(n_stocks)
    return Market(
        price_values=price_values,
        close_values=close_values,
        high_values=high_values,
        low_values=low_values,
        open_values=open_values,
        price_index=price_index,
        price_columns=columns,
        pos_values=pos_values,
        pos_index=price_index[signal_rows].copy(),
        pos_columns=columns.copy(),
        resample=_month_end_timestamps(days),
        delisting_bars=delisting_bars,
        lookback=lookback,
        top_k=top_k,
        seed=seed,
    )


def run(market, **kwargs):
    """Run backtest_ on the market and return creturn.

    The market's delisting rows are passed unless ``delisting_bars`` is given.
    """
    from orvane.core import tradeloom

    kwargs.setdefault("delisting_bars", market.delisting_bars)
    return tradeloom.backtest_(**market.inputs(), **kwargs)
