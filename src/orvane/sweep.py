"""Parameter sweeps: one backtest per combination of parameters over one market, run
in this process, on a local pool of worker processes, or on a Ray cluster.

The engine keeps per-process state, so runs never share a process at the same time:
parallel sweeps use processes (or Ray actors), never threads.
"""

import difflib
import hashlib
import inspect
import itertools
import os
import pickle
import socket
import time
import traceback
import warnings
from collections import OrderedDict
from collections.abc import Mapping
from contextlib import closing
from functools import partial

import numpy as np
import pandas as pd

__all__ = ["sweep", "SweepResult", "SweepPool", "WorkerLostError"]

KEEP = ("stats", "equity", "trades", "result")
EXECUTORS = ("sequential", "process", "ray")
# Strategy outputs kept per worker: tasks go out in grid order, so neighbouring runs
# (the same signal, other backtest options) reuse the weights.
_WEIGHT_CACHE = 2


class WorkerLostError(RuntimeError):
    """A worker process (or Ray actor) died while it ran a backtest."""


class _RemoteTraceback(Exception):
    def __init__(self, text):
        super().__init__(text)
        self.text = text

    def __str__(self):
        return "\n" + self.text


# --------------------------------------------------------------------------- grid


def _values(name, value):
    """The values a grid entry sweeps; strings, scalars, mappings and pandas objects
    are one fixed value."""
    if isinstance(value, (str, bytes, Mapping, pd.Series, pd.DataFrame, pd.Index)):
        return [value]
    if isinstance(value, np.ndarray):
        if value.ndim != 1:
            raise ValueError("grid[%r]: expected a 1-D array of values, got shape %s"
                             % (name, value.shape))
        return value.tolist()
    try:
        return list(value)
    except TypeError:
        return [value]


def expand_grid(grid):
    """(parameter names, one dict per run) from a mapping of values or a list of dicts."""
    if isinstance(grid, Mapping):
        names = list(grid)
        columns = [_values(name, grid[name]) for name in names]
        empty = [name for name, column in zip(names, columns) if not column]
        if empty:
            raise ValueError("grid: no values for %s" % ", ".join(map(repr, empty)))
        runs = [dict(zip(names, combo)) for combo in itertools.product(*columns)]
    elif isinstance(grid, (list, tuple)):
        bad = [i for i, run in enumerate(grid) if not isinstance(run, Mapping)]
        if bad:
            raise TypeError("grid: a list of grid entries must hold dicts; item %d is %s"
                            % (bad[0], type(grid[bad[0]]).__name__))
        names = list(OrderedDict.fromkeys(name for run in grid for name in run))
        runs = [dict(run) for run in grid]
        if not runs:
            raise ValueError("grid: the list of runs is empty")
    else:
        raise TypeError("grid: expected a mapping of parameter -> values or a list of "
                        "dicts, got %s" % type(grid).__name__)
    bad = [name for name in names if not isinstance(name, str)]
    if bad:
        raise TypeError("grid: parameter names must be strings, got %r" % (bad[0],))
    return names, runs


def _backtest_options():
    from orvane.engine import backtest

    params = list(inspect.signature(backtest).parameters.values())[2:]
    return [p.name for p in params
            if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]


def _strategy_signature(strategy):
    """(accepted names, required names, takes **kwargs) of strategy(market, **params)."""
    try:
        params = list(inspect.signature(strategy).parameters.values())
    except (TypeError, ValueError):
        return [], [], True
    if not params or params[0].kind not in (params[0].POSITIONAL_ONLY,
                                            params[0].POSITIONAL_OR_KEYWORD):
        raise TypeError("strategy: expected a callable strategy(market, **params), "
                        "got %r with signature %s"
                        % (strategy, inspect.signature(strategy)))
    rest = [p for p in params[1:] if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]
    return ([p.name for p in rest],
            [p.name for p in rest if p.default is p.empty],
            any(p.kind == p.VAR_KEYWORD for p in params))


