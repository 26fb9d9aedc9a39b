"""Where a sweep runs: the choice of executor, and each executor's hand-off (in this
process, on the local process pool, on Ray), every one yielding one ``Outcome`` per task.
``SweepPool`` keeps the process pool's workers across sweeps.
"""

import gc
import os
import pickle
import warnings
import weakref
from collections.abc import Sequence
from functools import partial
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, Optional, Union


from orvane._checks import Bounds, check_real, check_whole
from orvane.sweep._grid import Strategy, Task
from orvane.sweep.result import Outcome, Outcomes
from orvane.sweep._runner import Runner, RunnerFactory, Shared

if TYPE_CHECKING:
    from orvane.inputs import PreparedPrices
    from orvane.sweep._pool import ProcessPool
    from multiprocessing.shared_memory import SharedMemory

    from orvane.sweep._shm import SharedPayload

__all__ = ["EXECUTORS", "SweepPool", "Plan", "choose", "check_workers", "outcomes"]

EXECUTORS = ("sequential", "process", "ray")


def usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def check_workers(workers: int) -> int:
    return check_whole(workers, "workers", Bounds(1), unit="processes")


def _warn_above_cores(workers: int) -> None:
    cores = usable_cores()
    if workers > cores:
        warnings.warn(f"workers={workers} is more than the {cores} usable cores: the runs "
                      "share them, each process costing memory and start-up time",
                      UserWarning, stacklevel=4)


def _daemonic() -> bool:
    """Whether this process may not start children (a multiprocessing pool's worker)."""
    import multiprocessing

    return bool(multiprocessing.current_process().daemon)


_DAEMONIC = ("this process is daemonic (a worker of a multiprocessing pool, say), and "
             "daemonic processes may not start worker processes")


_SECONDS = Bounds(0.0, low_open=True)


def check_timeout(timeout: Optional[float]) -> Optional[float]:
    """Seconds a run may take, or None."""
    if timeout is None:
        return None
    return check_real(timeout, "timeout", _SECONDS, what="a number of seconds")


class _Kept:
    """A pool's last market in shared memory, with where its market and weights lie in
    the segment and the prepared prices as this process reads them from it (so the
    caller's frames are not held)."""

    def __init__(self, shared: Shared) -> None:
        from orvane.sweep._shm import SharedPayload, attach

        self.payload: SharedPayload = SharedPayload(shared)
        try:
            self.market = self.payload.snapshot(shared["market"])
            self.weights = self.payload.snapshot(shared["weights"])
            shm, attached = attach(self.payload.handle)
            self._shm: Optional["SharedMemory"] = shm
            self.prices: Optional["PreparedPrices"] = attached["prices"]
        except BaseException:
            self.payload.release()
            raise

    def release(self) -> None:
        self.prices = None
        shm, self._shm = self._shm, None
        if shm is not None:
            gc.collect()
            try:
                shm.close()
            except BufferError:
                # The caller still holds a view: the mapping goes with it.
                shm._mmap = None  # type: ignore[attr-defined]
                shm._buf = None  # type: ignore[attr-defined]
        self.payload.release()


def _release(kept: list[_Kept]) -> None:
    while kept:
        kept.pop().release()


