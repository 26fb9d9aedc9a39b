"""The sweep on Ray: the market put once into the object store, one actor per CPU (each a
process of its own running one backtest at a time), scheduled by the loop the process
pool uses, a dead actor replaced.
"""

import re
import time
from collections.abc import Iterator, Sequence
from typing import Any, Optional

from orvane.sweep import _scheduler as scheduler
from orvane.sweep._grid import Task
from orvane.sweep.result import Outcomes
from orvane.sweep._runner import Payload, RunnerFactory, Shared

__all__ = ["run_on_ray"]


def import_ray() -> Any:
    try:
        import ray
    except ImportError as exc:
        raise ImportError(
            "executor='ray' needs Ray: pip install 'orvane[ray]'"
        ) from exc
    return ray


class _RayWorker:
    """One actor: the market read zero-copy from the object store, runs in order."""

    def __init__(self, shared: Shared, factory: RunnerFactory) -> None:
        self._run = factory(shared)

    def run(self, run: int, task: Task) -> tuple[int, Payload]:
        # The run number goes back with the payload: the caller matches answers to runs
        # by it, never by the order in which Ray hands them over.
        return run, self._run(task)


def _lost_text(exc: BaseException) -> str:
    # Ray does not report the process exit code; its exit type and first detail
    # sentence say what happened (SYSTEM_ERROR for a crash or a kill, OOM, ...).
    text = str(exc)
    parts = []
    pid = re.search(r"pid: (\d+)", text)
    if pid:
        parts.append("pid " + pid.group(1))
    kind = re.search(r"Worker exit type: (\w+)", text)
    if kind:
        parts.append("exit type " + kind.group(1))
    detail = re.search(r"Worker exit detail: (.*?\.)(\s|$)", text)
    if detail:
        parts.append(detail.group(1))
    if not kind:
        lines = [line.strip() for line in text.splitlines() if line.strip()]
        parts.append(lines[-1] if lines else type(exc).__name__)
    return f"Ray actor died while running this backtest ({'; '.join(parts)})"


class _Actor(scheduler.Slot):
    __slots__ = ("handle", "since")

    def __init__(self, handle: Any) -> None:
        super().__init__()
        self.handle = handle
        # When its oldest call started: the first when sent (the actor's start counts),
        # the next ones when the previous returned (monotonic seconds).
        self.since: Optional[float] = None


class _Actors:
    """Ray as the scheduler's backend: one actor per worker, an object ref per call."""

    # A second call only once the actor has answered: Ray may start the second of two
    # calls sent while the actor was being created first, and a death would then be
    # pinned on the wrong run.
    depth_before_answer = 1

    def __init__(self, ray: Any, shared: Shared, factory: RunnerFactory,
                 workers: int, timeout: Optional[float] = None) -> None:
        self.ray = ray
        self.workers = workers
        self.live: list[_Actor] = []
        self._deaths = (ray.exceptions.RayActorError, ray.exceptions.WorkerCrashedError)
        self._class = ray.remote(num_cpus=1, max_restarts=0, max_task_retries=0)(_RayWorker)
        self._shared: Any = ray.put(shared)
        self._factory = factory
        # The actor of each call in flight, in the order sent.
        self._owner: dict[Any, _Actor] = {}
        self.timeout = timeout

    def start_worker(self) -> _Actor:
        actor = _Actor(self._class.remote(self._shared, self._factory))
        self.live.append(actor)
        return actor

    def send(self, worker: _Actor, run: int, task: Task) -> None:
        if worker.since is None:
            # A new actor's first run: its clock includes the actor's start.
            worker.since = time.monotonic()
        self._owner[worker.handle.run.remote(run, task)] = worker

    def _overdue(self) -> Optional[_Actor]:
        now = time.monotonic()
        for actor in self.live:
            if actor.since is not None and self.timeout is not None \
                    and now - actor.since > self.timeout:
                return actor
        return None

    def _drop(self, actor: _Actor) -> None:
        self.live.remove(actor)
        self.ray.kill(actor.handle)
        for ref in [ref for ref, owner in self._owner.items() if owner is actor]:
            del self._owner[ref]

    def events(self) -> Iterator[tuple[_Actor, scheduler.Event]]:
        # Without a timeout, wait for the next answer; with one, look at the clock at
        # least every 50 ms.
        step = None if self.timeout is None else min(self.timeout, 0.05)
        done, _ = self.ray.wait(list(self._owner), num_returns=1, timeout=step)
        if not done:
            late = self._overdue()
            if late is not None:
                self._drop(late)
                yield late, scheduler.Died(
                    f"run stopped after the timeout of {self.timeout:g} s (its actor was "
                    "killed; a fresh one took over)", None)
            return
        # ray.wait hands over whichever finished call it likes, not the oldest.
        actor = self._owner.pop(done[0])
        try:
            run, payload = self.ray.get(done[0])
        except self._deaths as exc:
            self._drop(actor)
            start_error = None
            if getattr(exc, "actor_init_failed", False):
                start_error = RuntimeError(f"Ray actors fail to start: {exc}")
                start_error.__cause__ = exc
            yield actor, scheduler.Died(_lost_text(exc), start_error)
        else:
            actor.since = time.monotonic()
            yield actor, scheduler.Done(run, payload)

    def close(self) -> None:
        for actor in self.live:
            self.ray.kill(actor.handle)
        self._shared = None


def run_on_ray(shared: Shared, factory: RunnerFactory, tasks: Sequence[Task],
               workers: Optional[int] = None, timeout: Optional[float] = None) -> Outcomes:
    """Yield an ``Outcome`` per task, ``"done"`` or ``"lost"`` with its actor.

    Uses the Ray session of this process: the cluster the caller joined with
    ``ray.init(address=...)``, else a local one started here (and kept for later
    sweeps, as Ray does; ``ray.shutdown()`` stops it).
    """
    ray = import_ray()
    if not ray.is_initialized():
        ray.init(include_dashboard=False, logging_level="warning")
    # An actor holds its CPU for life: more actors than CPUs would wait forever.
    cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))
    workers = cpus if workers is None else min(workers, cpus)
    actors = _Actors(ray, shared, factory, min(workers, len(tasks)), timeout)
    try:
        yield from scheduler.schedule(actors, tasks)
    finally:
        actors.close()