def split_runs(names, runs, strategy):
    """Each run as (strategy params, backtest options); a name both accept goes to both."""
    options = _backtest_options()
    accepted, required, any_name = ([], [], False) if strategy is None else \
        _strategy_signature(strategy)
    unknown = [n for n in names if n not in options and n not in accepted and not any_name]
    if unknown:
        hints = []
        for name in unknown:
            close = difflib.get_close_matches(name, options + accepted, n=1)
            hints.append(repr(name) + (" (did you mean %r?)" % close[0] if close else ""))
        where = "backtest options" + ("" if strategy is None else " or strategy parameters")
        raise ValueError("grid: unknown parameter%s %s; the %s are: %s"
                         % ("s" if len(unknown) > 1 else "", ", ".join(hints), where,
                            ", ".join(options + [a for a in accepted if a not in options])))
    for i, run in enumerate(runs):
        missing = [name for name in required if name not in run]
        if missing:
            raise ValueError("grid: strategy parameter %s has no default and run %d does "
                             "not set it" % (", ".join(map(repr, missing)), i))
    tasks = []
    for run in runs:
        to_strategy = {k: v for k, v in run.items()
                       if strategy is not None and (k in accepted or
                                                    (any_name and k not in options))}
        tasks.append((to_strategy, {k: v for k, v in run.items() if k in options}))
    return tasks


def _label(value):
    """A hashable index label for a parameter value (the value itself when it can be)."""
    try:
        hash(value)
        return value
    except TypeError:
        pass
    if isinstance(value, (list, tuple, np.ndarray, pd.Index)):
        return tuple(_label(v) for v in value)
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _index(names, runs):
    if not names:
        return pd.RangeIndex(len(runs), name="run")
    levels = [pd.Index([_label(run.get(name)) for run in runs], tupleize_cols=False)
              for name in names]
    if len(names) == 1:
        return levels[0].rename(names[0])
    return pd.MultiIndex.from_arrays(levels, names=names)


# --------------------------------------------------------------------------- runs


class _Runner:
    """Runs one grid point: strategy -> weights -> backtest -> the parts to keep."""

    def __init__(self, shared, strategy=None, keep=KEEP, in_process=False,
                 raise_errors=False):
        from orvane.engine import backtest

        self._backtest = backtest
        self.market = shared["market"]
        self.weights = shared["weights"]
        self.strategy = strategy
        self.keep = keep
        self.in_process = in_process
        self.raise_errors = raise_errors
        self._cache = OrderedDict()
        self._sent_indexes = set()
        self.worker = "%s:%d" % (socket.gethostname(), os.getpid())

    def _weights_for(self, params):
        if self.strategy is None:
            return self.weights
        try:
            key = pickle.dumps(sorted(params.items()))
        except Exception:
            return self.strategy(self.market, **params)
        if key in self._cache:
            self._cache.move_to_end(key)
            return self._cache[key]
        weights = self.strategy(self.market, **params)
        self._cache[key] = weights
        while len(self._cache) > _WEIGHT_CACHE:
            self._cache.popitem(last=False)
        return weights

    def _compact(self, result):
        """The parts of a result to send back, and the date index key they introduce."""
        parts, new_key = {}, None
        if "stats" in self.keep:
            stats = result.stats()
            parts["stats"] = dict(zip(stats.index, stats.tolist()))
        if "equity" in self.keep:
            equity = result.equity
            index = equity.index
            key = hashlib.blake2b(pickle.dumps(index, protocol=5), digest_size=16).digest()
            parts["equity"] = (key, equity.to_numpy(dtype=np.float64, copy=True))
            # Every run of a sweep shares the price dates: send them once per process.
            if self.in_process or key not in self._sent_indexes:
                parts["equity_index"] = index
                new_key = key
        if "trades" in self.keep:
            parts["trades"] = result.trades
        if "result" in self.keep:
            parts["result"] = result
        return parts, new_key

    def __call__(self, task):
        strategy_params, options = task
        out = {"worker": self.worker, "started": time.time()}
        start, cpu = time.perf_counter(), time.process_time()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                result = self._backtest(self._weights_for(strategy_params), self.market,
                                        **options)
                parts, new_key = self._compact(result)
            except Exception as exc:
                out["error"] = "".join(traceback.format_exception_only(type(exc), exc)).strip()
                out["traceback"] = traceback.format_exc()
                # Only a sweep that re-raises needs the exception itself; a stored one
                # would hold the frames of every failed run (their weights included).
                if self.raise_errors and self.in_process:
                    out["exception"] = exc
                elif self.raise_errors:
                    try:
                        out["exception"] = pickle.dumps(exc)
                    except Exception:
                        out["exception"] = None
                del exc
            else:
                out.update(parts)
                if new_key is not None:
                    self._sent_indexes.add(new_key)
        out["seconds"] = time.perf_counter() - start
        out["cpu"] = time.process_time() - cpu
        out["warnings"] = list(OrderedDict.fromkeys(
            (w.category, str(w.message)) for w in caught))
        return out


