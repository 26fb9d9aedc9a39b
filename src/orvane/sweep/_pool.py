"""The local process pool: worker processes that run one backtest at a time, bound in turn
to each sweep's market in shared memory. concurrent.futures breaks the whole pool when one
worker dies; this pool watches each worker's sentinel, so a dead worker costs only the run
it held (reported with its exit code) and a replacement takes its place.
"""

import gc
import multiprocessing
import os
import pickle
import signal
import sys
import threading
import time
import traceback
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from multiprocessing.connection import Connection, wait
from multiprocessing.process import BaseProcess
from typing import Any, NamedTuple, Optional, Union

from orvane.sweep import _scheduler as scheduler
from orvane.sweep._grid import Task
from orvane.sweep.result import Outcomes
from orvane.sweep._runner import Payload, Runner, RunnerFactory
from orvane.sweep._shm import Handle, attach

__all__ = ["ProcessPool", "exit_text"]

_JOIN_SECONDS = 5.0
# Thread pools of native libraries (BLAS, OpenMP): sized for the whole machine in every
# worker they oversubscribe the cores, and OpenBLAS's threads alone cost a worker a
# third more CPU to start. The engine and the front use none of them.
_THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                     "VECLIB_MAXIMUM_THREADS", "NUMEXPR_NUM_THREADS")


# Parent -> worker. A worker answers Bind with Ready or SetupError, and each Run with Done.

class Bind(NamedTuple):
    """Map a sweep's market and build its runner, letting go of any earlier sweep (a
    worker already bound to the same segment keeps it and builds only the runner)."""

    handle: Handle
    # The runner factory, pickled once for every worker.
    factory: bytes


class Run(NamedTuple):
    """Run one task on the bound runner; ``run`` comes back with its payload."""

    run: int
    task: Task


class Release(NamedTuple):
    """Let go of the sweep's runner and segment; wait for the next sweep."""


class Stop(NamedTuple):
    """Leave."""


# Worker -> parent.

class Ready(NamedTuple):
    """Bound: send the runs."""

    pid: int


class Done(NamedTuple):
    """The payload of the task sent as ``run``."""

    run: int
    payload: Payload


class SetupError(NamedTuple):
    """Binding raised: its traceback."""

    traceback: str


ToWorker = Union[Bind, Run, Release, Stop]


