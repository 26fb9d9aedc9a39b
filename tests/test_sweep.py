"""orvane.sweep: rows equal sequential backtests on every executor, failures and dead
workers become rows instead of hangs, threads are refused, shared memory is released."""

import contextlib
import io
import multiprocessing
import operator
import os
import re
import signal
import sys
import time
import traceback
import types
import warnings
from concurrent.futures import ThreadPoolExecutor
from multiprocessing.pool import ThreadPool

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets
from orvane.sweep import SweepPool, WorkerLostError, sweep
from orvane.sweep import _scheduler as scheduler
from orvane.sweep._grid import expand_grid
from orvane.sweep import _grid as grid_module
from orvane.sweep._scheduler import Died, Done, Ready, Slot, schedule

# The small market drops a few weights on unlisted tickers: expected, not under test.
pytestmark = [pytest.mark.filterwarnings("ignore:weights. :UserWarning"),
              pytest.mark.filterwarnings("ignore:.* runs warned")]

GRID = {"lookback": [21, 63], "stop_loss": [None, 0.05], "rebalance": ["M", "W"]}


@pytest.fixture(scope="module")
def market():
    return datasets.synthetic_market(stocks=40, years=2, seed=3)


@contextlib.contextmanager
def deadline(seconds, exc=TimeoutError):
    """Fail instead of hanging: SIGALRM interrupts the sweep's wait in this thread."""

    def expire(signum, frame):
        raise exc("sweep still running after %s s" % seconds)

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def segments():
    # Only this process's: other test sessions may sweep at the same time.
    mine = "orvane-%d-" % os.getpid()
    if not os.path.isdir("/dev/shm"):
        return set()
    return {name for name in os.listdir("/dev/shm") if name.startswith(mine)}


@pytest.fixture
def no_leaks():
    """The sweep unlinks its segment and leaves no worker process behind."""
    before = segments()
    yield
    assert segments() - before == set()
    deadline_at = time.monotonic() + 10
    while multiprocessing.active_children() and time.monotonic() < deadline_at:
        time.sleep(0.05)
    assert multiprocessing.active_children() == []


@pytest.fixture(scope="module")
def ray_session():
    try:
        import ray
    except ImportError:
        pytest.skip("Ray is not installed: pip install 'orvane[ray]'")
    from ray import cloudpickle

    # Ray workers do not see tests/ on their path: ship this module's functions.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    started = not ray.is_initialized()
    if started:
        ray.init(num_cpus=2, include_dashboard=False, logging_level="warning",
                 object_store_memory=256 * 2**20)
    yield ray
    cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
    if started:
        ray.shutdown()


def fragile(market, mode="ok", lookback=63):
    """momentum, or a run that raises, exits or is killed, as ``mode`` says."""
    if mode == "raise":
        raise ValueError("boom at lookback %d" % lookback)
    if mode == "exit":
        os._exit(3)
    if mode == "kill":
        os.kill(os.getpid(), signal.SIGKILL)
    if mode == "sleep":
        time.sleep(60)
    return datasets.momentum(market, lookback=lookback, top=5, bottom=5)


def momentum(market, lookback=63, rebalance="M"):
    return datasets.momentum(market, lookback=lookback, top=5, bottom=5,
                             rebalance=rebalance)


def lookback_of(market, lookback=None):
    """momentum with NaN and None as two values of its own (42 and 21 bars)."""
    bars = 21 if lookback is None else 42 if lookback != lookback else int(lookback)
    return momentum(market, lookback=bars)


def same(a, b):
    if pd.isna(a) is True or pd.isna(b) is True:
        return pd.isna(a) is True and pd.isna(b) is True
    return a == b


def check_rows(res, market, strategy, keep):
    """Every row against its own sequential orvane.backtest, bit for bit."""
    for i, params in enumerate(res.params):
        options = {k: v for k, v in params.items() if k in ("stop_loss", "rebalance")}
        run = orvane.backtest(strategy(market, **{k: v for k, v in params.items()
                                                  if k != "stop_loss"}), market, **options)
        expected = run.stats()
        row = res.table.iloc[i]
        assert row["error"] is None
        assert row["warnings"] == ("; ".join(run.warnings) or None)
        for name, value in expected.items():
            assert same(row[name], value), (params, name, row[name], value)
        if "equity" in keep:
            # Price dates for every run, NaN before the run is live.
            curve = res.equity.iloc[:, i]
            np.testing.assert_array_equal(curve.dropna().to_numpy(), run.equity.to_numpy())
            assert curve.dropna().index.equals(run.equity.index)
            assert res.equity.index.equals(run.full_equity.index)
        if "trades" in keep:
            pd.testing.assert_frame_equal(res.trades(i), run.trades, check_exact=True)


@pytest.mark.parametrize("executor", ["sequential", "process", "ray"])
def test_rows_equal_sequential_backtests(executor, market, no_leaks, request):
    if executor == "ray":
        request.getfixturevalue("ray_session")
    keep = ("stats", "equity", "trades")
    with deadline(120):
        res = sweep(market, GRID, strategy=momentum, keep=keep, workers=2,
                    executor=executor, progress=False)
    assert res.table.index.names == ["lookback", "stop_loss", "rebalance"]
    assert len(res) == 8 and res.table["error"].isna().all()
    check_rows(res, market, momentum, keep)
    # The strategy parameter reached the strategy: other signals, other books.
    by_lookback = res.table["total_return"].groupby(level="lookback").apply(tuple)
    assert by_lookback[21] != by_lookback[63]
    assert list(res.equity.columns) == list(res.table.index)
    assert res.trades(lookback=63, stop_loss=0.05, rebalance="W").equals(res.trades(7))
    with pytest.raises(KeyError, match="4 runs match"):
        res.trades(lookback=63)


