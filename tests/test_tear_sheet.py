"""The tear sheet's figures against closed forms (probabilistic Sharpe, trailing returns,
rolling Sortino and beta, figures as text) and the report built from them: every section,
the same bytes twice, a narrow chart for phones, labels that read."""

import math
import re
import struct
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets, stats
from orvane.report import render_report
from orvane.stats._table import text

# A two-point series: mean MU, deviation D, so its skewness is 0 and kurtosis 1, and the
# probabilistic Sharpe ratio reduces to Z(MU / D * (n - 1) / sqrt(n)).
MU, D, N = 0.001, 0.01, 100
TWO_POINT = pd.Series(MU + D * np.tile([1.0, -1.0], N // 2),
                      index=pd.bdate_range("2020-01-01", periods=N))
# A curve up 10 % a year compounded over calendar days, every day from 2020-01-01.
DAILY = pd.date_range("2020-01-01", "2024-06-30", freq="D")
TEN = pd.Series(1.1 ** ((DAILY - DAILY[0]).days / 365.25), index=DAILY)
U = np.array([1.0, -1, 1, -1, 1, -1, 1, -1])
V = np.array([1.0, 1, -1, -1, 1, 1, -1, -1])
DAYS = pd.bdate_range("2021-01-04", periods=8)
BO = pd.Series(0.001 + 0.01 * U, index=DAYS)
RO = pd.Series(0.002 + 0.012 * U + 0.016 * V, index=DAYS)


def normal_cdf(x):
    return 0.5 * (1 + math.erf(x / math.sqrt(2)))


def grown(days):
    return 1.1 ** (days / 365.25) - 1


FORMULAS = [
    (lambda: stats.probabilistic_sharpe_ratio(TWO_POINT, 252), normal_cdf(MU / D * (N - 1) / math.sqrt(N))),
    # A threshold of the annual Sharpe itself: a coin toss.
    (lambda: stats.probabilistic_sharpe_ratio(
        TWO_POINT, 252, threshold=MU / (D * math.sqrt(N / (N - 1))) * math.sqrt(252)), 0.5),
    # The risk-free rate comes off the mean first, as in the Sharpe ratio.
    (lambda: stats.probabilistic_sharpe_ratio(TWO_POINT, 252, risk_free=0.0252),
     normal_cdf((MU - 0.0001) / D * (N - 1) / math.sqrt(N))),
    (lambda: stats.probabilistic_sharpe_ratio(TWO_POINT[:1], 252), np.nan),
    (lambda: stats.probabilistic_sharpe_ratio(TWO_POINT * 0 + 0.01, 252), np.nan),
    (lambda: stats.trailing_returns(TEN).loc["MTD", "strategy"], grown(30)),      # from 31 May
    (lambda: stats.trailing_returns(TEN).loc["3M", "strategy"], grown(92)),       # from 30 Mar
    (lambda: stats.trailing_returns(TEN).loc["6M", "strategy"], grown(183)),      # from 30 Dec
    (lambda: stats.trailing_returns(TEN).loc["YTD", "strategy"], grown(182)),     # from 31 Dec
    (lambda: stats.trailing_returns(TEN).loc["1Y", "strategy"], grown(366)),      # a leap year
    (lambda: stats.trailing_returns(TEN).loc["3Y", "strategy"], 0.1),
    (lambda: stats.trailing_returns(TEN).loc["All", "strategy"], 0.1),
    (lambda: stats.trailing_returns(TEN).loc["5Y", "strategy"], np.nan),          # 4.5 years
    (lambda: stats.trailing_returns(TEN, TEN * 2).loc["3Y", "benchmark"], 0.1),
    (lambda: stats.trailing_returns(TEN.iloc[:1]).loc["All", "strategy"], np.nan),
    # beta 0.012 / 0.01 over the whole window, undefined before it is full.
    (lambda: stats.rolling_stats(RO, 8, 252, benchmark=BO)["beta"].iloc[-1], 1.2),
    (lambda: stats.rolling_stats(RO, 8, 252, benchmark=BO)["beta"].iloc[-2], np.nan),
    (lambda: stats.rolling_stats(RO, 4, 252)["sortino"].iloc[-1],
     RO[-4:].mean() / math.sqrt((np.minimum(RO[-4:], 0) ** 2).mean()) * math.sqrt(252)),
    (lambda: stats.rolling_stats(RO.abs(), 4, 252)["sortino"].iloc[-1], np.nan),  # no loss
]


@pytest.mark.parametrize("call, expected", FORMULAS)
def test_figure_matches_its_formula(call, expected):
    got = call()
    if np.isnan(expected):
        assert np.isnan(got)
    else:
        assert got == pytest.approx(expected, rel=1e-12, abs=1e-15)


@pytest.mark.parametrize("value, kind, shown", [
    (0.1234, "pct", "12.34%"), (123.4567, "pct", "12,345.67%"), (1e25, "pct", "1e+27%"),
    (-2e4, "pct", "-2e+06%"), (1234.5, "ratio", "1,234.50"), (2.5e9, "ratio", "2.5e+09"),
    (12345.67, "times", "12,345.67x"), (1e7, "float", "1e+07"), (1234567, "int", "1,234,567"),
])
def test_figures_read_by_their_kind(value, kind, shown):
    assert text(value, kind) == shown


@pytest.fixture(scope="module")
def run():
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