class SweepPool:
    """Worker processes kept across sweeps.

    A sweep on the default executor starts its own workers (forked from a server that
    imported NumPy, pandas and orvane once; where there is none, each a spawned Python
    importing them: about half a second of CPU) and stops them at the end. To run many sweeps in a row, start the workers once::

        from orvane.sweep import SweepPool

        with SweepPool(workers=4) as pool:
            for grid in grids:
                results.append(orvane.sweep(market, grid, strategy=f, executor=pool))

    The pool keeps the last sweep's market (and fixed weights) in shared memory, mapped
    by its workers: a later sweep whose market and weights are the same, byte for byte
    (compared, so an edit in place is seen), skips the price checks and the placement.
    Another market takes its place; ``close()`` frees it. Workers keep the modules they
    imported: after editing a strategy's module, close the pool and start a new one. A
    sweep that ends with an error or an interrupt stops the workers; the next sweep
    starts fresh ones.
    """

    def __init__(self, workers: Optional[int] = None) -> None:
        from orvane.sweep._pool import ProcessPool

        if _daemonic():
            raise ValueError(f"SweepPool cannot start its workers here: {_DAEMONIC}; sweep "
                             "in this process (workers=1), or make the pool in a process "
                             "that may have children")
        workers = usable_cores() if workers is None else check_workers(workers)
        _warn_above_cores(workers)
        self._pool: ProcessPool = ProcessPool(workers)
        # At most one market, freed with the pool (or when it is collected unclosed).
        self._kept: list[_Kept] = []
        self._free = weakref.finalize(self, _release, self._kept)
        self._pool.start()

    @property
    def workers(self) -> int:
        return self._pool.workers

    @property
    def closed(self) -> bool:
        return self._pool.closed

    def close(self) -> None:
        """Stop the workers and free the market; the pool cannot be used again."""
        self._pool.close()
        self._free()

    def _drop_vanished(self) -> None:
        if self._kept and not self._kept[0].payload.present:
            # Its segment was removed from under us (a clean-up of /dev/shm): a new
            # worker could not map it, so the market is placed again.
            _release(self._kept)

    def _prepared(self, market: Any) -> "PreparedPrices":
        """``market`` checked and prepared, or the kept preparation when ``market`` is
        byte for byte the kept one."""
        from orvane.inputs import prepare_prices

        self._drop_vanished()
        if self._kept and self._kept[0].payload.holds(self._kept[0].market, market):
            prices = self._kept[0].prices
            assert prices is not None, "a kept market has its prices"
            return prices
        return prepare_prices(market)

    def _outcomes(self, shared: Shared, factory: RunnerFactory, tasks: Sequence[Task],
                 timeout: Optional[float]) -> Outcomes:
        """The sweep's outcomes on the workers, the market kept in place when it is the
        kept one (its prices came from ``_prepared``) and the weights are the same."""
        self._drop_vanished()
        kept = self._kept[0] if self._kept else None
        same_market = kept is not None and shared["prices"] is kept.prices
        if kept is None or not (same_market and kept.payload.holds(kept.weights, shared["weights"])):
            if same_market:
                # Other weights: the prices are placed again, from the caller's frames.
                from orvane.inputs import prepare_prices

                shared = dict(shared, prices=prepare_prices(shared["market"]))
            _release(self._kept)
            # Workers import while the market is copied into shared memory.
            self._pool.start()
            kept = _Kept(shared)
            self._kept.append(kept)
        yield from self._pool.run(kept.payload.handle, factory, tasks, timeout, stay_bound=True)

    def __enter__(self) -> "SweepPool":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<SweepPool: {self.workers} workers{', closed' if self.closed else ''}>"


# What sweep(executor=...) takes.
Executor = Union[Literal["sequential", "process", "ray"], SweepPool, None]


def _refuse_threads(executor: object) -> None:
    from concurrent.futures import ThreadPoolExecutor
    from multiprocessing.pool import ThreadPool

    threaded = (ThreadPoolExecutor, ThreadPool)
    if (isinstance(executor, threaded)
            or (isinstance(executor, type) and issubclass(executor, threaded))
            or executor in ("thread", "threads")):
        raise TypeError(
            f"executor must not be a thread pool, got {executor!r}: the engine keeps "
            "per-process state (the analytics lists and the last run's record), so two "
            "runs in one process would overwrite each other. Use executor='process' "
            "(the default), executor='ray', or workers=1."
        )


class Plan(NamedTuple):
    """How a sweep runs: ``kind`` ``"sequential"``, ``"process"``, ``"pool"`` or
    ``"ray"``, with ``workers`` (None: Ray's cluster CPUs) and, for ``"pool"``, the
    ``SweepPool``."""

    kind: str
    workers: Optional[int]
    pool: Optional[SweepPool] = None