class Ref:
    def __init__(self, value):
        self.value = value


class NewestFirstRay:
    """Ray as ``_ray`` uses it, in this process: each call runs when sent, and ``wait``
    hands over the newest finished call (Ray may hand over any finished one)."""

    exceptions = types.SimpleNamespace(RayActorError=type("RayActorError", (Exception,), {}),
                                       WorkerCrashedError=type("WorkerCrashed", (Exception,), {}))

    def __init__(self):
        self.handed = []

    @staticmethod
    def is_initialized():
        return True

    @staticmethod
    def cluster_resources():
        return {"CPU": 2}

    @staticmethod
    def put(value):
        return value

    @staticmethod
    def kill(handle):
        pass

    def remote(self, **options):
        def wrap(cls):
            class Method:
                def __init__(self, bound):
                    self.remote = lambda *args: Ref(bound(*args))

            class Handle:
                def __init__(self, *args):
                    self.run = Method(cls(*args).run)

            return types.SimpleNamespace(remote=Handle)
        return wrap

    def wait(self, refs, num_returns, timeout):
        self.handed.append(len(refs))
        return refs[-1:], refs[:-1]

    @staticmethod
    def get(ref):
        return ref.value


def test_a_ray_that_hands_over_answers_newest_first_gives_every_run_its_row(market,
                                                                            monkeypatch):
    from orvane.sweep import _ray

    fake = NewestFirstRay()
    monkeypatch.setattr(_ray, "import_ray", lambda: fake)
    keep = ("stats", "equity", "trades")
    res = sweep(market, GRID, strategy=momentum, keep=keep, workers=2, executor="ray",
                progress=False)
    # Both calls of an actor were in flight, and the later one was handed over first.
    assert max(fake.handed) >= 3
    check_rows(res, market, momentum, keep)


@pytest.mark.parametrize("executor", ["process", "ray"])
def test_failures_and_dead_workers_become_rows(executor, market, no_leaks, request):
    if executor == "ray":
        request.getfixturevalue("ray_session")
    modes = ["ok", "raise", "exit", "ok", "kill", "ok"]
    with deadline(120):
        res = sweep(market, [{"mode": m} for m in modes], strategy=fragile, workers=2,
                    executor=executor, progress=False, keep=("stats", "result"))
    errors = res.table["error"]
    assert list(res.table.index) == modes
    assert errors.iloc[1] == "ValueError: boom at lookback 63"
    assert "in fragile" in res.traceback(1) and res.traceback(0) is None
    if executor == "process":
        assert "exit code 3" in errors.iloc[2]
        assert "exit code -9 (SIGKILL)" in errors.iloc[4]
    else:
        assert errors.iloc[2].startswith("Ray actor died")
        assert errors.iloc[4].startswith("Ray actor died")
    assert errors.iloc[[0, 3, 5]].isna().all()
    assert res.table["total_return"].iloc[[1, 2, 4]].isna().all()
    expected = orvane.backtest(fragile(market), market).stats()["total_return"]
    assert (res.table["total_return"].iloc[[0, 3, 5]] == expected).all()
    assert res.result(3).stats()["total_return"] == expected and res.result(4) is None
    assert np.isnan(res.seconds.iloc[2]) and res.seconds.iloc[0] > 0
    # Dead workers were replaced: the later runs ran elsewhere.
    assert res.timings["worker"].iloc[[0, 3, 5]].nunique() >= 2
    assert res.timings["started"].iloc[[0, 3, 5]].notna().all()


@pytest.mark.parametrize("executor, mode, error", [
    ("sequential", "raise", ValueError),
    ("process", "raise", ValueError),
    ("process", "kill", WorkerLostError),
])
def test_errors_raise_stops_at_the_first_failure(executor, mode, error, market, no_leaks):
    with deadline(60), pytest.raises(error, match="boom|SIGKILL"):
        sweep(market, {"mode": ["ok", mode, "ok", "ok"]}, strategy=fragile, workers=2,
              executor=executor, progress=False, errors="raise")


def test_interrupted_sweep_stops_workers_and_unlinks(market, no_leaks):
    """Ctrl-C mid-sweep: busy workers are stopped and the segment is unlinked."""
    with pytest.raises(KeyboardInterrupt), deadline(4, KeyboardInterrupt):
        sweep(market, {"mode": ["sleep"] * 4}, strategy=fragile, workers=2,
              executor="process", progress=False)


