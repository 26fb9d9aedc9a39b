"""The result's book from the engine's ledger: trades that add up to the equity, exposure
and costs per bar, holdings joined from their rebalance segments."""

import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
import orvane.stats
from orvane import datasets

CASES = [
    dict(fee=0.01, tax=0.02),
    dict(stop_loss=0.05, take_profit=0.1, trailing_stop=0.04, fee=0.002),
    dict(trade_at="open", intrabar_exits=True, stop_loss=0.05, take_profit=0.1, tax=0.01),
    dict(keep_costs_on_rebalance=True, position_limit=0.08, delistings="infer"),
    dict(split_trades_on_rebalance=False, rebalance="Q", skip_stopped_until_rebalance=False,
         stop_loss=0.03),
    # Financing on top of costs, stops and delistings: interest is the one flow no trade owns.
    dict(cash_rate=0.05, borrow_fee=0.02, dividends="random", fee=0.003, tax=0.002,
         stop_loss=0.05, delistings="infer"),
    dict(cash_rate=0.03, short_rebate=0.0, borrow_fee="per name", dividends="random",
         trade_at="open", intrabar_exits=True, stop_loss=0.04, take_profit=0.1, day_count=365,
         keep_costs_on_rebalance=True),
    # Book controls: trades left alone by the band, whole lots paying buy fees from cash.
    dict(max_gross=1.6, band=0.01, min_trade=0.002, capital=250_000, lot=10, fee=0.002,
         tax=0.003, stop_loss=0.06, cash_rate=0.02, borrow_fee=0.01, dividends="random"),
    # Execution by size and liquidity with everything else on: costs by kind, capped and
    # carried trades, capped intrabar stops.
    dict(capital=5e6, slippage=0.0005, spread="edge", impact=0.8, max_participation=0.02,
         cap_exits=True, trade_at="open", intrabar_exits=True, stop_loss=0.05,
         take_profit=0.1, cash_rate=0.03, borrow_fee=0.02, dividends="random", max_gross=1.5,
         band=0.005, fee=0.001, delistings="infer"),
    dict(capital=2e7, spread=0.002, impact=0.5, impact_exponent=0.6, max_participation=0.05,
         unfilled="cancel", stop_loss=0.04, cap_exits=True, lot=10,
         keep_costs_on_rebalance=True, split_trades_on_rebalance=False, cash_rate=0.01,
         borrow_fee=0.01, dividends="random"),
]


def random_dividends(market, seed):
    """About one ex-date a quarter per ticker, 0.5-2 % of the previous close."""
    close = market["close"]
    rng = np.random.default_rng(seed)
    paid = (rng.random(close.shape) < 1 / 63) * rng.uniform(0.005, 0.02, close.shape)
    return pd.DataFrame(paid * close.shift(1).to_numpy(), index=close.index,
                        columns=close.columns).fillna(0.0)


def run(seed, **options):
    options = dict(options)
    market = datasets.synthetic_market(stocks=40, years=3, seed=seed)
    # Long-heavy and resized every month: every cost path of the book is exercised.
    weights = datasets.momentum(market, top=8, bottom=4, lookback=40, skip=5)
    weights = weights * np.linspace(0.6, 1.4, len(weights))[:, None]
    if options.get("dividends") == "random":
        options["dividends"] = random_dividends(market, seed)
    if options.get("borrow_fee") == "per name":
        tickers = market["close"].columns
        options["borrow_fee"] = pd.Series(np.linspace(0.0, 0.6, len(tickers)), index=tickers)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(weights, market, **options)


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("options", CASES, ids=lambda o: ",".join(o))
def test_trades_add_up_to_the_equity_and_costs_to_the_book(seed, options):
    result = run(seed, **options)
    equity, trades = result.equity, result.trades
    change = equity.iloc[-1] - equity.iloc[0]
    financed = "cash_rate" in options
    interest = result.cash_flows["interest"].sum() if financed else 0.0
    assert abs(change - (trades["pnl"].sum() + interest)) <= 1e-9 * max(abs(change), 1.0)
    if financed:
        flows = result.cash_flows
        assert (flows["borrow"] < 0).any() and (flows["dividends"] != 0).any() and interest > 0
        # Borrow and dividends belong to the trades, and nothing else does.
        assert np.isclose(trades["financing"].sum(), flows["borrow"].sum() + flows["dividends"].sum(),
                          rtol=1e-9, atol=1e-12)
        assert (trades.loc[trades["side"] == "long", "financing"] >= 0).all()
    assert np.isclose(trades["costs"].sum(), result.costs["total"].sum(), rtol=1e-9, atol=1e-12)
    if "capital" in options and "impact" in options:
        for kind in ("slippage", "spread", "impact"):
            assert np.isclose(trades[f"{kind}_cost"].sum(), result.costs[kind].sum(),
                              rtol=1e-9, atol=1e-15), kind
        assert result.costs["impact"].sum() > 0 and trades["capped"].any()
    assert (trades["costs"] >= 0).all()
    book = result.exposure
    np.testing.assert_allclose(book["gross"], book["long"] - book["short"], rtol=1e-12)
    np.testing.assert_allclose(book["cash"] + book["net"], 1.0, rtol=1e-12)
    assert (book["short"] <= 0).all() and (book["long"] >= 0).all()
    assert book.index.equals(equity.index) and result.costs.index.equals(equity.index)