def _failure(payload, index, params):
    """The exception a failed run raises under errors='raise'."""
    if "lost" in payload:
        return WorkerLostError("run %d %r: %s" % (index, params, payload["error"]))
    exc = payload.get("exception")
    if isinstance(exc, BaseException):
        return exc
    try:
        exc = pickle.loads(exc)
    except Exception:
        exc = RuntimeError(payload["error"])
    exc.__cause__ = _RemoteTraceback(payload["traceback"])
    return exc


# --------------------------------------------------------------------------- result


class SweepResult:
    """The outcome of a sweep, one row per run in grid order.

    Attributes
    ----------
    table : DataFrame
        Indexed by the swept parameters (a MultiIndex for two or more, a plain Index
        named after the parameter for one, a RangeIndex "run" for none). One column
        per statistic of ``BacktestResult.stats()`` (when "stats" is kept), then
        ``error`` (None, or the text of the exception a failed run raised, or the
        exit code of the worker that died running it) and ``warnings`` (the run's
        warning texts joined by "; ", or None).
    params : tuple of dict
        The exact parameter values of each run (the index holds hashable labels).
    timings : DataFrame
        Where and when each run ran, indexed like ``table``: ``worker``
        ("host:pid"), ``started`` (UTC Timestamp), ``seconds`` (the run's own time:
        strategy, backtest and keeping its parts) and ``cpu`` (the CPU seconds its
        process spent on it). Empty for runs lost with their worker.
    """

    def __init__(self, table, params, equity, trades, results, timings, tracebacks, keep):
        self.table = table
        self.params = params
        self.timings = timings
        self.keep = keep
        self._tracebacks = tracebacks
        self._equity = equity
        self._trades = trades
        self._results = results

    def __len__(self):
        return len(self.table)

    @property
    def seconds(self):
        """Each run's own time in seconds (``timings["seconds"]``)."""
        return self.timings["seconds"]

    def __repr__(self):
        failed = int(self.table["error"].notna().sum())
        return "<SweepResult: %d runs, %d failed, kept %s>\n%r" % (
            len(self), failed, ", ".join(self.keep) or "nothing", self.table)

    def _repr_html_(self):
        return self.table._repr_html_()

    @property
    def errors(self):
        """The error text of the runs that failed (Series, indexed like ``table``)."""
        return self.table["error"][self.table["error"].notna()]

    @property
    def equity(self):
        """Equity curves, price dates x runs (columns = ``table.index``); NaN for runs
        that failed. Needs ``keep`` with "equity"."""
        if self._equity is None:
            raise ValueError("equity curves were not kept: pass keep=(..., 'equity')")
        return self._equity

    def _position(self, run, params):
        if params:
            if run is not None:
                raise TypeError("pass a run position or parameter values, not both")
            hits = [i for i, p in enumerate(self.params)
                    if all(k in p and _same(p[k], v) for k, v in params.items())]
            if len(hits) != 1:
                raise KeyError("%d runs match %r" % (len(hits), params))
            return hits[0]
        if not isinstance(run, (int, np.integer)):
            raise TypeError("run: expected a position (int) or parameter values as "
                            "keywords, got %r" % (run,))
        return range(len(self))[run]

    def trades(self, run=None, **params):
        """The trade table of one run, chosen by position (as ``table.iloc``) or by its
        parameter values: ``trades(3)``, ``trades(stop_loss=0.1, window=20)``.
        None for a run that failed. Needs ``keep`` with "trades"."""
        if self._trades is None:
            raise ValueError("trade tables were not kept: pass keep=(..., 'trades')")
        return self._trades[self._position(run, params)]

    def traceback(self, run=None, **params):
        """The formatted traceback of a run that raised (chosen as in ``trades``);
        None for a run that did not."""
        return self._tracebacks[self._position(run, params)]

    def result(self, run=None, **params):
        """The whole BacktestResult of one run (chosen as in ``trades``); None for a
        run that failed. Needs ``keep`` with "result"."""
        if self._results is None:
            raise ValueError("results were not kept: pass keep=(..., 'result')")
        return self._results[self._position(run, params)]