def test_a_sweep_pool_serves_many_sweeps(market, no_leaks):
    other = datasets.synthetic_market(stocks=30, years=1, seed=4)
    grid = {"lookback": [21, 42]}
    with deadline(120), SweepPool(workers=2) as pool:
        first = sweep(market, grid, strategy=momentum, executor=pool, progress=False)
        # The market stays placed for the next sweep, and only one is kept.
        kept = segments()
        assert len(kept) == 1
        second = sweep(market, {"mode": ["ok", "kill", "ok", "ok"]}, strategy=fragile,
                       executor=pool, progress=False)
        assert segments() == kept
        # Rebound to another market: still the rows of a sequential sweep.
        third = sweep(other, grid, strategy=momentum, executor=pool, progress=False)
        assert len(segments()) == 1 and segments() != kept
    assert set(first.timings["worker"]) & set(second.timings["worker"])
    assert "SIGKILL" in second.table["error"].iloc[1]
    assert second.table["error"].drop(second.table.index[1]).isna().all()
    assert third.table.equals(sweep(other, grid, strategy=momentum, workers=1,
                                    progress=False).table)
    assert not first.table.equals(third.table)
    with pytest.raises(ValueError, match="closed"):
        sweep(market, grid, strategy=momentum, executor=pool)


def remove_segments(owner):
    """What a clean-up of /dev/shm does to process ``owner``'s segments."""
    for name in os.listdir("/dev/shm"):
        if name.startswith(f"orvane-{owner}-"):
            os.unlink(os.path.join("/dev/shm", name))


def vanishing(market, owner, lookback=63):
    """momentum, after removing the sweeping process's segments."""
    remove_segments(owner)
    return momentum(market, lookback=lookback)


@pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="segments live in /dev/shm here")
def test_a_segment_removed_while_a_sweep_runs_costs_nothing(market, no_leaks):
    grid = {"owner": [os.getpid()], "lookback": [21, 42, 63]}
    with deadline(120):
        # One worker, bound before its first run removes the segment: the clean-up's
        # unlink raised, and every result was lost.
        res = sweep(market, grid, strategy=vanishing, workers=1, executor="process",
                    progress=False)
        assert res.table.equals(sweep(market, grid, strategy=vanishing, workers=1,
                                      progress=False).table)
        kills = {"mode": ["kill", "ok", "ok"]}
        with SweepPool(workers=2) as pool:
            sweep(market, kills, strategy=fragile, executor=pool, progress=False)
            remove_segments(os.getpid())
            # The kept market is placed again, so the worker started after the
            # death can map it; closing the pool frees what is left.
            again = sweep(market, kills, strategy=fragile, executor=pool, progress=False)
    assert "SIGKILL" in again.table["error"].iloc[0]
    assert again.table["error"].iloc[1:].isna().all()


def test_a_sweep_pool_checks_its_kept_market_again(no_leaks, monkeypatch):
    """A later sweep on the same market reuses its placement and checks; other fixed
    weights or an edit in place are seen, and every table is a sequential sweep's."""
    import copy

    from orvane import inputs

    market = datasets.synthetic_market(stocks=30, years=1, seed=5)
    original = copy.deepcopy(market)
    weights = momentum(market)
    prepared = []
    real = inputs.prepare_prices
    monkeypatch.setattr(inputs, "prepare_prices", lambda m: prepared.append(1) or real(m))
    grid = {"stop_loss": [None, 0.05, 0.1]}

    def pooled(**kwargs):
        return sweep(market, grid, executor=pool, progress=False, **kwargs).table

    with deadline(120), SweepPool(workers=2) as pool:
        first = pooled(weights=weights)
        kept = segments()
        again = pooled(weights=weights)
        # Neither checked nor placed again.
        assert len(prepared) == 1 and segments() == kept
        on_strategy = pooled(strategy=momentum)
        assert len(prepared) == 2 and segments() != kept
        kept = segments()
        # A price edited in place: checked again, and the runs see it.
        market.close.iloc[100:, 3] *= 1.5
        edited = pooled(strategy=momentum)
        assert len(prepared) == 3 and segments() != kept
        # An edit the checks refuse is refused again, not run on the old market.
        bad = copy.deepcopy(market)
        market.close.iloc[50, 0] = -1.0
        with pytest.raises(ValueError, match="positive"):
            pooled(strategy=momentum)

    def alone(m, **kwargs):
        return sweep(m, grid, workers=1, progress=False, **kwargs).table

    assert first.equals(alone(original, weights=weights)) and again.equals(first)
    assert on_strategy.equals(alone(original, strategy=momentum))
    assert edited.equals(alone(bad, strategy=momentum)) and not edited.equals(on_strategy)


def sweep_in_a_pool_worker(args):
    """A sweep (or a SweepPool) made inside a daemonic process: what it gave or raised,
    and the texts of its warnings."""
    market, kwargs = args
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            if kwargs.pop("pool", False):
                SweepPool(workers=2)
            res = sweep(market, {"stop_loss": [None, 0.05]}, weights=momentum(market),
                        progress=False, **kwargs)
        except (ValueError, TypeError) as exc:
            return str(exc), None, []
    return None, res.table, [str(w.message) for w in caught if "runs warned" not in str(w.message)]


