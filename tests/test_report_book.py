"""Reports of the book as it is: leverage and financing in the headline, a financing chart
and financing per year, one sign for money paid, settings in words, the weight a name
holds now, and a sweep report that names only what varied."""

import re
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import _params, datasets

pytest.importorskip("matplotlib")

MARKET = datasets.synthetic_market(stocks=24, years=2, seed=8, trend=0.3)
WEIGHTS = datasets.momentum(MARKET, top=4, bottom=4, lookback=42)
CLOSE = MARKET["close"]
FEES = pd.Series(0.01, index=CLOSE.columns).mask(CLOSE.columns.isin(["S0003", "S0011"]), 0.15)
DIVIDENDS = pd.DataFrame(np.where(np.arange(len(CLOSE))[:, None] % 63 == 7,
                                  0.01 * CLOSE.to_numpy(), 0.0),
                         index=CLOSE.index, columns=CLOSE.columns)
FINANCED = dict(max_gross=2.0, cash_rate=0.04, borrow_fee=FEES, dividends=DIVIDENDS)


def run(weights=WEIGHTS, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(weights, MARKET, stop_loss=0.1, **options)


@pytest.fixture(scope="module")
def financed(tmp_path_factory):
    result = run(WEIGHTS * 2, **FINANCED)
    path = result.report(tmp_path_factory.mktemp("r") / "financed.html")
    return result, path.read_text(encoding="utf-8")


@pytest.fixture(scope="module")
def plain(tmp_path_factory):
    result = run()
    path = result.report(tmp_path_factory.mktemp("r") / "plain.html")
    return result, path.read_text(encoding="utf-8")


def cards(page):
    return dict(re.findall(r'<div class="k">([^<]*)</div><div class="v[^"]*">([^<]*)</div>', page))


def test_a_levered_financed_run_says_so_in_its_headline(financed, plain):
    result, page = financed
    stats, flows = result.stats(), result.cash_flows
    shown = cards(page)
    assert shown["Average gross"] == f"{stats['avg_gross_exposure']:.0%}"
    net = flows["total"].sum()
    assert shown["Financing, net"] == f"{net:+.2%}"
    assert shown["Financing of the return"] == f"{net / stats['total_return']:.0%}"
    assert '<section id="financing">' in page
    # A book at gross 1 without financing shows neither.
    assert not {"Average gross", "Financing, net"} & set(cards(plain[1]))
    assert '<section id="financing">' not in plain[1]


def test_financing_per_year_is_the_year_s_flows_over_its_starting_equity(financed):
    result, page = financed
    yearly = page[page.index('<section id="yearly">'):]
    yearly = yearly[:yearly.index("</section>")]
    shown = re.findall(r'<tr><td class="l">(\d{4})</td><td[^>]*>[^<]*</td><td[^>]*>([^<]*)</td>',
                       yearly)
    equity, flows = result.equity, result.cash_flows["total"]
    for year, text in shown:
        bars = equity.index.year == int(year)
        before = equity.shift(1)[bars].iloc[0]
        start = equity[bars].iloc[0] if np.isnan(before) else before
        assert text == f"{round(flows[bars].sum() / start, 4) + 0.0:.2%}", year
    assert len(shown) == len(set(equity.index.year))


def test_money_paid_reads_alike_in_the_statistics_and_the_captions(financed):
    result, page = financed
    stats = result.stats()
    borrow = f"{stats['borrow_paid']:.2%}"
    assert f"<td>Borrow fees paid (of capital 1.0)</td><td>{borrow}</td>" in page
    assert f"borrow paid {borrow}" in page
    assert f"dividends received {stats['dividends_received']:.2%}, paid " \
           f"{stats['dividends_paid']:.2%}" in page
    # Nowhere a negative zero.
    assert not re.search(r"(?<![\d.])[-\u2212]0(?:\.0+)?%", page)


@pytest.mark.parametrize("name, value, shown", [
    ("borrow_fee", FEES, "per ticker: 22 at 1 % a year, 2 at 15 % a year (S0003, S0011)"),
    ("cash_rate", pd.Series([0.01, 0.03], index=pd.to_datetime(["2010-01-01", "2011-01-03"])),
     "2 dated rates from 1 % to 3 % a year"),
    ("cash_rate", 0.04, "4 % a year"),
    ("dividends", DIVIDENDS, f"{int((DIVIDENDS.fillna(0) != 0).to_numpy().sum()):,} payments "
                             f"on {int((DIVIDENDS.fillna(0) != 0).any(axis=1).sum()):,} dates"),
    ("fee", 0.001425, "0.1425 % of each trade"),
    ("tax", 0.003, "0.3 % of each sale"),
    ("spread", pd.Series({"A": 0.001, "B": 0.001, "C": 0.004}), "per ticker: 2 at 0.1 %, 1 at 0.4 % (C)"),
])
def test_settings_read_in_words_and_percent(name, value, shown):
    assert _params.setting_text(name, value) == shown


def test_the_weight_now_is_the_target_drifted_to_the_last_close(plain):
    result, page = plain
    actions = result.actions
    held = actions[actions["target"] != 0]
    assert len(held)
    # A target drifted: the name's move since its rebalance over the book's.
    done = result.rebalance_dates[-1]
    moved = CLOSE.iloc[-1] / CLOSE.loc[done]
    book = result.equity.loc[done] / result.equity.iloc[-1]
    expected = held["target"] * moved.reindex(held.index) * book
    np.testing.assert_allclose(held["weight"], expected, rtol=1e-12)
    assert (held["weight"] != held["target"]).any()
    ticker = held.index[0]
    row = re.search(rf'<td class="l">{ticker}</td><td>([^<]*)</td><td>([^<]*)</td>', page)
    assert row.groups() == (f"{round(held['weight'].iloc[0], 4) + 0.0:,.2%}",
                            f"{round(held['target'].iloc[0], 4) + 0.0:,.2%}")


def test_the_trades_table_shows_the_money_beside_the_return(financed):
    result, page = financed
    trades = page[page.index('<section id="trades">'):]
    heads = re.findall(r"<th[^>]*>([^<]*)</th>", trades[:trades.index("</thead>")])
    assert heads[:4] == ["Ticker", "Return", "P&amp;L", "Financing"]


def test_a_sweep_report_names_only_what_varied(tmp_path):
    grid = {"stop_loss": [None, 0.05], "lookback": [21, 42], "rebalance": "M", "top": 3}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        swept = orvane.sweep(MARKET, grid, strategy=datasets.momentum, workers=1,
                             progress=False, keep=("stats", "equity"))
    with warnings.catch_warnings():
        # Curves over less than two years once made the date axis warn.
        warnings.simplefilter("error")
        page = swept.report(tmp_path / "s.html").read_text(encoding="utf-8")
    heat = page[page.index('<section id="heat">'):]
    heat = heat[:heat.index("</h2>")]
    assert not re.search(r"\b(rebalance|top)\b", heat)
    runs = page[page.index('<section id="runs">'):]
    heads = re.findall(r"<th[^>]*>([^<]*)</th>", runs[:runs.index("</thead>")])
    assert heads[:4] == ["#", "stop_loss", "lookback", "Sharpe ratio"]
    body = runs[runs.index("<tbody>"):runs.index("</tbody>")]
    assert {r.count("<td") for r in body.split("<tr>")[1:]} == {len(heads)}
    assert "The same in every run: rebalance=M, top=3." in runs
