"""A sweep's outcome: ``SweepResult`` (one row per run, in grid order), the collector
that gathers run payloads into it as they arrive, and the errors a failed run raises.
"""

import os
import warnings
import pathlib
import pickle
from collections import OrderedDict
from collections.abc import Generator, Sequence
from typing import Any, Literal, NamedTuple, Optional, Union, overload

import numpy as np
import pandas as pd

from orvane.result import BacktestResult
from orvane.stats import overfit
from orvane.sweep._runner import Payload

__all__ = ["SweepResult", "WorkerLostError"]


class WorkerLostError(RuntimeError):
    """A worker process (or Ray actor) died while it ran a backtest."""


class Outcome(NamedTuple):
    """One task's end, from any executor: ``kind`` ``"done"`` with the runner's payload,
    or ``"lost"`` with the text of the death of the worker that held it."""

    # The task's position in the grid.
    run: int
    kind: str
    payload: Any


# What each executor returns: a generator, so that closing it stops the workers.
Outcomes = Generator[Outcome, None, None]


class _RemoteTraceback(Exception):
    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text

    def __str__(self) -> str:
        return "\n" + self.text


def failure(payload: Payload, index: int, params: dict[str, Any]) -> BaseException:
    """The exception a failed run raises under ``errors="raise"``."""
    if payload.lost:
        return WorkerLostError(f"run {index} {params!r}: {payload.error}")
    exc: Any = payload.exception
    if isinstance(exc, BaseException):
        return exc
    try:
        raised: BaseException = pickle.loads(exc)
    except Exception:
        raised = RuntimeError(payload.error)
    raised.__cause__ = _RemoteTraceback(payload.traceback or "")
    return raised


