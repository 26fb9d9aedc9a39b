"""``orvane.backtest``: checked inputs -> one engine run -> a result that owns copies of it.

This is the only module that touches ``orvane.core``.  The engine keeps its trades, excursion
records and next actions in per-process state that the next run replaces, so everything is
copied out before ``backtest`` returns.
"""

import itertools
import threading
import warnings as _warnings

import numpy as np
import pandas as pd

from orvane import inputs
from orvane.result import BacktestResult, RunRecord

__all__ = ["backtest"]

# The engine keeps one run's records per process: a run and the copying of its records
# must not interleave with another thread's run.
_ENGINE_LOCK = threading.Lock()


def backtest(weights, prices, *, trade_at="close", rebalance=None, fee=0.001425, tax=0.003,
             stop_loss=None, take_profit=None, trailing_stop=None, trailing_activation=0.0,
             intrabar_exits=False, position_limit=1.0, keep_costs_on_rebalance=False,
             skip_stopped_until_rebalance=True, window=0, window_step=1, delistings=None,
             split_trades_on_rebalance=True):
    """Backtest a long/short portfolio of target weights on daily price bars.

    Timing: a weight row dated ``t`` comes into force on the last price bar at or before
    ``t`` (the signal bar) and is traded on the next bar at that bar's trading price, so a
    signal computed from the close of ``t`` never trades at that close.  A weight row dated
    between two bars counts from the earlier one; when several rows fall on one bar only the
    last is used (reported in ``warnings``).

    Parameters
    ----------
    weights : DataFrame
        Target weights, fractions of portfolio value (0.05 = 5 %; negative = short).  Wide
        (signal dates x tickers) or long with columns ``date, ticker, weight``.  NaN means no
        position.  When the gross weight of a row (sum of absolute weights) exceeds 1 the row
        is scaled down to gross 1; below 1 the rest is held in cash.
    prices : DataFrame or mapping
        A wide frame of one price (dates x tickers), used both for trading and as the close;
        or OHLC as a mapping of wide frames with keys ``"open", "high", "low", "close"``
        (``"close"`` required; a ``orvane.datasets.Market`` is such a mapping); or a frame
        with (field, ticker) column MultiIndex; or a long frame with columns
        ``date, ticker, close`` (and optionally ``open, high, low``).  NaN marks a missing
        bar; prices must otherwise be positive and finite.  Tickers without weights are fine.
    trade_at : {"close", "open"}, default "close"
        Price the trades fill at on the trade bar: the bar's close, or its open (needs opens).
        Positions are marked at this price; the reported equity uses the close.
    rebalance : None, str, or sequence of dates, default None
        None trades every weight row.  A frequency (``"W"``, ``"M"``/``"ME"``, ``"Q"``/``"QE"``,
        ``"Y"``/``"YE"``) trades only the last weight row of each calendar period.  A sequence
        of dates is the calendar itself: each date marks the last bar not after it, and the
        weight row in force there is traded on the next bar.  A row that is overtaken by a
        later one before a calendar bar is never traded.
    fee : float, default 0.001425
        Fee, a fraction of traded value (0.001425 = 0.1425 %) charged on every trade, buys and
        sells.  Must be >= 0.
    tax : float, default 0.003
        Tax, a fraction of traded value charged on top of the fee on every trade that reduces
        or closes a holding.  Must be >= 0, and ``fee + tax < 1``.
    stop_loss : float or None, default None
        Stop-loss distance, a fraction of the entry price in (0, 1] (0.1 = exit after a 10 %
        adverse move).  None means 1.0: a long never stops out, a short stops when the price
        doubles.  Measured on price moves only (costs play no part).
    take_profit : float or None, default None
        Take-profit distance, a fraction in (0, 10] (0.3 = exit after a 30 % favourable move).
        None: off.
    trailing_stop : float or None, default None
        Trailing-stop distance in (0, 1], in units of the entry price below the best price
        since entry (0.08: a long that rose 20 % exits when it is back at +12 %; shorts
        mirror it).  None: off.
    trailing_activation : float, default 0.0
        Gain (a fraction in [0, 1]; a fall for shorts) the position must have reached before
        the trailing stop is armed.  0 arms it at once.
    intrabar_exits : bool, default False
        False: exits are tested on the bar's close and filled on the next bar at its trading
        price.  True: exits are tested against the bar's open, high and low and filled on the
        same bar at the level touched (at the open when the bar opens beyond it; when high
        and low both touch, at the high's level: the take-profit of a long, the stop of a
        short).  Needs open, high and low prices.
    position_limit : float, default 1.0
        Largest absolute position as a fraction of portfolio value, in (0, 1]; larger targets
        are cut to it (the rest stays in cash).
    keep_costs_on_rebalance : bool, default False
        False: at every rebalance each position's entry reference is reset, so stops and
        excursions are measured from that rebalance.  True: positions that keep their side
        keep their original entry (and their trade record runs on).
    skip_stopped_until_rebalance : bool, default True
        True: a ticker closed by an exit rule stays out at the next rebalance even when its
        weight asks for it (it can come back at the one after).  False: the next rebalance
        buys it back, and an exit found on the close before a rebalance that keeps the
        ticker is not carried out.
    window : int, default 0
        Look-ahead window of the excursion analysis, in bars after entry (0: excursions only
        at the exit).  Each trade keeps ``48 * window / window_step`` bytes of records.
    window_step : int, default 1
        Sampling step of that window, in bars (>= 1).
    delistings : None, "infer", or mapping/Series ticker -> date, default None
        Delisted tickers are sold at their last marked value, paying fee and tax, on the
        first bar at or after the given date, or on the last bar with a trading price
        before it when that bar has none (the date is the first day without data).  ``"infer"`` assumes that every ticker whose
        trading prices end before the last date was delisted on its last bar with a price
        (a ticker that merely has no data later is treated the same).  Weights on a ticker
        from its delisting bar on are dropped (reported in ``warnings``).
    split_trades_on_rebalance : bool, default True
        True: a position that a rebalance keeps is recorded as a new trade from that
        rebalance (no cost is charged for the split), so every trade spans at most one
        rebalance period.  Has no effect with ``keep_costs_on_rebalance=True``.

    Returns
    -------
    BacktestResult

    Raises
    ------
    TypeError, ValueError
        On any input that would give a wrong result; the message names the argument and shows
        the first offending values.  Adjustments (sorted dates, NaN weights read as 0, weights
        dropped on bars without a price) are listed in ``result.warnings`` and emitted once
        each as ``UserWarning``.

    Notes
    -----
    A weight on a ticker with no trading price on the bar it would be traded (not listed
    yet, a gap in the data, delisted) is dropped for that rebalance: the remaining weights
    trade as given (scaled only if their gross exceeds 1).
    """
    fee, tax = inputs.check_costs(fee, tax)
    stop = inputs.check_fraction(stop_loss, "stop_loss", default=1.0)
    take = inputs.check_fraction(take_profit, "take_profit", high=10.0, example=0.3, default=np.inf)
    trail = inputs.check_fraction(trailing_stop, "trailing_stop", example=0.08, default=np.inf)
    activation = inputs.check_fraction(trailing_activation, "trailing_activation",
                                       low_open=False, example=0.1)
    limit = inputs.check_fraction(position_limit, "position_limit", example=0.05)
    window, window_step = inputs.check_window(window, window_step)
    flags = {name: inputs.check_flag(value, name) for name, value in (
        ("intrabar_exits", intrabar_exits),
        ("keep_costs_on_rebalance", keep_costs_on_rebalance),
        ("skip_stopped_until_rebalance", skip_stopped_until_rebalance),
        ("split_trades_on_rebalance", split_trades_on_rebalance),
    )}
    data = inputs.prepare(weights, prices, trade_at=trade_at, rebalance=rebalance,
                          delistings=delistings, intrabar_exits=flags["intrabar_exits"])
    settings = {
        "trade_at": trade_at,
        "rebalance": _frozen_setting(rebalance),
        "fee": fee,
        "tax": tax,
        "stop_loss": stop_loss if stop_loss is None else stop,
        "take_profit": take_profit if take_profit is None else take,
        "trailing_stop": trailing_stop if trailing_stop is None else trail,
        "trailing_activation": activation,
        "intrabar_exits": flags["intrabar_exits"],
        "position_limit": limit,
        "keep_costs_on_rebalance": flags["keep_costs_on_rebalance"],
        "skip_stopped_until_rebalance": flags["skip_stopped_until_rebalance"],
        "window": window,
        "window_step": window_step,
        "delistings": _frozen_setting(delistings),
        "split_trades_on_rebalance": flags["split_trades_on_rebalance"],
    }
    record = run_core(data, fee_ratio=fee, tax_ratio=tax, stop_loss=stop, take_profit=take,
                      trail_stop=trail, trail_stop_activation=activation,
                      touched_exit=flags["intrabar_exits"], position_limit=limit,
                      retain_cost_when_rebalance=flags["keep_costs_on_rebalance"],
                      stop_trading_next_period=flags["skip_stopped_until_rebalance"],
                      tidemark_window=window, tidemark_window_step=window_step,
                      periodically_rebalance=flags["split_trades_on_rebalance"])
    for message in data.warnings:
        _warnings.warn(message, UserWarning, stacklevel=2)
    return BacktestResult._from_run(data, record, settings)


