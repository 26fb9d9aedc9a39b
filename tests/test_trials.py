"""The trial register: what it keeps comes back, it only grows, it refuses files that are
not its own without touching them, concurrent and killed writers lose no whole append, and
its trial counts (all, effective) deflate the best Sharpe ratio as the overfit module does."""

import dataclasses
import hashlib
import os
import re
import signal
import sqlite3
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets, trials
from orvane.stats import live_equity
from orvane.stats import overfit

pytestmark = pytest.mark.filterwarnings("ignore:weights. :UserWarning")

DATES = pd.bdate_range("2021-01-04", periods=400)


def curve(returns, dates=DATES):
    return pd.Series(100.0 * np.cumprod(1.0 + returns), index=dates[:len(returns)])


def noise(seed, shape, scale=0.01):
    return np.random.default_rng(seed).normal(0.0003, scale, shape)


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_round_trip(tmp_path):
    market = datasets.synthetic_market(stocks=12, years=1, seed=5)
    run = orvane.backtest(datasets.momentum(market, lookback=21, top=3), market)
    zoned = curve(noise(1, 300), pd.bdate_range("2022-03-01", periods=300, tz="America/New_York"))
    made = [trials.Trial.of(live_equity(run), strategy="a1", market="m1",
                            params={"top": np.int64(3), "on": np.bool_(True), "cap": 0.5,
                                    "rule": len, "miss": float("nan")}),
            trials.Trial.of(zoned, strategy="b2", params={}, market="m2")]
    # Measured as a run's own statistics are.
    stats = run.stats()
    for name in ("sharpe", "cagr", "total_return", "max_drawdown", "start", "end"):
        assert getattr(made[0], name) == stats[name], name
    with trials.open(tmp_path / "t.sqlite") as register:
        assert register.record(made) == 2
        table, back = register.frame(), register.returns()
    assert table["trial"].tolist() == [1, 2]
    assert table["strategy"].tolist() == ["a1", "b2"]
    assert table["market"].tolist() == ["m1", "m2"]
    assert table["params"][0] == ('{"top": 3, "on": true, "cap": 0.5, "rule": '
                                  '"<built-in function len>", "miss": "nan"}')
    assert table["bars"].tolist() == [made[0].bars, 299]
    for name in ("sharpe", "cagr", "total_return", "max_drawdown", "periods"):
        assert table[name].tolist() == [getattr(t, name) for t in made]
    # A zoned run keeps its wall-clock dates: the same bars as a naive run's.
    assert table["end"][1] == zoned.index[-1].tz_localize(None)
    assert str(table["recorded"].dt.tz) == "UTC"
    for trial, column in zip(made, (1, 2)):
        kept = back[column].dropna()
        assert (kept.index.asi8 == trial.dates).all()
        assert kept.dtype == np.float64
        assert (kept.to_numpy() == trial.returns.astype(np.float64)).all()
    assert back.shape == (len(back[1].dropna()) + 299, 2)


def test_append_only_across_opens(tmp_path):
    path = tmp_path / "t.sqlite"
    first = pd.Timestamp("2024-05-06 09:30", tz="UTC")
    made = [trials.Trial.of(curve(noise(s, 50)), strategy="s", params={"s": s}, market="m")
            for s in range(5)]
    with trials.open(path) as register:
        assert len(register) == 0 and register.since() is None
        register.record([dataclasses.replace(made[0], recorded=first)])
        register.record(made[1])
    with trials.open(path) as register:
        register.record(made[2:])
        assert len(register) == 5
        assert register.since() == first
        assert register.frame()["trial"].tolist() == [1, 2, 3, 4, 5]
    # Other tools cannot take trials back.
    db = sqlite3.connect(path)
    with pytest.raises(sqlite3.DatabaseError, match="append-only"):
        db.execute("DELETE FROM trials WHERE trial = 1")
    db.close()


def foreign_database(path):
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE prices (ticker TEXT, close REAL)")
        db.execute("INSERT INTO prices VALUES ('AAA', 1.5)")
    db.close()


