"""Controls on the rebalance: leverage up to max_gross, no-trade bands, minimum trades and
whole lots for a capital, on hand-worked markets."""

import re
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.core import tradeloom

DATES = pd.bdate_range("2024-01-01", periods=8)
NO_COSTS = dict(fee=0.0, tax=0.0)


def quiet(weights, prices, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(weights, prices, **options)


def trending(*slopes):
    """One ticker per slope, each rising (or falling) by that fraction a bar."""
    return pd.DataFrame({f"T{i}": 10.0 * (1 + s) ** np.arange(len(DATES)) for i, s in enumerate(slopes)},
                        index=DATES)


def every_bar(**weights):
    return pd.DataFrame({k: [v] * len(DATES) for k, v in weights.items()}, index=DATES)


def test_a_100_100_book_runs_at_gross_2_and_twice_the_50_50_return():
    prices = trending(0.01, -0.01)
    book = pd.DataFrame({"T0": [1.0], "T1": [-1.0]}, index=DATES[:1])
    half = quiet(book, prices, **NO_COSTS)
    full = quiet(book, prices, max_gross=2.0, **NO_COSTS)
    assert full.exposure["gross"].iloc[1] == pytest.approx(2.0, rel=1e-15)
    assert half.exposure["gross"].iloc[1] == pytest.approx(1.0, rel=1e-15)
    first = full.returns.iloc[1], half.returns.iloc[1]
    assert first[0] == pytest.approx(2 * first[1], rel=1e-12)
    # The long side is bought with more than the equity: cash goes below the shorts' proceeds.
    assert full.exposure["cash"].iloc[1] == pytest.approx(1.0, rel=1e-12)
    assert (full.actions["next_weight"].abs().sum()) == pytest.approx(2.0)


def test_a_band_wider_than_any_drift_trades_only_at_entry():
    prices = trending(0.01, -0.005, 0.002)
    weights = every_bar(T0=0.3, T1=0.3, T2=0.3)
    plain = quiet(weights, prices, fee=0.001, tax=0.0)
    banded = quiet(weights, prices, fee=0.001, tax=0.0, band=0.1)
    assert (plain.costs["total"] > 0).sum() > 1  # without a band every bar resizes
    paid = banded.costs["total"]
    assert (paid > 0).sum() == 1 and paid.iloc[1] > 0
    # Untouched, the records run on from the entry.
    assert len(banded.trades) == 3 and (banded.trades["entry_date"] == DATES[1]).all()


def test_a_narrow_band_trades_only_the_names_outside_it_and_lands_them_on_target():
    prices = trending(0.04, 0.0, -0.001)
    weights = pd.DataFrame({"T0": [0.3, 0.3], "T1": [0.3, 0.3], "T2": [0.3, 0.3]},
                           index=DATES[[0, 3]])
    result = quiet(weights, prices, band=0.02, **NO_COSTS)
    ledger = result.trades
    # At the second rebalance (bar 4) only T0 drifted more than two points (to 32.6 %).
    cut = ledger[ledger["entry_date"] == DATES[4]]
    assert list(cut["ticker"]) == ["T0"]
    # Traded to the target exactly: 30 % of the book at that bar's trading price.
    assert cut["weight"].iloc[0] == pytest.approx(0.3, rel=1e-12)
    untouched = ledger[ledger["ticker"] != "T0"]
    assert (untouched["entry_date"] == DATES[1]).all()


def test_min_trade_skips_small_resizes_but_never_entries_or_exits():
    prices = trending(0.003, 0.0)
    weights = pd.DataFrame({"T0": [0.5, 0.5, 0.0], "T1": [0.5, 0.5, 0.5]}, index=DATES[[0, 2, 4]])
    result = quiet(weights, prices, min_trade=0.01, fee=0.001, tax=0.0)
    trades = result.trades
    # The bar-3 resize of T0 (well under 1 % of equity) is skipped; its exit on bar 5 is not.
    t0 = trades[trades["ticker"] == "T0"]
    assert len(t0) == 1 and t0["exit_date"].iloc[0] == DATES[5]
    assert result.costs["total"].iloc[3] == 0.0


@pytest.mark.parametrize("capital, lot", [(100_000, 100), (25_000, 1), (5_000, 10)])
def test_whole_lots_for_a_capital_keep_cash_above_zero(capital, lot):
    market = orvane.datasets.synthetic_market(stocks=30, years=2, seed=5)
    weights = orvane.datasets.momentum(market, lookback=30, skip=2, top=6, bottom=0)
    result = quiet(weights, market, capital=capital, lot=lot, rebalance="M")
    trades = result.trades
    assert len(trades) and (trades["shares"] % lot == 0).all() and (trades["shares"] != 0).all()
    # Without costs (which a sale pays from cash) a long-only book at gross 1 never
    # borrows because of rounding; with a fee paid from cash, a buy left room for it.
    free = quiet(weights, market, capital=capital, lot=lot, rebalance="M", **NO_COSTS)
    assert (free.exposure["cash"] >= 0).all()
    change = result.equity.iloc[-1] - result.equity.iloc[0]
    assert abs(change - trades["pnl"].sum()) <= 1e-9 * max(abs(change), 1.0)
    # Rounding down leaves money in cash that the unrounded book would have invested.
    unrounded = quiet(weights, market, rebalance="M")
    assert result.exposure["cash"].mean() > unrounded.exposure["cash"].mean()


def test_orders_round_as_the_run_traded_its_last_rebalance():
    market = orvane.datasets.synthetic_market(stocks=20, years=1, seed=3)
    weights = orvane.datasets.momentum(market, lookback=20, skip=1, top=5, bottom=0)
    close = market.close
    last = close.index[-1]
    # Weights dated on the second-to-last bar trade on the last one.
    weights = weights[weights.index < close.index[-2]]
    weights.loc[close.index[-2]] = weights.iloc[-1].shift(1, fill_value=0.0)
    capital, lot = 50_000, 10
    before = quiet(weights, close.iloc[:-1], capital=capital, lot=lot, **NO_COSTS)
    after = quiet(weights, close, capital=capital, lot=lot, **NO_COSTS)
    # The book at the last close before it trades (trading at the close without costs
    # leaves it unchanged).
    money = capital * after.full_equity.iloc[-1]
    orders = before.orders(money, prices=close.loc[last])
    held = after.trades[after.trades["exit_date"].isna()].groupby("ticker")["shares"].sum()
    expected = orders["target_shares"].dropna()
    expected = expected[expected != 0]
    assert (orders["shares"].dropna() % lot == 0).all()
    pd.testing.assert_series_equal(expected.sort_index(), held.sort_index().astype(float),
                                   check_names=False, check_index_type=False)


def test_orders_default_to_the_run_s_value_today_and_say_which_capital():
    prices = trending(0.05, 0.0)
    weights = pd.DataFrame({"T0": [0.5], "T1": [0.5]}, index=DATES[:1])
    result = quiet(weights, prices, capital=100_000, **NO_COSTS)
    today = 100_000 * result.full_equity.iloc[-1]
    assert today > 110_000  # T0 rose 5 % a bar
    orders = result.orders()
    assert orders.attrs["capital"] == pytest.approx(today, rel=1e-15)
    # Holding what it bought, the book orders nothing: its weights are those of today.
    assert (orders["order_shares"] == 0).all()
    assert orders["weight"].sum() == pytest.approx(result.exposure["long"].iloc[-1], rel=1e-12)
    with pytest.warns(UserWarning, match=r"capital=100,000 is not the run's value today "
                                         r"\(1\d\d,\d{3} = capital x last equity\)"):
        stale = result.orders(100_000)
    assert stale.attrs["capital"] == 100_000


def test_orders_of_a_run_without_capital_need_one():
    result = quiet(pd.DataFrame({"T0": [1.0]}, index=DATES[:1]), trending(0.01), **NO_COSTS)
    with pytest.raises(TypeError, match=r"^orders\(\) needs capital, the portfolio's value in money, "
                                        r"for a run without capital"):
        result.orders()


def test_controls_at_their_defaults_change_nothing():
    market = orvane.datasets.synthetic_market(stocks=30, years=2, seed=6)
    weights = orvane.datasets.momentum(market, lookback=30, skip=2, top=5, bottom=5)
    plain = quiet(weights, market, stop_loss=0.05)
    same = quiet(weights, market, stop_loss=0.05, max_gross=1.0, band=0.0, min_trade=0.0, lot=1)
    assert np.array_equal(plain.full_equity.to_numpy(), same.full_equity.to_numpy())
    with pytest.raises(ValueError, match="max_gross must be a finite number above 0"):
        tradeloom.set_book_controls(max_gross=0.0)
    with pytest.raises(ValueError, match="band must be a finite number of 0 or more"):
        tradeloom.set_book_controls(band=float("nan"))


@pytest.mark.parametrize("options, error, match", [
    (dict(band=-0.01), ValueError, r"band must be a fraction in \[0, 1\)"),
    (dict(band=1.0), ValueError, r"band must be a fraction in \[0, 1\)"),
    (dict(min_trade=2), ValueError, r"min_trade must be a fraction in \[0, 1\)"),
    (dict(max_gross=0), ValueError, r"max_gross must be a fraction in \(0, 10\]"),
    (dict(max_gross=150), ValueError, r"max_gross must be .*: 2.00 means 200 %"),
    (dict(lot=0, capital=1e5), ValueError, "lot must be"),
    (dict(lot=2.5, capital=1e5), (TypeError, ValueError), "lot must be"),
    (dict(capital=0), ValueError, "capital must be an amount of money above 0"),
    (dict(capital=-5e4), ValueError, "capital must be an amount of money above 0"),
    (dict(capital="1e5"), TypeError, "capital must be an amount of money"),
    (dict(lot=100), ValueError, "lot=100 needs capital"),
    # So small that a lot is more than any float counts in it.
    (dict(capital=5e-324), ValueError, r"^capital must be an amount of money that lot=1 "
                                       r"share can be counted in \(lot / capital finite\), got 5e-324$"),
    (dict(capital=1e-300, lot=10**9), ValueError, r"^capital must be .* lot=1000000000 shares .*, "
                                                  r"got 1e-300$"),
    # Targets that round to no lot at all: a flat book, not what was meant.
    (dict(capital=1), ValueError, r"^capital must buy one lot of some target, got 1: the largest "
                                  r"target, 0.5 of it \(T0 on 2024-01-01\), is 0.5 against a lot "
                                  r"of 1 shares at 10 \(10\); give capital in money"),
    (dict(capital=1e5, lot=2**70), ValueError, r"^capital must buy one lot of some target, got "
                                               r"100,000: .* a lot of 1180591620717411303424 shares"),
])
def test_bad_controls_are_refused_naming_the_option(options, error, match):
    with pytest.raises(error, match=match):
        quiet(every_bar(T0=0.5), trending(0.0), **options)


def one_row(**weights):
    return pd.DataFrame({k: [v] for k, v in weights.items()}, index=DATES[:1])


# Targets the controls would change without a word: a name above position_limit, a band
# no resize can leave (an absolute band where a relative one was meant).
@pytest.mark.parametrize("weights, options, warning", [
    (one_row(T0=1.3, T1=0.2), dict(max_gross=1.6),
     r"weights: 1 targets above position_limit=1 are cut to it, the rest held in cash "
     r"\(largest 1.3, T0 on 2024-01-01\); position_limit can go up to max_gross"),
    (one_row(T0=2.0), dict(max_gross=2.0), r"1 targets above position_limit=1 .*largest 2, T0"),
    (one_row(T0=0.4, T1=-0.4), dict(max_gross=2.0, position_limit=0.3),
     r"2 targets above position_limit=0.3 .*largest 0.4, T0"),
    (every_bar(T0=0.3, T1=0.3, T2=0.3), dict(band=0.3),
     r"band=0.3 is as wide as every target weight \(the largest 0.3\): a held name is never "
     r"resized, only entered and exited; band is an absolute weight \(0.02 = 2 percentage "
     r"points\), not a share of the target"),
])
def test_targets_the_controls_change_are_warned_of(weights, options, warning):
    with pytest.warns(UserWarning, match=warning):
        orvane.backtest(weights, trending(0.01, 0.0, -0.01), **options)


def test_position_limit_goes_up_to_max_gross():
    result = quiet(one_row(T0=1.3, T1=0.2), trending(0.01, 0.0), max_gross=1.6,
                   position_limit=1.6, **NO_COSTS)
    assert result.trades.set_index("ticker")["weight"].to_dict() == pytest.approx({"T0": 1.3, "T1": 0.2})


def shares_held(result):
    open_ = result.trades[result.trades["exit_date"].isna()]
    return open_.groupby("ticker")["shares"].sum().to_dict()


@pytest.mark.parametrize("second, expected", [
    (0.5005, 1000),   # worth about 1,000.3 shares: it holds them, nothing is traded
    (0.5000, 900),    # worth below 1,000 shares: one lot sold
    (0.5120, 1000),   # a lot more, but not with room for its fee: nothing is traded
    (0.5400, 1000 + 100 * int((0.54 * 99_900 - 50_000) / 1.001425 / 5_000)),  # lots bought
])
def test_a_holding_whose_target_rounds_to_its_lots_trades_nothing(second, expected):
    # 1,000 shares of A at 50 bought first (0.51 leaves room for the fee), then a target
    # near what is held. The buy's fee room was taken on the whole target, so a target of
    # 1,000.3 shares sold a lot (900 left) and paid fee and tax on that bar.
    prices = pd.DataFrame({"A": 50.0, "B": 20.0}, index=DATES)
    weights = pd.DataFrame({"A": [0.51, second], "B": [0.2, 0.2]}, index=DATES[[0, 3]])
    result = quiet(weights, prices, capital=100_000, lot=100)
    assert shares_held(result)["A"] == expected
    costs = result.costs["total"]
    second_rebalance = costs.loc[DATES[4]] * 100_000
    # B's shares are unchanged too: the second rebalance pays for A's lots alone.
    assert (second_rebalance == 0) == (expected == 1000)
    # With nothing pending, orders at the run's own value leave the book as it is.
    assert not result.rebalance_pending
    orders = result.orders(100_000 * result.equity.iloc[-1])
    assert (orders["order_shares"].dropna() == 0).all()


def test_orders_carry_out_the_exit_an_action_announces():
    # A stop hit on the last close, the name to be bought back at the next rebalance
    # (sl_enter): without a rebalance, orders sell it at the next bar as the engine will.
    prices = pd.DataFrame({"A": [50.0] * 7 + [40.0], "B": 20.0}, index=DATES)
    weights = pd.DataFrame({"A": [0.5, 0.5], "B": [0.3, 0.3]}, index=DATES[[0, -1]])
    result = quiet(weights, prices, stop_loss=0.1, skip_stopped_until_rebalance=False)
    assert result.actions.loc["A", "code"] == "sl_enter"
    orders = result.orders(1_000_000, rebalance=False)
    assert orders.loc["A", "next_weight"] == 0.0 and orders.loc["A", "order_shares"] < 0
    assert orders.loc["B", "order_shares"] == 0


def notes_of(weights, prices, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        orvane.backtest(weights, prices, **options)
    return " | ".join(str(w.message) for w in caught)


LONG_ONLY = pd.DataFrame({f"T{i}": [0.25] for i in range(4)}, index=DATES[:1])


@pytest.mark.parametrize("weights, options, said, unsaid", [
    # Gross 2 long-only: the second half of the book is bought with cash no one charges.
    (LONG_ONLY * 2, dict(max_gross=2.0), r"borrowing 10\d\.\d% of its value on average, at no "
     r"cost: without cash_rate borrowed cash is free", "whole lots"),
    (LONG_ONLY * 2, dict(max_gross=2.0, cash_rate=0.02), None, "borrow"),
    # Gross 1 runs a little short of cash by its costs: no leverage, nothing to say.
    (LONG_ONLY, dict(fee=0.01, tax=0.01), None, "borrow"),
    # Lots of 100 at 10 are 1,000 each: 3,000 of capital buys nothing of a 0.25 target...
    (LONG_ONLY, dict(capital=3_000, lot=100), r"capital must buy one lot", None),
    # ...5,000 buys one lot (1,000) of three 0.3 targets (1,500 each) and none of T3.
    (pd.DataFrame({"T0": [0.3], "T1": [0.3], "T2": [0.3], "T3": [0.01]}, index=DATES[:1]),
     dict(capital=5_000, lot=100),
     r"whole lots leave \d+% of the target gross unheld.*never bought: \[T3\]", "borrow"),
    (LONG_ONLY, dict(capital=1_000_000, lot=100), None, "whole lots"),
], ids=["leveraged", "leveraged-charged", "costs-only", "lotless", "lots-unheld", "lots-held"])
def test_a_book_the_user_may_not_have_meant_is_said(weights, options, said, unsaid):
    prices = trending(0.001, 0.002, -0.001, 0.0)
    if said and said.startswith("capital must"):
        with pytest.raises(ValueError, match=said):
            notes_of(weights, prices, **options)
        return
    text = notes_of(weights, prices, **options)
    if said:
        assert re.search(said, text), text
    if unsaid:
        assert unsaid not in text, text


@pytest.mark.parametrize("slopes, options, traded", [
    # Long A and short B both rise: left alone, the book would run at gross 1.46.
    ((0.1, 0.1), dict(band=0.5), True),
    ((0.1, 0.1), dict(min_trade=0.5), True),
    # Under max_gross=2 the same drift leaves the band free to keep both names.
    ((0.1, 0.1), dict(band=0.5, max_gross=2.0), False),
    # Both fall: the book shrinks below the limit, and the band holds.
    ((-0.05, -0.05), dict(band=0.5), False),
])
def test_names_left_alone_never_take_the_book_above_max_gross(slopes, options, traded):
    prices = trending(*slopes)
    weights = pd.DataFrame({"T0": [0.5, 0.5], "T1": [-0.5, -0.5]}, index=DATES[[0, 4]])
    result = quiet(weights, prices, **options, **NO_COSTS)
    limit = options.get("max_gross", 1.0)
    # Trading them is a rebalance of both names on the second signal's trade bar.
    resized = (result.trades["entry_date"] == DATES[5]).sum()
    assert resized == (2 if traded else 0)
    if traded:
        assert result.exposure["gross"].loc[DATES[5]] == pytest.approx(limit, rel=1e-12)
