"""The tear sheet: figures as text by their kind, and the report: every section, the same
bytes twice, a narrow chart for phones, labels that read.  Its statistics are checked
against closed forms in the formula table of test_analytics."""

import re
import struct
import warnings

import pandas as pd
import pytest

import orvane
from orvane import datasets
from orvane.report import render_report
from orvane.stats._table import text


@pytest.mark.parametrize("value, kind, shown", [
    (0.1234, "pct", "12.34%"), (123.4567, "pct", "12,345.67%"), (1e25, "pct", "1e+27%"),
    (-2e4, "pct", "-2e+06%"), (1234.5, "ratio", "1,234.50"), (2.5e9, "ratio", "2.5e+09"),
    (12345.67, "times", "12,345.67x"), (1e7, "float", "1e+07"), (1234567, "int", "1,234,567"),
])
def test_figures_read_by_their_kind(value, kind, shown):
    assert text(value, kind) == shown


@pytest.fixture(scope="module")
def run():
    pytest.importorskip("matplotlib")
    market = datasets.synthetic_market(stocks=30, years=3, seed=5)
    weights = datasets.momentum(market, top=5, bottom=5)
    bench = market.close.mean(axis=1).rename("EW")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        plain = orvane.backtest(weights, market, stop_loss=0.1)
        with_bench = orvane.backtest(weights, market, stop_loss=0.1, benchmark=bench)
        # Daily weights from mid-month traded at month ends: the first month holds nothing.
        daily = weights.reindex(market.close.index).ffill().dropna(how="all")
        daily = daily.loc[daily.index >= daily.index[0] + pd.Timedelta(days=45)]
        daily = daily.loc[daily.index.day >= 10]
        monthly = orvane.backtest(daily, market, rebalance="M")
    return plain, with_bench, monthly


def png_width(data_uri):
    import base64
    head = base64.b64decode(data_uri.split(",", 1)[1][:64])
    return struct.unpack(">I", head[16:20])[0]


def test_the_report_is_the_same_bytes_twice_and_stamped_only_when_asked(run):
    plain = run[0]
    page = render_report(plain)
    assert render_report(plain) == page and "written" not in page
    assert re.search(r"written \d{4}-\d\d-\d\d \d\d:\d\d UTC", render_report(plain, stamp=True))


def test_every_chart_has_a_narrow_variant_for_phones(run):
    page = render_report(run[1])
    for section in ("summary", "equity", "drawdowns", "trailing", "yearly", "distribution",
                    "rolling", "exposure", "monthly", "excursions", "trades", "actions", "settings"):
        assert f'<section id="{section}">' in page
    pictures = re.findall(r'<picture><source media="\(max-width: 640px\)" srcset="([^"]+)">'
                          r'<img alt="[^"]+" src="([^"]+)"></picture>', page)
    assert len(pictures) == 5 and page.count("<img") == 5
    for narrow, wide in pictures:
        # Same text sizes on a figure under half as wide: legible at a phone's width.
        assert png_width(narrow) < 0.5 * png_width(wide)


def test_report_labels_read(run):
    plain, with_bench, monthly = run
    page = render_report(with_bench)
    assert "benchmark EW" in page and "a series of" not in page
    trailing = page[page.index('id="trailing"'):page.index('id="yearly"')]
    for window, row in with_bench.trailing_returns().iterrows():
        assert f'<td class="l">{window}</td>' in trailing
    assert "Probabilistic Sharpe" in page and "Holdings and book" in page.replace("HOLDINGS", "Holdings")
    # The win rate is shown plain: by itself it says nothing of the book.
    assert re.search(r'Win rate \(per record\)</div><div class="v ">', page)
    heat = render_report(monthly)
    heat = heat[heat.index('id="monthly"'):heat.index('id="excursions"')]
    cells = re.findall(r'<td style="[^"]*">([^<]*)</td>', heat)
    assert monthly.returns.iloc[:5].eq(0).all()      # the run starts flat ...
    assert next(c for c in cells if c) != "0.0%"     # ... and that month reads blank