@pytest.mark.parametrize("kwargs, error, warned", [
    ({"workers": 2}, None, True),
    ({"executor": "process"}, None, True),
    ({"workers": 1}, None, False),
    ({"workers": 2, "timeout": 30}, r"timeout needs runs in worker processes, which can be "
                                    r"stopped, but this process is daemonic", False),
    ({"pool": True}, r"SweepPool cannot start its workers here: this process is daemonic", False),
], ids=["workers", "process executor", "in-process", "timeout", "SweepPool"])
def test_a_sweep_inside_a_pool_worker_runs_in_that_process(kwargs, error, warned, market, no_leaks):
    if "fork" not in multiprocessing.get_all_start_methods():
        pytest.skip("needs fork to start the pool's worker from this test module")
    with deadline(120), multiprocessing.get_context("fork").Pool(1) as pool:
        message, table, texts = pool.map(sweep_in_a_pool_worker, [(market, kwargs)])[0]
    if error:
        assert re.match(error, message) and table is None
        return
    assert message is None
    assert [t for t in texts if "daemonic" in t] == (
        ["the sweep runs in this process: this process is daemonic (a worker of a "
         "multiprocessing pool, say), and daemonic processes may not start worker processes; "
         "the results are the same (pass workers=1 to say so)"] if warned else [])
    expected = sweep(market, {"stop_loss": [None, 0.05]}, weights=momentum(market), workers=1,
                     progress=False).table
    pd.testing.assert_frame_equal(table, expected)


@pytest.mark.parametrize("executor", [
    ThreadPoolExecutor, ThreadPoolExecutor(1), ThreadPool, "threads"],
    ids=["ThreadPoolExecutor", "ThreadPoolExecutor()", "ThreadPool", "threads"])
def test_thread_pools_are_refused(executor, market):
    with pytest.raises(TypeError, match="per-process state"):
        sweep(market, {"lookback": [21]}, strategy=momentum, executor=executor)
    if isinstance(executor, ThreadPoolExecutor):
        executor.shutdown()


@pytest.mark.parametrize("grid, kwargs, message", [
    ({"stop_los": [0.1]}, {}, r"unknown parameter 'stop_los' \(did you mean 'stop_loss'\?\)"),
    ({"lookback": [21], "speed": [1]}, {}, "unknown parameter 'speed'"),
    ({"lookback": [21]}, {"strategy": None}, "unknown parameter 'lookback'"),
    ({"stop_loss": []}, {}, "no values for 'stop_loss'"),
    ([{"stop_loss": 0.1}, 3], {}, "item 1 is int"),
    ({"lookback": [21]}, {"keep": ("stats", "curves")}, "keep must .*unknown part 'curves'"),
    ({"lookback": [21]}, {"workers": 0}, "workers must be a whole number of processes, at least 1, got 0"),
    ({"lookback": [21]}, {"errors": "ignore"}, "errors must be 'store' or 'raise'"),
    ({}, {}, "grid must name at least one parameter, got an empty mapping"),
    ({"stop_loss": range(10**12)}, {}, r"grid must expand to at most 10,000,000 runs, got "
     r"1,000,000,000,000 \(values per parameter: 'stop_loss' 1,000,000,000,000\); sweep fewer"),
    ({"lookback": [21], "stop_loss": range(2**80)}, {}, r"got 1,208,925,819,614,629,174,706,176 "),
    ({"lookback": [21]}, {"timeout": 0}, "timeout must be a number of seconds above 0, got 0"),
    ({"lookback": [21]}, {"timeout": 5, "executor": "sequential"}, "timeout needs runs in worker"),
    ({"lookback": [21]}, {"weights": pd.DataFrame()}, "exactly one of strategy"),
    ({"lookback": [21]}, {"store": ""}, r"store must not be empty, got ''; name the SQLite file"),
    ({"lookback": [21, 63]}, {"strategy": lambda market, lookback: None, "workers": 2},
     "pickled.*define it at module level"),
])
def test_bad_arguments_name_what_is_wrong(grid, kwargs, message, market):
    kwargs.setdefault("strategy", momentum)
    if kwargs["strategy"] is None:
        kwargs["weights"] = momentum(market)
    with pytest.raises((ValueError, TypeError), match=message):
        sweep(market, grid, progress=False, **kwargs)


@pytest.mark.parametrize("grid, runs, refused", [
    ({"a": range(10), "b": [1, 2], "c": np.arange(5)}, 100, False),
    ({"a": range(0, 101, 1)}, 101, True),
    ({"a": range(11), "b": np.arange(10), "c": "fixed"}, 110, True),
    ({"a": range(100, 0, -1)}, 100, False),
    ([{"a": i} for i in range(101)], 101, True),
], ids=["at the limit", "one past", "product past", "counting down", "list past"])
def test_grids_past_the_run_limit_are_refused_before_expanding(grid, runs, refused, monkeypatch):
    monkeypatch.setattr(grid_module, "MAX_RUNS", 100)
    if refused:
        with pytest.raises(ValueError, match=rf"grid must (expand to|hold) at most 100 runs, got {runs}"):
            expand_grid(grid)
    else:
        assert len(expand_grid(grid)[1]) == runs


@pytest.fixture(scope="module")
def nan_grid(market):
    return sweep(market, {"lookback": [np.nan, 63, None]}, strategy=lookback_of, workers=1,
                 keep=("stats", "trades"), progress=False)


@pytest.mark.parametrize("value, run", [
    (np.nan, 0), (float("nan"), 0), (np.float32("nan"), 0), (63, 1), (63.0, 1), (None, 2),
])
def test_a_run_is_chosen_by_its_values_nan_included(nan_grid, value, run):
    assert nan_grid.table["error"].isna().all()
    assert not nan_grid.trades(run).equals(nan_grid.trades((run + 1) % 3))
    pd.testing.assert_frame_equal(nan_grid.trades(lookback=value), nan_grid.trades(run))