def _same(a, b):
    try:
        return bool(a == b) or (a is None and b is None)
    except (TypeError, ValueError):
        return a is b


class _Collector:
    """Gathers run payloads as they arrive, in any order, into grid order."""

    def __init__(self, params, keep, errors, bar):
        self.params = params
        self.keep = keep
        self.errors = errors
        self.bar = bar
        self.payloads = [None] * len(params)
        self.indexes = {}
        self.failed = 0

    def add(self, index, kind, payload):
        if kind == "lost":
            payload = {"error": payload, "lost": True, "warnings": []}
        if "equity_index" in payload:
            self.indexes[payload["equity"][0]] = payload.pop("equity_index")
        self.payloads[index] = payload
        if "error" in payload:
            self.failed += 1
            if self.errors == "raise":
                raise _failure(payload, index, self.params[index])
            self.bar.set_postfix(failed=self.failed, refresh=False)
        self.bar.update(1)

    def result(self, index):
        payloads = self.payloads
        stat_names = list(OrderedDict.fromkeys(
            name for p in payloads for name in p.get("stats", ())))
        table = pd.DataFrame.from_records(
            [p.get("stats", {}) for p in payloads], columns=stat_names)
        table.index = index
        table["error"] = pd.Series([p.get("error") for p in payloads], index=index,
                                   dtype=object)
        texts = ["; ".join(message for _, message in p["warnings"]) or None
                 for p in payloads]
        table["warnings"] = pd.Series(texts, index=index, dtype=object)
        timings = pd.DataFrame({
            "worker": pd.Series([p.get("worker") for p in payloads], index=index,
                                dtype=object),
            "started": pd.Series(pd.to_datetime(
                [p.get("started", np.nan) for p in payloads], unit="s", utc=True),
                index=index),
            "seconds": pd.Series([p.get("seconds", np.nan) for p in payloads],
                                 index=index, dtype=np.float64),
            "cpu": pd.Series([p.get("cpu", np.nan) for p in payloads], index=index,
                             dtype=np.float64),
        })
        equity = self._equity(index) if "equity" in self.keep else None
        trades = [p.get("trades") for p in payloads] if "trades" in self.keep else None
        results = [p.get("result") for p in payloads] if "result" in self.keep else None
        tracebacks = [p.get("traceback") for p in payloads]
        return SweepResult(table, tuple(self.params), equity, trades, results, timings,
                           tracebacks, self.keep)

    def _equity(self, index):
        curves = [p.get("equity") for p in self.payloads]
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


# --------------------------------------------------------------------------- sweep


def _cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _refuse_threads(executor):
    from concurrent.futures import ThreadPoolExecutor
    from multiprocessing.pool import ThreadPool

    threaded = (ThreadPoolExecutor, ThreadPool)
    if (isinstance(executor, threaded)
            or (isinstance(executor, type) and issubclass(executor, threaded))
            or executor in ("thread", "threads")):
        raise TypeError(
            "executor: a thread pool cannot run backtests side by side; the engine keeps "
            "per-process state (the analytics lists and the last run's record), so two "
            "runs in one process would overwrite each other. Use executor='process' "
            "(the default), executor='ray', or workers=1."
        )


