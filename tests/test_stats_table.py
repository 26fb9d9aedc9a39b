"""The statistics table and its readers (summary, text, both reports, walk-forward), and the
returns a result hands out: the very ones its statistics are computed on."""

import math
import re
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets
from orvane.stats import STATISTICS, TABLE, format_summary
from orvane.stats import BENCHMARK_NAMES, BOOK_NAMES
from orvane.stats._table import KINDS, NEEDS, NUMERIC, grouped, text
from orvane.stats import metric_direction

YEAR = math.sqrt(252)


@pytest.fixture(scope="module")
def market():
    return datasets.synthetic_market(stocks=40, years=3, seed=11)


@pytest.fixture(scope="module")
def result(market):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(datasets.momentum(market, top=5, bottom=5, lookback=42), market,
                               stop_loss=0.08, delistings=market.delistings,
                               benchmark=market.close.columns[3])


# ------------------------------------------------------------------ returns

def _sortino(r):
    return np.mean(r) / math.sqrt(np.mean(np.minimum(r, 0.0) ** 2)) * YEAR


def _skew(r):
    x = np.asarray(r)
    n, d = len(x), x - x.mean()
    return math.sqrt(n * (n - 1)) / (n - 2) * np.mean(d ** 3) / np.mean(d ** 2) ** 1.5


# What a user would write on result.returns; pandas' own skew and kurtosis sum their
# moments in another order, so they agree to rounding only.
BY_HAND = [
    ("sharpe", lambda r: np.mean(r) / np.std(r, ddof=1) * YEAR, 1e-15),
    ("sharpe", lambda r: r.mean() / r.std() * YEAR, 1e-15),
    ("annual_volatility", lambda r: np.std(r, ddof=1) * YEAR, 1e-15),
    ("annual_volatility", lambda r: r.std() * YEAR, 1e-15),
    ("sortino", _sortino, 1e-15),
    ("skew", _skew, 1e-15),
    ("skew", lambda r: r.skew(), 1e-12),
    ("kurtosis", lambda r: r.kurt(), 1e-12),
    ("var_95", lambda r: np.quantile(r.to_numpy(), 0.05), 1e-15),
]


@pytest.mark.parametrize("name, compute, rel", BY_HAND)
def test_statistics_by_hand_from_result_returns_equal_stats(result, name, compute, rel):
    assert compute(result.returns) == pytest.approx(result.stats()[name], rel=rel, abs=0)


def test_the_first_live_bar_has_no_return(result):
    equity, returns = result.equity, result.returns
    assert returns.index.equals(equity.index[1:]) and returns.notna().all()
    # A rolling window over every return is the whole run's figures.
    last = result.rolling(window=len(returns)).iloc[-1]
    stats = result.stats()
    assert last["sharpe"] == pytest.approx(stats["sharpe"], rel=1e-10)
    assert last["volatility"] == pytest.approx(stats["annual_volatility"], rel=1e-10)


def test_calendar_tables_start_with_the_first_return(result):
    start = result.start
    equity = result.equity
    months = result.monthly_returns()
    alone = (equity.index.year == start.year) & (equity.index.month == start.month)
    # Monthly weights start on a month's last bar: that month has no return at all.
    assert alone.sum() == 1 and np.isnan(months.loc[start.year, start.month])
    yearly = result.yearly_returns()
    first = equity[equity.index.year == start.year]
    assert yearly["return"].iloc[0] == pytest.approx(first.iloc[-1] / first.iloc[0] - 1)
    # The benchmark's first move (from the first live bar) counts too.
    bench = result.benchmark[equity.index.year == start.year]
    assert yearly["benchmark"].iloc[0] == pytest.approx(bench.iloc[-1] / bench.iloc[0] - 1,
                                                        rel=1e-12)


# ------------------------------------------------------------------ the table

@pytest.mark.parametrize("row", TABLE, ids=[s.name for s in TABLE])
def test_rows_are_well_formed(row):
    assert row.kind in KINDS and row.needs in NEEDS and row.better in (True, False, None)
    if row.kind in ("date", "recovery"):
        assert row.better is None and row.card is None and row.sweep is None


def test_summary_follows_the_table_with_values_of_each_kind(result):
    stats = result.stats()
    # With a benchmark and the engine's book, every row but the ruin's, financing's and
    # execution's.
    assert list(stats.index) == [s.name for s in TABLE
                                 if s.needs not in ("ruin", "financing", "execution")]
    for name, value in stats.items():
        kind = STATISTICS[name].kind
        if kind in ("date", "recovery"):
            assert value is pd.NaT or isinstance(value, pd.Timestamp), name
        elif kind == "int":
            assert isinstance(value, (int, np.integer)), name
        else:
            assert isinstance(value, float), name
    text = format_summary(stats)
    assert list(text.index) == [STATISTICS[n].label for n in stats.index]