def test_holdings_join_the_segments_of_one_position():
    result = run(3, fee=0.001)
    records, holdings = result.trades, result.round_trips()
    assert len(holdings) < len(records) and holdings["records"].sum() == len(records)
    assert np.isclose(holdings["pnl"].sum(), records["pnl"].sum(), rtol=1e-12)
    assert holdings["bars_held"].sum() == records["bars_held"].sum()
    longest = holdings.loc[holdings["records"].idxmax()]
    parts = records[(records["ticker"] == longest["ticker"])
                    & (records["entry_date"] >= longest["entry_date"])
                    & ((records["entry_date"] < longest["exit_date"]) | pd.isna(longest["exit_date"]))]
    parts = parts[parts["side"] == longest["side"]].head(longest["records"])
    assert np.isclose(longest["return"], np.prod(1 + parts["return"]) - 1, rtol=1e-12)
    assert longest["exit_reason"] == parts["exit_reason"].iloc[-1]
    stats = result.stats()
    assert stats["holdings"] == len(holdings) and stats["trades"] == len(records)
    # The holding rows are the trade statistics of the holdings table.
    per = orvane.stats.trade_stats(holdings)
    assert stats["holding_win_rate"] == per["win_rate"]
    assert stats["avg_bars_per_holding"] == per["avg_bars_held"]
    assert stats["holding_profit_factor"] == pytest.approx(per["profit_factor"], rel=1e-12)
    assert stats["total_costs"] == pytest.approx(result.costs["total"].sum(), rel=1e-12)
    assert stats["return_before_costs"] == pytest.approx(stats["total_return"] + stats["total_costs"])
    assert 0 < stats["avg_gross_exposure"] <= 1.0 + 1e-9


def test_the_report_shows_exposure_and_costs(tmp_path):
    pytest.importorskip("matplotlib")
    result = run(1, fee=0.002)
    page = result.report(tmp_path / "r.html").read_text(encoding="utf-8")
    assert '<section id="exposure">' in page and "costs paid" in page
    assert "Win rate (per holding)" in page and "Win rate (per record)" in page


def test_an_intrabar_stop_is_reported_at_the_level_it_filled():
    days = pd.bdate_range("2024-01-01", periods=5)
    close = pd.DataFrame({"A": [100.0, 100, 100, 100, 100], "B": 50.0}, index=days)
    low = close.copy()
    low.loc[days[3], "A"] = 80.0   # the 10 % stop is touched on the fourth bar
    prices = {"open": close, "high": close * 1.01, "low": low * 0.999, "close": close}
    weights = pd.DataFrame({"A": [1.0], "B": [0.0]}, index=days[:1])
    trade = orvane.backtest(weights, prices, stop_loss=0.1, intrabar_exits=True, fee=0.0,
                            tax=0.0).trades.iloc[0]
    assert trade["exit_date"] == days[3] and trade["exit_reason"] == "exit_rule"
    assert trade["exit_price"] == pytest.approx(90.0, rel=1e-14)
    assert trade["pnl"] == pytest.approx(-0.1, rel=1e-12)
