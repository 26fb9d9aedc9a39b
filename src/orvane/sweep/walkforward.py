"""Walk-forward evaluation: on each train window a sweep picks the parameters, the test
window that follows runs them, and the test windows are stitched into one out-of-sample
result.
"""

from __future__ import annotations

import copy
import dataclasses
import os
import pathlib
import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, NamedTuple, Optional, Union

import numpy as np
import pandas as pd

from orvane import _params, datasets, inputs
from orvane._checks import Bounds, check_flag, check_whole
from orvane import stats as _stats
from orvane.engine import backtest
from orvane.result import BacktestResult
from orvane.sweep import Prices, sweep
from orvane.sweep._grid import Grid, Strategy, expand_grid, split_runs
from orvane.sweep.result import SweepResult

__all__ = ["walk_forward", "WalkForwardResult", "Window", "windows"]


def _check_bars(value: Any, name: str, least: int) -> int:
    return check_whole(value, name, Bounds(least), unit="bars",
                          note="252 is about a year of business days")


class Window(NamedTuple):
    """Bar positions of one split: train ``[train_start, test_start)``, test
    ``[test_start, test_end)``."""

    train_start: int
    test_start: int
    test_end: int


def windows(bars: int, train: int, test: int, anchored: bool = False) -> list[Window]:
    """The splits of ``bars`` bars: test windows of ``test`` bars back to back from bar
    ``train`` to the end (the last one shorter when ``test`` does not divide the rest),
    each after its train window of ``train`` bars (``anchored``: from bar 0)."""
    train = _check_bars(train, "train", 2)
    test = _check_bars(test, "test", 1)
    if train + test > bars:
        raise ValueError(f"train + test must fit in the market's {bars} bars, got train={train} "
                         f"+ test={test} = {train + test}; shorten them or pass more data")
    return [Window(0 if anchored else a - train, a, min(a + test, bars))
            for a in range(train, bars, test)]


def _cut(market: Prices, first: pd.Timestamp, last: pd.Timestamp) -> Prices:
    """The market from ``first`` to ``last`` (inclusive), in the layout it was given."""

    def rows(frame: Any, name: str) -> pd.DataFrame:
        if not isinstance(frame, pd.DataFrame) or not isinstance(frame.index, pd.DatetimeIndex):
            got = type(frame.index).__name__ if isinstance(frame, pd.DataFrame) \
                else type(frame).__name__
            raise TypeError(f"{name} must be a frame indexed by date (a DatetimeIndex) for "
                            f"walk_forward to cut it into windows, got {got}; pass wide "
                            "frames (orvane.read_prices gives them)")
        return frame.loc[(frame.index >= first) & (frame.index <= last)]

    if isinstance(market, datasets.Market):
        return dataclasses.replace(market, **{f: rows(market[f], f"market[{f!r}]")
                                              for f in market})
    if isinstance(market, pd.DataFrame):
        return rows(market, "market")
    if isinstance(market, dict):
        # A copy keeps what the mapping says of itself (read_prices: whether it adjusted).
        cut = copy.copy(market)
        cut.update({k: rows(v, f"market[{k!r}]") for k, v in market.items()})
        return cut
    if isinstance(market, Mapping):
        return {k: rows(v, f"market[{k!r}]") for k, v in market.items()}
    raise TypeError("market must be a Market, a mapping of wide frames or a wide frame, got "
                    f"{type(market).__name__}")


def _best(result: SweepResult, metric: str, maximize: bool, where: str) -> int:
    failed = result.table["error"].notna().to_numpy()
    values = np.full(len(result), np.nan)
    if metric in result.table:
        values = pd.to_numeric(result.table[metric], errors="coerce").to_numpy(np.float64,
                                                                             copy=True)
        values[failed] = np.nan
    if np.isnan(values).all():
        first = f" (the first: {result.errors.iloc[0]})" if failed.any() else ""
        raise ValueError(f"the train window {where} must give at least one run a {metric} to "
                         f"choose by, got {int(failed.sum())} failed runs{first} and "
                         f"{int((~failed).sum())} with NaN; lengthen train or check the grid")
    # Ties go to the first run in grid order.
    return int(np.nanargmax(values) if maximize else np.nanargmin(values))


