"""orvane.walk_forward: choices per train window, the boundary rule and the stitching,
checked by hand on a tiny market; the sweep report's sections, offline."""

import re
import sys

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")

DATES = pd.bdate_range("2021-01-04", periods=13)
# Train 4 bars, test 3: A wins the first and last train windows; the rolling middle one
# (bars 3-6) goes to B, the anchored one (bars 0-6) to A.
CLOSE = pd.DataFrame({"A": [10, 10, 11, 12, 13, 12, 11, 10, 11, 12, 13, 14, 15.0],
                      "B": [10, 10, 9, 8, 8, 9, 10, 11, 10, 9, 9, 9, 9.0]}, index=DATES)
TINY = {"pick": ["B", "A"], "fee": 0.01, "tax": 0.0, "split_trades_on_rebalance": False}


def hold(market, pick):
    """All in ``pick``, a row every bar."""
    return pd.DataFrame({t: float(t == pick) for t in market.columns}, index=market.index)


def daily(market, lookback=21):
    return datasets.momentum(market, lookback=lookback, skip=0, top=4, bottom=4, rebalance="B")


def monthly(market, lookback=21):
    return datasets.momentum(market, lookback=lookback, top=4, bottom=4, rebalance="M")


def tiny(**kwargs):
    kwargs = {"train": 4, "test": 3, "metric": "total_return", "workers": 1,
              "progress": False, **kwargs}
    return orvane.walk_forward(kwargs.pop("market", CLOSE), kwargs.pop("grid", TINY),
                               strategy=kwargs.pop("strategy", hold), **kwargs)


f = 0.99                                   # what is left of a fee of 1 %
W0 = f * f * 10 / 13                       # A bought at 13 on bar 4, sold at 10 on bar 7
ROLLING = W0 * f * f * 9 / 11              # then B bought at 11 on bar 7, sold at 9 on bar 10
ANCHORED = W0 * f * f * 13 / 10            # or A bought at 10, sold at 13


@pytest.mark.parametrize("anchored, picks, train_starts, middle, level", [
    (False, ["A", "B", "A"], [0, 3, 6], [W0 * f, W0 * f * 10 / 11, W0 * f * 9 / 11], ROLLING),
    (True, ["A", "A", "A"], [0, 0, 0], [W0 * f, W0 * f * 11 / 10, W0 * f * 12 / 10], ANCHORED),
])
def test_tiny_market_stitched_by_hand(anchored, picks, train_starts, middle, level):
    wf = tiny(anchored=anchored)
    table = wf.windows
    assert list(table["pick"]) == picks
    assert list(table["train_start"]) == list(DATES[train_starts])
    assert list(table["train_end"]) == list(DATES[[3, 6, 9]])
    assert list(table["test_start"]) == list(DATES[[4, 7, 10]])
    assert list(table["test_end"]) == list(DATES[[6, 9, 12]])
    # Bar 3 (last train bar) = 1; the book bought on bar 4; each boundary bar compounds
    # the old book's sale with the new one's purchase.
    expected = [1, f, f * 12 / 13, f * 11 / 13, *middle, level * f, level * f * 14 / 13,
                level * f * 15 / 13]
    assert list(wf.equity.index) == list(DATES[3:])
    np.testing.assert_allclose(wf.equity.to_numpy(), expected, rtol=1e-13)
    np.testing.assert_allclose(table["test_return"], [W0 - 1, level / W0 - 1, f * 15 / 13 - 1],
                               rtol=1e-13)
    trades = wf.trades
    assert list(trades["window"]) == [0, 1, 2] and list(trades["ticker"]) == picks
    assert list(trades["entry_date"]) == list(DATES[[4, 7, 10]])
    assert list(trades["exit_date"][:2]) == list(DATES[[7, 10]]) and pd.isna(trades["exit_date"][2])
    assert wf.stats()["total_return"] == pytest.approx(level * f * 15 / 13 - 1, rel=1e-13)


@pytest.mark.parametrize("trade_at", ["close", "open"])
def test_every_bar_rebalanced_at_no_cost_equals_one_continuous_backtest(trade_at):
    # Closing and reopening at one price costs nothing here, so from the first test bar
    # on the stitched curve is the continuous run's (gaps and delistings included).
    market = datasets.synthetic_market(stocks=30, years=2, seed=4)
    options = {"fee": 0.0, "tax": 0.0, "trade_at": trade_at, "delistings": market.delistings}
    wf = tiny(market=market, strategy=daily, grid={"lookback": [21], **options}, train=100,
              test=60, metric="sharpe")
    assert len(wf.windows) == 7
    whole = orvane.backtest(daily(market), market, **options).full_equity
    ours, theirs = wf.equity.iloc[1:], whole.loc[wf.equity.index[1:]]
    np.testing.assert_allclose(ours / ours.iloc[0], theirs / theirs.iloc[0], rtol=1e-12)