def test_a_statistic_asked_for_by_its_old_name_says_its_new_one(result):
    with pytest.raises(KeyError, match=r"'exposure' is now 'time_in_market': stats\(\)\['time_in_market'\]"):
        result.stats()["exposure"]


def _bare(result, **fields):
    import types
    return types.SimpleNamespace(equity=result.equity, trades=result.trades, start=result.start,
                                 **fields)


@pytest.mark.parametrize("names, full, lacking", [
    # A stand-in for a result without the engine's book: no round trips, exposure or costs.
    (BOOK_NAMES, lambda r: r.stats(), lambda r: orvane.stats.summary(_bare(r, benchmark=r.benchmark))),
    (BENCHMARK_NAMES, lambda r: orvane.stats.summary(_bare(r, benchmark=r.benchmark)),
     lambda r: orvane.stats.summary(_bare(r))),
], ids=["book", "benchmark"])
def test_the_named_rows_are_the_ones_a_run_without_their_inputs_lacks(result, names, full, lacking):
    with_them, without = full(result).index, lacking(result).index
    assert [n for n in with_them if n not in without] == list(names)
    assert set(without) <= set(with_them)


@pytest.mark.parametrize("names, expected", [
    (["sharpe", "total_return", "trades"],
     [("Returns", ["total_return"]), ("Risk", ["sharpe"]), ("Trade records", ["trades"])]),
    # A name of the caller's own joins the last group; names keep the order given.
    (["mine", "interest_earned", "cagr"],
     [("Returns", ["cagr"]), ("Financing", ["interest_earned"]), ("Execution", ["mine"])]),
    (["mine"], [("Execution", ["mine"])]),
])
def test_report_groups_in_table_order_with_unknown_names_last(names, expected):
    assert [(heading, members) for heading, _, members in grouped(names)] == expected


@pytest.mark.parametrize("value, kind, shown", [
    (1234.6, "int", "1,234"), (0.1234, "pct", "12.34%"), (1.266, "ratio", "1.27"),
    (1.266, "float", "1.3"), (1.266, "times", "1.27x"), (math.inf, "pct", "inf"),
    (-math.inf, "ratio", "-inf"), (np.nan, "pct", "n/a"), (None, "ratio", "n/a"),
    (pd.NaT, "recovery", "not yet"), (pd.NaT, "date", "n/a"),
    (pd.Timestamp("2021-01-04 15:30"), "date", "2021-01-04"),
    # From a million on (of percent for "pct") three significant digits, below it all of them.
    (1e4, "pct", "1e+06%"), (9999.99, "pct", "999,999.00%"), (1.234e25, "pct", "1.23e+27%"),
    (-12345.6, "pct", "-1.23e+06%"), (2e4, "ratio", "20,000.00"), (999999.0, "float", "999,999.0"),
    (1e6, "float", "1e+06"), (-1e6, "ratio", "-1e+06"), (3.21e7, "times", "3.21e+07x"),
    (999999.0, "times", "999,999.00x"),
])
def test_values_as_text_by_kind(value, kind, shown):
    assert text(value, kind) == shown


def test_rows_left_out_without_their_inputs(market):
    plain = orvane.backtest(datasets.momentum(market, top=5, bottom=5), market)
    names = list(plain.stats().index)
    assert names == [s.name for s in TABLE if s.needs in ("equity", "trades", "book")]


def test_the_report_groups_and_cards_come_from_the_table(result):
    pytest.importorskip("matplotlib")
    from orvane.report import render_report

    page = render_report(result)
    part = page[page.index('id="summary"'):page.index('id="equity"')]
    cards = re.findall(r'<div class="k">([^<]+)</div><div class="v ([a-z]*)">', part)
    assert [label for label, _ in cards] == [
        STATISTICS[n].label for n in ("total_return", "cagr", "sharpe", "max_drawdown",
                                      "annual_volatility", "win_rate")]
    # Volatility has no good sign: never coloured.
    assert dict(cards)["Annual volatility"] == ""
    blocks = re.findall(r"<h3>([^<]+)(?:<small>[^<]*</small>)?</h3>(.*?)</table>", part)
    shown = {heading.strip(): re.findall(r"<tr><td>([^<]+)</td>", rows)
             for heading, rows in blocks}
    stats = result.stats()
    expected = {}
    for name in stats.index:
        expected.setdefault(STATISTICS[name].group, []).append(STATISTICS[name].label)
    assert shown == expected
    assert list(shown) == ["Returns", "Risk", "Against the benchmark", "Trade records",
                           "Holdings and book"]