def newer_register(path):
    trials.open(path).close()
    with sqlite3.connect(path) as db:
        db.execute("UPDATE meta SET value = '7' WHERE key = 'version'")
    db.close()


@pytest.mark.parametrize("make, cause", [
    (foreign_database, r"not a trial register \(its tables: prices\)"),
    (lambda p: p.write_bytes(b"date,close\n2024-01-02,1.5\n" * 40), "cannot be read as a SQLite"),
    (newer_register, "newer orvane .register layout 7"),
])
def test_foreign_files_are_refused_untouched(tmp_path, make, cause):
    path = tmp_path / "other.db"
    make(path)
    before, beside = digest(path), sorted(os.listdir(tmp_path))
    with pytest.raises(trials.RegisterError, match=re.escape(repr(str(path))) + ".*" + cause):
        trials.open(path)
    assert digest(path) == before
    assert sorted(os.listdir(tmp_path)) == beside


WRITER = """
import os, sys, time, numpy as np, pandas as pd
from orvane import trials
path, label, go = sys.argv[1:4]
count, each, stop = (int(a) for a in sys.argv[4:7])
open(f"{go}.{label}", "w").close()
while not os.path.exists(go):
    time.sleep(0.005)
rng = np.random.default_rng(abs(hash(label)) % 2**32)
dates = pd.bdate_range("2000-01-03", periods=300)
with trials.open(path) as register:
    if stop:
        # Held still inside the transaction, after its first rows, for the kill to come.
        db, rows = register._connection(), []
        db.set_trace_callback(lambda sql: rows.append(sql) if "INSERT INTO trials" in sql else 0)
        def hold():
            if len(rows) > stop and db.in_transaction:
                open(f"{go}.inside", "w").close()
                time.sleep(600)
            return 0
        db.set_progress_handler(hold, 10)
    for i in range(count):
        register.record([trials.Trial.of(
            pd.Series(100 * np.cumprod(1 + rng.normal(0, 0.01, 300)), index=dates),
            strategy=f"{label}-{i}", params={"i": i}, market="m") for _ in range(each)])
"""


def writers(tmp_path, labels, count, each=1, stop=0):
    """Writer processes, let go together once all of them are ready: each appends
    ``count`` times ``each`` trials, held still after ``stop`` rows if given."""
    procs = [subprocess.Popen([sys.executable, "-c", WRITER, str(tmp_path / "t.sqlite"), label,
                               str(tmp_path / "go"), str(count), str(each), str(stop)])
             for label in labels]
    deadline = time.monotonic() + 60
    while not all((tmp_path / f"go.{label}").exists() for label in labels):
        assert time.monotonic() < deadline and all(p.poll() is None for p in procs)
        time.sleep(0.01)
    (tmp_path / "go").touch()
    return procs


def test_two_processes_append_at_once(tmp_path):
    # Both create the register and then append 50 times, one trial per transaction.
    procs = writers(tmp_path, ("left", "right"), 50)
    assert [p.wait(timeout=120) for p in procs] == [0, 0]
    with trials.open(tmp_path / "t.sqlite") as register:
        made = register.frame()["strategy"]
    assert sorted(made) == sorted(f"{side}-{i}" for side in ("left", "right") for i in range(50))
    # They did take turns: the writers alternate in the recording order.
    sides = made.str.split("-").str[0]
    assert (sides != sides.shift()).sum() > 2


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="no SIGKILL here")
def test_killed_writer_leaves_whole_appends(tmp_path):
    # Appends of 5 trials, killed in the third after two of its rows went in.
    [proc] = writers(tmp_path, ["batch"], 10, each=5, stop=12)
    deadline = time.monotonic() + 60
    while not (tmp_path / "go.inside").exists():
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.01)
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=30)
    with trials.open(tmp_path / "t.sqlite") as register:
        kept = register.frame()
        back = register.returns()
    assert sorted(kept["strategy"]) == ["batch-0"] * 5 + ["batch-1"] * 5
    assert back.shape == (299, 10) and back.notna().all().all()


def copies(bars=1000, n=30, seed=0, jitter=1e-4):
    base = noise(seed, bars)
    return base[:, None] + noise(seed + 1, (bars, n), jitter)


