"""The scheduling the process pool and Ray share: each worker holds at most two runs, a
dead worker costs the run it held and its unstarted runs go back to the front in order,
a replacement takes its place, and workers that keep dying as they start stop the sweep.
Every answer names the run it belongs to (sent with the task, returned with the payload),
so answers may come in any order. An executor plugs in as a ``Backend``.
"""

from collections import deque
from collections.abc import Iterable, Sequence
from typing import NamedTuple, Optional, Protocol, TypeVar, Union

from orvane.sweep._grid import Task
from orvane.sweep.result import Outcome, Outcomes
from orvane.sweep._runner import Payload

__all__ = ["Slot", "Ready", "Done", "Died", "Event", "Backend", "schedule"]

# Tasks in flight per worker once it has answered: the running one and the next, so it
# never idles on a round trip.
DEPTH = 2
# Start failures in a row, with no answer from any worker in between: a broken set-up,
# not bad luck.
START_FAILURES = 3


class Slot:
    """What the loop keeps per worker; each executor's worker record extends it."""

    __slots__ = ("queue", "answered")

    def __init__(self) -> None:
        # Task indexes sent, in order: the first is running, the rest wait.
        self.queue: deque[int] = deque()
        # Answered in this sweep (bound to it, or returned a run): from then on it
        # holds DEPTH tasks.
        self.answered = False


class Ready(NamedTuple):
    """The worker is set up for this sweep."""


class Done(NamedTuple):
    """One of the worker's tasks finished: ``run`` is the task index the worker was sent
    with it and sent back with the payload, so no executor's order of answers can put
    a result on another task's row."""

    run: int
    payload: Payload


class Died(NamedTuple):
    """The worker is gone; the backend has already dropped it from ``live``."""

    # The error text of the run it held.
    lost: str
    # Set when it died before it could answer: what to raise when it is the last of
    # START_FAILURES in a row.
    start_error: Optional[Exception]


Event = Union[Ready, Done, Died]
W = TypeVar("W", bound=Slot)


class Backend(Protocol[W]):
    """What an executor provides to ``schedule``."""

    # Workers to keep running, and those running now.
    workers: int
    live: list[W]
    # Tasks sent to a worker before its first answer.
    depth_before_answer: int

    def start_worker(self) -> W:
        """Start one worker for this sweep and add it to ``live``."""

    def send(self, worker: W, run: int, task: Task) -> None:
        """Queue ``task`` on ``worker`` under its index ``run``, which its ``Done`` must
        carry back; a failed send shows later as its death."""

    def events(self) -> Iterable[tuple[W, Event]]:
        """Wait until something happens, then yield (worker, event) in order."""


def schedule(backend: Backend[W], tasks: Sequence[Task]) -> Outcomes:
    """Run ``tasks`` on the backend's workers: one ``Outcome`` per task, as they end."""
    pending = deque(range(len(tasks)))
    failures = 0

    def feed(worker: W) -> None:
        depth = DEPTH if worker.answered else backend.depth_before_answer
        while pending and len(worker.queue) < depth:
            index = pending.popleft()
            worker.queue.append(index)
            backend.send(worker, index, tasks[index])

    for worker in backend.live:
        worker.queue.clear()
        worker.answered = False
    while len(backend.live) < backend.workers:
        feed(backend.start_worker())
    while pending or any(worker.queue for worker in backend.live):
        if not backend.live:
            # Never wait with no worker to answer.
            feed(backend.start_worker())
        for worker, event in backend.events():
            if isinstance(event, Died):
                if event.start_error is not None:
                    failures += 1
                    if failures >= START_FAILURES:
                        raise event.start_error
                lost = worker.queue.popleft() if worker.queue else None
                pending.extendleft(reversed(worker.queue))
                worker.queue.clear()
                if pending and len(backend.live) < backend.workers:
                    feed(backend.start_worker())
                if lost is not None:
                    yield Outcome(lost, "lost", event.lost)
                continue
            # Ready or Done: the worker answered.
            failures = 0
            worker.answered = True
            if isinstance(event, Done):
                if event.run not in worker.queue:
                    raise RuntimeError(
                        f"a sweep worker answered for run {event.run!r}, which it does "
                        f"not hold (it holds {list(worker.queue)}): the executor mixed up "
                        "its results, so none of them is kept as this run's row")
                worker.queue.remove(event.run)
                feed(worker)
                yield Outcome(event.run, "done", event.payload)
            else:
                feed(worker)