class SweepResult:
    """The outcome of a sweep, one row per run in grid order.

    Attributes
    ----------
    table : DataFrame
        Indexed by the swept parameters (a MultiIndex for two or more, a plain Index
        named after the parameter for one, a RangeIndex ``"run"`` for none). One column
        per statistic of ``BacktestResult.stats()`` (when ``"stats"`` is kept), then
        ``error`` (None, or the text of the exception a failed run raised, or the
        exit code of the worker that died running it) and ``warnings`` (the run's
        warning texts joined by ``"; "``, or None).
    params : tuple of dict
        The exact parameter values of each run (the index holds hashable labels).
    timings : DataFrame
        Where and when each run ran, indexed like ``table``: ``worker``
        (``"host:pid"``), ``started`` (UTC Timestamp), ``seconds`` (the run's own time:
        strategy, backtest and keeping its parts) and ``cpu`` (the CPU seconds its
        process spent on it). Empty for runs lost with their worker.
    """

    def __init__(self, table: pd.DataFrame, params: tuple[dict[str, Any], ...],
                 equity: Optional[pd.DataFrame], trades: Optional[list[Any]],
                 results: Optional[list[Any]], timings: pd.DataFrame,
                 tracebacks: list[Optional[str]], keep: tuple[str, ...]) -> None:
        self.table = table
        self.params = params
        self.timings = timings
        self.keep = keep
        self._tracebacks = tracebacks
        self._equity = equity
        self._trades = trades
        self._results = results

    def __len__(self) -> int:
        return len(self.table)

    @property
    def seconds(self) -> pd.Series:
        """Each run's own time in seconds (``timings["seconds"]``)."""
        return self.timings["seconds"]

    def __repr__(self) -> str:
        failed = int(self.table["error"].notna().sum())
        kept = ", ".join(self.keep) or "nothing"
        return f"<SweepResult: {len(self)} runs, {failed} failed, kept {kept}>\n{self.table!r}"

    def _repr_html_(self) -> Optional[str]:
        return self.table._repr_html_()

    @property
    def errors(self) -> pd.Series:
        """The error text of the runs that failed (Series, indexed like ``table``)."""
        return self.table["error"][self.table["error"].notna()]

    @property
    def equity(self) -> pd.DataFrame:
        """Equity curves, price dates x runs (columns = ``table.index``): each run's
        ``BacktestResult.equity``, NaN on the dates where it is not live (before its first
        signal, after a ruin) and for runs that failed. Needs ``keep`` with ``"equity"``."""
        if self._equity is None:
            raise ValueError("equity curves were not kept: pass keep=(..., 'equity')")
        return self._equity

    def _position(self, run: Optional[int], params: dict[str, Any]) -> int:
        if params:
            if run is not None:
                raise TypeError("run must be None when parameter values choose the run, "
                                f"got {run!r}")
            hits = [i for i, p in enumerate(self.params)
                    if all(k in p and _same(p[k], v) for k, v in params.items())]
            if len(hits) != 1:
                raise KeyError(f"{len(hits)} runs match {params!r}")
            return hits[0]
        if not isinstance(run, (int, np.integer)):
            raise TypeError("run must be a position (int) or parameter values as "
                            f"keywords, got {run!r}")
        return range(len(self))[run]

    def trades(self, run: Optional[int] = None, **params: Any) -> Optional[pd.DataFrame]:
        """The trade table of one run, chosen by position (as ``table.iloc``) or by its
        parameter values: ``trades(3)``, ``trades(stop_loss=0.1, window=20)``.
        None for a run that failed. Needs ``keep`` with ``"trades"``."""
        if self._trades is None:
            raise ValueError("trade tables were not kept: pass keep=(..., 'trades')")
        return self._trades[self._position(run, params)]

    def traceback(self, run: Optional[int] = None, **params: Any) -> Optional[str]:
        """The formatted traceback of a run that raised (chosen as in ``trades``);
        None for a run that did not."""
        return self._tracebacks[self._position(run, params)]

    def result(self, run: Optional[int] = None,
               **params: Any) -> Optional[BacktestResult]:
        """The whole ``BacktestResult`` of one run (chosen as in ``trades``); None for a
        run that failed. Needs ``keep`` with ``"result"``."""
        if self._results is None:
            raise ValueError("results were not kept: pass keep=(..., 'result')")
        return self._results[self._position(run, params)]

    @overload
    def deflated_sharpe(self, *, trials: Optional[int] = None,
                        sharpe_variance: Optional[float] = None,
                        each: Literal[False] = False, effective: bool = False) -> float: ...

    @overload
    def deflated_sharpe(self, *, trials: Optional[int] = None,
                        sharpe_variance: Optional[float] = None,
                        each: Literal[True], effective: bool = False) -> pd.Series: ...

    def deflated_sharpe(self, *, trials: Optional[int] = None,
                        sharpe_variance: Optional[float] = None,
                        each: bool = False, effective: bool = False) -> Union[float, pd.Series]:
        """The deflated Sharpe ratio of the run with the best Sharpe ratio: the
        probability that its true Sharpe exceeds what the best of this many runs
        without skill would show (``orvane.stats.overfit.deflated_sharpe`` on the runs'
        bar returns, where each formula is given). ``trials`` defaults to every trial
        recorded in the active trial register (``orvane.trials``; a warning says how many
        and since when), ``effective=True`` to the register's effective trials (clusters
        of correlated returns), and without a register to the runs with a Sharpe ratio;
        ``each=True`` gives every run's value against the same benchmark, indexed like
        ``table``. Needs ``keep`` with ``"equity"``."""
        returns = self._returns("deflated_sharpe needs the runs' equity curves (their "
                                "returns' skewness and kurtosis)")
        trials = _registered(trials, effective)
        if each:
            return overfit.deflated_sharpe(returns, trials=trials,
                                           sharpe_variance=sharpe_variance, each=True)
        return overfit.deflated_sharpe(returns, trials=trials,
                                       sharpe_variance=sharpe_variance)

    def deflation(self, *, trials: Optional[int] = None,
                  sharpe_variance: Optional[float] = None,
                  effective: bool = False) -> overfit.Deflation:
        """The best run's deflated Sharpe ratio with the number of trials, the variance of
        their per-bar Sharpe ratios and the benchmark SR0 it used, and the best run's label
        from ``table.index`` (``orvane.stats.overfit.deflation``); ``trials`` and
        ``effective`` as ``deflated_sharpe`` takes them. Needs ``keep`` with ``"equity"``."""
        return overfit.deflation(self._returns("deflation needs the runs' equity curves"),
                                 trials=_registered(trials, effective),
                                 sharpe_variance=sharpe_variance)

    def pbo(self, splits: int = 16, metric: overfit.Metric = "sharpe",
            register: bool = True) -> overfit.PBOResult:
        """The probability of backtest overfitting of this sweep by combinatorially
        symmetric cross-validation over ``splits`` blocks of the bars on which every run
        is live (``orvane.stats.overfit.pbo``): ``.pbo``, ``.logits``, ``.combinations``,
        the chosen runs' ``.in_sample`` and ``.out_of_sample`` metric and their labels
        (``.chosen``, from ``table.index``). With an active trial register (and
        ``register``), the candidates are every recorded trial live on all of this
        sweep's bars (this sweep's runs among them, once each), as a warning says. Needs
        ``keep`` with ``"equity"``."""
        returns = self._returns("pbo needs the runs' equity curves")
        if register:
            returns = _with_recorded(returns)
        return overfit.pbo(returns, splits=splits, metric=metric)

    def report(self, path: Union[str, os.PathLike], *, metric: str = "sharpe",
               x: Optional[str] = None, y: Optional[str] = None, top: int = 20,
               title: str = "Sweep report", stamp: bool = False) -> pathlib.Path:
        """Write one self-contained HTML report; returns the path written (see
        ``orvane.sweep.report.write_sweep_report``)."""
        from orvane.sweep import report

        return report.write_sweep_report(self, path, metric=metric, x=x, y=y, top=top,
                                         title=title, stamp=stamp)

    def _returns(self, need: str) -> pd.DataFrame:
        if self._equity is None:
            raise ValueError(f"{need}: sweep with keep=(..., 'equity')")
        return overfit.bar_returns(self._equity)


