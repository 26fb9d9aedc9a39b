"""orvane.walk_forward: choices per train window, the boundary rule and the stitching,
checked by hand on a tiny market; the sweep report's sections, offline."""

import base64
import re
import struct
import sys

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets
from orvane.stats.overfit import expected_max_sharpe

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
    found = {keep: orvane.sweep(market, grid, strategy=datasets.momentum, keep=keep, workers=1,
                                progress=False) for keep in [("stats",), ("stats", "equity")]}
    # One run: neither the Sharpe variance nor a split can be had.
    found["one run"] = orvane.sweep(market, {"lookback": [21]}, strategy=datasets.momentum,
                                    keep=("stats", "equity"), workers=1, progress=False)
    return found


def png_width(uri):
    data = base64.b64decode(uri.split(",", 1)[1])
    return struct.unpack(">I", data[16:20])[0]


def drawn(monkeypatch, render):
    """The page and the figures it drew, in the order drawn."""
    from orvane.sweep import report

    figures, real = [], report.png
    monkeypatch.setattr(report, "png", lambda fig: figures.append(fig) or real(fig))
    return render(), figures


@pytest.mark.parametrize("keep, curves, overfit, charts", [
    (("stats",), r'equity curves were not kept: sweep with <code>keep=\("stats", "equity"\)',
     [r'keep=\("stats", "equity"\)'], 1),
    (("stats", "equity"), r"the 5 best by Sharpe ratio, numbered as in the table",
     [r"Deflated Sharpe ratio</h3><p class=\"big\">0\.\d{3}</p>",
      r"overfitting</h3><p class=\"big\">0\.\d\d</p>", r"PBO 0\.\d\d is the share"], 3),
    ("one run", r"the 1 best by Sharpe ratio",
     [r"Deflated Sharpe ratio</h3><p class=\"big\">not available: returns must hold at least "
      r"2 runs with a Sharpe ratio", r"not available: returns must hold at least 2 runs with "
      r"returns, got 1</p><p class=\"read\">No histogram of logits"], 2),
])
def test_sweep_report_sections_offline(keep, curves, overfit, charts, sweeps, tmp_path):
    res = sweeps[keep]
    page = res.report(tmp_path / "r.html", top=5).read_text(encoding="utf-8")
    for section in ("runs", "curves", "heat", "sharpe", "overfit"):
        assert page.count(f'<section id="{section}">') == 1
    assert not re.search(r"https?://|<script|<link|@import|url\(", page)
    assert re.search(curves, page[page.index('id="curves"'):page.index('id="heat"')])
    for text in overfit:
        assert re.search(text, page[page.index('id="overfit"'):])
    # Every chart: a narrow drawing for phones, then the wide one; nothing else embedded.
    pictures = re.findall(r'<picture><source media="\(max-width: 640px\)" srcset="([^"]+)">'
                          r'<img class="chart" alt="[^"]+" src="([^"]+)"></picture>', page)
    assert len(pictures) == charts == page.count("data:image/png;base64,") / 2
    for narrow, wide in pictures:
        assert (png_width(narrow), png_width(wide)) == (546, 910)
    if keep == "one run":
        return
    runs = page[page.index('id="runs"'):page.index('id="heat"')]
    assert runs.count("<tr>") == 1 + 5
    assert f"<td>{res.table['sharpe'].max():.2f}</td>" in runs.split("</tr>")[1]
    # The cell (stop_loss None, lookback 21) averages the runs over top.
    heat = page[page.index('id="heat"'):page.index('id="sharpe"')]
    cell = re.search(r'None</td><td style="[^"]*">([^<]+)</td>', heat).group(1)
    mean = res.table["sharpe"].to_numpy()[[0, 1]].mean()
    assert cell == f"{mean:.2f}" and "mean over 2 runs" in heat


@pytest.mark.parametrize("keep", [("stats",), ("stats", "equity"), "one run"])
def test_sweep_report_is_the_same_bytes_twice_unless_stamped(keep, sweeps, tmp_path):
    from orvane.sweep.report import render_sweep_report

    res = sweeps[keep]
    first = res.report(tmp_path / "a.html", top=5).read_bytes()
    assert first == res.report(tmp_path / "b.html", top=5).read_bytes()
    assert first.decode("utf-8") == render_sweep_report(res, top=5)
    assert b"written" not in first and b"<footer>orvane</footer>" in first
    stamped = res.report(tmp_path / "c.html", top=5, stamp=True).read_text(encoding="utf-8")
    assert re.search(r"<footer>orvane &middot; written \d{4}-\d\d-\d\d \d\d:\d\d UTC</footer>",
                     stamped)