def test_a_notebook_shows_the_headline_then_trades_then_the_benchmark(result, market):
    from orvane.report import headline_html

    plain = orvane.backtest(datasets.momentum(market, top=5, bottom=5), market)
    head = ["Period", "Final value", *(STATISTICS[n].label for n in (
        "total_return", "cagr", "sharpe", "max_drawdown", "annual_volatility", "win_rate",
        "trades"))]
    against = [STATISTICS[n].label for n in ("benchmark_total_return", "alpha", "beta")]
    for shown, rows in ((plain, head), (result, head + against)):
        assert re.findall(r'<th style="text-align:left">([^<]+)</th>',
                          headline_html(shown)) == rows


@pytest.fixture(scope="module")
def swept(market):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.sweep(market, {"lookback": [21, 42], "stop_loss": [None, 0.05]},
                            strategy=datasets.momentum, workers=1, progress=False)


@pytest.mark.parametrize("metric, way", [
    ("sharpe", "highest"), ("annual_volatility", "lowest"), ("trades", "highest"),
])
def test_the_sweep_report_columns_and_order(swept, metric, way):
    pytest.importorskip("matplotlib")
    from orvane.sweep.report import render_sweep_report

    page = render_sweep_report(swept, metric=metric)
    runs = page[page.index('id="runs"'):page.index('id="heat"')]
    # The statistics' headers (the parameters' are left-aligned, class "l"); the metric's
    # is the key column.
    head = re.findall(r'<th(?: class="(?:key)?")?>([^<]+)</th>', runs.split("</thead>")[0])[1:]
    columns = ["sharpe", "cagr", "total_return", "max_drawdown", "annual_volatility", "trades"]
    assert head == [STATISTICS[n].label for n in [metric, *(c for c in columns if c != metric)]]
    assert f"first ({way})" in runs
    values = pd.to_numeric(swept.table[metric]).to_numpy()
    first = re.search(r"<tr><td>1</td>(?:<td class=\"l\">[^<]*</td>)*<td>([^<]+)</td>", runs)
    best = values.max() if way == "highest" else values.min()
    assert first.group(1) == format_summary(pd.Series({metric: best})).iloc[0]


DIRECTIONS = [
    # Gains and risk-adjusted gains: the higher the better.
    ("total_return", True), ("cagr", True), ("sharpe", True), ("sortino", True),
    ("probabilistic_sharpe", True), ("calmar", True), ("skew", True), ("alpha", True),
    ("information_ratio", True), ("up_capture", True), ("return_before_costs", True),
    ("best_day", True), ("best_month", True), ("best_year", True),
    # Losses are negative: the highest is the mildest.
    ("max_drawdown", True), ("var_95", True), ("cvar_95", True), ("worst_day", True),
    ("worst_month", True), ("worst_year", True), ("avg_loss", True),
    # Per trade record and holding: won by money, and the excursions of winners and losers
    # (MAE below 0, MFE above) the higher the better.
    ("win_rate", True), ("profit_factor", True), ("avg_win", True), ("holding_win_rate", True),
    ("holding_profit_factor", True), ("avg_mae_winners", True), ("avg_mfe_winners", True),
    ("avg_mae_losers", True), ("avg_mfe_losers", True),
    # Money received from financing is a gain, money paid a cost.
    ("interest_earned", True), ("dividends_received", True),
    ("borrow_paid", False), ("dividends_paid", False),
    # Execution: costs paid, trades the cap cut and weight left unfilled.
    ("slippage_paid", False), ("spread_paid", False), ("impact_paid", False),
    ("avg_participation", False), ("p95_participation", False),
    ("capped_trades", False), ("avg_shortfall", False),
    # Risk and costs: the lower the better.
    ("annual_volatility", False), ("turnover", False), ("down_capture", False),
    ("total_costs", False),
    # Neither by itself: sizes, counts, exposures and the benchmark's own figures.
    ("trades", None), ("time_in_market", None), ("avg_bars_held", None), ("beta", None),
    ("kurtosis", None), ("holdings", None), ("avg_gross_exposure", None),
    ("avg_net_exposure", None), ("avg_bars_per_holding", None), ("correlation", None),
    ("tracking_error", None), ("benchmark_total_return", None), ("benchmark_cagr", None),
    ("benchmark_max_drawdown", None), ("return_before_financing", None),
]


def test_every_numeric_statistic_has_a_direction_here():
    named = [metric for metric, _ in DIRECTIONS]
    assert len(named) == len(set(named)) and set(named) == set(NUMERIC)


@pytest.mark.parametrize("metric, better", DIRECTIONS)
def test_walk_forward_direction_by_default(metric, better):
    if better is None:
        with pytest.raises(ValueError, match=f"maximize must be True or False for "
                                             f"metric='{metric}'"):
            metric_direction(metric)
        assert metric_direction(metric, False) is False
    else:
        assert metric_direction(metric) is better


@pytest.mark.parametrize("metric", ["exposure", "start", "max_drawdown_recovery", "nope"])
def test_walk_forward_refuses_what_is_not_a_numeric_statistic(metric):
    with pytest.raises(ValueError, match="metric must be a numeric statistic of stats()"):
        metric_direction(metric)