def choose(executor: Executor, workers: Optional[int], n_runs: int,
           timeout: Optional[float] = None) -> Plan:
    """The plan for ``executor`` and ``workers`` over ``n_runs`` runs: at most one worker
    per run, with a warning above the usable cores.  A timeout needs runs in processes
    of their own (a run in this one could not be stopped)."""
    _refuse_threads(executor)
    if isinstance(executor, SweepPool):
        if executor.closed:
            raise ValueError("executor must be an open SweepPool, got a closed one")
        if workers is not None:
            raise ValueError("workers must be None with a SweepPool (it brings its own "
                             f"{executor.workers}), got {workers!r}")
        return Plan("pool", executor.workers, executor)
    if executor is not None and executor not in EXECUTORS:
        raise TypeError("executor must be None, a SweepPool or one of "
                        f"{', '.join(map(repr, EXECUTORS))}, got {executor!r} (orvane "
                        "runs its own pool so that a dead worker costs only its run)")
    if workers is not None:
        workers = check_workers(workers)
    if executor is None:
        if workers is None:
            workers = usable_cores()
        executor = "process" if (workers > 1 and n_runs > 1) or timeout is not None \
            else "sequential"
    if executor == "sequential":
        if timeout is not None:
            raise ValueError("timeout needs runs in worker processes, which can be stopped; "
                             "use executor='process' (or None), a SweepPool or 'ray', got "
                             "executor='sequential'")
        return Plan(executor, 1)
    if executor == "process" and _daemonic():
        if timeout is not None:
            raise ValueError(f"timeout needs runs in worker processes, which can be stopped, "
                             f"but {_DAEMONIC}; drop the timeout, or sweep from a process "
                             "that may have children")
        # The results are the same in-process, and the pool this process serves already
        # spreads the work over the cores.
        warnings.warn(f"the sweep runs in this process: {_DAEMONIC}; the results are the "
                      "same (pass workers=1 to say so)", UserWarning, stacklevel=3)
        return Plan("sequential", 1)
    if executor == "process":
        count = min(workers or usable_cores(), n_runs)
        _warn_above_cores(count)
        return Plan(executor, count)
    return Plan(executor, None if workers is None else min(workers, n_runs))


def outcomes(plan: Plan, shared: Shared, tasks: Sequence[Task],
             strategy: Optional[Strategy], keep: tuple[str, ...],
             raise_errors: bool, timeout: Optional[float] = None) -> Outcomes:
    """Run ``tasks`` as ``plan`` says: one ``Outcome`` per task, in finishing order."""
    # Built where the runs happen, around the market there.
    factory = partial(Runner, strategy=strategy, keep=keep, raise_errors=raise_errors)
    if plan.kind == "sequential":
        return _in_process(shared, factory, tasks)
    if plan.kind == "ray":
        from orvane.sweep._ray import run_on_ray

        return run_on_ray(shared, factory, tasks, plan.workers, timeout)
    try:
        pickle.dumps(factory)
    except Exception as exc:
        raise TypeError(
            "strategy must be picklable, as worker processes receive it pickled, got "
            f"{strategy!r}, which is not ({exc}); define it at module level, or use "
            "workers=1 or executor='ray'"
        ) from None
    from orvane.sweep._pool import ProcessPool

    if plan.pool is not None:
        return plan.pool._outcomes(shared, factory, tasks, timeout)
    assert plan.workers is not None, "a process plan names its workers"
    return _on_processes(ProcessPool(plan.workers), shared, factory, tasks, timeout)


def _in_process(shared: Shared, factory: RunnerFactory,
                tasks: Sequence[Task]) -> Outcomes:
    runner = factory(shared, in_process=True)
    for i, task in enumerate(tasks):
        yield Outcome(i, "done", runner(task))


def _on_processes(pool: "ProcessPool", shared: Shared, factory: RunnerFactory,
                  tasks: Sequence[Task], timeout: Optional[float]) -> Outcomes:
    from orvane.sweep._shm import SharedPayload

    try:
        # Workers import while the market is copied into shared memory.
        pool.start()
        with SharedPayload(shared) as payload:
            yield from pool.run(payload.handle, factory, tasks, timeout)
    finally:
        pool.close()