class SweepPool:
    """Worker processes kept across sweeps.

    A sweep on the default executor starts its own workers (each a spawned Python
    importing NumPy, pandas and orvane: about half a second of CPU) and stops them at
    the end. To run many sweeps in a row, start the workers once::

        from orvane.sweep import SweepPool

        with SweepPool(workers=4) as pool:
            for grid in grids:
                results.append(orvane.sweep(market, grid, strategy=f, executor=pool))

    Each sweep still places its market in its own shared-memory segment, released
    when it ends. Workers keep the modules they imported: after editing a strategy's
    module, close the pool and start a new one. A sweep that ends with an error or an
    interrupt stops the workers; the next sweep starts fresh ones.
    """

    def __init__(self, workers=None):
        from orvane._sweep_pool import ProcessPool

        workers = _cores() if workers is None else _check_workers(workers)
        self._pool = ProcessPool(workers)
        self._pool.start()

    @property
    def workers(self):
        return self._pool.workers

    @property
    def closed(self):
        return self._pool.closed

    def close(self):
        """Stop the workers; the pool cannot be used again."""
        self._pool.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "<SweepPool: %d workers%s>" % (self.workers, ", closed" if self.closed else "")


def _check_workers(workers):
    if isinstance(workers, bool) or not isinstance(workers, (int, np.integer)) or workers < 1:
        raise ValueError("workers: expected a positive int or None, got %r" % (workers,))
    return int(workers)


def _choose(executor, workers, n_runs):
    """(executor name, worker count)."""
    _refuse_threads(executor)
    if isinstance(executor, SweepPool):
        if executor.closed:
            raise ValueError("executor: this SweepPool is closed")
        if workers is not None:
            raise ValueError("workers: a SweepPool brings its own workers (%d)"
                             % executor.workers)
        return "pool", executor.workers
    if executor is not None and executor not in EXECUTORS:
        raise TypeError("executor: expected None, a SweepPool or one of %s, got %r (orvane "
                        "runs its own pool so that a dead worker costs only its run)"
                        % (", ".join(map(repr, EXECUTORS)), executor))
    if workers is not None:
        workers = _check_workers(workers)
    if executor is None:
        if workers is None:
            workers = _cores()
        executor = "process" if workers > 1 and n_runs > 1 else "sequential"
    if executor == "sequential":
        return executor, 1
    if executor == "process":
        return executor, min(workers or _cores(), n_runs)
    return executor, None if workers is None else min(workers, n_runs)


