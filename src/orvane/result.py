"""The immutable result of one backtest: equity, trades, next actions and what derives from them.

A frozen dataclass of finished pandas objects (built by ``orvane.backtest`` from the run's
records); every attribute hands out a copy, so neither a later run nor a caller editing a
returned frame can change it.  Statistics, charts and the report live in their own modules
and are reached from here.
"""

from __future__ import annotations

import os
import pathlib
import warnings
from dataclasses import dataclass
from typing import Any, Dict, Mapping, Optional, Tuple, Union

import numpy as np
import pandas as pd

from orvane import _execution, _native, _records
from orvane._checks import Bounds, check_choice, check_flag, check_real, check_whole
from orvane._html import cannot_write, writable_path
from orvane._benchmark import Benchmark, filled as _filled_benchmark, resolve as _resolve_benchmark
from orvane import stats as _stats

__all__ = ["BacktestResult"]


@dataclass(frozen=True, repr=False, eq=False)
class BacktestResult:
    """One backtest run.  Immutable; every attribute returns a fresh copy.

    Made by ``orvane.backtest``; the fields (underscored) are the finished objects the
    attributes below hand out.

    Attributes
    ----------
    equity : Series
        Portfolio value at the close of every live bar, starting capital 1.0: from ``start``
        (the signal bar of the first weight row) to ``end``.
    full_equity : Series
        The same on every price date: bars before ``start`` hold 1.0, and after a ruin (see
        ``end``) it shows what the engine computed on.
    returns : Series
        Bar-to-bar simple returns of ``equity`` (fractions), one per live bar after the
        first: the first bar has no bar before it, so it has no return (none is invented).
        ``stats()`` reads exactly these, so NumPy's, pandas' and ``orvane.stats``' own
        formulas on them give what it reports.
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
    benchmark : Series or None
        The benchmark's value on every live bar (1.0 on its first), NaN before its first
        date and after its last; None without a ``benchmark``.  A bar between two of its
        dates carries the last value for display; the statistics read such a benchmark
        on its own dates (see ``orvane.stats.benchmark_stats``).
    start, end : Timestamp
        First live bar (the signal bar of the first weight row) and the last one: the last
        price date, or the bar on which the equity first reached 0 or below (only shorts
        can do that), where the result ends: a book worth nothing cannot hold positions as
        fractions of itself.  ``ruined`` says which.
    """

    _equity: pd.Series
    _trades: pd.DataFrame
    _actions: pd.DataFrame
    _warnings: Tuple[str, ...]
    _settings: Dict[str, Any]
    _start: pd.Timestamp
    _end: pd.Timestamp
    _ruined: bool
    _rebalance_pending: bool
    _window: Optional[np.ndarray]
    _weights: pd.DataFrame
    _rebalance_dates: pd.DatetimeIndex
    _last_close: pd.Series
    _drift: pd.Series
    _delisted: pd.Series
    _exposure: Optional[pd.DataFrame] = None
    _costs: Optional[pd.DataFrame] = None
    _cash_flows: Optional[pd.DataFrame] = None
    _benchmark: Optional[pd.Series] = None
    # With execution by size and liquidity: the engine's shortfall events (bar, sid, weight);
    # with a participation cap, the money each ticker may trade on the next bar.
    _shortfall: Optional[Dict[str, np.ndarray]] = None
    _next_cap: Optional[pd.Series] = None
    # With capital: the shares each ticker holds after the last bar.
    _held_shares: Optional[pd.Series] = None
    # Every trade the engine made, in order.
    _fills: Optional[pd.DataFrame] = None
    # The prices it traded and marked at (the engine's arrays, read-only).
    _market: Optional[_records.Market] = None
    # Per trade row, a number per ticker: the statistics group by it without the strings.
    _trade_keys: Optional[np.ndarray] = None

    # ------------------------------------------------------------ series and tables

    @property
    def equity(self) -> pd.Series:
        return self._equity.loc[self._start:self._end].copy()

    @property
    def exposure(self) -> pd.DataFrame:
        """Per live bar, fractions of that bar's equity at the close: ``long``, ``short``
        (negative), ``gross`` (long - short), ``net`` (long + short), ``cash``; and
        ``names``, the positions held.  From the engine's own book.  On a bar whose equity
        is 0 or below (the ruin bar, see ``end``) they are fractions of its absolute value,
        so ``short`` stays at or below 0 and ``long`` at or above.  Drift between
        rebalances moves them: ``gross`` may pass 1.0 although no rebalance levers."""
        return self._book(self._exposure, "exposure")

    @property
    def costs(self) -> pd.DataFrame:
        """Per live bar, the ``fees``, ``tax`` and ``total`` paid on it, in units of the
        starting capital (1.0), entries, exits, resizes and delistings alike; with
        execution costs (``slippage``, ``spread``, ``impact``) also a column of each, in
        ``total`` too."""
        return self._book(self._costs, "costs")

    @property
    def fills(self) -> pd.DataFrame:
        """Every trade the engine made, in order, one row each: ``date``, ``ticker``,
        ``value`` (money traded, in units of the starting capital; bought > 0, sold < 0),
        ``price`` (the fill's: the bar's trading price, an intrabar exit's level, a
        delisted name's last price), ``shares`` (with ``capital``: value x capital / price,
        whole lots), and the ``fee``, ``tax`` and ``costs`` (every kind, execution's
        included) it paid.  What a live book's fills are compared with."""
        if self._fills is None:
            raise ValueError("fills need the engine's ledger, which this result does not hold")
        return self._fills.copy()

    @property
    def shortfall(self) -> pd.DataFrame:
        """Live bars x tickers: the target weight less the weight held that the participation
        cap (or a name without volume) left after the bar's trades, 0 elsewhere: positive
        where the book holds less long (or more short) than its target.  A carried
        target's shortfall shrinks as later bars trade it; with ``unfilled='cancel'`` it
        stays until the next rebalance.  Needs ``slippage``, ``spread``, ``impact`` or
        ``max_participation``."""
        if self._shortfall is None:
            raise ValueError("shortfall needs a run with execution costs or a participation "
                             "cap: pass max_participation (with capital) to backtest")
        frame = _execution.shortfall_frame(self._shortfall, self._equity.index,
                                           pd.Index(self._weights.columns))
        return frame.loc[self._start:self._end]

    @property
    def cash_flows(self) -> pd.DataFrame:
        """Per live bar, the financing booked on it, money into the book in units of the
        starting capital (1.0): ``interest`` on cash (negative when charged), ``borrow``
        (fees on shorts, at or below 0), ``dividends`` (received by longs less paid by
        shorts) and their ``total``.  Borrow and dividends are also in the trades'
        ``financing`` and ``pnl``; interest belongs to no trade, so the equity's change
        is ``trades["pnl"].sum() + cash_flows["interest"].sum()``.  Needs one of
        ``cash_rate``, ``short_rebate``, ``borrow_fee``, ``dividends``."""
        if self._cash_flows is None:
            raise ValueError("cash_flows needs a run with financing: pass cash_rate, "
                             "borrow_fee or dividends to backtest")
        return self._book(self._cash_flows, "cash_flows")

    def _book(self, frame: Optional[pd.DataFrame], name: str) -> pd.DataFrame:
        if frame is None:
            raise ValueError(f"{name} needs the engine's ledger, which this result does not hold")
        return frame.loc[self._start:self._end].copy()

    def round_trips(self) -> pd.DataFrame:
        """One row per holding, from entry to final exit: the trade records of one
        position joined where a rebalance split it (see ``orvane.stats.round_trips``
        for each column: ``return`` compounds, ``pnl``, ``costs`` and ``bars_held`` add
        up, ``records`` counts the records joined)."""
        return _stats.round_trips(self._trades)

    @property
    def full_equity(self) -> pd.Series:
        return self._equity.copy()

    @property
    def returns(self) -> pd.Series:
        return _stats.equity_returns(self._equity.loc[self._start:self._end])

    @property
    def drawdown(self) -> pd.Series:
        return _stats.drawdown(self._equity.loc[self._start:self._end]).rename("drawdown")

    @property
    def benchmark(self) -> Optional[pd.Series]:
        return None if self._benchmark is None else _filled_benchmark(self._benchmark)

    @property
    def trades(self) -> pd.DataFrame:
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
        ``profitable_bars`` (bars closed in profit); ``exit_price``, the price the exit
        filled at (an intrabar exit at the open or the level touched; otherwise the
        trading price it was last marked at; an open trade at the last close);
        ``pnl``, the trade's money result in
        units of the starting capital (1.0), every cost it caused included: its entry fee,
        the fees and tax of resizing it while held, its exit fee and tax (an open trade
        marked at the last close of the result without exit costs), so that ``equity`` end minus start
        equals ``pnl.sum()`` (to rounding); ``costs``, those costs.  ``return`` is the
        trade's own price return, ``pnl`` what it did to the portfolio: a resize changes
        the second, not the first.

        ``return`` and ``pnl`` follow two conventions, not one rescaled: a short's
        ``return`` is a mirrored long's (price ratio ``r`` read as ``2 - r``), not
        ``pnl`` over its notional (a few tenths of a point apart over long holdings);
        an intrabar exit's ``return`` reads the bar's trading price while its ``pnl``
        reads the fill, so a stop filled below its entry can show a positive ``return``
        with a negative ``pnl``.  The statistics count a trade as won or lost by its
        ``pnl``.  A flip (long straight to short or back at a rebalance) pays the fee
        on the side it closes in the closed record.  In a ruined result (see ``end``) an
        open trade's ``pnl``, ``costs`` and ``exit_price`` are marked at the close of
        the bar the result ends on.

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
    def actions(self) -> pd.DataFrame:
        """Per ticker (index): ``weight`` now, at the last close (``target`` drifted with the
        ticker's and the portfolio's moves since, costs ignored), ``target``, the weight the
        last rebalance traded to, ``next_weight`` after the next rebalance (targets
        normalised to the gross limit and the position limit), ``action`` in words and
        ``code``, the engine's tag ("enter", "exit", "hold", "carry", "sl", "tp", "sl_",
        "tp_", "sl_enter", "tp_enter", or "" when none)."""
        return self._actions.copy()

    @property
    def weights(self) -> pd.DataFrame:
        """The weights as run: one row per weight date used, NaN read as 0, weights on
        tickers without a trading price on their trade bar dropped."""
        return self._weights.copy()

    @property
    def rebalance_dates(self) -> pd.DatetimeIndex:
        """Bars on which a rebalance was executed."""
        return self._rebalance_dates.copy()

    @property
    def warnings(self) -> Tuple[str, ...]:
        return self._warnings

    @property
    def settings(self) -> Dict[str, Any]:
        return {k: (v.copy() if isinstance(v, (pd.Series, dict)) else v)
                for k, v in self._settings.items()}

    @property
    def start(self) -> pd.Timestamp:
        return self._start

    @property
    def end(self) -> pd.Timestamp:
        return self._end

    @property
    def ruined(self) -> bool:
        """True when the equity reached 0 or below and the result ends there."""
        return self._ruined

    # ------------------------------------------------------------ derived views

    def trades_window(self) -> pd.DataFrame:
        """Excursions at every ``window_step`` bars after each entry, as a long frame.

        Columns: ``trade`` (row of ``trades``), ``ticker``, ``entry_date``, ``offset``
        (bars after the entry, 0, step, 2 * step ... below ``window``) and the six
        excursion values (see ``trades``; ``return`` here excludes exit costs).  Offsets
        past the end of the data are absent.  Empty when the run had no window.
        """
        return _records.window_table(self._window, self._trades, self._settings["window_step"])

    def monthly_returns(self) -> pd.DataFrame:
        """Compounded ``returns`` of each calendar month (rows: year, columns: month 1..12);
        months without a return are NaN (the first live bar's month when it is that
        month's only bar: it has no return)."""
        return _stats.monthly_table(self.returns)

    def yearly_returns(self, benchmark: Benchmark = None) -> pd.DataFrame:
        """Compounded return of each calendar year (index: year; the first and last may be
        partial), column ``return``; with a benchmark (the run's, or ``benchmark`` as
        ``stats`` takes it) also ``benchmark``, its return over the same bars, and
        ``excess``, return - benchmark (fractions).  See ``orvane.stats.yearly_table``."""
        return _stats.yearly_table(self.returns, _resolve_benchmark(self, benchmark))

    def drawdowns(self, top: Optional[int] = 5) -> pd.DataFrame:
        """The ``top`` deepest drawdowns of ``equity`` (all with None), deepest first.

        Columns: ``peak`` (last bar at the high), ``trough``, ``recovery`` (first bar back
        at the peak's value; NaT while not recovered), ``depth`` (fraction, negative),
        ``bars`` and ``days`` (calendar) from the peak to the recovery, or to the last bar
        while not recovered.  See ``orvane.stats.drawdown_periods``.
        """
        top = check_whole(top, "top", Bounds(1), none="for all")
        return _stats.drawdown_periods(self.equity, top)

    def rolling(self, window: int = 126, risk_free: float = 0.0,
                benchmark: Benchmark = None) -> pd.DataFrame:
        """Trailing ``window``-bar Sharpe ratio, Sortino ratio and volatility (annualised)
        of ``returns``, one row per return, and with a benchmark (the run's, or
        ``benchmark`` as ``stats`` takes it) the beta against it; NaN until a full window
        (see ``orvane.stats.rolling_stats``).  ``risk_free`` is an annual rate (fraction)."""
        periods = _stats.periods_per_year(self._equity.loc[self._start:self._end].index)
        curve = _resolve_benchmark(self, benchmark)
        theirs = None if curve is None else _stats.bar_returns(curve.ffill()).reindex(self.returns.index)
        return _stats.rolling_stats(self.returns, window, periods, risk_free, theirs)

    def trailing_returns(self, benchmark: Benchmark = None) -> pd.DataFrame:
        """Returns over trailing windows to the last bar: MTD, 3M, 6M, YTD, 1Y, and 3Y, 5Y,
        10Y and All annualised; column ``strategy`` and, with a benchmark (the run's, or
        ``benchmark`` as ``stats`` takes it), ``benchmark``.  NaN for a window longer than
        the run (see ``orvane.stats.trailing_returns``)."""
        return _stats.trailing_returns(self.equity, _resolve_benchmark(self, benchmark))

    def orders(self, capital: Optional[float] = None,
               prices: Union[pd.Series, Mapping[str, float], None] = None, *,
               rebalance: Optional[bool] = None) -> pd.DataFrame:
        """Orders for the next bar, as the run would place them.

        Parameters
        ----------
        capital : float, optional
            Portfolio value in money.  By default, for a run with ``capital``, its value
            today: that capital times the last equity (a value other than it by more than
            10 % is warned of: the book is re-sized to it).  A run without ``capital``
            needs it.  The frame's ``attrs["capital"]`` says which was used.
        prices : Series or mapping ticker -> price, optional
            Prices to size the orders at; by default each ticker's close on the last bar.
            Never modified.
        rebalance : bool, optional
            None (default) follows the run: when a rebalance is pending (``rebalance_pending``)
            the book goes to the next weights; otherwise only the exits the actions announce
            for the next bar (codes "sl", "tp", "sl_enter", "tp_enter") are sold and
            everything else is left as it is.  True rebalances to the next weights now;
            False never does.

        Returns
        -------
        DataFrame indexed by ticker (the tickers of ``actions``): ``price``; ``weight``,
        today's weight (``actions.weight``: the last rebalance's ``target`` drifted with
        the ticker's and the portfolio's moves since, costs ignored); ``next_weight``, the
        weight after the orders; ``value`` and ``target_value`` (money); ``order_value``
        (money to buy, negative to sell); ``shares``, ``target_shares`` and ``order_shares``
        (the difference of the two rounded to whole shares; a run with ``capital`` holds
        the shares of its open trades and rounds ``target_value`` and ``target_shares`` by
        the engine's own rule: toward zero to whole lots, a holding whose target rounds
        to the lots it holds left as it is, only the lots bought leaving room for their
        fee); ``tradable`` (False when the
        ticker has no valid price or was delisted: its order cannot be filled, share
        columns are NaN).  A target the participation cap left unfilled (action "carry") is
        traded on at the next bar, rebalance or not; with ``max_participation`` every order
        is cut, as the engine would cut it, to that share of the ticker's money ADV up to
        the last bar (``capped`` says which were; ``target_value`` is then what the next bar
        reaches, the rest carried).
        """
        money = self._order_capital(capital)
        rebalance = check_flag(rebalance, "rebalance", none="(the run's own rebalance rule)")
        book = self._actions
        tickers = book.index
        price = (self._last_close.reindex(tickers) if prices is None
                 else _order_prices(prices).reindex(tickers)).to_numpy(dtype=np.float64)
        delisted = self._delisted.reindex(tickers).fillna(False).to_numpy(dtype=bool)
        tradable = np.isfinite(price) & (price > 0) & ~delisted
        # A ruined book's drift is NaN or infinite: its orders read NaN, without warnings.
        with np.errstate(all="ignore"):
            weight = book["weight"].to_numpy(dtype=np.float64)
            rebalancing = self._rebalance_pending if rebalance is None else rebalance
            # The exits the actions announce for the next bar are carried out either way.
            exits = book["code"].isin(_records.EXITS_NEXT_BAR).to_numpy()
            value = weight * money
            shares = np.where(tradable, value / price, np.nan)
            if self._settings.get("capital") and self._held_shares is not None:
                # A book of whole lots holds the shares the engine left it with.
                held = self._held_shares.reindex(tickers).fillna(0.0).to_numpy()
                shares = np.where(tradable, held, np.nan)
                value = np.where(tradable, shares * price, value)
                weight = value / money
            carried = (book["code"] == "carry").to_numpy()
            after = (book["next_weight"].to_numpy() if rebalancing else
                     np.where(exits, 0.0, np.where(carried, book["next_weight"].to_numpy(), weight)))
            # Without a rebalance a kept holding's target is what it holds, exactly; a target
            # the cap left unfilled is traded on.
            target = after * money if rebalancing else np.where(
                exits, 0.0, np.where(carried, after * money, value))
            target_shares = np.where(tradable, target / price, np.nan)
            if self._settings.get("capital"):
                # Rounded as the engine rounds: its own rule, at these prices.
                lots = _native.whole_lots
                lot, fee = float(self._settings["lot"]), float(self._settings["fee"])
                target = np.array([lots(t, v, p, lot, fee) if ok else t
                                   for t, v, p, ok in zip(target, value, price, tradable)])
                target_shares = np.where(tradable, target / price, np.nan)
            capped = np.zeros(len(tickers), dtype=bool)
            if self._next_cap is not None:
                # The engine trades at most the cap a bar; the rest is carried.
                limit = self._next_cap.reindex(tickers).to_numpy(dtype=np.float64)
                capped = tradable & (np.abs(target - value) > limit)
                step = np.where(capped, np.sign(target - value) * limit, target - value)
                if self._settings.get("capital"):
                    lot = float(self._settings["lot"])
                    step = np.where(capped, np.trunc(step / (lot * price)) * lot * price, step)
                target = np.where(capped, value + step, target)
                target_shares = np.where(tradable, target / price, np.nan)
            order_shares = np.round(target_shares) - np.round(shares)
            order_value = target - value
        frame = pd.DataFrame({
            "price": price,
            "weight": weight,
            "next_weight": after,
            "value": value,
            "target_value": target,
            "order_value": order_value,
            "shares": shares,
            "target_shares": target_shares,
            "order_shares": order_shares,
            "tradable": tradable,
        }, index=tickers)
        if self._next_cap is not None:
            frame["capped"] = capped
        frame.attrs["capital"] = money
        return frame

    def _order_capital(self, capital: Any) -> float:
        """The money ``orders`` sizes by: as given, or a run's own value today."""
        start = self._settings.get("capital")
        today = None if not start else float(start) * float(self._equity.iloc[-1])
        if capital is None:
            if today is None:
                raise TypeError("orders() needs capital, the portfolio's value in money, for a "
                                "run without capital: orders(1_000_000)")
            if not today > 0:
                raise ValueError(f"orders() needs capital here: the run's value today is "
                                 f"{today:,.0f} (capital x last equity), nothing to size by")
            return _capital(today)
        money = _capital(capital)
        if today is not None and today > 0 and abs(money / today - 1.0) > _STALE_CAPITAL:
            warnings.warn(f"capital={money:,.0f} is not the run's value today ({today:,.0f} = "
                          f"capital x last equity): the whole book is re-sized to {money:,.0f}; "
                          "orders() without capital uses the run's value", UserWarning,
                          stacklevel=3)
        return money

    @property
    def rebalance_pending(self) -> bool:
        """True when the last bar decided a rebalance that the next bar would execute."""
        return self._rebalance_pending

    # ------------------------------------------------------------ statistics and output

    def stats(self, risk_free: float = 0.0, benchmark: Benchmark = None) -> pd.Series:
        """Summary statistics as a Series (see ``orvane.stats.summary``).

        ``risk_free``: annual rate, a fraction.  ``benchmark``: the run's by default; or a
        price or return Series, read and aligned on the live bars as ``orvane.backtest``
        reads its ``benchmark``.
        """
        return _stats.summary(self, risk_free=risk_free, benchmark=_resolve_benchmark(self, benchmark))

    def plot(self, *, title: Optional[str] = "Equity", log: bool = False,
             figsize: Tuple[float, float] = (10.0, 6.0),
             benchmark: Benchmark = None) -> Any:
        """Equity with drawdown below, a matplotlib Figure (needs ``orvane[plot]``); the
        options are those of ``orvane.plotting.plot_equity``."""
        from orvane import plotting

        return plotting.plot_equity(self, title=title, log=log, figsize=figsize, benchmark=benchmark)

    def plot_trades(self, *, title: Optional[str] = "Trade excursions",
                    figsize: Tuple[float, float] = (10.0, 4.5)) -> Any:
        """MAE and MFE of every trade against its return, a matplotlib Figure."""
        from orvane import plotting

        return plotting.plot_trades(self, title=title, figsize=figsize)

    def report(self, path: Union[str, os.PathLike], *, title: str = "Backtest report",
               last_trades: int = 25, benchmark: Benchmark = None,
               risk_free: float = 0.0, stamp: bool = False, capacity: Any = None) -> pathlib.Path:
        """Write one self-contained HTML report; returns the path written (the options are
        those of ``orvane.report.write_report``)."""
        from orvane import report

        return report.write_report(self, path, title=title, last_trades=last_trades,
                                   benchmark=benchmark, risk_free=risk_free, stamp=stamp,
                                   capacity=capacity)

    def save(self, folder: Union[str, os.PathLike], format: str = "auto") -> Dict[str, pathlib.Path]:
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
        check_choice(format, "format", ("csv", "parquet", "auto"))
        folder = writable_path(folder, "folder")
        frames = {
            "equity": self.equity.rename_axis("date").to_frame(),
            "trades": self._trades,
            "actions": self._actions,
        }
        written = {}
        try:
            folder.mkdir(parents=True, exist_ok=True)
            for name, frame in frames.items():
                path = folder / f"{name}.{format}"
                if format == "parquet":
                    frame.to_parquet(path)
                else:
                    frame.to_csv(path, index=name != "trades")
                written[name] = path
            stats_path = folder / "stats.csv"
            self.stats().rename("value").rename_axis("statistic").to_csv(stats_path)
        except OSError as exc:
            raise cannot_write(folder, exc) from None
        written["stats"] = stats_path
        return written

    def __repr__(self) -> str:
        eq = self.equity
        total = eq.iloc[-1] - 1.0
        dd = float(_stats.drawdown(eq).min())
        s = self._settings
        ruin = ", ended when the equity reached 0" if self._ruined else ""
        return (f"<BacktestResult {self._start.date()} .. {self.end.date()} ({len(eq)} bars{ruin}): "
                f"final value {eq.iloc[-1]:.4f}, total return {total:+.2%}, "
                f"max drawdown {dd:.2%}, {len(self._trades)} trades; "
                f"fee {s['fee']:.4%}, tax {s['tax']:.4%}, trade at {s['trade_at']}>")

    def _repr_html_(self) -> str:
        """The headline figures as a small table, for notebooks."""
        from orvane import report

        return report.headline_html(self)


