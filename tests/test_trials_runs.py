"""Runs recorded in a trial register: sweeps record every run they try, a walk-forward its
train runs, a backtest only when asked; the deflated Sharpe counts every trial recorded;
reports and the command line say how many."""

import re
import subprocess
import sys
import warnings

import pytest

import orvane
from orvane import datasets, trials
from orvane.stats import overfit

MARKET = datasets.synthetic_market(stocks=20, years=2, seed=1, trend=0.2)
OTHER = datasets.synthetic_market(stocks=20, years=2, seed=2, trend=0.2)
SMALL = {"lookback": [21, 42], "top": [3, 5]}
LARGER = {"lookback": [21, 42, 63], "top": [3, 5], "skip": [0, 5]}


def sweep(market=MARKET, grid=SMALL, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.sweep(market, grid, strategy=datasets.momentum, workers=1,
                            progress=False, **options)


@pytest.fixture
def register(tmp_path):
    opened = trials.activate(tmp_path / "trials.sqlite")
    yield opened
    trials.deactivate()


def test_sweeps_and_a_walk_forward_add_up_in_one_register(register, tmp_path):
    first = sweep()
    assert len(register) == 4 and first.keep == ("stats",)
    with pytest.raises(ValueError, match="equity curves were not kept"):
        first.equity  # kept for the register only
    sweep(grid=LARGER, keep=("stats", "equity"))
    assert len(register) == 16
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        wf = orvane.walk_forward(MARKET, SMALL, strategy=datasets.momentum, train=189,
                                 test=63, workers=1, progress=False)
    assert len(register) == 16 + 4 * len(wf.windows)
    # Nothing without being asked: a sweep that says no, a backtest without register=.
    sweep(register=False)
    weights = datasets.momentum(MARKET)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        orvane.backtest(weights, MARKET)
        assert len(register) == 16 + 4 * len(wf.windows)
        one = orvane.backtest(weights, MARKET, stop_loss=0.1, register=register)
    frame = register.frame()
    assert len(frame) == 17 + 4 * len(wf.windows)
    last = frame.iloc[-1]
    assert last["strategy"].startswith("weights:") and '"stop_loss": 0.1' in last["params"]
    assert last["sharpe"] == pytest.approx(one.stats()["sharpe"], rel=1e-12)
    # The sweeps and the backtest ran on the same prices: one market; the walk-forward's
    # train windows are markets of their own.
    assert frame["market"].value_counts().iloc[0] == 17


def test_runs_read_back_from_a_store_are_not_recorded_again(register, tmp_path):
    store = tmp_path / "runs.sqlite"
    sweep(store=store)
    again = sweep(store=store)
    assert len(register) == 4 and again.table["sharpe"].notna().all()


def test_the_deflated_sharpe_counts_every_trial_recorded(register):
    sweep(grid=LARGER)
    sweep(market=OTHER, grid=LARGER)  # another market's trials are the researcher's too
    last = sweep(keep=("stats", "equity"))
    returns = overfit.bar_returns(last.equity)
    with pytest.warns(UserWarning, match=r"deflated for 28 trials: 28 trials recorded since"):
        counted = last.deflated_sharpe()
    assert counted == overfit.deflated_sharpe(returns, trials=28)
    assert counted < overfit.deflated_sharpe(returns)   # its own 4 runs only
    with pytest.warns(UserWarning, match="effective trials"):
        fewer = last.deflated_sharpe(effective=True)
    assert fewer == overfit.deflated_sharpe(returns, trials=max(2, round(register.effective())))
    assert last.deflated_sharpe(trials=4) == overfit.deflated_sharpe(returns, trials=4)
    assert trials.summary(register).markets.size == 2


def test_without_a_register_nothing_changes_and_effective_is_refused():
    assert trials.active() is None
    last = sweep(keep=("stats", "equity"))
    returns = overfit.bar_returns(last.equity)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert last.deflated_sharpe() == overfit.deflated_sharpe(returns)
    with pytest.raises(ValueError, match="effective=True needs an active trial register"):
        last.deflated_sharpe(effective=True)


def test_pbo_adds_the_recorded_trials_on_the_same_bars(register):
    sweep(grid=LARGER)
    earlier = {f"trial {i}" for i in register.frame()["trial"]}
    last = sweep(keep=("stats", "equity"))
    with pytest.warns(UserWarning, match=r"pbo over 16 candidates: this sweep's runs and 12"):
        wide = last.pbo(splits=4)
    own = last.pbo(splits=4, register=False)
    # The same bars, more candidates: each split's winner is one of all 16.
    assert own.combinations == wide.combinations and own.bars == wide.bars
    assert set(own.chosen) <= set(last.table.index)
    assert set(wide.chosen) <= set(last.table.index) | earlier


def test_reports_and_the_command_line_say_how_many_trials(register, tmp_path):
    pytest.importorskip("matplotlib")
    swept = sweep(keep=("stats", "equity"))
    said = trials.said(register)
    assert re.fullmatch(r"4 trials recorded since \d{4}-\d\d-\d\d \(\d effective\)", said)
    assert said in swept.report(tmp_path / "s.html").read_text(encoding="utf-8")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = orvane.backtest(datasets.momentum(MARKET), MARKET)
    assert said in result.report(tmp_path / "r.html").read_text(encoding="utf-8")
    done = subprocess.run([sys.executable, "-m", "orvane", "trials", str(register.path)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "4 trials" in done.stdout and "deflated Sharpe against every trial (N = 4)" in done.stdout
    foreign = tmp_path / "notes.txt"
    foreign.write_text("not a register")
    done = subprocess.run([sys.executable, "-m", "orvane", "trials", str(foreign)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and "left as it was" in done.stderr
    assert foreign.read_text() == "not a register"


def test_runs_within_an_open_register_record_there_and_only_there(tmp_path):
    path = tmp_path / "with.sqlite"
    with trials.open(path) as register:
        assert trials.active() is register
        sweep()
    assert trials.active() is None
    sweep()
    with trials.open(path) as register:
        assert len(register) == 4
