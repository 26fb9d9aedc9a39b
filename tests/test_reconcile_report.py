"""The reconciliation's charts and page: the waterfall runs from the backtest's P&L through
each cause to the live P&L, the page says each cause's money as the result holds it, and it
renders the same bytes for books that matched everything, nothing, or to the cent."""

import dataclasses
import html
import re
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets
from orvane._reconcile_report import REPORT_NAME, render_reconciliation_report
from orvane.reconcile import CAUSES, TRADE_CAUSES

pytest.importorskip("matplotlib")
from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402
from matplotlib.colors import to_hex  # noqa: E402

from orvane.plotting import LOSS_COLOR, WIN_COLOR, resize  # noqa: E402

# Tickers the run never trades: what the book does in them is unplanned, or carry.
IDLE = 3


@pytest.fixture(scope="module")
def run():
    market = datasets.synthetic_market(stocks=30, years=2, seed=4, trend=0.2)
    weights = datasets.momentum(market, top=5, bottom=5, lookback=42)
    weights[weights.columns[-IDLE:]] = 0.0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return market, orvane.backtest(weights, market, capital=1e6)


def slipped(result):
    """The run's own fills, each 5 bp worse, paying the run's fee and tax."""
    f = result.fills
    return pd.DataFrame({"date": f.date, "ticker": f.ticker, "shares": f.shares,
                         "price": f.price * (1 + 5e-4 * np.sign(f.shares)),
                         "fee": f.fee * 1e6, "tax": f.tax * 1e6})


def mixed(market, result):
    """A book with every cause: fills skipped, some a bar late, dearer fees, trades the run
    never made, and shares held from before the run."""
    live = slipped(result)
    bars = market["close"].index
    rng = np.random.default_rng(1)
    late = rng.random(len(live)) < 0.1
    at = bars.get_indexer(live["date"])
    live.loc[late, "date"] = bars[np.minimum(at[late] + 1, len(bars) - 1)]
    live["fee"] *= 1.5
    live = live[rng.random(len(live)) > 0.08]
    idle = market["close"].columns[-1]
    extra = pd.DataFrame({"date": bars[[100, 200]], "ticker": idle, "shares": [500.0, -500.0],
                          "price": market["close"][idle].iloc[[100, 200]].to_numpy(),
                          "fee": 3.0, "tax": 0.0})
    live = pd.concat([live, extra], ignore_index=True)
    held = live.groupby("ticker")["shares"].sum()
    held[market["close"].columns[-2]] = 1000.0
    return orvane.reconcile(result, live, positions=held)


def unmatched(market, result):
    """A book that traded none of what the run did: every run fill is missed."""
    idle, when = market["close"].columns[-1], market["close"].index[200]
    live = pd.DataFrame({"date": [when], "ticker": [idle], "shares": [100.0],
                         "price": [market["close"][idle][when]]})
    with warnings.catch_warnings():
        # It warns that a book of buys alone may have its sells' signs wrong: here it has.
        warnings.simplefilter("ignore", UserWarning)
        return orvane.reconcile(result, live)


def even(market, result):
    """The slipped book with its live P&L set to the run's and every cause 0: a gap of
    exactly 0."""
    rec = orvane.reconcile(result, slipped(result))
    zeroed = {f"_{n}": getattr(rec, n).assign(**{c: 0.0 for c in (*CAUSES, "total", "cumulative")
                                                 if c in getattr(rec, n)})
              for n in ("fills", "rebalances", "names")}
    return dataclasses.replace(rec, live_pnl=rec.backtest_pnl, _totals=rec.totals * 0.0,
                               **zeroed)


BOOKS = {"slipped": lambda m, r: orvane.reconcile(r, slipped(r)), "mixed": mixed,
         "unmatched": unmatched, "even": even}


@pytest.fixture(scope="module")
def recs(run):
    market, result = run
    return {name: make(market, result) for name, make in BOOKS.items()}


@pytest.fixture(scope="module")
def pages(recs):
    return {name: render_reconciliation_report(rec) for name, rec in recs.items()}


def section(page, name):
    return re.search(rf'<section id="{name}">.*?</section>', page, re.S).group(0)


def rows(page, name):
    """The body rows of section ``name``'s first table: (class, text) per cell."""
    body = re.search(r"<tbody>(.*?)</tbody>", section(page, name), re.S).group(1)
    return [re.findall(r'<td class="([^"]*)">(.*?)</td>', row)
            for row in re.findall(r"<tr>(.*?)</tr>", body)]


def amount(text):
    return 0.0 if text in ("", "0") else float(text.replace(",", ""))


def sign_class(value):
    return "" if abs(value) < 0.005 else "pos" if value > 0 else "neg"


def bars(fig):
    """The waterfall's bars top to bottom, as (start, end, colour)."""
    ax = fig.axes[0]
    found = sorted(ax.patches, key=lambda p: p.get_y())
    return [(p.get_x(), p.get_x() + p.get_width(), to_hex(p.get_facecolor())) for p in found]