def test_a_monthly_book_enters_on_the_first_test_bar_and_leaves_on_the_next_windows():
    market = datasets.synthetic_market(stocks=30, years=2, seed=4)
    wf = tiny(market=market, strategy=monthly, grid={"lookback": [21, 42]}, train=130,
              test=70, metric="sharpe")
    starts = list(wf.windows["test_start"])
    for k, trades in wf.trades.groupby("window"):
        assert trades["entry_date"].min() == starts[k]
        if k + 1 < len(starts):
            assert trades["exit_date"].max() == starts[k + 1]


@pytest.mark.parametrize("change, error, message", [
    ({"train": 0}, ValueError, "train must be a whole number of bars, at least 2 .*, got 0"),
    ({"test": 0}, ValueError, "test must be a whole number of bars, at least 1 .*, got 0"),
    ({"train": "504B"}, TypeError, "train must be a whole number of bars"),
    ({"train": 10, "test": 4}, ValueError, r"train \+ test must fit in the market's 13 bars"),
    ({"metric": "sharp"}, ValueError, "metric must be a numeric statistic"),
    ({"metric": "trades"}, ValueError, "maximize must be True or False for metric='trades'"),
    ({"weights": CLOSE}, TypeError, "walk_forward must get strategy="),
    ({"market": CLOSE.rename_axis("date").rename_axis(columns="ticker").stack()
      .rename("close").reset_index()}, TypeError, "market must be a frame indexed by date"),
    ({"grid": {"pick": ["A"], "stop_loss": 5.0}}, ValueError,
     r"the train window 0 \(2021-01-04 .. 2021-01-07\) must give at least one run"),
])
def test_bad_arguments_are_refused_by_name(change, error, message):
    with pytest.raises(error, match=message):
        tiny(**change)


# ------------------------------------------------------------------ the sweep report

@pytest.fixture(scope="module")
def sweeps():
    pytest.importorskip("matplotlib")
    market = datasets.synthetic_market(stocks=30, years=2, seed=5)
    grid = {"lookback": [21, 63], "stop_loss": [None, 0.05], "top": [3, 5]}
    return {keep: orvane.sweep(market, grid, strategy=datasets.momentum, keep=keep, workers=1,
                               progress=False) for keep in [("stats",), ("stats", "equity")]}


@pytest.mark.parametrize("keep, overfit", [
    (("stats",), r'keep=\("stats", "equity"\)'),
    (("stats", "equity"), r"Deflated Sharpe ratio</h3><p class=\"big\">0\.\d{3}</p>"),
])
def test_sweep_report_sections_offline(keep, overfit, sweeps, tmp_path):
    res = sweeps[keep]
    page = res.report(tmp_path / "r.html", top=5).read_text(encoding="utf-8")
    for section in ("runs", "heat", "sharpe", "overfit"):
        assert f'<section id="{section}">' in page
    assert len(re.findall(r'src="data:image/png;base64,', page)) == 1
    assert not re.search(r"https?://|<script|<link|@import|url\(", page)
    assert re.search(overfit, page)
    runs = page[page.index('id="runs"'):page.index('id="heat"')]
    assert runs.count("<tr>") == 1 + 5
    assert f"<td>{res.table['sharpe'].max():.2f}</td>" in runs.split("</tr>")[1]
    # The cell (stop_loss None, lookback 21) averages the runs over top.
    heat = page[page.index('id="heat"'):page.index('id="sharpe"')]
    cell = re.search(r'None</td><td style="[^"]*">([^<]+)</td>', heat).group(1)
    mean = res.table["sharpe"].to_numpy()[[0, 1]].mean()
    assert cell == f"{mean:.2f}" and "mean over 2 runs" in heat


def test_sweep_report_refuses_an_empty_path(sweeps, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match=r"path must not be empty, got ''; pass \".\""):
        sweeps[("stats",)].report("")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("kwargs, error, message", [
    ({"x": "nope"}, ValueError, "x must be a parameter of the sweep"),
    ({"metric": "start"}, ValueError, "metric must be a numeric statistic"),
    ({"top": 0}, ValueError, "top must be a whole number of runs, at least 1, got 0"),
    ({"title": None}, TypeError, "title must be a str, got NoneType None"),
    ({"title": "\ud800"}, ValueError, "title must be text that UTF-8 can encode, got a lone surrogate"),
    ({"matplotlib": None}, ImportError, r"pip install 'orvane\[plot\]'"),
])
def test_sweep_report_refusals(kwargs, error, message, sweeps, tmp_path, monkeypatch):
    if "matplotlib" in kwargs:
        monkeypatch.setitem(sys.modules, "matplotlib", kwargs.pop("matplotlib"))
    with pytest.raises(error, match=message):
        sweeps[("stats",)].report(tmp_path / "r.html", **kwargs)
    assert not (tmp_path / "r.html").exists()