def _test_run(market: Prices, strategy: Strategy, params: dict[str, Any],
              options: dict[str, Any], entry: int, exit: Optional[int]) -> BacktestResult:
    """The chosen parameters on ``market``, holding from bar ``entry + 1`` on: the book in
    force at ``entry`` bought on the next bar, the rebalances the options' calendar makes
    in between, everything sold on the bar after ``exit`` (None: held to the end)."""
    prices = inputs.prepare_prices(market)
    weights = strategy(market, **params)
    # The engine's own reading of which row trades on which bar under these options.
    data = inputs.prepare(weights, prices, **{k: options[k] for k in _params.PREPARE
                                              if k in options})
    plan = data.schedule
    held = plan.weight_row[plan.decision <= entry]
    between = (plan.decision > entry) & (plan.decision < (len(prices.dates) if exit is None
                                                          else exit))
    flat = np.zeros((1, data.weights.shape[1]))
    rows = [data.weights[held[-1:]] if len(held) else flat, data.weights[plan.weight_row[between]]]
    bars = [entry, *plan.decision[between].tolist()]
    if exit is not None:
        rows.append(flat)
        bars.append(exit)
    book = pd.DataFrame(np.vstack(rows), index=prices.dates[bars],
                        columns=pd.Index(data.pos_columns, dtype=object))
    # The calendar is already applied: every row above is a rebalance.
    return backtest(book, prices, **{**options, "rebalance": None})


def _stitch(results: list[BacktestResult]) -> pd.Series:
    """Each window's equity (1.0 on its entry signal bar) scaled by the previous window's
    final value; on a shared boundary bar the next window's value, which compounds both."""
    parts, level = [], 1.0
    for k, result in enumerate(results):
        equity = result.equity
        part = equity / equity.iloc[0] * level
        parts.append(part if k == 0 else part.iloc[1:])
        level = float(part.iloc[-1])
    stitched = pd.concat(parts)
    stitched = stitched[~stitched.index.duplicated(keep="last")]
    return stitched.rename("equity").rename_axis("date")


@dataclass(frozen=True, repr=False, eq=False)
class WalkForwardResult:
    """The out-of-sample outcome of ``walk_forward``.

    Attributes
    ----------
    equity : Series
        The test windows' equity stitched into one curve, 1.0 on the last bar of the
        first train window (see ``walk_forward`` for the rule).
    trades : DataFrame
        Every window's trades (``BacktestResult.trades`` columns), with the ``window``
        that made each first.
    windows : DataFrame
        One row per window: ``train_start``, ``train_end``, ``test_start``, ``test_end``
        (dates of the first and last bars; the book is sold on the bar after
        ``test_end``), ``test_bars``, the chosen value of each grid parameter,
        ``train_<metric>`` (the chosen run's value on its train window) and
        ``test_return`` (the window's own return, its sale included, fraction).
    results : tuple of BacktestResult
        Each window's test run.
    sweeps : tuple of SweepResult
        Each window's train sweep.
    warnings : tuple of str
        What the train sweeps and test runs warned, each prefixed with its window.
    ruined : bool
        True when the equity reached 0 or below; the result ends on that bar.
    """

    equity: pd.Series
    trades: pd.DataFrame
    windows: pd.DataFrame
    results: tuple[BacktestResult, ...]
    sweeps: tuple[SweepResult, ...]
    metric: str
    maximize: bool
    anchored: bool
    warnings: tuple[str, ...]
    ruined: bool

    @property
    def start(self) -> pd.Timestamp:
        return self.equity.index[0]

    @property
    def end(self) -> pd.Timestamp:
        return self.equity.index[-1]

    def stats(self, risk_free: float = 0.0) -> pd.Series:
        """Statistics of the stitched equity and trades (see ``orvane.stats.summary``)."""
        return _stats.summary(self, risk_free=risk_free)

    def chosen(self) -> list[int]:
        """Each window's chosen run: its position in that window's train sweep's table."""
        return [_best(found, self.metric, self.maximize, str(k))
                for k, found in enumerate(self.sweeps)]

    def report(self, path: Union[str, os.PathLike], *, title: str = "Walk-forward report",
               risk_free: float = 0.0, stamp: bool = False) -> pathlib.Path:
        """Write one self-contained HTML report; returns the path written (see
        ``orvane.sweep.walkforward_report.write_walk_forward_report``)."""
        from orvane.sweep import walkforward_report

        return walkforward_report.write_walk_forward_report(self, path, title=title,
                                                            risk_free=risk_free, stamp=stamp)

    def __repr__(self) -> str:
        total = self.equity.iloc[-1] - 1.0
        kind = "anchored" if self.anchored else "rolling"
        return (f"<WalkForwardResult {self.start.date()} .. {self.end.date()}: "
                f"{len(self.windows)} {kind} windows chosen by "
                f"{'highest' if self.maximize else 'lowest'} {self.metric}, total return "
                f"{total:+.2%}, {len(self.trades)} trades>")