@contextmanager
def _thread_limits(workers: int) -> Iterator[None]:
    """Native thread pools sized to the worker's share of the cores, in the environment
    a worker inherits (set only around its start, unless the user set them).  Forked
    workers inherit their server's: the share of the pool that started it."""
    share = str(max(1, (os.cpu_count() or 1) // workers))
    added = [name for name in _THREAD_VARIABLES if name not in os.environ]
    for name in added:
        os.environ[name] = share
    try:
        yield
    finally:
        for name in added:
            os.environ.pop(name, None)


def exit_text(code: Optional[int]) -> str:
    """``"exit code -9 (SIGKILL)"`` for a process exit code."""
    if code is None:
        return "exit code unknown"
    if code < 0:
        try:
            return f"exit code {code} ({signal.Signals(-code).name})"
        except ValueError:
            pass
    return f"exit code {code}"


class _Binding:
    """One sweep's market and runner inside a worker."""

    def __init__(self, handle: Handle, factory: bytes) -> None:
        self.name = handle[0]
        self.shm, self.shared = attach(handle)
        try:
            self.runner: Optional[Runner] = pickle.loads(factory)(self.shared)
        except BaseException:
            del self.shared
            self._close()
            raise

    def rebind(self, factory: bytes) -> None:
        """A new sweep on the market already mapped: only its runner is new."""
        self.runner = None
        self.runner = pickle.loads(factory)(self.shared)

    def release(self) -> None:
        del self.runner, self.shared
        self._close()

    def _close(self) -> None:
        # The runner's views into the segment must be gone before it closes.
        gc.collect()
        try:
            self.shm.close()
        except BufferError:
            # A view outlived the sweep (a cycle, a cache): drop our handle, the OS
            # unmaps the segment when the process ends.
            self.shm._mmap = None  # type: ignore[attr-defined]
            self.shm._buf = None  # type: ignore[attr-defined]


# How often a worker looks for its parent, in seconds.
_PARENT_CHECK = 0.25


def _gone(pid: int) -> bool:
    """Whether process ``pid`` has ended (a zombie counts as ended)."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True
    except (OSError, IndexError, UnicodeDecodeError):
        pass  # no /proc here: ask the kernel
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        pass
    return False


def _leave_with_parent(parent: int) -> None:
    """Exit as soon as the sweeping process ``parent`` is gone (killed, crashed), even in
    the middle of a run that never ends: the pipe tells an idle worker, this tells a busy
    one.  A forked worker's own parent is its server, which lives as long as the workers
    do, so the sweeping process is watched by its id."""
    def watch() -> None:
        while True:
            time.sleep(_PARENT_CHECK)
            if _gone(parent):
                os._exit(1)

    threading.Thread(target=watch, name="orvane-parent-watch", daemon=True).start()


def _worker_main(conn: Connection, parent: int) -> None:
    # The parent decides what an interrupt stops; a worker only dies with its pipe.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _leave_with_parent(parent)
    binding: Optional[_Binding] = None
    try:
        while True:
            try:
                message = conn.recv()
            except (EOFError, OSError):
                break
            if isinstance(message, Stop):
                break
            if isinstance(message, Run):
                assert binding is not None and binding.runner is not None, \
                    "a run before the sweep was bound"
                conn.send(Done(message.run, binding.runner(message.task)))
            elif isinstance(message, Bind):
                try:
                    if binding is not None and binding.name == message.handle[0]:
                        binding.rebind(message.factory)
                    else:
                        if binding is not None:
                            binding.release()
                            binding = None
                        binding = _Binding(message.handle, message.factory)
                except Exception:
                    binding = None
                    conn.send(SetupError(traceback.format_exc()))
                else:
                    conn.send(Ready(os.getpid()))
            elif isinstance(message, Release) and binding is not None:
                binding.release()
                binding = None
    finally:
        conn.close()
    # Skip the interpreter's teardown (a third of a second with pandas loaded, on the
    # sweep's clock): the worker leaves nothing behind but what it already sent, and
    # the kernel unmaps the segment.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)


class _Worker(scheduler.Slot):
    __slots__ = ("process", "conn", "since", "overdue")

    def __init__(self, process: BaseProcess, conn: Connection) -> None:
        super().__init__()
        self.process = process
        self.conn = conn
        # When the run at the head of its queue started (monotonic seconds).
        self.since = 0.0
        # Stopped for running past the timeout.
        self.overdue = False


def _context() -> Any:
    """Workers forked from a server that has imported the package once (a fresh process,
    so no thread of this one is copied), where the platform has one; else spawned, each
    importing the package itself (a third of a second with pandas)."""
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    ctx = multiprocessing.get_context("forkserver")
    # Read by the server when it starts (the first worker of this process's first pool).
    ctx.set_forkserver_preload(["orvane.sweep._pool"])
    return ctx


class ProcessPool:
    """``workers`` worker processes, each running one task at a time.

    ``run(handle, factory, tasks)`` binds every worker to one sweep (the shared
    payload behind ``handle``, the runner ``factory(shared)``), then yields an
    ``Outcome`` per task, ``"done"`` or ``"lost"`` with its worker; it ends when every task
    has one, and the workers let go of the sweep's segment (with ``stay_bound``, they keep
    it mapped: the next run on the same handle only builds its runner). The processes outlive a
    run, so one pool serves many sweeps; a run that ends abnormally (an error, an
    interrupt) stops them, and the next run starts fresh ones. ``close()`` stops them
    for good. As the scheduler's backend, a worker gets runs once it is bound.
    """

    depth_before_answer = 0

    def __init__(self, workers: int) -> None:
        self.workers = int(workers)
        self.ctx = _context()
        self.live: list[_Worker] = []
        self.closed = False
        self.busy = False
        self.timeout: Optional[float] = None
        # The running sweep's Bind, for the workers started during it.
        self._bind: Optional[Bind] = None

    def __enter__(self) -> "ProcessPool":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def start(self) -> None:
        """Start the missing workers now (they get ready while the caller goes on)."""
        if self.closed:
            raise RuntimeError("this sweep pool is closed")
        for worker in list(self.live):
            if not worker.process.is_alive():
                self._bury(worker)
        while len(self.live) < self.workers:
            self._spawn()

    def _spawn(self) -> _Worker:
        parent_conn, child_conn = self.ctx.Pipe(duplex=True)
        process = self.ctx.Process(
            target=_worker_main, args=(child_conn, os.getpid()), name="orvane-sweep-worker",
            daemon=True,
        )
        with _thread_limits(self.workers):
            process.start()
        child_conn.close()
        worker = _Worker(process, parent_conn)
        self.live.append(worker)
        if self._bind is not None:
            self._send(worker, self._bind)
        return worker

    def _bury(self, worker: _Worker) -> str:
        """Remove a dead worker; the exit-code text of its death."""
        self.live.remove(worker)
        worker.conn.close()
        worker.process.join(_JOIN_SECONDS)
        if worker.process.exitcode is None:
            worker.process.kill()
            worker.process.join()
        return exit_text(worker.process.exitcode)

    @staticmethod
    def _receive(worker: _Worker, ready: set[Any]) -> Any:
        """The worker's next message, or None when it is gone."""
        if worker.conn not in ready:
            # Only the sentinel fired: take a message sent just before the exit.
            try:
                if not worker.conn.poll():
                    return None
            except (EOFError, OSError):
                return None
        try:
            return worker.conn.recv()
        except Exception:
            # EOF, a reset pipe or a message cut short by the death.
            return None

    @staticmethod
    def _send(worker: _Worker, message: ToWorker) -> None:
        try:
            worker.conn.send(message)
        except OSError:
            pass  # the death shows on the sentinel

    def run(self, handle: Handle, factory: RunnerFactory,
            tasks: Sequence[Task], timeout: Optional[float] = None,
            stay_bound: bool = False) -> Outcomes:
        if self.busy:
            raise RuntimeError("this sweep pool is running another sweep")
        self.busy = True
        self.timeout = timeout
        try:
            yield from self._run(handle, factory, tasks, stay_bound)
        finally:
            self.busy = False
            self.timeout = None

    def _run(self, handle: Handle, factory: RunnerFactory,
             tasks: Sequence[Task], stay_bound: bool) -> Outcomes:
        self.start()
        self._bind = Bind(handle, pickle.dumps(factory))
        for worker in self.live:
            self._send(worker, self._bind)
        finished = False
        try:
            yield from scheduler.schedule(self, tasks)
            finished = True
        finally:
            self._bind = None
            if finished:
                for worker in list(self.live):
                    if worker.answered:
                        # Kept bound, the worker maps the same market for the next sweep.
                        if not stay_bound:
                            self._send(worker, Release())
                    else:
                        # Still starting: its answer to this sweep's Bind would reach
                        # the next sweep. A fresh worker replaces it then.
                        worker.process.terminate()
                        self._bury(worker)
            else:
                self.stop()

    def start_worker(self) -> _Worker:
        return self._spawn()

    def send(self, worker: _Worker, run: int, task: Task) -> None:
        if len(worker.queue) == 1 and worker.answered:
            worker.since = time.monotonic()
        self._send(worker, Run(run, task))

    def _stop_overdue(self) -> Optional[float]:
        """Kill the workers whose run passed the timeout; seconds until the next one may."""
        if self.timeout is None:
            return None
        now = time.monotonic()
        wait_for = self.timeout
        for worker in self.live:
            if not worker.queue or not worker.answered or worker.overdue:
                continue
            left = worker.since + self.timeout - now
            if left <= 0:
                worker.overdue = True
                worker.process.kill()
            else:
                wait_for = min(wait_for, left)
        return wait_for

    def events(self) -> Iterator[tuple[_Worker, scheduler.Event]]:
        waitables = [w.conn for w in self.live] + [w.process.sentinel for w in self.live]
        ready = set(wait(waitables, timeout=self._stop_overdue()))
        for worker in list(self.live):
            if worker.conn not in ready and worker.process.sentinel not in ready:
                continue
            message = self._receive(worker, ready)
            if message is None:
                text = self._bury(worker)
                if worker.overdue:
                    yield worker, scheduler.Died(
                        f"run stopped after the timeout of {self.timeout:g} s (its worker "
                        "was killed; a fresh one took over)", None)
                    continue
                yield worker, scheduler.Died(
                    f"worker process died while running this backtest ({text})",
                    None if worker.answered else RuntimeError(
                        f"sweep worker processes die while starting ({text}); their error "
                        "output is above. A script that sweeps on processes needs the "
                        '`if __name__ == "__main__":` guard, since workers start by '
                        "importing it"))
            elif isinstance(message, SetupError):
                raise RuntimeError("a sweep worker could not start:\n" + message.traceback)
            elif isinstance(message, Ready):
                worker.since = time.monotonic()
                yield worker, scheduler.Ready()
            elif isinstance(message, Done):
                # The next run in its queue starts now.
                worker.since = time.monotonic()
                yield worker, scheduler.Done(message.run, message.payload)

    def stop(self) -> None:
        """Stop every worker now: idle ones leave, busy ones are terminated."""
        workers, self.live = self.live, []
        for worker in workers:
            if worker.queue:
                worker.process.terminate()
            else:
                self._send(worker, Stop())
        for worker in workers:
            worker.process.join(_JOIN_SECONDS)
            if worker.process.exitcode is None:
                worker.process.kill()
                worker.process.join()
            worker.conn.close()

    def close(self) -> None:
        self.stop()
        self.closed = True