def test_grid_expansion_and_index(market):
    names, runs = expand_grid({"a": [1, 2], "b": "M", "c": (None, 0.1)})
    assert names == ["a", "b", "c"]
    assert runs == [{"a": 1, "b": "M", "c": None}, {"a": 1, "b": "M", "c": 0.1},
                    {"a": 2, "b": "M", "c": None}, {"a": 2, "b": "M", "c": 0.1}]
    # A list of dicts runs as given; a missing name is the default (None in the index).
    weights = momentum(market)
    res = sweep(market, [{"stop_loss": 0.05}, {"rebalance": ["2020-06-30", "2021-06-30"]}],
                weights=weights, workers=1, progress=False)
    assert res.table.index.names == ["stop_loss", "rebalance"]
    assert res.table.index[1][1] == ("2020-06-30", "2021-06-30")
    assert res.params[1] == {"rebalance": ["2020-06-30", "2021-06-30"]}
    weights.iloc[-1, 0] = np.nan
    with pytest.warns(UserWarning, match="2 of 2 runs warned .*the first: .*NaN"):
        one = sweep(market, {"stop_loss": [0.05, 0.1]}, weights=weights, workers=1,
                    progress=False)
    assert isinstance(one.table.index, pd.Index) and one.table.index.name == "stop_loss"
    assert one.table.loc[0.1, "total_return"] == orvane.backtest(
        weights, market, stop_loss=0.1).stats()["total_return"]
    with pytest.raises(ValueError, match="equity curves were not kept"):
        one.equity


class _Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("progress, tty, shown", [
    (True, True, True), (False, True, False), (True, False, False)])
def test_progress_bar_only_on_a_terminal(progress, tty, shown, market, monkeypatch):
    stream = _Terminal() if tty else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)
    sweep(market, {"stop_loss": [0.05, 0.1]}, weights=momentum(market), workers=1,
          progress=progress)
    text = stream.getvalue()
    assert ("2/2" in text and "run" in text) == shown
    assert (text != "") == shown


def test_workers_map_one_read_only_copy(market, no_leaks):
    from orvane.sweep._shm import SharedPayload, attach

    with SharedPayload({"market": market}) as payload:
        shm, rebuilt = attach(payload.handle)
        base = np.frombuffer(shm.buf, dtype=np.uint8)
        for field in ("open", "high", "low", "close"):
            values = rebuilt["market"][field].to_numpy()
            assert not values.flags.writeable
            assert np.shares_memory(values, base)
            pd.testing.assert_frame_equal(rebuilt["market"][field], market[field])
        del rebuilt, values, base
        shm.close()


def test_views_of_one_memory_are_placed_once(market, no_leaks):
    # The prepared prices are views of the market's frames: one copy serves both, and
    # they stay views of one place in the segment.
    from orvane.inputs import prepare_prices
    from orvane.sweep._shm import SharedPayload, attach

    prices = prepare_prices(market)
    alone = SharedPayload({"market": market})
    try:
        with SharedPayload({"market": market, "prices": prices}) as payload:
            assert payload.shm.size == alone.shm.size
            shm, rebuilt = attach(payload.handle)
            for field in ("open", "high", "low", "close"):
                frame, array = rebuilt["market"][field], rebuilt["prices"].arrays[field]
                assert np.shares_memory(frame.to_numpy(), array)
                np.testing.assert_array_equal(array, prices.arrays[field])
            del rebuilt, frame, array
            shm.close()
    finally:
        alone.release()


def test_a_market_larger_than_free_shared_memory_is_refused(market, monkeypatch, no_leaks):
    # Writing past a full /dev/shm would be a SIGBUS; the sweep must refuse first.
    tiny = os.statvfs_result((4096, 4096, 10, 10, 10, 0, 0, 0, 0, 255))
    monkeypatch.setattr(os, "statvfs", lambda path: tiny)
    with deadline(60), pytest.raises(MemoryError, match="MB of shared memory"):
        sweep(market, {"lookback": [21, 42]}, strategy=momentum, workers=2,
              progress=False)


class DiesWhenUnpickled:
    """A strategy whose unpickling ends the process: workers die as they bind."""

    def __call__(self, market, **params):
        return momentum(market)

    def __reduce__(self):
        return os._exit, (3,)


class RaisesWhenUnpickled(DiesWhenUnpickled):
    """A strategy whose unpickling raises: binding a worker fails with a traceback."""

    def __reduce__(self):
        return operator.truediv, (1, 0)


@pytest.mark.parametrize("executor, strategy, message", [
    ("process", DiesWhenUnpickled(), r"die while starting \(exit code 3\).*__main__"),
    ("process", RaisesWhenUnpickled(), "could not start:.*ZeroDivisionError"),
    ("ray", RaisesWhenUnpickled(), "Ray actors fail to start"),
])
def test_workers_that_cannot_start_stop_the_sweep(executor, strategy, message, market,
                                                  no_leaks, request):
    if executor == "ray":
        request.getfixturevalue("ray_session")
    with deadline(120), pytest.raises(RuntimeError, match=re.compile(message, re.S)):
        sweep(market, {"lookback": [21, 42, 63, 84]}, strategy=strategy, workers=2,
              executor=executor, progress=False)


