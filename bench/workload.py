"""Workload W and its scaled variants: the seeded synthetic market (`orvane.datasets.core_layout`) with a monthly book of
`held` names, four in five long and one in five short, stop-loss, take-profit,
trailing stop, a look-ahead window and delistings.

Shared by the benchmarks and the bit-identity check so that all of them run the
same inputs.
"""

import numpy as np

from orvane.datasets import core_layout, rank_weights

W_SIZE = (5040, 2000, 100)  # rows, stocks, names held
SETTINGS = {
    "stop_loss": 0.1,
    "take_profit": 0.3,
    "trail_stop": 0.08,
    "tidemark_window": 20,
    "tidemark_window_step": 5,
}


def book_weights(close, delisting_bars, signal_rows, lookback, n_long, n_short):
    """Long the n_long best, short the n_short worst by lookback return, 1/held each; a row
    with fewer than n_long + n_short eligible stocks stays empty."""
    with np.errstate(divide="ignore", invalid="ignore"):
        score = close[signal_rows] / close[signal_rows - lookback] - 1.0
    gone = (delisting_bars >= 0)[None, :] & (delisting_bars[None, :] <= signal_rows[:, None] + 1)
    ok = np.isfinite(score) & ~gone
    full = ok.sum(axis=1) >= n_long + n_short
    return rank_weights(score, ok, np.where(full, n_long, 0), np.where(full, n_short, 0))


def make_workload(rows=W_SIZE[0], stocks=W_SIZE[1], held=W_SIZE[2], seed=0):
    """(market, keyword arguments of backtest_) for one configuration."""
    n_long = held * 4 // 5
    n_short = held - n_long
    market = core_layout(rows, stocks, seed, top_k=1)
    signal_rows = np.searchsorted(market.price_index, market.pos_index)
    market.pos_values = book_weights(market.close_values, market.delisting_bars, signal_rows, market.lookback,
                                     n_long, n_short)
    kwargs = dict(market.inputs(), delisting_bars=market.delisting_bars, **SETTINGS)
    return market, kwargs


def read_bound(market):
    """One NumPy pass over the trading and close matrices."""
    market.price_values.sum()
    market.close_values.sum()
