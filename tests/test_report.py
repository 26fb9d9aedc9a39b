"""The HTML report: one offline file holding every section and its charts."""

import base64
import re
import types
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets
from orvane._records import ordered_actions, to_act_on
from orvane.report import write_report
from orvane.stats import format_summary

pytest.importorskip("matplotlib")

SECTIONS = ("summary", "equity", "drawdowns", "trailing", "yearly", "distribution", "rolling", "exposure",
            "monthly", "excursions", "trades", "actions", "settings")


@pytest.fixture(scope="module")
def result():
    market = datasets.synthetic_market(stocks=30, years=3, seed=5)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(datasets.momentum(market, top=5, bottom=5), market,
                               stop_loss=0.1, take_profit=0.3, window=10, window_step=5,
                               delistings=market.delistings)


@pytest.fixture(scope="module")
def page(result, tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "sub" / "r.html"
    written = write_report(result, path, last_trades=12)
    assert written == path
    return path.read_text(encoding="utf-8")


def test_report_holds_every_section_and_five_embedded_png_charts(page):
    for section in SECTIONS:
        assert f'<section id="{section}">' in page
    images = re.findall(r'src(?:set)?="data:image/png;base64,([A-Za-z0-9+/=]+)"', page)
    # equity, distribution, rolling, exposure, excursions: wide, and narrow for phones
    assert len(images) == 10
    assert all(base64.b64decode(i)[:8] == b"\x89PNG\r\n\x1a\n" for i in images)
    # Offline: nothing fetched from anywhere.
    assert not re.search(r"https?://|<script|<link|@import|url\(", page)


def test_report_tables_match_the_result(result, page):
    for label, text in format_summary(result.stats()).items():
        assert f"<td>{label}</td><td>{text}</td>" in page
    monthly = page[page.index('id="monthly"'):page.index('id="excursions"')]
    years = re.findall(r'<td class="y l">(\d{4})</td>', monthly)
    assert years == [str(y) for y in result.monthly_returns().index]
    drawdowns = page[page.index('id="drawdowns"'):page.index('id="yearly"')]
    worst = result.drawdowns()
    assert re.findall(r'<tr><td class="l">([\d-]+)</td>', drawdowns) == [
        d.strftime("%Y-%m-%d") for d in worst["peak"]]
    yearly = page[page.index('id="yearly"'):page.index('id="rolling"')]
    assert "Benchmark" not in yearly and yearly.count("<tr>") == 1 + len(result.yearly_returns())
    trades = page[page.index('id="trades"'):page.index('id="actions"')]
    assert trades.count("<tr>") == 1 + min(12, len(result.trades))
    actions = page[page.index('id="actions"'):page.index('id="settings"')]
    listed = ordered_actions(result.actions)
    assert re.findall(r'<tr><td class="l">([^<]+)</td>', actions) == list(listed.index)


def test_report_into_a_folder_and_of_a_run_without_trades(result, tmp_path):
    assert write_report(result, tmp_path) == tmp_path / "orvane-report.html"
    idle = types.SimpleNamespace(
        equity=pd.Series(1.0, index=pd.bdate_range("2021-01-04", periods=30)), start=None,
        trades=result.trades.iloc[:0], actions=result.actions.iloc[:0],
        monthly_returns=lambda: pd.DataFrame({1: [0.0]}, index=[2021]),
        settings={"fee": 0.001, "stop_loss": float("inf"), "note": "<b>&"}, warnings=("a < b",))
    page = write_report(idle, tmp_path / "idle.html").read_text(encoding="utf-8")
    assert "No trades." in page and "Nothing held and nothing to do." in page
    assert "&lt;b&gt;&amp;" in page and "a &lt; b" in page and "<td>off</td>" in page
    assert "log scale" not in page and "The equity never fell below an earlier high." in page


def test_report_with_a_benchmark_and_a_curve_spanning_more_than_10x(result, tmp_path):
    days = result.equity.index
    grows = types.SimpleNamespace(
        equity=pd.Series(np.geomspace(1.0, 20.0, len(days)), index=days), start=days[0],
        trades=result.trades.iloc[:0], actions=result.actions.iloc[:0], settings={}, warnings=())
    index = pd.Series(np.linspace(100.0, 130.0, len(days)), index=days)
    page = write_report(grows, tmp_path / "b.html", benchmark=index).read_text(encoding="utf-8")
    assert "log scale (the equity spans more than 10x)" in page
    assert "excess return, equity / benchmark - 1" in page
    summary_part = page[page.index('id="summary"'):page.index('id="equity"')]
    assert "Against the benchmark" in summary_part and "<td>Beta</td>" in summary_part
    yearly = page[page.index('id="yearly"'):page.index('id="rolling"')]
    assert re.search(r"<th[^>]*>Benchmark</th><th[^>]*>Excess</th>", yearly)


def test_report_layout_reflows_to_a_phone(page):
    css = page[page.index("<style>"):page.index("</style>")]
    assert "@media (max-width: 640px)" in css
    # Nothing fixed wider than a phone: grid tracks shrink with min(100%, ...).
    widths = [int(w) for w in re.findall(r"(?<![-\w])(?:min-)?width:\s*(\d+)px", css)]
    assert all(w <= 360 for w in widths), widths
    assert re.findall(r"minmax\(([^,]+),", css) and all(
        m.startswith("min(100%") for m in re.findall(r"minmax\(([^,]+),", css))
    assert re.search(r"\.scroll \{[^}]*overflow-x:auto", css)
    # Inherently wide tables scroll in their own box; the statistics tables reflow instead.
    body = page[page.index("<body>"):]
    for section in ("monthly", "trades", "actions", "drawdowns"):
        part = body[body.index(f'id="{section}"'):]
        assert part.index("<table") == part.index('<div class="scroll"><table') + len('<div class="scroll">')
    assert '<div class="scroll"><table class="kv">' not in body
    assert not re.search(r"<img[^>]+width=", body)


@pytest.mark.parametrize("call, error, message", [
    (lambda r, d: r.report(d / "r.html", title=None), TypeError, r"title must be a str, got NoneType None"),
    (lambda r, d: r.report(d / "r.html", title=b"t"), TypeError, r"title must be a str, got bytes b't'"),
    (lambda r, d: r.report(d / "r.html", title="ok \ud800"), ValueError,
     r"title must be text that UTF-8 can encode, got a lone surrogate '\\ud800' at position 3"),
    (lambda r, d: r.plot(title=3), TypeError, r"title must be a str or None, got int 3"),
    (lambda r, d: r.plot(title="\udcff"), ValueError, r"title must be text that UTF-8 can encode"),
], ids=["report None", "report bytes", "report surrogate", "plot int", "plot surrogate"])
def test_titles_that_cannot_be_shown_are_refused(result, tmp_path, call, error, message):
    with pytest.raises(error, match=message):
        call(result, tmp_path)
    assert not (tmp_path / "r.html").exists()


@pytest.mark.parametrize("title", ["$x^$", "costs $5 and $6", r"\frac{a}{b} $", "ünï €"])
def test_titles_are_drawn_as_written(result, tmp_path, title):
    fig = result.plot(title=title)
    fig.savefig(tmp_path / "t.png")     # a maths parser would fail here, or drop the "$"
    assert fig.axes[0].get_title(loc="left") == title
    page = result.report(tmp_path / "r.html", title=title).read_text(encoding="utf-8")
    assert f"<h1>{title}</h1>" in page


def test_a_report_reads_its_benchmark_once(result, tmp_path):
    """One alignment for the summary, the tables and the chart: each note reaches the
    caller once, and the chart draws the curve the statistics used."""
    close = result.equity.iloc[len(result.equity) // 3:] * 1.5
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result.report(tmp_path / "r.html", benchmark=close)
    notes = [str(w.message) for w in caught if "benchmark starts on" in str(w.message)]
    assert len(notes) == 1, notes


def test_actions_most_urgent_first_and_what_needs_doing():
    # One ticker per code, named against the urgency order so that ties by name would
    # reverse it: sells at the next bar, then sells with a later re-entry, entries, exits,
    # records of past exits, holds; a name held by nothing and tagged nothing is dropped.
    # An unknown weight counts as none.
    codes = {"Z": "tp", "Y": "sl", "X": "tp_enter", "W": "sl_enter", "V": "enter", "U": "exit",
             "T": "tp_", "S": "sl_", "R": "hold", "Q": "", "P": "", "O": ""}
    actions = pd.DataFrame({
        "weight": [0.1] * 9 + [0.2, 0.0, np.nan], "next_weight": [0.1] * 9 + [np.nan, np.nan, 0.0],
        "action": "", "code": list(codes.values()),
    }, index=pd.Index(list(codes), name="ticker"))
    ordered = ordered_actions(actions)
    assert list(ordered.index) == ["Y", "Z", "W", "X", "V", "U", "S", "T", "R", "Q"]
    assert list(to_act_on(actions)[to_act_on(actions)].index) == ["Z", "Y", "X", "W", "V", "U"]


def _short_squeezed_for_a_year():
    # A short that the price moves against 2.5-fold: the book is worth -1.5 and ruined.
    days = pd.bdate_range("2021-01-01", periods=400)
    close = pd.DataFrame({"A": np.where(np.arange(400) < 300, 10.0, 25.0), "B": 20.0}, index=days)
    return pd.DataFrame({"A": [-1.0], "B": [0.0]}, index=days[:1]), close


def _a_millionfold_weekend():
    days = pd.DatetimeIndex(["2021-01-01", "2021-01-02", "2021-01-04"])
    close = pd.DataFrame({"A": [1.0, 1.0, 1e6], "B": 2.0}, index=days)
    return pd.DataFrame({"A": [1.0], "B": [0.0]}, index=days[:1]), close


# Trailing returns of runs whose growth no power can annualise into a float: a ruined
# book's negative growth is a CAGR of -1, as stats() says; one beyond any float is inf.
@pytest.mark.parametrize("market, rows", [
    (_short_squeezed_for_a_year, {"3M": -1.5, "1Y": -1.5, "All": -1.0, "3Y": np.nan}),
    (_a_millionfold_weekend, {"MTD": np.nan, "All": np.inf}),
], ids=["ruined", "millionfold"])
def test_ruined_and_extreme_runs_keep_their_trailing_returns_and_report(market, rows, tmp_path):
    weights, close = market()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = orvane.backtest(weights, close, fee=0, tax=0)
    trailing = result.trailing_returns()
    assert trailing["strategy"].dtype == np.float64
    for window, value in rows.items():
        np.testing.assert_equal(trailing.loc[window, "strategy"], value)
    page = write_report(result, tmp_path / "r.html").read_text(encoding="utf-8")
    assert '<section id="trailing">' in page