def _registered(trials: Optional[int], effective: bool) -> Optional[int]:
    """The number of trials a deflation counts: as given, else the active register's
    (effective or all, stated in a warning), else None (the sweep's own runs)."""
    if trials is not None:
        if effective:
            raise ValueError("effective=True counts the register's trials: pass it "
                             "without trials=")
        return trials
    from orvane import trials as register_module

    register = register_module.active()
    if register is None:
        if effective:
            raise ValueError("effective=True needs an active trial register "
                             "(orvane.trials.activate(path) or ORVANE_TRIALS)")
        return None
    count = len(register)
    if count < 2:
        return None
    used = register.effective() if effective else float(count)
    warnings.warn(f"deflated for {used:,.0f} {'effective ' if effective else ''}trials: "
                  f"{register_module.said(register)} in {register.path}; pass trials= to "
                  "count otherwise", UserWarning, stacklevel=3)
    return max(2, int(round(used)))


def _with_recorded(returns: pd.DataFrame) -> pd.DataFrame:
    """This sweep's runs with the active register's trials live on all their bars; a
    trial that repeats a run's returns exactly is that run."""
    from orvane import trials as register_module

    register = register_module.active()
    if register is None or not len(register):
        return returns
    live = returns.dropna(how="all", axis=1)
    bars = live.dropna(how="any").index
    if not len(bars):
        return returns
    recorded = register.returns().reindex(bars.tz_localize(None) if bars.tz is not None
                                          else bars)
    recorded = recorded.loc[:, recorded.notna().all()]
    recorded.index = bars
    mine = live.loc[bars].to_numpy(dtype=np.float64)
    # The register keeps float32: a run matches its own recording to that precision.
    other = [c for c in recorded
             if not any(np.allclose(recorded[c].to_numpy(), mine[:, j], rtol=1e-6, atol=1e-9)
                        for j in range(mine.shape[1]))]
    if not other:
        return returns
    extra = recorded[other].add_prefix("trial ")
    warnings.warn(f"pbo over {returns.shape[1] + len(other)} candidates: this sweep's runs "
                  f"and {len(other)} more recorded in {register.path} on the same bars; "
                  "pass register=False for this sweep alone", UserWarning, stacklevel=3)
    return pd.concat([returns, extra.reindex(returns.index)], axis=1)