class ScriptedBackend:
    """Workers numbered in start order; each ``events()`` call plays the next step."""

    def __init__(self, workers, depth_before_answer, steps):
        self.workers = workers
        self.depth_before_answer = depth_before_answer
        self.live = []
        self.started = []
        self.sent = []
        self.steps = iter(steps)

    def start_worker(self):
        worker = Slot()
        self.started.append(worker)
        self.live.append(worker)
        return worker

    def send(self, worker, run, task):
        assert run == task, "the scripted tasks are their own indexes"
        self.sent.append((self.started.index(worker), task))

    def events(self):
        for number, event in next(self.steps):
            worker = self.started[number]
            if isinstance(event, Died):
                self.live.remove(worker)
            yield worker, event


FAILED = [RuntimeError(f"start failure {i}") for i in range(3)]


@pytest.mark.parametrize("workers, depth, tasks, steps, sent, outcomes, error", [
    # Pool-like: runs go out two deep once a worker is bound; a death costs the running
    # run, its unstarted run goes back to the front, a replacement takes over.
    (2, 0, 6,
     [[(0, Ready())], [(1, Ready())], [(0, Done(0, "a"))], [(1, Died("killed", None))],
      [(2, Ready())], [(0, Done(1, "b")), (0, Done(4, "c"))],
      [(2, Done(3, "d")), (2, Done(5, "e"))]],
     [(0, 0), (0, 1), (1, 2), (1, 3), (0, 4), (2, 3), (2, 5)],
     [(0, "done", "a"), (2, "lost", "killed"), (1, "done", "b"), (4, "done", "c"),
      (3, "done", "d"), (5, "done", "e")], None),
    # Ray-like: one call before the first answer, two after.
    (2, 1, 5,
     [[(0, Done(0, "a"))], [(1, Died("crashed", None))], [(0, Done(2, "b"))],
      [(0, Done(3, "c"))], [(2, Done(4, "d"))]],
     [(0, 0), (1, 1), (0, 2), (0, 3), (2, 4)],
     [(0, "done", "a"), (1, "lost", "crashed"), (2, "done", "b"), (3, "done", "c"),
      (4, "done", "d")], None),
    # Three start failures in a row raise the third one's error.
    (1, 1, 4,
     [[(0, Died("x", FAILED[0]))], [(1, Died("y", FAILED[1]))], [(2, Died("z", FAILED[2]))]],
     [(0, 0), (1, 1), (2, 2)],
     [(0, "lost", "x"), (1, "lost", "y")], FAILED[2]),
    # An answer in between starts the count again; a worker that held nothing costs no
    # run, and nothing left to run starts no replacement.
    (2, 0, 2,
     [[(0, Died("", FAILED[0]))], [(1, Died("", FAILED[1]))], [(2, Ready())],
      [(3, Died("", FAILED[2]))], [(2, Done(0, "a")), (2, Done(1, "b"))]],
     [(2, 0), (2, 1)],
     [(0, "done", "a"), (1, "done", "b")], None),
], ids=["pool", "ray", "start-failures", "answer-resets"])
def test_the_shared_loop_schedules_replaces_and_gives_up(workers, depth, tasks, steps,
                                                         sent, outcomes, error):
    backend = ScriptedBackend(workers, depth, steps)
    seen = []
    try:
        for outcome in schedule(backend, list(range(tasks))):
            seen.append(tuple(outcome))
    except RuntimeError as exc:
        assert exc is error
    else:
        assert error is None
    assert backend.sent == sent
    assert seen == outcomes
    assert len(backend.started) == len({n for step in steps for n, _ in step})


@pytest.mark.parametrize("steps, outcomes", [
    # Answers in another order than sent (Ray hands over whichever call finished): each
    # payload goes to the run it names.
    ([[(0, Ready())], [(0, Done(1, "b")), (0, Done(0, "a"))], [(0, Done(3, "d"))],
      [(0, Done(2, "c"))]],
     [(1, "done", "b"), (0, "done", "a"), (3, "done", "d"), (2, "done", "c")]),
    # A death after an early answer costs the run still held, not the one answered.
    ([[(0, Ready())], [(0, Done(1, "b"))], [(0, Died("gone", None))], [(1, Ready())],
      [(1, Done(3, "d")), (1, Done(2, "c"))]],
     [(1, "done", "b"), (0, "lost", "gone"), (3, "done", "d"), (2, "done", "c")]),
], ids=["out-of-order", "death-after-early-answer"])
def test_answers_in_any_order_land_on_their_own_rows(steps, outcomes):
    seen = [tuple(o) for o in schedule(ScriptedBackend(1, 0, steps), list(range(4)))]
    assert seen == outcomes


@pytest.mark.parametrize("steps, run", [
    ([[(0, Ready()), (1, Ready())], [(0, Done(7, "x"))]], 7),   # never sent
    ([[(0, Ready()), (1, Ready())], [(0, Done(2, "x"))]], 2),   # another worker's
    ([[(0, Ready()), (1, Ready())], [(0, Done(0, "a")), (0, Done(0, "x"))]], 0),  # twice
], ids=["unsent", "other-worker", "twice"])
def test_an_answer_for_a_run_the_worker_does_not_hold_is_an_error(steps, run):
    rows = []
    with pytest.raises(RuntimeError, match=rf"answered for run {run}\b.*mixed up"):
        for outcome in schedule(ScriptedBackend(2, 0, steps), list(range(4))):
            rows.append(outcome.run)
    assert run not in rows[1:]


