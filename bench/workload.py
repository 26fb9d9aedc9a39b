"""Workload W and its scaled variants: the seeded sample market with a monthly book of
`held` names, four in five long and one in five short, stop-loss, take-profit,
trailing stop, a look-ahead window and delistings.

Shared by the benchmarks and the bit-identity check so that all of them run the
same inputs.
"""

import numpy as np

from orvane.sample import make_market

W_SIZE = (5040, 2000, 100)  # rows, stocks, names held
SETTINGS = {
    "stop_loss": 0.1,
    "take_profit": 0.3,
    "trail_stop": 0.08,
    "tidemark_window": 20,
    "tidemark_window_step": 5,
}


def book_weights(close, delisting_bars, signal_rows, lookback, n_long, n_short):
    """Long the n_long best, short the n_short worst by lookback return, 1/held each."""
    held = n_long + n_short
    weights = np.zeros((len(signal_rows), close.shape[1]))
    for i, m in enumerate(signal_rows):
        score = close[m] / close[m - lookback] - 1.0
        gone = (delisting_bars >= 0) & (delisting_bars <= m + 1)
        eligible = np.flatnonzero(np.isfinite(score) & ~gone)
        if len(eligible) < held:
            continue
        order = eligible[np.argsort(-score[eligible], kind="stable")]
        weights[i, order[:n_long]] = 1.0 / held
        weights[i, order[len(order) - n_short:]] = -1.0 / held
    return weights


def make_workload(rows=W_SIZE[0], stocks=W_SIZE[1], held=W_SIZE[2], seed=0):
    """(market, keyword arguments of backtest_) for one configuration."""
    n_long = held * 4 // 5
    n_short = held - n_long
    market = make_market(rows, stocks, seed, top_k=1)
    signal_rows = np.searchsorted(market.price_index, market.pos_index)
    market.pos_values = book_weights(market.close_values, market.delisting_bars, signal_rows, market.lookback,
                                     n_long, n_short)
    kwargs = dict(market.inputs(), delisting_bars=market.delisting_bars, **SETTINGS)
    return market, kwargs


def read_bound(market):
    """One NumPy pass over the trading and close matrices."""
    market.price_values.sum()
    market.close_values.sum()
