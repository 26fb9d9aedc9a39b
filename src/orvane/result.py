"""The immutable result of one backtest: equity, trades, next actions and what derives from them.

A result holds its own copies of everything (the engine's lists are replaced by the next run)
and hands out copies, so neither a later run nor a caller editing a returned frame can change
it.  Statistics, charts and the report live in their own modules and are reached from here.
"""

import os
import pathlib
from dataclasses import dataclass

import numpy as np
import pandas as pd

__all__ = ["BacktestResult", "RunRecord"]

EXCURSIONS = ("mae", "gmfe", "bmfe", "mdd", "profitable_bars", "return")
ACTION_WORDS = {
    "enter": "open the position at the next rebalance",
    "exit": "close the position at the next rebalance",
    "hold": "keep the position, resized at the next rebalance",
    "sl": "stop-loss hit at the last close: sell at the next bar",
    "tp": "take-profit hit at the last close: sell at the next bar",
    "sl_": "stopped out since the last rebalance",
    "tp_": "took profit since the last rebalance",
    "sl_enter": "stop-loss exit at the next bar, then back in at the next rebalance",
    "tp_enter": "take-profit exit at the next bar, then back in at the next rebalance",
    "": "no action",
}


@dataclass(frozen=True)
class RunRecord:
    """What one engine run leaves behind, copied out of the engine's per-process state."""

    equity: np.ndarray        # value per price bar, starting capital 1.0
    trades: np.ndarray        # [n, 3] int64: sid, entry bar, exit bar (-1 while open)
    positions: np.ndarray     # weight at entry, signed
    excursions: np.ndarray    # [n, 6 * blocks] excursion records, exit block last
    actions: dict             # sid -> action code
    weights: dict             # sid -> weight of the last rebalance
    next_weights: dict        # sid -> weight after the next rebalance
    weight_row: int
    next_weight_row: int


SIDES = ("long", "short")
EXIT_REASONS = ("rebalance", "exit_rule", "delisted", "open")
_REBALANCE, _EXIT_RULE, _DELISTED, _OPEN = range(len(EXIT_REASONS))


def _exit_reasons(data, sid, entry, exit_, settings):
    """Codes into EXIT_REASONS per trade (see BacktestResult.trades), and whether the exit
    was a split at a rebalance (no trade, no exit costs)."""
    reason = np.full(len(sid), _EXIT_RULE, dtype=np.int8)
    split = np.zeros(len(sid), dtype=bool)
    is_open = exit_ < 0
    plan = data.schedule
    done = plan.bar < len(data.price_index)
    bars, rows = plan.bar[done], plan.weight_row[done]
    if len(bars):
        at = np.clip(np.searchsorted(bars, exit_), 0, len(bars) - 1)
        on_rebalance = ~is_open & (bars[at] == exit_)
        target = data.weights[rows[at], sid]
        key = len(data.price_index) + 1
        entries = np.sort(sid * key + entry)
        wanted = sid * key + exit_
        reenters = entries[np.minimum(np.searchsorted(entries, wanted), len(entries) - 1)] == wanted
        reason[on_rebalance & ((target == 0) | reenters)] = _REBALANCE
        if settings["split_trades_on_rebalance"] and not settings["keep_costs_on_rebalance"]:
            split = on_rebalance & (target != 0) & reenters
    if data.delisting_bars is not None:
        reason[~is_open & (data.delisting_bars[sid] == exit_)] = _DELISTED
    reason[is_open] = _OPEN
    return reason, split & (reason == _REBALANCE)


def _exit_returns(data, rec, sid, entry, exit_, split, settings):
    """Trade returns at the exit, net of the exit's costs whatever the window.

    The excursion walk applies exit costs and the exit bar's trading price only at its last
    bar; when the window carries the walk past the exit, the exit block holds the value at
    the exit bar's close without them.  Those trades get the same two steps here.
    """
    value = rec.excursions[:, -1] + 1.0
    n = len(data.price_index)
    walked = np.minimum(np.maximum(exit_, entry + settings["window"]), n - 1)
    fix = (exit_ >= 0) & (walked != exit_) & ~split
    if fix.any():
        col = data.price_col[sid[fix]]
        lp = data.trade[exit_[fix], col]
        lc = data.close[exit_[fix], col]
        x = value[fix]
        with np.errstate(divide="ignore", invalid="ignore"):
            rebased = np.where(rec.positions[fix] > 0, (lp / lc) * x, 2.0 - ((2.0 - x) * lp) / lc)
        value[fix] = ((1.0 - settings["fee"]) - settings["tax"]) * rebased
    return value - 1.0