def test_a_dead_workers_unstarted_runs_go_back_in_order(monkeypatch):
    monkeypatch.setattr(scheduler, "DEPTH", 3)
    steps = [[(0, Ready())], [(0, Died("gone", None))], [(1, Ready())],
             [(1, Done(1, "b")), (1, Done(2, "c")), (1, Done(3, "d"))]]
    backend = ScriptedBackend(1, 0, steps)
    seen = [tuple(o) for o in schedule(backend, list(range(4)))]
    assert backend.sent == [(0, 0), (0, 1), (0, 2), (1, 1), (1, 2), (1, 3)]
    assert seen == [(0, "lost", "gone"), (1, "done", "b"), (2, "done", "c"),
                    (3, "done", "d")]


def slow(market, pause=0.0, lookback=63):
    """momentum after ``pause`` seconds (a run that never ends: a long pause)."""
    time.sleep(pause)
    return datasets.momentum(market, lookback=lookback, top=5, bottom=5)


@pytest.mark.parametrize("executor", ["process", "ray"])
def test_a_run_past_the_timeout_becomes_a_row_and_the_sweep_goes_on(executor, market, no_leaks,
                                                                      request):
    if executor == "ray":
        request.getfixturevalue("ray_session")
    grid = {"pause": [0.0, 600.0, 0.0, 0.0], "lookback": [21]}
    started = time.monotonic()
    with deadline(120):
        res = sweep(market, grid, strategy=slow, executor=executor, workers=2, timeout=8,
                    progress=False)
    errors = res.table["error"]
    assert errors.iloc[1].startswith("run stopped after the timeout of 8 s")
    assert errors.drop(errors.index[1]).isna().all()
    assert time.monotonic() - started < 100


def test_workers_beyond_the_runs_are_not_started_and_beyond_the_cores_warn(market, no_leaks,
                                                                          monkeypatch):
    from orvane.sweep import _executors as executors

    monkeypatch.setattr(executors, "usable_cores", lambda: 2)
    with pytest.warns(UserWarning, match=r"workers=4 is more than the 2 usable cores"):
        res = sweep(market, {"lookback": [21, 42, 63, 84]}, strategy=momentum,
                    workers=10**6, progress=False, keep=())
    assert res.timings["worker"].nunique() <= 4


PARENT = """
import sys, time
import orvane
from orvane import datasets
sys.path.insert(0, {tests!r})
import test_sweep

if __name__ == "__main__":
    market = datasets.synthetic_market(stocks=20, years=1, seed=1)
    print("sweeping", flush=True)
    orvane.sweep(market, {{"pause": [600.0, 600.0]}}, strategy=test_sweep.slow, workers=2,
                 progress=False)
"""


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM])
def test_workers_and_segment_do_not_outlive_a_killed_parent(sig, tmp_path):
    import subprocess

    script = tmp_path / "parent.py"
    script.write_text(PARENT.format(tests=os.path.dirname(os.path.abspath(__file__))))
    parent = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    assert parent.stdout.readline().strip() == "sweeping"

    def workers():
        """The parent's multiprocessing descendants (workers may be its grandchildren,
        forked by a server process)."""
        parents, started = {}, set()
        for pid in os.listdir("/proc"):
            try:
                with open(f"/proc/{pid}/stat") as stat:
                    parents[int(pid)] = int(stat.read().rsplit(")", 1)[1].split()[1])
                with open(f"/proc/{pid}/cmdline", "rb") as cmd:
                    if b"multiprocessing" in cmd.read():
                        started.add(int(pid))
            except (OSError, ValueError, IndexError):
                continue
        found, frontier = [], {parent.pid}
        while frontier:
            frontier = {pid for pid, ppid in parents.items() if ppid in frontier}
            found += sorted(frontier & started)
        return found

    # Wait until the two workers run their endless runs and the segment exists.
    shm = f"orvane-{parent.pid}-"
    until = time.monotonic() + 60
    while time.monotonic() < until and (len(workers()) < 4 or not any(
            n.startswith(shm) for n in os.listdir("/dev/shm"))):
        time.sleep(0.1)
    children = workers()
    # Two workers, the resource tracker and the server the workers are forked from.
    assert len(children) >= 4, children
    time.sleep(1.0)
    os.kill(parent.pid, sig)
    parent.wait(30)
    until = time.monotonic() + 5
    while time.monotonic() < until and any(os.path.exists(f"/proc/{p}") and
                                            open(f"/proc/{p}/stat").read().split()[2] != "Z"
                                            for p in children):
        time.sleep(0.05)
    alive = [p for p in children if os.path.exists(f"/proc/{p}")
             and open(f"/proc/{p}/stat").read().split()[2] != "Z"]
    assert alive == []
    assert not any(n.startswith(shm) for n in os.listdir("/dev/shm"))


STORED = """
import sys
import orvane
from orvane import datasets
sys.path.insert(0, {tests!r})
import test_sweep

if __name__ == "__main__":
    market = datasets.synthetic_market(stocks=40, years=2, seed=3)
    orvane.sweep(market, {grid!r}, strategy=test_sweep.slow, workers=2, progress=False,
                 keep=("stats", "equity"), store={store!r})
"""
STORE_GRID = {"pause": [0.4], "lookback": [21, 42, 63], "stop_loss": [None, 0.05, 0.1, 0.2]}


