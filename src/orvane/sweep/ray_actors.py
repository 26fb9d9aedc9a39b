"""The sweep on Ray: the market put once into the object store, one actor per CPU
(each a process of its own running one backtest at a time), a dead actor replaced.
"""

import re
from collections import deque

__all__ = ["run_on_ray"]

# Consecutive actor deaths before any actor finished a run: a broken set-up.
_START_FAILURES = 3
# Calls in flight per actor: the running one and the next, so an actor never idles
# on a round trip. Only once the actor has answered: Ray may start the second of two
# calls sent while the actor was being created first, and a death would then be
# pinned on the wrong run.
_DEPTH = 2


def import_ray():
    try:
        import ray
    except ImportError as exc:
        raise ImportError(
            "executor='ray' needs Ray: pip install 'orvane[ray]'"
        ) from exc
    return ray


class _RayWorker:
    """One actor: the market read zero-copy from the object store, runs in order."""

    def __init__(self, shared, factory):
        self._run = factory(shared)

    def run(self, task):
        return self._run(task)


def _lost_text(exc):
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


def run_on_ray(shared, factory, tasks, workers=None):
    """Yield ``(index, "done", payload)`` or ``(index, "lost", text)`` per task.

    Uses the Ray session of this process: the cluster the caller joined with
    ``ray.init(address=...)``, else a local one started here (and kept for later
    sweeps, as Ray does; ``ray.shutdown()`` stops it).
    """
    ray = import_ray()
    from ray.exceptions import RayActorError, WorkerCrashedError

    if not ray.is_initialized():
        ray.init(include_dashboard=False, logging_level="warning")
    # An actor holds its CPU for life: more actors than CPUs would wait forever.
    cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))
    workers = cpus if workers is None else min(workers, cpus)
    actor_class = ray.remote(num_cpus=1, max_restarts=0, max_task_retries=0)(_RayWorker)
    shared_ref = ray.put(shared)
    tasks = list(tasks)
    pending = deque(enumerate(tasks))
    # Calls per actor, in the order sent.
    queues = {}
    owner = {}
    start_failures = 0

    answered = set()

    def start_actor():
        actor = actor_class.remote(shared_ref, factory)
        queues[actor] = deque()
        return actor

    def feed(actor):
        depth = _DEPTH if actor in answered else 1
        while pending and len(queues[actor]) < depth:
            index, task = pending.popleft()
            ref = actor.run.remote(task)
            queues[actor].append((ref, index))
            owner[ref] = actor

    try:
        for _ in range(min(workers, len(pending))):
            feed(start_actor())
        while owner:
            done, _ = ray.wait(list(owner), num_returns=1)
            ref = done[0]
            actor = owner.pop(ref)
            try:
                payload = ray.get(ref)
            except (RayActorError, WorkerCrashedError) as exc:
                queue = queues.pop(actor)
                ray.kill(actor)
                for queued, _ in queue:
                    owner.pop(queued, None)
                lost = queue.popleft()[1]
                # Calls it never started go back to the front, in order.
                pending.extendleft(reversed([(i, tasks[i]) for _, i in queue]))
                if getattr(exc, "actor_init_failed", False):
                    start_failures += 1
                    if start_failures >= _START_FAILURES:
                        raise RuntimeError(f"Ray actors fail to start: {exc}") from exc
                if pending:
                    feed(start_actor())
                yield lost, "lost", _lost_text(exc)
                continue
            start_failures = 0
            answered.add(actor)
            index = queues[actor].popleft()[1]
            feed(actor)
            yield index, "done", payload
    finally:
        for actor in queues:
            ray.kill(actor)
        del shared_ref
