"""Execution by size and liquidity: what a trade costs and how much of it fills, from the
bars before it; carried and cancelled remainders; names without volume; refusals."""

import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets

DATES = pd.bdate_range("2021-01-04", periods=12)


def flat_market(volume, price=100.0, tickers=("A", "B")):
    """Constant prices (so equity moves only by costs) and the given volume per ticker
    (a number, or a list per bar)."""
    n = len(DATES)
    close = pd.DataFrame(price, index=DATES, columns=list(tickers))
    vol = pd.DataFrame({t: np.broadcast_to(np.asarray(v, dtype=float), (n,)).copy()
                        for t, v in zip(tickers, volume)}, index=DATES)
    return {"open": close, "high": close * 1.01, "low": close * 0.99, "close": close,
            "volume": vol}


def quiet(weights, prices, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = orvane.backtest(weights, prices, fee=0.0, tax=0.0, **options)
    return result, [str(w.message) for w in caught]


def row(date, **weights):
    return pd.DataFrame(weights, index=[pd.Timestamp(date)])


# A 35,000 book buying 100-price shares against a money ADV of 100,000 at a 10 % cap:
# 100 shares a bar toward 350.
CAP = dict(capital=35_000.0, max_participation=0.1)


@pytest.mark.parametrize("unfilled, held, gap", [
    # Carried: ceil(350 / 100) = 4 bars to the target, the shortfall shrinking each bar.
    ("carry", [100, 200, 300, 350, 350], [250, 150, 50, 0, 0]),
    # Cancelled: one slice, the rest missing until the next rebalance.
    ("cancel", [100, 100, 100, 100, 100], [250, 250, 250, 250, 250]),
])
def test_the_cap_fills_a_slice_a_bar_and_the_rest_as_unfilled_says(unfilled, held, gap):
    result, notes = quiet(row("2021-01-04", A=1.0, B=0.0), flat_market([1000.0, 1000.0]),
                          unfilled=unfilled, **CAP)
    bars = DATES[1:6]
    np.testing.assert_allclose(result.exposure["long"].loc[bars] * 35_000 / 100, held,
                               rtol=1e-12)
    np.testing.assert_allclose(result.shortfall["A"].loc[bars] * 35_000 / 100, gap,
                               rtol=1e-12, atol=1e-9)
    assert (result.shortfall["B"] == 0).all()
    assert result.trades["capped"].any()
    assert any("max_participation=0.1 capped" in n for n in notes)


def test_a_new_weight_row_replaces_a_carried_target():
    weights = pd.concat([row("2021-01-04", A=1.0, B=0.0), row("2021-01-06", A=0.0, B=0.5)])
    result, _ = quiet(weights, flat_market([1000.0, 1000.0]), **CAP)
    sf = result.shortfall * 350  # in shares: both names trade at 100 on a 35,000 book
    # Bars 1 and 2 buy 200 of A; from bar 3 the new row sells A and buys B, a cap each.
    np.testing.assert_allclose(sf["A"].loc[DATES[2:5]], [150, -100, 0], atol=1e-9)
    np.testing.assert_allclose(sf["B"].loc[DATES[2:5]], [0, 75, 0], atol=1e-9)
    held = result.exposure["long"] * 350
    np.testing.assert_allclose(held.loc[DATES[1:6]], [100, 200, 200, 175, 175], atol=1e-9)


def test_a_slice_at_the_cap_costs_the_average_impact_of_its_size():
    # Returns alternate +-1 % so sigma is known; volume is constant.
    n = len(DATES)
    close = pd.DataFrame({"A": 100 * np.cumprod([1.0] + [1.01, 1 / 1.01] * ((n - 1) // 2)
                                               + [1.01] * ((n - 1) % 2))}, index=DATES)
    volume = pd.DataFrame({"A": 5000.0}, index=DATES)
    prices = {"close": close, "volume": volume}
    y, delta, cap, capital = 0.7, 0.5, 0.05, 1e6
    # Signalled on bar 10, traded on the last bar: one slice, at the cap.
    result, _ = quiet(row(DATES[10], A=1.0), prices, capital=capital, impact=y,
                      impact_exponent=delta, max_participation=cap, adv_window=5, vol_window=5,
                      lot=1)
    first = result.trades.iloc[0]
    signal = 10
    returns = (close["A"] / close["A"].shift(1) - 1).to_numpy()
    sigma = np.std(returns[signal - 4:signal + 1], ddof=1)
    adv = float(np.mean((close["A"] * volume["A"]).to_numpy()[signal - 4:signal + 1]))
    traded = first["participation"] * adv / capital   # the slice, in units of capital 1.0
    assert first["participation"] <= cap and first["capped"]
    # Whole shares round the capped slice toward zero: within one share of the cap.
    assert cap - first["participation"] < close["A"].iloc[11] / adv
    expected = traded * y * sigma * first["participation"] ** delta / (1 + delta)
    assert first["impact_cost"] == pytest.approx(expected, rel=1e-12)


def test_a_trade_bar_s_own_volume_and_prices_change_neither_its_fill_nor_its_cost():
    market = datasets.synthetic_market(stocks=12, years=1, seed=3)
    weights = datasets.momentum(market, lookback=42, top=3, bottom=3)
    options = dict(capital=5e7, impact=0.8, max_participation=0.02, spread="edge",
                   trade_at="open")
    base, _ = quiet(weights, market, **options)
    bar = int(market["close"].index.get_indexer([base.trades["entry_date"].iloc[0]])[0])
    changed = {f: market[f].copy() for f in ("open", "high", "low", "close", "volume")}
    changed["volume"].iloc[bar] *= 50
    changed["high"].iloc[bar] *= 1.3
    changed["low"].iloc[bar] *= 0.7
    changed["close"].iloc[bar] *= 1.1
    changed["high"].iloc[bar] = np.maximum(changed["high"].iloc[bar], changed["close"].iloc[bar])
    moved, _ = quiet(weights, changed, **options)
    day = market["close"].index[bar]
    # The bar's costs, the shares it bought and what the cap left: all from earlier bars.
    kinds = ["slippage", "spread", "impact"]
    assert base.costs.loc[day, kinds].to_numpy().tobytes() == \
        moved.costs.loc[day, kinds].to_numpy().tobytes()
    assert base.costs.loc[day, "impact"] > 0 and base.costs.loc[day, "spread"] > 0
    entered = base.trades["entry_date"] == day
    assert entered.sum() >= 3
    assert base.trades.loc[entered, "shares"].tolist() == \
        moved.trades.loc[moved.trades["entry_date"] == day, "shares"].tolist()
    assert base.shortfall.loc[day].to_numpy().tobytes() == \
        moved.shortfall.loc[day].to_numpy().tobytes()


@pytest.mark.parametrize("volume", [0.0, np.nan], ids=["zero", "nan"])
@pytest.mark.parametrize("unfilled", ["carry", "cancel"])
def test_a_name_without_volume_never_fills_under_a_cap(volume, unfilled):
    result, notes = quiet(row("2021-01-04", A=0.5, B=0.5), flat_market([1000.0, volume]),
                          unfilled=unfilled, capital=1000.0, max_participation=0.1)
    assert (result.trades["ticker"] == "B").sum() == 0
    assert result.exposure["long"].iloc[-1] == pytest.approx(0.5)
    assert result.shortfall["B"].iloc[1] == pytest.approx(0.5)
    assert any("could not trade" in n and "[B]" in n for n in notes)


def test_capital_alone_changes_the_costs_and_the_fills():
    market = datasets.synthetic_market(stocks=12, years=1, seed=5)
    weights = datasets.momentum(market, lookback=42, top=3, bottom=3)
    small, _ = quiet(weights, market, capital=1e6, impact=0.8, max_participation=0.05)
    large, _ = quiet(weights, market, capital=1e9, impact=0.8, max_participation=0.05)
    assert small.stats()["impact_paid"] < large.stats()["impact_paid"]
    assert small.stats()["capped_trades"] < large.stats()["capped_trades"]
    assert small.stats()["avg_shortfall"] < large.stats()["avg_shortfall"]


def test_zero_costs_are_the_run_without_them_bit_for_bit():
    market = datasets.synthetic_market(stocks=12, years=1, seed=6)
    weights = datasets.momentum(market, lookback=42, top=3, bottom=3)
    plain, _ = quiet(weights, market, stop_loss=0.05)
    zero, _ = quiet(weights, market, stop_loss=0.05, slippage=0.0, spread=0.0)
    assert plain.equity.to_numpy().tobytes() == zero.equity.to_numpy().tobytes()
    assert zero.costs[["slippage", "spread", "impact"]].to_numpy().sum() == 0.0


@pytest.mark.parametrize("cost", [
    0.001,
    pd.Series(0.001, index=datasets.synthetic_market(stocks=12, years=1, seed=7)["close"].columns),
], ids=["number", "per ticker"])
def test_slippage_and_half_the_spread_are_their_fractions_of_the_traded_value(cost):
    market = datasets.synthetic_market(stocks=12, years=1, seed=7)
    weights = datasets.momentum(market, lookback=42, top=3, bottom=3)
    result, _ = quiet(weights, market, slippage=cost, spread=cost)
    trades = result.trades
    # Slippage is the whole fraction, the spread half of it: the spread paid is half.
    np.testing.assert_allclose(trades["spread_cost"] * 2, trades["slippage_cost"], rtol=1e-12)
    costs = result.costs
    assert costs["slippage"].sum() == pytest.approx(trades["slippage_cost"].sum(), rel=1e-12)
    assert costs["total"].sum() == pytest.approx(
        costs[["fees", "tax", "slippage", "spread", "impact"]].sum().sum(), rel=1e-12)


def test_a_cost_frame_reads_each_row_from_the_bar_after_its_date():
    prices = flat_market([1000.0, 1000.0])
    frame = pd.DataFrame({"A": [0.001, 0.01], "B": [0.0, 0.0]}, index=DATES[[0, 4]])
    weights = pd.concat([row(DATES[0], A=1.0), row(DATES[3], A=0.5), row(DATES[4], A=1.0)])
    result, _ = quiet(weights, prices, slippage=frame)
    slip = result.costs["slippage"]
    # Bar 1 buys all of A at 0.1 %; bar 4 (signal bar 3) sells half at 0.1 %, bar 5 (signal
    # bar 4, the frame's new row) buys it back at 1 %.
    assert slip.loc[DATES[1]] == pytest.approx(0.001, rel=1e-12)
    assert slip.loc[DATES[4]] / result.equity.loc[DATES[3]] == pytest.approx(0.5 * 0.001, rel=1e-3)
    assert slip.loc[DATES[5]] / result.equity.loc[DATES[4]] == pytest.approx(0.5 * 0.01, rel=1e-2)


@pytest.mark.parametrize("prices, options, message", [
    ("market", dict(impact=0.5), "impact needs capital"),
    ("market", dict(max_participation=0.1), "max_participation needs capital"),
    ("close", dict(capital=1e6, max_participation=0.1),
     "^max_participation reads each name's volume: the prices have no volume field"),
    ("market", dict(spread=10), "spread must be a fraction of price"),
    ("close", dict(spread="edge"), "open, high and low"),
    ("market", dict(capital=1e6, cap_exits=True), "cap_exits=True caps stops by "
                                                  "max_participation"),
    ("market", dict(slippage=pd.Series({"A": 0.001})), "slippage has no value for 1 traded"),
    ("market", dict(spread=pd.Series({"A": 0.001, "B": 0.0, "ZZ": 0.0})), "ZZ"),
    ("market", dict(slippage=pd.Series({"A": 1.5, "B": 0.0})), "slippage must hold fractions"),
    ("market", dict(spread=pd.DataFrame({"A": [0.01], "B": [0.01]}, index=DATES[[3]])),
     "spread has no value known before the first trade"),
])
def test_execution_options_that_cannot_work_are_refused_naming_the_cause(prices, options,
                                                                         message):
    market = flat_market([1000.0, 1000.0])
    given = market if prices == "market" else market["close"]
    with pytest.raises(ValueError, match=message):
        quiet(row("2021-01-04", A=0.5, B=0.5), given, **options)


def test_a_short_history_is_warned_of():
    _, notes = quiet(row("2021-01-05", A=1.0), flat_market([1000.0, 1000.0]), capital=1e4,
                     impact=0.5)
    assert any("bars of history before it, fewer than adv_window=20 and vol_window=20" in n
               for n in notes)


def test_capped_stops_sell_a_slice_a_bar_and_are_carried():
    close = pd.DataFrame({"A": [100.0] * 5 + [80.0] * 7}, index=DATES)
    # A money ADV of 100,000 whatever the price: 10,000 a bar under the cap.
    prices = {"close": close, "volume": 100_000 / close}
    options = dict(capital=25_000.0, max_participation=0.1, stop_loss=0.1)
    capped, _ = quiet(row(DATES[0], A=1.0), prices, cap_exits=True, **options)
    full, _ = quiet(row(DATES[0], A=1.0), prices, **options)
    # 250 shares bought 100, 100, 50; the stop at bar 5's close sells on bar 6, in full
    # or 125 shares (10,000 at 80) a bar.
    shares = capped.exposure["long"] * capped.equity * 25_000 / close["A"]
    np.testing.assert_allclose(shares.loc[DATES[1:8]], [100, 200, 250, 250, 250, 125, 0],
                               atol=1e-9)
    assert full.exposure["long"].loc[DATES[6]] == 0.0
    gap = capped.shortfall["A"] * capped.equity * 25_000 / close["A"]
    assert gap.loc[DATES[6]] == pytest.approx(-125, rel=1e-9)
    assert gap.loc[DATES[7]] == 0.0


@pytest.mark.parametrize("lot", [1, 10])
def test_the_next_actions_and_orders_carry_what_the_cap_left(lot):
    result, _ = quiet(row(DATES[9], A=1.0, B=0.0), flat_market([1000.0, 1000.0]), lot=lot,
                      **CAP)
    assert not result.rebalance_pending
    actions = result.actions
    assert actions.loc["A", "code"] == "carry" and actions.loc["A", "next_weight"] == 1.0
    orders = result.orders()
    # 200 of 350 shares held after bars 10 and 11: the next bar buys the cap's 100 more.
    assert orders.loc["A", "shares"] == 200 and bool(orders.loc["A", "capped"])
    assert orders.loc["A", "order_shares"] == 100
    assert orders.loc["A", "target_value"] == pytest.approx(30_000, rel=1e-12)


def test_a_sweep_store_written_at_one_capital_refuses_another(tmp_path):
    market = datasets.synthetic_market(stocks=10, years=1, seed=2)
    weights = datasets.momentum(market, lookback=42, top=2, bottom=2)
    store = tmp_path / "runs.sqlite"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        first = orvane.sweep(market, {"capital": 1e6, "max_participation": [0.05, 0.1]},
                             weights=weights, store=store, workers=1, progress=False)
        assert (first.table["capped_trades"] > 0).all()
        with pytest.raises(ValueError, match="holds runs of another sweep: its grid differs"):
            orvane.sweep(market, {"capital": 1e7, "max_participation": [0.05, 0.1]},
                         weights=weights, store=store, workers=1, progress=False)


@pytest.mark.parametrize("weights, options, held", [
    # Four slices of one trade under the cap: one record, and the book holds all 350.
    (row(DATES[0], A=1.0, B=0.0), CAP, 350),
    # A resize kept in its record (no split): the book holds what the resize left, not
    # what the record's entry bought.
    (pd.concat([row(DATES[0], A=1.0, B=0.0), row(DATES[3], A=0.5, B=0.0)]),
     dict(capital=35_000.0, split_trades_on_rebalance=False), 175),
])
def test_orders_start_from_the_shares_the_book_holds(weights, options, held):
    result, _ = quiet(weights, flat_market([1000.0, 1000.0]), **options)
    assert (result.trades["ticker"] == "A").sum() == 1
    orders = result.orders()
    assert orders.loc["A", "shares"] == held and orders.loc["A", "order_shares"] == 0