@pytest.mark.parametrize("kill_after", [2, 7])
def test_a_killed_sweep_resumes_from_its_store_to_the_same_table(kill_after, market, tmp_path):
    import sqlite3
    import subprocess

    path = tmp_path / "runs.sqlite"
    script = tmp_path / "sweeper.py"
    script.write_text(STORED.format(tests=os.path.dirname(os.path.abspath(__file__)),
                                    grid=STORE_GRID, store=str(path)))
    child = subprocess.Popen([sys.executable, str(script)], stderr=subprocess.DEVNULL)

    def stored():
        try:
            with contextlib.closing(sqlite3.connect(f"file:{path}?mode=ro", uri=True)) as db:
                return db.execute("SELECT count(*) FROM runs").fetchone()[0]
        except sqlite3.Error:
            return 0

    until = time.monotonic() + 120
    while stored() < kill_after and child.poll() is None and time.monotonic() < until:
        time.sleep(0.02)
    child.kill()
    child.wait(30)
    assert 0 < stored() < 12
    grid = {**STORE_GRID, "pause": [0.0]}
    with pytest.raises(ValueError, match=r"holds runs of another sweep: its grid differs"):
        sweep(market, grid, strategy=slow, workers=1, progress=False, keep=("stats", "equity"),
              store=path)
    resumed = sweep(market, STORE_GRID, strategy=slow, workers=1, progress=False,
                    keep=("stats", "equity"), store=path)
    whole = sweep(market, STORE_GRID, strategy=slow, workers=1, progress=False,
                  keep=("stats", "equity"))
    pd.testing.assert_frame_equal(resumed.table, whole.table)
    pd.testing.assert_frame_equal(resumed.equity, whole.equity)
    # Everything is stored now: a third call runs nothing, every row comes from the store.
    before = pd.Timestamp.now(tz="UTC")
    again = sweep(market, STORE_GRID, strategy=slow, workers=1, progress=False,
                  keep=("stats", "equity"), store=path)
    pd.testing.assert_frame_equal(again.table, whole.table)
    assert (again.timings["started"] < before).all()


def test_a_value_that_holds_itself_is_labelled_and_refused_by_its_run(market):
    looped = [0.1]
    looped.append(looped)
    table = sweep(market, {"stop_loss": [looped, 0.1]}, weights=datasets.momentum(market),
                  workers=1, progress=False).table
    assert table["error"].iloc[0].startswith("TypeError: stop_loss must be a fraction")
    assert table["error"].iloc[1] is None and str(table.index[0]).startswith("(0.1, (0.1,")


def test_labels_of_several_kinds_index_the_table_in_grid_order(market):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        table = sweep(market, {"stop_loss": np.array([0.1, 0.2]),
                               "take_profit": [[0.1], {"x": [1]}]},
                      weights=datasets.momentum(market), workers=1, progress=False).table
    assert table.index.tolist() == [(0.1, (0.1,)), (0.1, "{'x': [1]}"), (0.2, (0.1,)),
                                    (0.2, "{'x': [1]}")]
    assert table["error"].str.startswith("TypeError: take_profit must be a fraction").all()


def test_an_integer_beyond_any_float_labels_its_run_and_is_refused_by_it(market):
    table = sweep(market, {"stop_loss": [10**100, 0.1]}, weights=datasets.momentum(market),
                  workers=1, progress=False).table
    assert table.index[0] == 10**100
    assert table["error"].iloc[0].startswith("ValueError: stop_loss must be a fraction")
    assert table["error"].iloc[1] is None


def interrupting(market, owner, once, lookback=63):
    """momentum, but Ctrl-C reaches the sweeping process ``owner`` at lookback 63 while
    the file ``once`` exists (it is removed: the same sweep then resumes)."""
    if lookback == 63 and os.path.exists(once):
        os.remove(once)
        if owner == os.getpid():
            raise KeyboardInterrupt
        os.kill(owner, signal.SIGINT)
        time.sleep(30)
    return momentum(market, lookback=lookback)


@pytest.mark.parametrize("executor, store, line", [
    ("sequential", True, r"interrupted: 2 of 4 runs kept in .*runs\.sqlite; run the same "
                         r"sweep with the same store to resume"),
    ("sequential", False, r"interrupted: 2 of 4 runs finished, no store, the finished runs "
                          r"are lost: pass store= to keep them"),
    ("process", True, r"interrupted: [0-3] of 4 runs kept in .*runs\.sqlite; run the same "
                      r"sweep with the same store to resume"),
])
def test_ctrl_c_says_in_one_line_what_was_kept(executor, store, line, market, tmp_path,
                                               capsys, no_leaks):
    path = str(tmp_path / "runs.sqlite") if store else None
    once = tmp_path / "once"
    once.touch()
    grid = {"owner": [os.getpid()], "once": [str(once)], "lookback": [21, 42, 63, 84]}
    with deadline(120), pytest.raises(KeyboardInterrupt) as caught:
        sweep(market, grid, strategy=interrupting, executor=executor, workers=2,
              progress=False, store=path)
    assert re.fullmatch(line, capsys.readouterr().err.strip())
    # A short interrupt: nothing chained, only the sweep's own frame below the call.
    assert caught.value.__cause__ is None and caught.value.__suppress_context__
    assert len(traceback.extract_tb(caught.tb)) <= 2
    if store:
        resumed = sweep(market, grid, strategy=interrupting, workers=1, progress=False,
                        store=path)
        alone = sweep(market, grid, strategy=interrupting, workers=1, progress=False)
        assert resumed.table.equals(alone.table)