def test_sweep_report_shows_the_trials_and_variance_the_deflated_sharpe_used(sweeps):
    from orvane.sweep.report import render_sweep_report

    res = sweeps[("stats", "equity")]
    page = render_sweep_report(res)
    # Directly from the equity curves: per-bar Sharpe ratios, one per run that has one.
    equity = res.equity
    returns = equity / equity.shift(1) - 1
    sharpe = (returns.mean() / returns.std(ddof=1)).dropna()
    trials, variance = len(sharpe), sharpe.var(ddof=1)
    assert trials == len(res.table) and variance > 0
    assert f"Deflated for <b>{trials} trials</b>" in page
    assert f"variance of {variance:.3g}</b>" in page
    assert f"standard deviation of {np.sqrt(variance * 252):.2f} annualised" in page
    assert f"would show a Sharpe ratio of {expected_max_sharpe(trials, variance) * np.sqrt(252):.2f}" in page
    assert f"the best run's is {res.table['sharpe'].max():.2f}" in page


def test_sweep_report_charts_read_on_a_phone(sweeps, monkeypatch):
    from orvane.sweep.report import render_sweep_report

    res = sweeps[("stats", "equity")]
    _, figures = drawn(monkeypatch, lambda: render_sweep_report(res, top=5))
    assert len(figures) == 6
    for fig, shown_at in zip(figures, [380, 760] * 3):
        for ax in fig.axes:
            for axis, (lo, hi) in ((ax.xaxis, ax.get_xlim()), (ax.yaxis, ax.get_ylim())):
                labels = [t for t, at in zip(axis.get_ticklabels(), axis.get_ticklocs())
                          if min(lo, hi) <= at <= max(lo, hi)]
                texts = [t.get_text() for t in labels]
                assert len(texts) >= 2 and len(set(texts)) == len(texts), texts
                # Points at the page's DPI, scaled to the width the chart is shown at.
                for t in labels + [axis.label]:
                    assert t.get_fontsize() * shown_at / (72 * fig.get_figwidth()) >= 11.5
    # The curves: the 5 best by Sharpe, best first in the legend, each from 1.0.
    order = np.argsort(-res.table["sharpe"].to_numpy(), kind="stable")[:5]
    expected = [f"#{k} lookback {res.params[i]['lookback']}, stop_loss "
                f"{res.params[i]['stop_loss']}, top {res.params[i]['top']}"
                for k, i in enumerate(order, start=1)]
    for fig in figures[:2]:
        assert [t.get_text() for t in fig.legends[0].get_texts()] == expected
        lines = {line.get_label(): line.get_ydata() for line in fig.axes[0].get_lines()}
        assert [lines[text][0] for text in expected] == [1.0] * 5
        first = res.equity.iloc[:, order[0]].dropna()
        np.testing.assert_allclose(lines[expected[0]], first / first.iloc[0], rtol=1e-15)
    # The logits: the 0 line and every split counted once.
    logits = res.pbo().logits
    for fig in figures[4:]:
        ax = fig.axes[0]
        assert sum(p.get_height() for p in ax.patches) == len(logits)
        assert any(list(line.get_xdata()) == [0, 0] for line in ax.get_lines())


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
    ({"stamp": "yes"}, TypeError, "stamp must be True or False, got 'yes'"),
    ({"matplotlib": None}, ImportError, r"pip install 'orvane\[plot\]'"),
])
def test_sweep_report_refusals(kwargs, error, message, sweeps, tmp_path, monkeypatch):
    if "matplotlib" in kwargs:
        monkeypatch.setitem(sys.modules, "matplotlib", kwargs.pop("matplotlib"))
    with pytest.raises(error, match=message):
        sweeps[("stats",)].report(tmp_path / "r.html", **kwargs)
    assert not (tmp_path / "r.html").exists()