def _trade_table(data, rec, settings):
    sid, entry, exit_ = rec.trades[:, 0], rec.trades[:, 1], rec.trades[:, 2]
    reason, split = _exit_reasons(data, sid, entry, exit_, settings)
    n_bars = len(data.price_index)
    is_open = exit_ < 0
    dates = data.dates
    # The signal is the weight row in force on the bar before the entry.
    signal_bar = data.price_index[np.maximum(entry - 1, 0)]
    signal_row = np.maximum(np.searchsorted(data.pos_index, signal_bar, side="right") - 1, 0)
    at_exit = rec.excursions[:, -6:]
    table = {
        "ticker": data.pos_columns[sid],
        # Fixed vocabularies: categoricals cost no string per trade.
        "side": pd.Categorical.from_codes((rec.positions <= 0).astype(np.int8), SIDES),
        "entry_date": dates.take(entry).array,
        "exit_date": dates.take(np.where(is_open, 0, exit_)).where(~is_open).array,
        "signal_date": data.weight_dates.take(signal_row).array,
        "weight": rec.positions,
        "bars_held": np.where(is_open, n_bars - 1 - entry, exit_ - entry),
        "return": _exit_returns(data, rec, sid, entry, exit_, split, settings),
        "exit_reason": pd.Categorical.from_codes(reason, EXIT_REASONS),
        "mae": at_exit[:, 0],
        "gmfe": at_exit[:, 1],
        "bmfe": at_exit[:, 2],
        "mdd": at_exit[:, 3],
        "profitable_bars": at_exit[:, 4].astype(np.int64),
    }
    # No columns= here: older pandas then boxes every date into a Timestamp.
    return pd.DataFrame(table)


def _action_table(data, rec):
    sids = sorted(set(rec.actions) | set(rec.weights) | set(rec.next_weights))
    idx = pd.Index(data.pos_columns[sids] if sids else [], dtype=object, name="ticker")
    code = [rec.actions.get(s, "") for s in sids]
    return pd.DataFrame({
        "weight": np.array([float(rec.weights.get(s, 0.0)) for s in sids], dtype=np.float64),
        "next_weight": np.array([float(rec.next_weights.get(s, 0.0)) for s in sids], dtype=np.float64),
        "action": [ACTION_WORDS.get(c, c) for c in code],
        "code": code,
    }, index=idx)


def _drift(data, equity, done, last_close):
    """Factor taking a weight set at the last rebalance to its weight at the last close:
    the ticker's move from that bar's trading price, over the portfolio's (costs ignored)."""
    if not len(done):
        return np.ones(len(data.price_col))
    bar = done[-1]
    with np.errstate(divide="ignore", invalid="ignore"):
        moved = last_close / data.trade[bar, data.price_col]
    moved = np.where(np.isfinite(moved), moved, 1.0)
    return moved * (equity[bar] / equity[-1])