@pytest.mark.parametrize("values, clusters, eigen", [
    # Measured: 1.003, and 28.4 to 28.7 over 20 seeds (chance correlations of 1,000 bars).
    (copies(), 1, (1.0, 1.05)),
    (noise(7, (1000, 30)), 30, (27.0, 30.0)),
    # Three ideas tried ten times each; one tried 60 times beside 10 others (3.3 and 10.7).
    (np.hstack([copies(seed=s, n=10, jitter=1e-3) for s in (1, 3, 5)]), 3, (2.9, 3.6)),
    (np.hstack([copies(n=60), noise(9, (1000, 10))]), 11, (10.0, 11.0)),
])
def test_effective_trials(values, clusters, eigen):
    frame = pd.DataFrame(values, index=pd.bdate_range("2015-01-01", periods=len(values)))
    assert trials.effective_trials(frame) == clusters
    assert eigen[0] <= trials.effective_trials(frame, method="eigen") <= eigen[1]


def test_too_few_common_bars_stand_alone(tmp_path):
    # Two copies of one series sharing 40 bars (fewer than 60): unlike, as are flat runs.
    base = noise(3, 400)
    with trials.open(tmp_path / "t.sqlite") as register:
        register.record([
            trials.Trial.of(curve(base[:221]), strategy="a", params={}, market="m"),
            trials.Trial.of(curve(base, DATES)[180:], strategy="a", params={}, market="m"),
            trials.Trial.of(curve(np.zeros(100)), strategy="flat", params={}, market="m")])
        assert register.returns([2, 1]).notna().all(axis=1).sum() == 40
        assert register.effective() == 2
        assert register.effective(min_bars=30) == 1


def test_deflated_best_against_everything_recorded(tmp_path):
    # Ten variants of one idea and ten other ideas, one recorded every three days.
    returns = np.hstack([copies(400, 10, seed=4, jitter=1e-3), noise(11, (400, 10))])
    made = [trials.Trial.of(curve(column), strategy=f"s{week % 2}", params={"w": week},
                            market="m") for week, column in enumerate(returns.T)]
    with trials.open(tmp_path / "t.sqlite") as register:
        for week, trial in enumerate(made):
            when = pd.Timestamp("2024-01-01", tz="UTC") + pd.Timedelta(days=3 * week)
            register.record(dataclasses.replace(trial, recorded=when))
        got = trials.deflated_best(register)
        more = trials.deflated_best(register, trials=200)
        fewer = trials.deflated_best(register, effective=True)
    # The overfit module's own numbers on the returns as stored (float32).
    stored = pd.DataFrame({i: t.returns.astype(np.float64) for i, t in enumerate(made, 1)})
    assert got == overfit.deflation(stored, trials=20)
    assert got.value == overfit.deflated_sharpe(stored, trials=20)
    assert more.value < got.value < fewer.value and fewer.trials == 11
    brief = trials.summary(tmp_path / "t.sqlite")
    assert brief.trials == 20 and brief.best == got.best
    assert brief.deflated is not None and brief.deflated.value == got.value
    assert brief.best_params == {"w": got.best - 1}
    assert brief.strategies["trials"].to_dict() == {"s0": 10, "s1": 10}
    assert brief.weeks.iloc[:3].tolist() == [3, 2, 2] and brief.weeks.sum() == 20


def test_active_register(tmp_path, monkeypatch):
    monkeypatch.delenv(trials.ENVIRONMENT, raising=False)
    try:
        assert trials.active() is None
        monkeypatch.setenv(trials.ENVIRONMENT, str(tmp_path / "env.sqlite"))
        assert os.listdir(tmp_path) == []
        assert trials.active().path == str(tmp_path / "env.sqlite")
        mine = trials.activate(tmp_path / "mine.sqlite")
        assert trials.active() is mine
        trials.deactivate()
        assert trials.active().path == str(tmp_path / "env.sqlite")
        monkeypatch.delenv(trials.ENVIRONMENT)
        assert trials.active() is None
    finally:
        trials.deactivate()