def _same(a: Any, b: Any) -> bool:
    try:
        return bool(a == b) or (a is None and b is None) or (_nan(a) and _nan(b))
    except (TypeError, ValueError):
        return a is b


def _nan(value: Any) -> bool:
    # NaN is a value a grid can sweep; it never equals itself.
    return isinstance(value, (float, np.floating)) and bool(np.isnan(value))


class Collector:
    """Gathers run payloads as they arrive, in any order, into grid order."""

    def __init__(self, params: Sequence[dict[str, Any]], keep: tuple[str, ...], errors: str,
                 bar: Any) -> None:
        self.params = params
        self.keep = keep
        self.errors = errors
        self.bar = bar
        self.payloads: list[Payload] = [Payload() for _ in params]
        # Date index of the equity curves, by key: sent once per worker.
        self.indexes: dict[bytes, pd.Index] = {}
        self.failed = 0

    def add(self, outcome: Outcome) -> None:
        index, kind, payload = outcome
        if kind == "lost":
            payload = Payload(error=payload, lost=True)
        if payload.equity_index is not None and payload.equity is not None:
            self.indexes[payload.equity[0]] = payload.equity_index
            payload.equity_index = None
        self.payloads[index] = payload
        if payload.error is not None:
            self.failed += 1
            if self.errors == "raise":
                raise failure(payload, index, self.params[index])
            self.bar.set_postfix(failed=self.failed, refresh=False)
        self.bar.update(1)

    def result(self, index: pd.Index) -> SweepResult:
        payloads = self.payloads
        stat_names = list(OrderedDict.fromkeys(
            name for p in payloads for name in p.stats or ()))
        table = pd.DataFrame.from_records(
            [p.stats or {} for p in payloads], columns=stat_names)
        table.index = index
        table["error"] = pd.Series([p.error for p in payloads], index=index, dtype=object)
        texts = ["; ".join(message for _, message in p.warnings) or None
                 for p in payloads]
        table["warnings"] = pd.Series(texts, index=index, dtype=object)
        timings = pd.DataFrame({
            "worker": pd.Series([p.worker for p in payloads], index=index, dtype=object),
            "started": pd.Series(pd.to_datetime(
                [p.started for p in payloads], unit="s", utc=True), index=index),
            "seconds": pd.Series([p.seconds for p in payloads], index=index,
                                 dtype=np.float64),
            "cpu": pd.Series([p.cpu for p in payloads], index=index, dtype=np.float64),
        })
        equity = self._equity(index) if "equity" in self.keep else None
        trades = [p.trades for p in payloads] if "trades" in self.keep else None
        results = [p.result for p in payloads] if "result" in self.keep else None
        tracebacks = [p.traceback for p in payloads]
        return SweepResult(table, tuple(self.params), equity, trades, results, timings,
                           tracebacks, self.keep)

    def _equity(self, index: pd.Index) -> pd.DataFrame:
        curves = [p.equity for p in self.payloads]
        keys = {curve[0] for curve in curves if curve is not None}
        if len(keys) <= 1:
            dates = self.indexes[keys.pop()] if keys else pd.DatetimeIndex([])
            values = np.full((len(dates), len(curves)), np.nan)
            for j, curve in enumerate(curves):
                if curve is not None:
                    values[:, j] = curve[1]
            frame = pd.DataFrame(values, index=dates, columns=index)
        else:
            frame = pd.concat(
                [pd.Series(c[1], index=self.indexes[c[0]]) if c is not None
                 else pd.Series(dtype=np.float64) for c in curves], axis=1)
            frame.columns = index
        frame.index.name = "date"
        return frame