_MONEY = Bounds(0.0, low_open=True)
# A capital this far from a run's value today is its starting capital, not its value.
_STALE_CAPITAL = 0.1


def _capital(capital: Any) -> float:
    return check_real(capital, "capital", _MONEY, what="a positive amount of money")


def _order_prices(prices: Any) -> pd.Series:
    """Order prices by ticker text, as numbers (NaN where not one); the input is left as is."""
    if isinstance(prices, pd.Series):
        given = prices.copy()
    elif isinstance(prices, Mapping):
        given = pd.Series(dict(prices), dtype=object)
    else:
        raise TypeError("prices must be a Series or mapping ticker -> price, got "
                        f"{type(prices).__name__}")
    given.index = pd.Index([str(t) for t in given.index], dtype=object)
    if given.index.has_duplicates:
        dup = list(given.index[given.index.duplicated()].unique())[:5]
        raise ValueError(f"prices has duplicate tickers: {dup}")
    huge = [str(t) for t, v in given.items() if isinstance(v, int) and _beyond_float(v)]
    if huge:
        raise ValueError(f"prices must be numbers a float can hold, got integers beyond any float "
                         f"for {huge[:5]}")
    return pd.to_numeric(given, errors="coerce").astype(np.float64)


def _beyond_float(value: int) -> bool:
    try:
        float(value)
    except OverflowError:
        return True
    return False


