"""The walk-forward report: one offline page whose tables and efficiency say what the result
holds, the same bytes for the same result, and refusals that name the argument."""

import base64
import copy
import dataclasses
import re
import struct
import warnings
from collections import Counter

import numpy as np
import pytest

import orvane
from orvane import datasets
from orvane.sweep.walkforward_report import REPORT_NAME, render_walk_forward_report

pytest.importorskip("matplotlib")

SECTIONS = ("headline", "windows", "choices", "equity", "summary", "deflated", "warnings")
GRID = {"lookback": [21, 63], "top": [3, 5], "fee": [0.001]}


@pytest.fixture(scope="module")
def results():
    market = datasets.synthetic_market(stocks=20, years=3, seed=3, trend=0.2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return {keep: orvane.walk_forward(market, GRID, strategy=datasets.momentum, train=189,
                                          test=63, workers=1, progress=False, keep=keep)
                for keep in ("equity", "stats")}


@pytest.fixture(scope="module")
def pages(results):
    return {keep: render_walk_forward_report(wf) for keep, wf in results.items()}


def section(page, name):
    start = page.index(f'<section id="{name}">')
    return page[start:page.index("</section>", start)]


def rows(html):
    """The body rows of the first table in ``html``, as lists of cell texts."""
    body = html[html.index("<tbody>"):html.index("</tbody>")]
    return [re.findall(r"<td[^>]*>(.*?)</td>", row) for row in re.findall(r"<tr>(.*?)</tr>", body)]


def pct(value):
    return f"{round(value, 4) + 0.0:,.2%}"


def png_size(uri):
    data = base64.b64decode(uri)
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("keep", ["equity", "stats"])
def test_page_holds_every_section_in_order_with_charts_for_both_widths(keep, pages, results):
    page = pages[keep]
    places = [page.index(f'<section id="{name}">') for name in SECTIONS]
    assert places == sorted(places)
    assert all(page.count(f'<section id="{name}">') == 1 for name in SECTIONS)
    # Offline: nothing fetched, no script.
    assert not re.search(r"https?://|<script|<link|@import|url\(", page, re.IGNORECASE)
    # Two charts (windows, equity), each a phone drawing then a wide one.
    pairs = re.findall(r'<source media="\(max-width: 640px\)" srcset="data:image/png;base64,'
                       r'([A-Za-z0-9+/=]+)"><img alt="[^"]+" src="data:image/png;base64,'
                       r'([A-Za-z0-9+/=]+)"></picture>', page)
    assert len(pairs) == 2 == page.count("data:image/png;base64,") / 2
    for narrow, wide in pairs:
        assert png_size(narrow)[0] == 520 and png_size(wide)[0] == 1170
    deflated = section(page, "deflated")
    if keep == "stats":
        assert 'keep=("stats", "equity")' in deflated and "<table" not in deflated
    else:
        values = [row[1] for row in rows(deflated)]
        assert len(values) == len(results[keep].windows)
        assert all(re.fullmatch(r"0\.\d{3}|1\.000", v) for v in values), values


def test_windows_table_shows_each_windows_choice_and_outcome(pages, results):
    wf = results["equity"]
    table = wf.windows
    shown = rows(section(pages["equity"], "choices"))
    assert len(shown) == len(table) == 9
    for k, cells in enumerate(shown):
        row = table.iloc[k]
        # Window, the swept parameters, test return, train and test Sharpe, train CAGR, dates.
        assert cells[:3] == [str(k), str(row["lookback"]), str(row["top"])]
        assert cells[3] == pct(row["test_return"])
        assert cells[4] == f"{row['train_sharpe']:.2f}"
        assert cells[5] == f"{wf.results[k].stats()['sharpe']:.2f}"
        assert cells[7:11] == [row[c].strftime("%Y-%m-%d") for c in
                               ("test_start", "test_end", "train_start", "train_end")]
    # The fixed parameter is named once, as the grid gave it (not as a NumPy scalar).
    assert "The same in every run: fee 0.001." in pages["equity"]
    # Stability: the most chosen value's count and the changes from window to window.
    stability = section(pages["equity"], "choices").split("How stable")[1]
    for name, cells in zip(("lookback", "top"), rows(stability)):
        chosen = list(table[name])
        value, times = Counter(chosen).most_common(1)[0]
        changes = sum(a != b for a, b in zip(chosen, chosen[1:]))
        assert cells[:4] == [name, str(value), f"{times} of 9", f"{changes} of 8"]
    both = list(zip(table["lookback"], table["top"]))
    moved = sum(a != b for a, b in zip(both, both[1:]))
    assert f"The whole choice changed {moved} times in 8 steps" in stability


def with_train_cagr(wf, scale):
    """``wf`` with every train run's CAGR multiplied by ``scale``."""
    sweeps = []
    for found in wf.sweeps:
        found = copy.copy(found)
        found.table = found.table.assign(cagr=found.table["cagr"] * scale)
        sweeps.append(found)
    return dataclasses.replace(wf, sweeps=tuple(sweeps))


@pytest.mark.parametrize("scale", [1.0, 0.25, 0.0, -1.0])
def test_efficiency_is_out_of_sample_cagr_over_the_mean_chosen_train_cagr(scale, results):
    wf = with_train_cagr(results["equity"], scale)
    # The chosen run of each window, found in its train sweep by the parameters it lists.
    train = [found.table.loc[(row.lookback, row.top, row.fee), "cagr"]
             for found, row in zip(wf.sweeps, wf.windows.itertuples())]
    inside, outside = float(np.mean(train)), wf.stats()["cagr"]
    headline = section(render_walk_forward_report(wf), "headline")
    card = re.search(r'Walk-forward efficiency</div><div class="v[^"]*">([^<]+)<', headline)
    note = f"in-sample CAGR ({pct(inside)}, the mean over the 9 windows"
    assert f"out-of-sample CAGR ({pct(outside)}, the stitched" in headline and note in headline
    if inside > 0:
        assert card.group(1) == f"{outside / inside:.2f}"
    else:
        # A ratio to a flat or losing in-sample figure would read backwards.
        assert card.group(1) == "n/a" and "Here n/a: the in-sample CAGR is not above 0" in headline


def test_risk_free_reaches_the_out_of_sample_statistics(results, pages):
    wf = results["stats"]
    page = render_walk_forward_report(wf, risk_free=0.03)
    for rate, text in ((0.0, pages["stats"]), (0.03, page)):
        card = re.search(r'Sharpe ratio</div><div class="v[^"]*">([^<]+)<', text).group(1)
        assert card == f"{wf.stats(risk_free=rate)['sharpe']:.2f}"
    assert page != pages["stats"]


def test_the_same_bytes_twice_and_a_stamp_only_in_the_footer(results, pages, tmp_path):
    wf = results["stats"]
    first = wf.report(tmp_path / "a.html")
    assert first == tmp_path / "a.html"
    assert first.read_bytes() == wf.report(tmp_path / "b.html").read_bytes()
    assert first.read_text(encoding="utf-8") == pages["stats"]
    stamped = wf.report(tmp_path / "c.html", stamp=True).read_text(encoding="utf-8")
    footer = r"<footer>orvane &middot; written \d{4}-\d\d-\d\d \d\d:\d\d UTC</footer>"
    assert re.search(footer, stamped)
    assert re.sub(footer, "<footer>orvane</footer>", stamped) == pages["stats"]


def test_a_folder_gets_the_reports_file_name(results, tmp_path):
    written = results["stats"].report(tmp_path, title="<Mine> & co")
    assert written == tmp_path / REPORT_NAME == tmp_path / "orvane-walk-forward-report.html"
    page = written.read_text(encoding="utf-8")
    assert "<title>&lt;Mine&gt; &amp; co</title>" in page and "<Mine>" not in page


@pytest.mark.parametrize("kwargs, error, message", [
    ({"title": None}, TypeError, "title must be a str, got NoneType None"),
    ({"title": 3}, TypeError, "title must be a str, got int 3"),
    ({"risk_free": 4.0}, ValueError, "risk_free must be an annual rate as a fraction"),
    ({"stamp": "yes"}, TypeError, "stamp must be True or False, got 'yes'"),
])
def test_bad_arguments_are_refused_by_name_and_nothing_is_written(kwargs, error, message,
                                                                  results, tmp_path):
    with pytest.raises(error, match=message):
        results["stats"].report(tmp_path / "r.html", **kwargs)
    assert list(tmp_path.iterdir()) == []


def test_an_unwritable_path_is_named(results, tmp_path):
    (tmp_path / "file").write_text("")
    target = tmp_path / "file" / "r.html"
    with pytest.raises(OSError, match=rf"cannot write {re.escape(str(target))}: "):
        results["stats"].report(target)
    with pytest.raises(TypeError, match="result must be a WalkForwardResult, got SweepResult"):
        render_walk_forward_report(results["stats"].sweeps[0])