class BacktestResult:
    """One backtest run.  Immutable; every attribute returns a fresh copy.

    Attributes
    ----------
    equity : Series
        Portfolio value on every price date at the close, starting capital 1.0 (dates before
        the first weight row hold 1.0).
    returns : Series
        Bar-to-bar simple returns of ``equity`` (fractions; the first bar 0.0).
    drawdown : Series
        ``equity`` below its running peak, as a fraction (0 at a peak, -0.2 = 20 % below).
    trades : DataFrame
        One row per trade; see the property's documentation for the columns.
    actions : DataFrame
        Per ticker: current weight, next weight, the action in words and its code.
    warnings : tuple of str
        Adjustments made to the inputs.
    settings : dict
        The keyword arguments of the run (front names).
    start, end : Timestamp
        First simulated bar (the first price date at or after the first weight date) and
        the last price date.
    """

    __slots__ = ("_equity", "_trades", "_actions", "_warnings", "_settings", "_start",
                 "_window", "_weights", "_rebalance_dates", "_last_close", "_delisted", "_drift")

    def __init__(self, *args, **kwargs):
        raise TypeError("BacktestResult is made by orvane.backtest(...)")

    @classmethod
    def _from_run(cls, data, rec, settings):
        self = object.__new__(cls)
        set_ = object.__setattr__
        dates = data.dates
        set_(self, "_equity", pd.Series(np.array(rec.equity, dtype=np.float64), index=dates,
                                        name="equity"))
        set_(self, "_trades", _trade_table(data, rec, settings))
        set_(self, "_actions", _action_table(data, rec))
        set_(self, "_warnings", tuple(data.warnings))
        set_(self, "_settings", dict(settings))
        set_(self, "_start", dates[min(data.schedule.first_bar, len(dates) - 1)])
        set_(self, "_window", rec.excursions if settings.get("window", 0) > 0 else None)
        set_(self, "_weights", pd.DataFrame(data.weights, index=data.weight_dates,
                                            columns=pd.Index(data.pos_columns, dtype=object)))
        done = data.schedule.bar[data.schedule.bar < len(dates)]
        set_(self, "_rebalance_dates", dates[done])
        last_close = data.close[-1, data.price_col]
        set_(self, "_last_close", pd.Series(last_close, index=data.pos_columns))
        set_(self, "_drift", pd.Series(_drift(data, rec.equity, done, last_close), index=data.pos_columns))
        gone = (np.zeros(len(data.pos_columns), dtype=bool) if data.delisting_bars is None
                else data.delisting_bars >= 0)
        set_(self, "_delisted", pd.Series(gone, index=data.pos_columns))
        return self

    def __setattr__(self, name, value):
        raise AttributeError("BacktestResult is immutable")

    def __delattr__(self, name):
        raise AttributeError("BacktestResult is immutable")

    def __reduce__(self):
        state = {name: getattr(self, name) for name in self.__slots__}
        return (_restore, (state,))

    # ------------------------------------------------------------ series and tables

    @property
    def equity(self):
        return self._equity.copy()

    @property
    def returns(self):
        values = self._equity.to_numpy()
        out = np.zeros(len(values))
        out[1:] = values[1:] / values[:-1] - 1.0
        return pd.Series(out, index=self._equity.index, name="returns")

    @property
    def drawdown(self):
        values = self._equity.to_numpy()
        return pd.Series(values / np.maximum.accumulate(values) - 1.0, index=self._equity.index,
                         name="drawdown")

    @property
    def trades(self):
        """One row per trade, in the order the trades were closed (open ones last).

        Columns: ``ticker``; ``side`` ("long"/"short", categorical); ``entry_date`` (the bar the entry
        filled); ``exit_date`` (NaT while open); ``signal_date`` (the date of the weight row
        that opened it); ``weight`` (signed weight at entry, fraction of portfolio value);
        ``bars_held`` (bars from entry to exit, to the last bar while open); ``return`` (the
        trade's return as a fraction: entry at the trading price, closes in between, exit at
        the exit bar's trading price, net of the fee and tax the trade paid; an intrabar exit
        is valued at the bar's trading price, not at the stop level; a trade split at a
        rebalance pays no costs at the split; an open trade is marked at the last close
        without exit costs); ``exit_reason`` (categorical, see below);
        excursions at the exit (fractions of the entry value): ``mae`` (worst), ``gmfe``
        (best), ``bmfe`` (best before the worst), ``mdd`` (deepest drawdown),
        ``profitable_bars`` (bars closed in profit).

        ``exit_reason`` is derived from the run's calendar and delisting bars: "open" while
        open; "delisted" for an exit on the ticker's delisting bar; "rebalance" for an exit
        on a bar where a rebalance executed and either its weight for the ticker is 0 or the
        ticker re-enters on that bar (a trade split at a rebalance); "exit_rule" otherwise.
        Ambiguous bars resolve in that order: an exit rule firing on a rebalance bar whose
        weights close the ticker anyway, or an intrabar exit re-bought by the same bar's
        rebalance, reads "rebalance".
        """
        return self._trades.copy()

    @property
    def actions(self):
        """Per ticker (index): ``weight`` now, ``next_weight`` after the next rebalance (both
        normalised to gross <= 1 and the position limit), ``action`` in words and ``code``,
        the engine's tag ("enter", "exit", "hold", "sl", "tp", "sl_", "tp_", "sl_enter",
        "tp_enter", or "" when none)."""
        return self._actions.copy()

    @property
    def weights(self):
        """The weights as run: one row per weight date used, NaN read as 0, weights on
        tickers without a trading price on their trade bar dropped."""
        return self._weights.copy()

    @property
    def rebalance_dates(self):
        """Bars on which a rebalance was executed."""
        return self._rebalance_dates.copy()

    @property
    def warnings(self):
        return self._warnings

    @property
    def settings(self):
        return {k: (v.copy() if isinstance(v, (pd.Series, dict)) else v)
                for k, v in self._settings.items()}

    @property
    def start(self):
        return self._start

    @property
    def end(self):
        return self._equity.index[-1]

    # ------------------------------------------------------------ derived views

    def trades_window(self):
        """Excursions at every ``window_step`` bars after each entry, as a long frame.

        Columns: ``trade`` (row of ``trades``), ``ticker``, ``entry_date``, ``offset``
        (bars after the entry, 0, step, 2 * step ... below ``window``) and the six
        excursion values (see ``trades``; ``return`` here excludes exit costs).  Offsets
        past the end of the data are absent.  Empty when the run had no window.
        """
        columns = ["trade", "ticker", "entry_date", "offset", *EXCURSIONS]
        if self._window is None or not len(self._window):
            return pd.DataFrame({c: [] for c in columns})
        n, width = self._window.shape
        blocks = width // 6 - 1
        values = self._window[:, : blocks * 6].reshape(n, blocks, 6)
        written = values[:, :, 4] != -1  # unwritten slots keep -1; bar counts never are
        trade, block = np.nonzero(written)
        picked = values[trade, block]
        step = self._settings["window_step"]
        frame = pd.DataFrame({
            "trade": trade,
            "ticker": self._trades["ticker"].to_numpy()[trade],
            "entry_date": self._trades["entry_date"].iloc[trade].to_numpy(),
            "offset": block * step,
        })
        for k, name in enumerate(EXCURSIONS):
            frame[name] = picked[:, k]
        frame["profitable_bars"] = frame["profitable_bars"].astype(np.int64)
        return frame

    def monthly_returns(self):
        """Compounded return of each calendar month (rows: year, columns: month 1..12),
        from the first simulated bar on; months without data are NaN."""
        returns = self.returns
        returns = returns[returns.index >= self._start]
        index = returns.index
        growth = (1.0 + returns).groupby([index.year, index.month]).prod() - 1.0
        table = growth.unstack()
        table = table.reindex(columns=range(1, 13))
        table.index.name = "year"
        table.columns.name = "month"
        return table

    def orders(self, capital, prices=None):
        """Orders that take today's book to the next weights.

        Parameters
        ----------
        capital : float
            Portfolio value in money.
        prices : Series or mapping ticker -> price, optional
            Prices to size the orders at; by default each ticker's close on the last bar.

        Returns
        -------
        DataFrame indexed by ticker (the tickers of ``actions``): ``price``; ``weight``,
        today's weight: the weight of the last rebalance (``actions.weight``) drifted with
        the ticker's and the portfolio's moves since (costs ignored); ``next_weight``;
        ``value`` and ``target_value`` (money); ``order_value`` (money to buy, negative to
        sell); ``shares``, ``target_shares`` and ``order_shares`` (the difference of the two
        rounded to whole shares); ``tradable`` (False when the ticker has no valid price or
        was delisted: its order cannot be filled, share columns are NaN).
        """
        if isinstance(capital, (bool, np.bool_)) or not isinstance(
                capital, (int, float, np.integer, np.floating)) or not capital > 0 \
                or not np.isfinite(capital):
            raise ValueError(f"capital must be a positive amount of money, got {capital!r}")
        book = self._actions[["weight", "next_weight"]]
        tickers = book.index
        if prices is None:
            price = self._last_close.reindex(tickers)
        else:
            if not isinstance(prices, pd.Series):
                if not hasattr(prices, "keys"):
                    raise TypeError("prices must be a Series or mapping ticker -> price, got "
                                    f"{type(prices).__name__}")
                prices = pd.Series(dict(prices), dtype=object)
            prices.index = prices.index.map(str)
            price = pd.to_numeric(prices, errors="coerce").reindex(tickers).astype(np.float64)
        price = price.to_numpy(dtype=np.float64)
        tradable = np.isfinite(price) & (price > 0) & ~self._delisted.reindex(tickers).fillna(False).to_numpy(dtype=bool)
        capital = float(capital)
        weight = book["weight"].to_numpy() * self._drift.reindex(tickers).to_numpy(dtype=np.float64)
        value = weight * capital
        target = book["next_weight"].to_numpy() * capital
        with np.errstate(divide="ignore", invalid="ignore"):
            shares = np.where(tradable, value / price, np.nan)
            target_shares = np.where(tradable, target / price, np.nan)
        order_shares = np.round(target_shares) - np.round(shares)
        return pd.DataFrame({
            "price": price,
            "weight": weight,
            "next_weight": book["next_weight"].to_numpy(),
            "value": value,
            "target_value": target,
            "order_value": target - value,
            "shares": shares,
            "target_shares": target_shares,
            "order_shares": order_shares,
            "tradable": tradable,
        }, index=tickers)

    # ------------------------------------------------------------ statistics and output

    def stats(self):
        """Summary statistics as a Series (see ``orvane.stats.summary``)."""
        from orvane import stats

        return stats.summary(self)

    def plot(self):
        """Equity with drawdown below, a matplotlib Figure (needs ``orvane[plot]``)."""
        from orvane import plotting

        return plotting.plot_equity(self)

    def plot_trades(self):
        """MAE and MFE of every trade against its return, a matplotlib Figure."""
        from orvane import plotting

        return plotting.plot_trades(self)

    def report(self, path):
        """Write one self-contained HTML report; returns the path written."""
        from orvane import report

        return report.write_report(self, path)

    def save(self, folder, format="auto"):
        """Write equity, trades, actions and stats into ``folder`` (created if needed).

        ``format``: "csv", "parquet", or "auto" (Parquet when pyarrow is installed, else
        CSV).  Statistics are always written as CSV (a short mixed-type table).  Returns a
        dict name -> path.
        """
        if format == "auto":
            try:
                import pyarrow  # noqa: F401
                format = "parquet"
            except ImportError:
                format = "csv"
        if format not in ("csv", "parquet"):
            raise ValueError(f"format must be 'csv', 'parquet' or 'auto', got {format!r}")
        folder = pathlib.Path(os.fspath(folder))
        folder.mkdir(parents=True, exist_ok=True)
        frames = {
            "equity": self._equity.rename_axis("date").to_frame(),
            "trades": self._trades,
            "actions": self._actions,
        }
        written = {}
        for name, frame in frames.items():
            path = folder / f"{name}.{format}"
            if format == "parquet":
                frame.to_parquet(path)
            else:
                frame.to_csv(path, index=name != "trades")
            written[name] = path
        stats_path = folder / "stats.csv"
        self.stats().rename("value").rename_axis("statistic").to_csv(stats_path)
        written["stats"] = stats_path
        return written

    def __repr__(self):
        eq = self._equity
        total = eq.iloc[-1] - 1.0
        dd = float(np.min(eq.to_numpy() / np.maximum.accumulate(eq.to_numpy()) - 1.0))
        s = self._settings
        return (f"<BacktestResult {self._start.date()} .. {self.end.date()} ({len(eq)} bars): "
                f"final value {eq.iloc[-1]:.4f}, total return {total:+.2%}, "
                f"max drawdown {dd:.2%}, {len(self._trades)} trades; "
                f"fee {s['fee']:.4%}, tax {s['tax']:.4%}, trade at {s['trade_at']}>")


def _restore(state):
    self = object.__new__(BacktestResult)
    for name, value in state.items():
        object.__setattr__(self, name, value)
    return self
