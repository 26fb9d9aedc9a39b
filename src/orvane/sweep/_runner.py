"""The worker side of a sweep: ``Runner`` turns one grid point into the parts of its
result to send back (strategy -> weights -> backtest -> kept parts), the same in this
process, in a pool worker or in a Ray actor.
"""

import hashlib
import math
import os
import pickle
import socket
import time
import traceback
import warnings
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np
import pandas as pd

from orvane import engine
from orvane.inputs import PreparedPrices, PreparedWeights, prepare_weights
from orvane.result import BacktestResult
from orvane.sweep._grid import Strategy, Task

__all__ = ["KEEP", "Payload", "Runner", "RunnerFactory", "Shared"]

KEEP = ("stats", "equity", "trades", "result")
# Strategy outputs kept per worker: tasks go out in grid order, so neighbouring runs
# (the same signal, other backtest options) reuse the weights.
_WEIGHT_CACHE = 2

# What every run of a sweep reads: {"market": ... (what the strategy gets), "prices": the
# market prepared once, "weights": ... or None}.
Shared = dict[str, Any]


@dataclass
class Payload:
    """What one run sends back, from any executor: where and when it ran, its warnings,
    then the parts ``keep`` asked for or its error.  A part not kept (or a run that failed
    before making it) is None."""

    worker: Optional[str] = None
    # UTC seconds since the epoch; the run's own time; the CPU seconds its process spent.
    started: float = math.nan
    seconds: float = math.nan
    cpu: float = math.nan
    # (category, text) of each distinct warning the run raised, in order.
    warnings: list[tuple[type, str]] = field(default_factory=list)
    stats: Optional[dict[str, Any]] = None
    # (key of the date index, values): the index itself travels once per process.
    equity: Optional[tuple[bytes, np.ndarray]] = None
    equity_index: Optional[pd.Index] = None
    trades: Optional[pd.DataFrame] = None
    result: Optional[BacktestResult] = None
    error: Optional[str] = None
    traceback: Optional[str] = None
    # The exception itself (in this process) or pickled, only for a sweep that re-raises.
    exception: Any = None
    # The worker died running it: ``error`` says how.
    lost: bool = False


class Runner:
    """Runs one grid point: strategy -> weights -> backtest -> the parts to keep."""

    def __init__(self, shared: Shared, strategy: Optional[Strategy] = None,
                 keep: tuple[str, ...] = KEEP, in_process: bool = False,
                 raise_errors: bool = False) -> None:
        self._backtest = engine.backtest
        self.market = shared["market"]
        # The market checked and converted once for the whole sweep.
        self.prices = shared.get("prices", self.market)
        self.weights = shared["weights"]
        self.strategy = strategy
        self.keep = keep
        self.in_process = in_process
        self.raise_errors = raise_errors
        self._cache: OrderedDict[bytes, pd.DataFrame] = OrderedDict()
        self._prepared_weights: Optional[PreparedWeights] = None
        self._sent_indexes: set[bytes] = set()
        # The aligned inputs of fixed weights, reused while the options that shape them stay.
        self._prepared: dict[str, Any] = {}
        # Runs that keep only statistics and equity skip building the result's tables.
        self._lean = set(keep) <= {"stats", "equity"}
        self.worker = f"{socket.gethostname()}:{os.getpid()}"

    def _weights_for(self, params: dict[str, Any]) -> Any:
        if self.strategy is None:
            # Fixed weights are checked and aligned once, at their first run (a failure
            # stays every run's error, as it would be).
            if self._prepared_weights is None:
                if isinstance(self.prices, PreparedPrices):
                    self._prepared_weights = prepare_weights(self.weights, self.prices)
                else:
                    return self.weights
            return self._prepared_weights
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

    def _run(self, strategy_params: dict[str, Any],
             options: dict[str, Any]) -> tuple[Payload, Optional[bytes]]:
        weights = self._weights_for(strategy_params)
        if self._lean:
            summary = engine.summarize(weights, self.prices, self._prepared, **options)
            return self._compact(summary.stats if "stats" in self.keep else None,
                                 summary.equity, None)
        result = self._backtest(weights, self.prices, **options)
        # Every price date, NaN where the run is not live: one index for all runs.
        equity = result.full_equity.where(result.full_equity.index.isin(result.equity.index))
        return self._compact(result.stats() if "stats" in self.keep else None, equity, result)

    def _compact(self, stats: Optional[pd.Series], equity: pd.Series,
                 result: Optional[BacktestResult]) -> tuple[Payload, Optional[bytes]]:
        """The parts of a result to send back, and the date index key they introduce."""
        parts = Payload()
        new_key = None
        if stats is not None:
            parts.stats = dict(zip(stats.index, stats.tolist()))
        if "equity" in self.keep:
            index = equity.index
            key = hashlib.blake2b(pickle.dumps(index, protocol=5), digest_size=16).digest()
            parts.equity = (key, equity.to_numpy(dtype=np.float64, copy=True))
            # Every run of a sweep shares the price dates: send them once per process.
            if self.in_process or key not in self._sent_indexes:
                parts.equity_index = index
                new_key = key
        if result is not None and "trades" in self.keep:
            parts.trades = result.trades
        if result is not None and "result" in self.keep:
            parts.result = result
        return parts, new_key

    def __call__(self, task: Task) -> Payload:
        strategy_params, options = task
        started, start, cpu = time.time(), time.perf_counter(), time.process_time()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                out, new_key = self._run(strategy_params, options)
            except Exception as exc:
                out = Payload(error="".join(traceback.format_exception_only(type(exc), exc)).strip(),
                              traceback=traceback.format_exc())
                # Only a sweep that re-raises needs the exception itself; a stored one
                # would hold the frames of every failed run (their weights included).
                if self.raise_errors and self.in_process:
                    out.exception = exc
                elif self.raise_errors:
                    try:
                        out.exception = pickle.dumps(exc)
                    except Exception:
                        out.exception = None
                del exc
            else:
                if new_key is not None:
                    self._sent_indexes.add(new_key)
        out.worker, out.started = self.worker, started
        out.seconds = time.perf_counter() - start
        out.cpu = time.process_time() - cpu
        out.warnings = list(OrderedDict.fromkeys((w.category, str(w.message)) for w in caught))
        return out


# Runner with the sweep's settings bound, called with the shared inputs where runs happen.
RunnerFactory = Callable[..., Runner]