def sweep(market, grid, *, strategy=None, weights=None, keep=("stats",), workers=None,
          executor=None, progress=True, errors="store"):
    """Backtest every combination of parameters in ``grid`` over one market.

    Parameters
    ----------
    market : Market or prices
        Anything ``orvane.backtest`` takes as ``prices`` (``orvane.datasets.Market``,
        a mapping of OHLC wide frames, a wide close frame, ...). It is also what
        ``strategy`` receives.
    grid : mapping or list of dicts
        ``{"stop_loss": [None, 0.05, 0.1], "lookback": [63, 126]}`` sweeps the
        cartesian product (the last name varies fastest); a list of dicts runs each
        dict as given. A string, number, None, mapping or pandas object is one fixed
        value; lists, tuples, ranges and 1-D arrays are swept. Names are
        ``orvane.backtest`` options and, with ``strategy``, the strategy's parameters;
        a name both accept (``rebalance`` for ``datasets.momentum``) goes to both. An
        unknown name is an error naming it.
    strategy : callable, optional
        ``strategy(market, **params) -> weights``. Runs in the workers, so it must be
        picklable (a module-level function) for the process pool. Its output is reused
        by consecutive runs with the same strategy parameters, so it must not depend
        on anything but its arguments.
    weights : DataFrame, optional
        Fixed weights for every run (exactly one of ``strategy`` and ``weights``).
    keep : iterable of str
        What each run returns besides the error column: "stats" (the table's
        statistic columns), "equity" (``SweepResult.equity``), "trades"
        (``SweepResult.trades(run)``), "result" (the whole ``BacktestResult`` per run,
        ``SweepResult.result(run)``; the heaviest).
    workers : int, optional
        Worker processes (or Ray actors, at most the cluster's CPUs). Default: the
        usable cores (Ray: the cluster's CPUs). One worker, one core or one run means
        in-process.
    executor : None, "sequential", "process", "ray" or a SweepPool
        None picks "sequential" for one worker, else "process": spawned worker
        processes, each running one backtest at a time, the market placed once in
        shared memory and mapped read-only. A ``SweepPool`` runs the sweep on workers
        kept across sweeps (no start-up per sweep). "ray" runs one actor per worker on the
        Ray cluster this process joined with ``ray.init(address=...)``, or on a local
        Ray started on first use (``pip install 'orvane[ray]'``). Thread pools are
        refused: the engine keeps per-process state.
    progress : bool
        A progress bar (runs done, rate, time left) on a terminal; never when output
        is not a TTY.
    errors : "store" or "raise"
        "store": a run that raises becomes a row with its error text, and a run whose
        worker died (killed, crashed, out of memory) a row naming the exit code; the
        other runs complete. "raise": the first failure stops the sweep and is raised
        (``WorkerLostError`` for a dead worker).

    Returns
    -------
    SweepResult
        ``.table`` (statistics, ``error``, ``warnings`` per run, indexed by the
        parameters), ``.equity``, ``.trades(run)``, ``.result(run)``,
        ``.traceback(run)``, ``.params``, ``.timings``. Each row equals
        ``orvane.backtest`` run sequentially with the same parameters, bit for bit,
        whichever executor ran it. Warnings raised in
        the runs are recorded per row; one warning here says how many runs warned.
    """
    if (strategy is None) == (weights is None):
        raise TypeError("pass exactly one of strategy= (a function of the market) and "
                        "weights= (fixed weights)")
    if strategy is not None and not callable(strategy):
        raise TypeError("strategy: expected a callable strategy(market, **params), got %s"
                        % type(strategy).__name__)
    if isinstance(keep, str):
        keep = (keep,)
    keep = tuple(OrderedDict.fromkeys(keep))
    bad = [k for k in keep if k not in KEEP]
    if bad:
        raise ValueError("keep: unknown part %r; choose from %s"
                         % (bad[0], ", ".join(map(repr, KEEP))))
    if errors not in ("store", "raise"):
        raise ValueError("errors: expected 'store' or 'raise', got %r" % (errors,))
    names, runs = expand_grid(grid)
    tasks = split_runs(names, runs, strategy)
    kind, n_workers = _choose(executor, workers, len(runs))
    index = _index(names, runs)
    shared = {"market": market, "weights": weights}

    from tqdm import tqdm

    bar = tqdm(total=len(tasks), desc="sweep", unit="run", disable=None if progress else True)
    collector = _Collector(runs, keep, errors, bar)
    with bar:
        if kind == "sequential":
            runner = _Runner(shared, strategy, keep, in_process=True,
                             raise_errors=errors == "raise")
            for i, task in enumerate(tasks):
                collector.add(i, "done", runner(task))
        elif kind in ("process", "pool"):
            from orvane._sweep_pool import ProcessPool, SharedPayload

            factory = partial(_Runner, strategy=strategy, keep=keep,
                              raise_errors=errors == "raise")
            try:
                pickle.dumps(factory)
            except Exception as exc:
                raise TypeError(
                    "strategy: worker processes receive it pickled, and %r cannot be "
                    "(%s); define it at module level, or use workers=1 or executor='ray'"
                    % (strategy, exc)) from None
            own = kind == "process"
            pool = ProcessPool(n_workers) if own else executor._pool
            try:
                # Workers import while the market is copied into shared memory.
                pool.start()
                with SharedPayload(shared) as payload:
                    with closing(pool.run(payload.handle, factory, tasks)) as outcomes:
                        for i, outcome, payload_ in outcomes:
                            collector.add(i, outcome, payload_)
            finally:
                if own:
                    pool.close()
        else:
            from orvane._sweep_ray import run_on_ray

            factory = partial(_Runner, strategy=strategy, keep=keep,
                              raise_errors=errors == "raise")
            with closing(run_on_ray(shared, factory, tasks, n_workers)) as outcomes:
                for i, outcome, payload_ in outcomes:
                    collector.add(i, outcome, payload_)
    result = collector.result(index)
    warned = [p["warnings"] for p in collector.payloads if p["warnings"]]
    if warned:
        # One notice, not one per run: the texts are in the table.
        category, message = warned[0][0]
        warnings.warn("%d of %d runs warned (see the warnings column of the table); the "
                      "first: %s" % (len(warned), len(tasks), message), category,
                      stacklevel=2)
    return result
