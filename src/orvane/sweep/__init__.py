"""Parameter sweeps: one backtest per combination of parameters over one market, run in
this process, on a local pool of worker processes, or on a Ray cluster. The engine keeps
per-process state, so runs never share a process at the same time: parallel sweeps use
processes (or Ray actors), never threads.
"""

import dataclasses
import os
import signal
import sys
import threading
import warnings
from collections import OrderedDict
from collections.abc import Iterable, Iterator, Mapping
from contextlib import closing, contextmanager
from typing import Any, Literal, Optional, Union

import pandas as pd

from orvane._checks import check_choice
from orvane.inputs import PreparedPrices, prepare_prices

from orvane.sweep._executors import Executor, SweepPool, check_timeout, choose, outcomes
from orvane.sweep._grid import Grid, Strategy, expand_grid, index_for, split_runs
from orvane.sweep.result import Collector, Outcome, SweepResult, WorkerLostError
from orvane.sweep._fingerprint import fingerprint, strategy_fingerprint, strategy_parts
from orvane.sweep._store import RunStore, store_path
from orvane.sweep._runner import KEEP, Payload

__all__ = ["sweep", "SweepResult", "SweepPool", "WorkerLostError"]

# Their public home: reprs, tracebacks and pickles name orvane.sweep, whichever module
# defines them.
for _public in (SweepResult, SweepPool, WorkerLostError):
    _public.__module__ = __name__
del _public

# What orvane.backtest takes as prices (a datasets.Market is a mapping of OHLC frames).
Prices = Union[Mapping[str, pd.DataFrame], pd.DataFrame]


def _check_source(strategy: Optional[Strategy], weights: Optional[pd.DataFrame]) -> None:
    if (strategy is None) == (weights is None):
        raise TypeError("exactly one of strategy= (a function of the market) and weights= "
                        "(fixed weights) must be given, got "
                        f"{'neither' if strategy is None else 'both'}")
    if strategy is not None and not callable(strategy):
        raise TypeError("strategy must be a callable strategy(market, **params), got "
                        f"{type(strategy).__name__}")


def _check_keep(keep: Union[str, Iterable[str]]) -> tuple[str, ...]:
    parts = tuple(OrderedDict.fromkeys((keep,) if isinstance(keep, str) else keep))
    bad = [k for k in parts if k not in KEEP]
    if bad:
        raise ValueError(f"keep must hold parts among {', '.join(map(repr, KEEP))}, got "
                         f"unknown part {bad[0]!r}")
    return parts


def _check_errors(errors: str) -> None:
    check_choice(errors, "errors", ("store", "raise"))


@contextmanager
def _terminate_as_exit() -> Iterator[None]:
    """SIGTERM during a sweep leaves through the sweep's clean-up (workers stopped, the
    shared-memory segment unlinked) instead of ending the process on the spot."""
    if threading.current_thread() is not threading.main_thread() \
            or signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        yield
        return

    def leave(signum: int, frame: object) -> None:
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, leave)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


def _storable(payload: Payload, collector: Collector) -> Payload:
    """A run's payload as the store keeps it: whole (with its dates), without the pickled
    exception that only a raising sweep needs."""
    kept = dataclasses.replace(payload, exception=None)
    if kept.equity is not None and kept.equity_index is None:
        kept.equity_index = collector.indexes[kept.equity[0]]
    return kept


def _open_store(store: Union[str, "os.PathLike[str]"], prices: PreparedPrices,
                weights: Optional[pd.DataFrame], strategy: Optional[Strategy],
                runs: list[dict], parts: tuple[str, ...]) -> RunStore:
    if "result" in parts:
        raise ValueError("keep='result' cannot go to a store, which keeps data only (each "
                         "run's statistics, equity and trades): keep ('stats', 'equity', "
                         "'trades') with store=, or drop store= to keep whole results")
    opened = RunStore(store, fingerprint(prices, weights, strategy, runs, parts))
    _, unseen = strategy_parts(strategy)
    if unseen:
        warnings.warn(
            f"store {opened.path!r}: the strategy reads {', '.join(unseen[:3])}"
            f"{' and more' if len(unseen) > 3 else ''}, which the store's fingerprint cannot "
            "see; a change there will not stop a resume from the old runs. Pass values the "
            "strategy depends on as grid parameters", UserWarning, stacklevel=4)
    return opened


