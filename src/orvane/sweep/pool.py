"""The sweep's local process pool: one shared-memory copy of each sweep's market, spawn
workers that run one backtest at a time (and may serve many sweeps), and a dead worker
costing only the run it held.

concurrent.futures breaks the whole pool when one worker dies; this pool watches each
worker's sentinel, reports the run it lost with its exit code and starts a replacement.
"""

import multiprocessing
import os
import pickle
import signal
import sys
import traceback
from collections import deque
from contextlib import contextmanager
from multiprocessing.connection import wait

from orvane.sweep.shm import attach

__all__ = ["ProcessPool", "exit_text"]

# Consecutive worker deaths before any worker got ready: a broken set-up, not bad luck.
_START_FAILURES = 3
_JOIN_SECONDS = 5.0
# Tasks in flight per worker: the running one and the next.
_DEPTH = 2
# Thread pools of native libraries (BLAS, OpenMP): sized for the whole machine in every
# worker they oversubscribe the cores, and OpenBLAS's threads alone cost a worker a
# third more CPU to start. The engine and the front use none of them.
_THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                     "VECLIB_MAXIMUM_THREADS", "NUMEXPR_NUM_THREADS")


@contextmanager
def _thread_limits(workers):
    """Native thread pools sized to the worker's share of the cores, in the environment
    a spawned worker inherits (set only around the spawn, unless the user set them)."""
    share = str(max(1, (os.cpu_count() or 1) // workers))
    added = [name for name in _THREAD_VARIABLES if name not in os.environ]
    for name in added:
        os.environ[name] = share
    try:
        yield
    finally:
        for name in added:
            os.environ.pop(name, None)


def exit_text(code):
    """'exit code -9 (SIGKILL)' for a process exit code."""
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

    def __init__(self, handle, factory_bytes):
        self.shm, shared = attach(handle)
        try:
            self.run = pickle.loads(factory_bytes)(shared)
        except BaseException:
            del shared
            self.release()
            raise

    def release(self):
        import gc

        self.run = None
        gc.collect()
        try:
            self.shm.close()
        except BufferError:
            # A view outlived the sweep (a cycle, a cache): drop our handle, the OS
            # unmaps the segment when the process ends.
            self.shm._mmap = None
            self.shm._buf = None


def _worker_main(conn):
    # The parent decides what an interrupt stops; a worker only dies with its pipe.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    binding = None
    try:
        while True:
            try:
                message = conn.recv()
            except (EOFError, OSError):
                break
            if message is None:
                break
            kind = message[0]
            if kind == "run":
                conn.send(("done", binding.run(message[1])))
            elif kind == "bind":
                if binding is not None:
                    binding.release()
                try:
                    binding = _Binding(message[1], message[2])
                except Exception:
                    binding = None
                    conn.send(("setup_error", traceback.format_exc()))
                else:
                    conn.send(("ready", os.getpid()))
            elif kind == "release" and binding is not None:
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


class _Worker:
    __slots__ = ("process", "conn", "queue", "ready")

    def __init__(self, process, conn):
        self.process = process
        self.conn = conn
        # Indexes sent, in order: the first is running, the rest wait in the pipe.
        self.queue = deque()
        # Bound to the current sweep's market and runner.
        self.ready = False


class ProcessPool:
    """``workers`` spawn processes, each running one task at a time.

    ``run(handle, factory, tasks)`` binds every worker to one sweep (the shared
    payload behind ``handle``, the runner ``factory(shared)``), then yields
    ``(index, "done", payload)`` per finished task and ``(index, "lost", text)`` for a
    task whose worker died; it ends when every task has one or the other, and the
    workers let go of the sweep's segment. The processes outlive a run, so one pool
    serves many sweeps; a run that ends abnormally (an error, an interrupt) stops
    them, and the next run starts fresh ones. ``close()`` stops them for good.
    """

    def __init__(self, workers):
        self.workers = int(workers)
        self.ctx = multiprocessing.get_context("spawn")
        self.live = []
        self.closed = False
        self.busy = False
        self._start_failures = 0

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()

    def start(self):
        """Spawn the missing workers now (they import while the caller goes on)."""
        if self.closed:
            raise RuntimeError("this sweep pool is closed")
        for worker in list(self.live):
            if not worker.process.is_alive():
                self._bury(worker)
        while len(self.live) < self.workers:
            self._spawn()

    def _spawn(self):
        parent_conn, child_conn = self.ctx.Pipe(duplex=True)
        process = self.ctx.Process(
            target=_worker_main, args=(child_conn,), name="orvane-sweep-worker",
            daemon=True,
        )
        with _thread_limits(self.workers):
            process.start()
        child_conn.close()
        worker = _Worker(process, parent_conn)
        self.live.append(worker)
        return worker

    def _bury(self, worker):
        """Remove a dead worker; the exit-code text of its death."""
        self.live.remove(worker)
        worker.conn.close()
        worker.process.join(_JOIN_SECONDS)
        if worker.process.exitcode is None:
            worker.process.kill()
            worker.process.join()
        return exit_text(worker.process.exitcode)

    def _receive(self, worker, ready):
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
    def _send(worker, message):
        try:
            worker.conn.send(message)
        except OSError:
            pass  # the death shows on the sentinel

    def _feed(self, worker, pending, tasks):
        # A second task waits in the pipe so the worker never idles on a round trip.
        while pending and len(worker.queue) < _DEPTH:
            index = pending.popleft()
            worker.queue.append(index)
            self._send(worker, ("run", tasks[index]))

    def run(self, handle, factory, tasks):
        if self.busy:
            raise RuntimeError("this sweep pool is running another sweep")
        self.busy = True
        try:
            yield from self._run(handle, factory, tasks)
        finally:
            self.busy = False

    def _run(self, handle, factory, tasks):
        tasks = list(tasks)
        bind = ("bind", handle, pickle.dumps(factory))
        pending = deque(range(len(tasks)))
        self.start()
        for worker in self.live:
            worker.ready = False
            worker.queue.clear()
            self._send(worker, bind)
        finished = False
        try:
            yield from self._loop(bind, pending, tasks)
            finished = True
        finally:
            if finished:
                for worker in list(self.live):
                    if worker.ready:
                        worker.ready = False
                        self._send(worker, ("release",))
                    else:
                        # Still starting: its answer to this sweep's bind would reach
                        # the next sweep. A fresh worker replaces it then.
                        worker.process.terminate()
                        self._bury(worker)
            else:
                self.stop()

    def _loop(self, bind, pending, tasks):
        while pending or any(w.queue for w in self.live):
            if not self.live:
                self._send(self._spawn(), bind)
            waitables = [w.conn for w in self.live] + [w.process.sentinel for w in self.live]
            ready = set(wait(waitables))
            for worker in list(self.live):
                if worker.conn not in ready and worker.process.sentinel not in ready:
                    continue
                message = self._receive(worker, ready)
                if message is None:
                    text = self._bury(worker)
                    if not worker.ready:
                        self._start_failures += 1
                        if self._start_failures >= _START_FAILURES:
                            raise RuntimeError(
                                f"sweep worker processes die while starting ({text}); their "
                                "error output is above. A script that sweeps on processes "
                                "needs the `if __name__ == \"__main__\":` guard, since "
                                "workers are spawned and import it"
                            )
                    lost = worker.queue.popleft() if worker.queue else None
                    # Tasks it never started go back to the front, in order.
                    pending.extendleft(reversed(worker.queue))
                    if pending and len(self.live) < self.workers:
                        self._send(self._spawn(), bind)
                    if lost is not None:
                        yield lost, "lost", ("worker process died while running this "
                                             f"backtest ({text})")
                    continue
                kind = message[0]
                if kind == "setup_error":
                    raise RuntimeError("a sweep worker could not start:\n" + message[1])
                if kind == "ready":
                    worker.ready = True
                    self._start_failures = 0
                    self._feed(worker, pending, tasks)
                elif kind == "done":
                    index = worker.queue.popleft()
                    self._feed(worker, pending, tasks)
                    yield index, "done", message[1]

    def stop(self):
        """Stop every worker now: idle ones leave, busy ones are terminated."""
        workers, self.live = self.live, []
        for worker in workers:
            if worker.queue:
                worker.process.terminate()
            else:
                self._send(worker, None)
        for worker in workers:
            worker.process.join(_JOIN_SECONDS)
            if worker.process.exitcode is None:
                worker.process.kill()
                worker.process.join()
            worker.conn.close()

    def close(self):
        self.stop()
        self.closed = True