def walk_forward(market: Prices, grid: Grid, *, strategy: Strategy, train: int, test: int,
                 metric: str = "sharpe", maximize: Optional[bool] = None,
                 anchored: bool = False, **sweep_options: Any) -> WalkForwardResult:
    """Choose parameters on each train window, run them on the test window after it, and
    stitch the test windows into one out-of-sample result.

    Windows: ``train`` and ``test`` are numbers of bars (price dates of ``market``). The
    first test window starts at bar ``train``; the test windows follow each other to
    the last bar, the last one shorter when ``test`` does not divide what is left. Each
    train window is the ``train`` bars before its test window, or with
    ``anchored=True`` every bar from the first.

    Choice: ``orvane.sweep(market cut to the train window, grid, strategy=strategy,
    **sweep_options)``; the run with the best ``metric`` (a numeric column of
    ``stats()``) wins, the first in grid order on a tie. ``maximize`` None: the better
    side of the statistic's row in ``orvane.stats.STATISTICS`` (``annual_volatility``:
    lower); a statistic with none by itself (``trades``, ``beta``, ...) needs it given.
    ``max_drawdown`` is negative, so the highest is the shallowest. Each train run's strategy sees only its train window,
    so look-back strategies spend the window's first bars warming up.

    Test run: the strategy gets the market from the start of the train window to the
    bar after the test window, so look-backs have their history, and the backtest runs
    on it with the chosen options. Nothing is held before the test window: the book the
    strategy and its rebalance calendar have in force on the last train bar is bought
    on the first test bar, at the targets of that rebalance (a name stopped out earlier
    is bought again); the calendar's rebalances then trade as usual. On the first bar
    after the test window the whole book is sold at that bar's trading price, paying the
    fee and tax, and the next window's book is bought on the same bar and price, paying
    the fee. So positions are closed and reopened at every boundary, never carried: a
    name kept by both windows pays its costs twice where one continuous backtest would
    trade only the difference. The last window's positions stay open, marked at the last
    close. ``delistings="infer"`` reads each window's own data: a gap on a window's last
    bar would read as a delisting, so pass the delisting dates instead.

    Stitching: each window's equity starts at 1.0 on its last train bar and is scaled by
    the stitched value the previous window ended with (on the bar of its sale). On that
    boundary bar the stitched return compounds the old book's last move and sale with
    the new book's purchase (and, trading at the open, its move to the close). Trades
    are the windows' trades one after the other; ``stats()`` computes every statistic
    on the stitched equity and trades. A window whose equity reaches 0 ends the result
    there.

    Parameters
    ----------
    market : Market, mapping of wide frames or wide frame
        As ``orvane.sweep`` takes it, with dates as the index of every frame.
    grid : mapping or list of dicts
        As ``orvane.sweep`` takes it.
    strategy : callable
        ``strategy(market, **params) -> weights``.
    train, test : int
        Bars in each train and test window (``train`` at least 2).
    metric : str
        The statistic that picks the parameters, ``"sharpe"`` by default.
    maximize : bool, optional
        Whether a higher ``metric`` is better (see above for None).
    anchored : bool
        Train windows all start at the first bar, growing, instead of rolling.
    **sweep_options
        ``workers``, ``executor``, ``progress``, ``errors``, ``timeout``, ``keep`` for the
        train sweeps. A ``SweepPool`` as ``executor`` keeps the workers across windows.

    Returns
    -------
    WalkForwardResult
    """
    better = _stats.metric_direction(metric, maximize)
    check_flag(anchored, "anchored")
    if "weights" in sweep_options:
        raise TypeError("walk_forward must get strategy=, a function of the market that each "
                        "window recomputes, got weights=; wrap fixed weights in a module-level "
                        "function that returns them")
    keep = sweep_options.pop("keep", ("stats",))
    keep = (keep,) if isinstance(keep, str) else tuple(keep)
    names, runs = expand_grid(grid)
    split_runs(names, runs, strategy)
    dates = inputs.prepare_prices(market).dates
    plan = windows(len(dates), train, test, bool(anchored))
    _cut(market, dates[0], dates[-1])

    results: list[BacktestResult] = []
    sweeps: list[SweepResult] = []
    rows: list[dict[str, Any]] = []
    notes: list[tuple[type[Warning], str]] = []
    for k, (s, a, e) in enumerate(plan):
        where = f"{k} ({dates[s].date()} .. {dates[a - 1].date()})"
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            found = sweep(_cut(market, dates[s], dates[a - 1]), grid, strategy=strategy,
                          keep=("stats", *keep), **sweep_options)
            pick = _best(found, metric, better, where)
            chosen = found.params[pick]
            ((params, options),) = split_runs(names, [chosen], strategy)
            last = min(e, len(dates) - 1)
            result = _test_run(_cut(market, dates[s], dates[last]), strategy, params, options,
                               a - 1 - s, e - 1 - s if e < len(dates) else None)
        notes += [(w.category, f"window {k}: {w.message}") for w in caught]
        sweeps.append(found)
        results.append(result)
        equity = result.equity
        rows.append({"train_start": dates[s], "train_end": dates[a - 1],
                     "test_start": dates[a], "test_end": dates[e - 1], "test_bars": e - a,
                     **{name: chosen.get(name) for name in names},
                     f"train_{metric}": found.table[metric].iloc[pick],
                     "test_return": float(equity.iloc[-1] / equity.iloc[0] - 1.0)})
        if result.ruined:
            notes.append((UserWarning, f"window {k}: the equity reached 0 on "
                                       f"{result.end.date()}; the walk-forward ends there"))
            break

    if notes:
        category, first = notes[0]
        warnings.warn(f"{len(notes)} warnings in the windows (see .warnings); the first: "
                      f"{first}", category, stacklevel=2)
    trades = [r.trades.assign(window=k) for k, r in enumerate(results)]
    table = pd.concat(trades, ignore_index=True)
    table = table[["window", *table.columns.drop("window")]]
    return WalkForwardResult(
        equity=_stitch(results), trades=table,
        windows=pd.DataFrame(rows).rename_axis("window"), results=tuple(results),
        sweeps=tuple(sweeps), metric=metric, maximize=better, anchored=bool(anchored),
        warnings=tuple(text for _, text in notes), ruined=results[-1].ruined)