def _stored_runs(opened: RunStore, runs: int) -> dict[int, Payload]:
    try:
        return opened.done(runs)
    except BaseException:
        opened.close()
        raise


def _interrupted(runs_store: Optional[RunStore], kept: int, finished: int, runs: int) -> None:
    """One line on what an interrupted sweep kept, on stderr (the progress bar's stream)."""
    if runs_store is not None:
        line = (f"interrupted: {kept} of {runs} runs kept in {runs_store.path}; run the same "
                "sweep with the same store to resume")
    else:
        line = (f"interrupted: {finished} of {runs} runs finished, no store, the finished "
                "runs are lost: pass store= to keep them")
    print(line, file=sys.stderr, flush=True)


def _warn_once(payloads: list[Payload]) -> None:
    """One notice for the runs that warned, not one per run: the texts are in the table."""
    warned = [p.warnings for p in payloads if p.warnings]
    if warned:
        category, message = warned[0][0]
        warnings.warn(f"{len(warned)} of {len(payloads)} runs warned (see the warnings "
                      f"column of the table); the first: {message}", category, stacklevel=3)


def sweep(market: Prices, grid: Grid, *, strategy: Optional[Strategy] = None,
          weights: Optional[pd.DataFrame] = None,
          keep: Union[str, Iterable[str]] = ("stats",), workers: Optional[int] = None,
          executor: Executor = None, progress: bool = True,
          errors: Literal["store", "raise"] = "store",
          timeout: Optional[float] = None,
          store: Union[str, "os.PathLike[str]", None] = None,
          register: Any = None) -> SweepResult:
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
        What each run returns besides the error column: ``"stats"`` (the table's
        statistic columns), ``"equity"`` (``SweepResult.equity``), ``"trades"``
        (``SweepResult.trades(run)``), ``"result"`` (the whole ``BacktestResult`` per
        run, ``SweepResult.result(run)``; the heaviest).
    workers : int, optional
        Worker processes (or Ray actors, at most the cluster's CPUs). Default: the
        usable cores (Ray: the cluster's CPUs). One worker, one core or one run means
        in-process; so does a sweep started in a daemonic process (a worker of a
        multiprocessing pool), which may not start processes, with a warning.
    executor : None, "sequential", "process", "ray" or a SweepPool
        None picks ``"sequential"`` for one worker, else ``"process"``: worker
        processes (forked from a server that imports the package once per Python
        session), each running one backtest at a time, the market placed once in
        shared memory and mapped read-only. A ``SweepPool`` runs the sweep on workers
        kept across sweeps (no start-up per sweep; the market stays placed while
        each sweep's is the same, byte for byte). ``"ray"`` runs one actor per worker
        on the Ray cluster this process joined with ``ray.init(address=...)``, or on a local
        Ray started on first use (``pip install 'orvane[ray]'``). Thread pools are
        refused: the engine keeps per-process state.
    progress : bool
        A progress bar (runs done, rate, time left) on a terminal; never when output
        is not a TTY.
    errors : "store" or "raise"
        ``"store"``: a run that raises becomes a row with its error text, and a run whose
        worker died (killed, crashed, out of memory) a row naming the exit code; the
        other runs complete. ``"raise"``: the first failure stops the sweep and is raised
        (``WorkerLostError`` for a dead worker).
    timeout : float, optional
        Seconds one run may take (its strategy, backtest and kept parts).  A run past it
        is stopped by killing its worker; it becomes a row whose error gives the reason,
        and a fresh worker takes the remaining runs.  Needs worker processes (the
        default executor, a ``SweepPool`` or ``"ray"``; on Ray a new actor's first run
        also pays for the actor's start).
    store : path, optional
        A SQLite file that receives each finished run (its row, and its equity and trades
        when ``keep`` asks) as it finishes, one durable commit per run.  Calling the same
        sweep with the same store skips the runs already there and returns the same table,
        bit for bit, as an uninterrupted sweep; runs lost with their worker are run again.
        A store written for another market, weights, strategy, grid or ``keep`` is
        refused, naming what differs. The strategy is known by its code, constants,
        defaults, closure values and the module-level data it reads (following the
        functions of your own modules it calls): edit a number in it and the old store is
        refused. What it reads that cannot be fingerprinted (an object, a module read
        whole) is named in one warning when the store is opened: values a strategy
        depends on belong in the grid. A store holds data only (numbers, text, times and
        typed arrays; never pickles), so ``keep`` may not hold ``"result"`` with it. A file
        that is not a store, a damaged or older store, and a store that cannot be written
        are refused before any run, and a file that is not a store is left as it was.
        One sweep writes a store at a time: a store another sweep is writing now is
        refused (call again when it has finished, to read its runs). Ctrl-C prints one
        line saying how many runs the store kept.

    register : path, TrialRegister or False, optional
        The trial register (``orvane.trials``) every run is recorded in: its strategy's
        and market's fingerprints, its parameters, figures and bar returns. By default the
        active one (``orvane.trials.activate`` or the ``ORVANE_TRIALS`` environment
        variable), else none; ``False`` records nothing. Recording needs each run's
        equity, which is then kept for it whatever ``keep`` says (and dropped after).

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
    _check_source(strategy, weights)
    asked = _check_keep(keep)
    from orvane import trials as _trials

    trial_register, opened_register = _trials.resolve(register)
    # A trial is recorded from its run's equity: kept for it, dropped after.
    parts = asked if trial_register is None or "equity" in asked else (*asked, "equity")
    _check_errors(errors)
    limit = check_timeout(timeout)
    if store is not None:
        store_path(store)
    names, runs = expand_grid(grid)
    tasks = split_runs(names, runs, strategy)
    # Checked and converted once: every run reuses the aligned arrays (a pool may still
    # hold them from its last sweep).
    prices = executor._prepared(market) if isinstance(executor, SweepPool) else prepare_prices(market)
    # The store is the sweep's as asked: recording trials changes nothing in it.
    runs_store = None if store is None else _open_store(store, prices, weights, strategy,
                                                        runs, asked)
    stored = {} if runs_store is None else _stored_runs(runs_store, len(tasks))
    todo = [i for i in range(len(tasks)) if i not in stored]
    plan = choose(executor, workers, max(len(todo), 1), limit)

    from tqdm import tqdm

    bar = tqdm(total=len(tasks), desc="sweep", unit="run", disable=None if progress else True)
    collector = Collector(runs, parts, errors, bar)
    kept = finished = len(stored)
    try:
        with bar, _terminate_as_exit():
            for i in sorted(stored):
                collector.add(Outcome(i, "done", stored[i]))
            if todo:
                shared = {"market": market, "prices": prices, "weights": weights}
                with closing(outcomes(plan, shared, [tasks[i] for i in todo], strategy, parts,
                                      raise_errors=errors == "raise", timeout=limit)) as done:
                    for position, kind, payload in done:
                        if runs_store is not None and kind == "done":
                            runs_store.put(todo[position], _storable(payload, collector))
                            kept += 1
                        collector.add(Outcome(todo[position], kind, payload))
                        finished += 1
    except KeyboardInterrupt:
        _interrupted(runs_store, kept, finished, len(tasks))
        # The frames of the executor's wait say nothing the line above does not.
        raise KeyboardInterrupt from None
    finally:
        if runs_store is not None:
            runs_store.close()
    result = collector.result(index_for(names, runs))
    _warn_once(collector.payloads)
    if trial_register is not None:
        try:
            # The runs tried now: those read back from a store were recorded when they ran.
            _trials.record_runs(
                trial_register, result.equity.iloc[:, todo], [result.params[i] for i in todo],
                strategy=(strategy_fingerprint(strategy) if strategy is not None
                          else _trials.weights_fingerprint(weights)),
                market=_trials.market_fingerprint(prices.dates, prices.tickers,
                                                  prices.arrays["close"]))
        finally:
            if opened_register:
                trial_register.close()
        if parts != asked:
            result._equity, result.keep = None, asked
    return result