@pytest.mark.parametrize("name", list(BOOKS))
def test_waterfall_runs_from_the_backtest_through_each_cause_to_the_live_pnl(recs, name):
    rec = recs[name]
    drawn = bars(rec.plot())
    totals = rec.totals
    assert len(drawn) == len(CAUSES) + 2
    assert drawn[0][:2] == pytest.approx((0.0, rec.backtest_pnl))
    assert drawn[-1][:2] == pytest.approx((0.0, rec.live_pnl))
    reached = rec.backtest_pnl
    for (start, end, color), cause in zip(drawn[1:-1], CAUSES):
        # Each cause floats from where the one before it ended.
        assert start == pytest.approx(reached, abs=1e-6)
        assert end - start == pytest.approx(totals[cause], abs=1e-6)
        assert color == (WIN_COLOR if totals[cause] > 0 else LOSS_COLOR)
        reached = end
    assert reached == pytest.approx(rec.live_pnl, abs=1e-6 * rec.capital)


@pytest.mark.parametrize("name", ["mixed", "even"])
@pytest.mark.parametrize("size", [(8.0, 4.5), (4.0, 4.0)], ids=["wide", "phone"])
def test_waterfall_labels_say_each_bar_and_stay_inside_the_figure(recs, name, size):
    rec = recs[name]
    fig = resize(rec.plot(title=None), size)
    FigureCanvasAgg(fig).draw()
    ax = fig.axes[0]
    labels = [t.get_text() for t in ax.texts]
    values = [rec.backtest_pnl, *rec.totals, rec.live_pnl]
    assert len(labels) == len(values)
    for label, value in zip(labels[1:-1], values[1:-1]):
        assert label[0] == ("0" if abs(value) < 0.005 else "+" if value > 0 else "-"), label
    box = fig.bbox
    for text in [*ax.texts, *ax.get_yticklabels()]:
        seen = text.get_window_extent()
        assert box.x0 <= seen.x0 and seen.x1 <= box.x1, (text.get_text(), seen, box)


@pytest.mark.parametrize("name", ["slipped", "mixed", "unmatched"])
def test_gap_chart_steps_through_the_running_sum_of_each_rebalance(recs, name):
    rec = recs[name]
    table = rec.rebalances
    ax = orvane.plotting.plot_reconciliation_gap(rec).axes[0]
    steps = [line for line in ax.lines if len(line.get_ydata()) > 2]
    assert len(steps) == 1
    running = table["cumulative"].to_numpy()
    assert np.asarray(steps[0].get_ydata()) == pytest.approx([0.0, *running, running[-1]])
    heights = [p.get_height() for p in sorted(ax.patches, key=lambda p: p.get_x())]
    assert heights == pytest.approx(table["total"].to_numpy())


@pytest.mark.parametrize("name", list(BOOKS))
def test_page_says_each_cause_and_the_gap_as_the_result_holds_them(recs, pages, name):
    rec, page = recs[name], pages[name]
    table = {cells[0][1]: cells[1] for cells in rows(page, "causes")}
    assert list(table) == [*CAUSES, "gap"]
    for cause, value in [*rec.totals.items(), ("gap", rec.gap)]:
        css, text = table[cause]
        assert amount(text) == pytest.approx(value, abs=0.5), cause
        assert css == sign_class(value), cause
    # The rebalances add up to the trade causes; the last running sum is their whole.
    by_rebalance = rows(page, "rebalances")
    trade = rec.totals[list(TRADE_CAUSES)].sum()
    assert sum(amount(r[1][1]) for r in by_rebalance) == pytest.approx(
        trade, abs=0.5 * len(by_rebalance) + 0.5)
    assert amount(by_rebalance[-1][2][1]) == pytest.approx(trade, abs=0.5)
    said = re.findall(r"<li>(.*?)</li>", section(page, "warnings"))
    assert said == [html.escape(w) for w in rec.warnings] and ("<p>None.</p>" in page) != bool(said)


@pytest.mark.parametrize("name", list(BOOKS))
def test_page_lists_the_largest_pieces_and_names_largest_first(recs, pages, name):
    rec, page = recs[name], pages[name]
    fills = section(page, "fills")
    listed = rows(page, "fills")
    assert len(listed) == min(25, len(rec.fills))
    gaps = [abs(amount(r[1][1])) for r in listed]
    assert gaps == sorted(gaps, reverse=True)
    assert gaps[0] == pytest.approx(rec.fills["total"].abs().max(), abs=0.5)
    counts = rec.fills["kind"].value_counts()
    assert (f"{counts['matched']:,} matched, {counts['missed']:,} missed, "
            f"{counts['unplanned']:,} unplanned") in fills
    names = rows(page, "names")
    top = rec.top(10)
    assert [r[0][1] for r in names] == list(top.index)
    assert [amount(r[1][1]) for r in names] == pytest.approx(top["total"].to_numpy(), abs=0.5)


def test_pages_of_a_book_that_matched_nothing_and_of_a_gap_of_exactly_zero(recs, pages):
    unmatched = section(pages["unmatched"], "fills")
    assert "0 matched" in unmatched and ">matched</span>" not in unmatched
    assert recs["unmatched"].totals[["price", "timing", "costs"]].abs().sum() == 0.0
    summary = section(pages["even"], "summary")
    assert '<div class="k">Gap</div><div class="v ">0</div>' in summary
    assert '<div class="k">Largest cause</div><div class="v ">none</div>' in summary
    mixed = section(pages["mixed"], "summary")
    largest = recs["mixed"].totals.abs().idxmax()
    assert f"Largest cause: {largest}" in mixed