def _frozen_setting(value):
    # Settings must not change when the caller later edits what was passed in.
    if isinstance(value, (pd.Series, pd.Index)):
        return value.copy()
    if isinstance(value, dict):
        return dict(value)
    if isinstance(value, list):
        return tuple(value)
    return value


def core_arguments(data):
    """The aligned arrays of ``inputs.prepare`` under the engine's parameter names."""
    return {
        "price_values": data.trade,
        "close_values": data.close,
        "high_values": data.high,
        "low_values": data.low,
        "open_values": data.open,
        "price_index": data.price_index,
        "price_columns": data.price_columns,
        "pos_values": data.weights,
        "pos_index": data.pos_index,
        "pos_columns": data.pos_columns,
        "resample": data.resample,
        "delisting_bars": data.delisting_bars,
    }


def run_core(data, **options):
    """One engine run; returns a RunRecord holding copies of everything the run left behind."""
    from orvane.core import tidemark, tradeloom

    with _ENGINE_LOCK:
        equity = tradeloom.backtest_(**core_arguments(data), **options)
        return _copy_records(equity, tidemark, tradeloom)


def _copy_records(equity, tidemark, tradeloom):
    trades = tidemark.trades
    n = len(trades)
    rows = np.fromiter(itertools.chain.from_iterable(trades), dtype=np.int64, count=3 * n)
    positions = np.fromiter(tidemark.trade_positions, dtype=np.float64, count=n)
    records = tidemark.tidemark
    width = len(records[0]) if n else 6
    excursions = np.concatenate(records).reshape(n, width) if n else np.empty((0, width))
    ops = tradeloom.get_stock_operations()
    return RunRecord(
        equity=equity,
        trades=rows.reshape(n, 3),
        positions=positions,
        excursions=excursions,
        actions=dict(ops.get("actions", {})),
        weights=dict(ops.get("weights", {})),
        next_weights=dict(ops.get("next_weights", {})),
        weight_row=int(ops.get("weight_time", -1)),
        next_weight_row=int(ops.get("next_weight_time", -1)),
    )
