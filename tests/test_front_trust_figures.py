"""Figures that used to pass in silence: bars a year on session and sparse calendars, a
benchmark on another calendar, a flip's exit fee, a ruined book's trades, and trade
statistics counted by money."""

import types
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import stats


def trading_days(start="2021-01-04", end="2022-12-30", per_year=252):
    """Business days thinned evenly to ``per_year`` a year (holidays have no pandas frequency)."""
    days = pd.bdate_range(start, end)
    years = round(len(days) / 261)
    drop = np.linspace(3, len(days) - 3, len(days) - per_year * years).astype(int)
    return days.delete(drop)


DAYS = trading_days()
SESSION = pd.DatetimeIndex([d + pd.Timedelta(hours=9, minutes=30) + pd.Timedelta(hours=h)
                            for d in DAYS for h in range(7)])


# ---------------------------------------------------------------- bars a year

@pytest.mark.parametrize("index, expected, rel", [
    (SESSION, 7 * 252, 0.01),                  # nights are no bars: not 365.25 x 24
    (DAYS[::2], 126, 0.01),                    # weekends are no bars: not 365.25 / 2
    (DAYS, 252, 0),
    (pd.bdate_range("2021-01-04", periods=300), 252, 0),
    (pd.date_range("2021-01-01", periods=300, freq="D"), 365, 0),
    (pd.date_range("2021-01-01", periods=120, freq="W-FRI").delete([7, 40]), 52, 0),
    (DAYS.to_series().groupby(DAYS.to_period("M")).max().to_numpy(), 12, 0),
])
def test_bars_a_year_are_counted_from_the_data(index, expected, rel):
    index = pd.DatetimeIndex(index)
    assert stats.periods_per_year(index) == pytest.approx(expected, rel=rel)


def test_session_bars_annualise_volatility_by_the_bars_they_have():
    moves = np.random.default_rng(3).normal(0, 0.002, len(SESSION))
    equity = pd.Series(np.cumprod(1 + moves), index=SESSION)
    returns = stats.equity_returns(equity)
    by_hand = returns.std(ddof=1) * np.sqrt(7 * 252)
    got = stats.annual_volatility(returns, stats.periods_per_year(SESSION))
    assert got == pytest.approx(by_hand, rel=0.01)


# ---------------------------------------------------------------- a flip's exit fee

FLIP_DAYS = pd.bdate_range("2024-01-01", periods=4)
FLIP_PRICES = pd.DataFrame({"A": [10.0, 11.0, 12.0, 11.0], "B": [20.0] * 4}, index=FLIP_DAYS)
F, Q = 0.01, 12.0 / 11.0  # the fee, and A's move from the entry to the flip


@pytest.mark.parametrize("before, after, cash, old, price_return", [
    # long 0.5 bought for 0.5 (its fee out of the position), flipped on the next bar
    (0.5, -0.5, 0.5, 0.5 * (1 - F) * Q, Q * (1 - F) * (1 - F) - 1),
    # short 0.5 sold for 0.5 less its fee; a short's return mirrors a long's
    (-0.5, 0.5, 1.5 - 0.5 * F, -0.5 * Q, (2 - (1 + F) * Q) * (1 - F) - 1),
])
@pytest.mark.parametrize("tax", [0.0, 0.002])
def test_a_flip_books_its_exit_fee_to_the_record_it_closes(before, after, cash, old, price_return, tax):
    w = pd.DataFrame({"A": [before, after]}, index=FLIP_DAYS[[0, 1]])
    r = orvane.backtest(w, FLIP_PRICES, fee=F, tax=tax)
    closed, opened = r.trades.iloc[0], r.trades.iloc[1]
    assert (closed["exit_date"], opened["entry_date"]) == (FLIP_DAYS[2], FLIP_DAYS[2])
    balance = cash + old                           # the book just before the flip
    assert closed["costs"] == pytest.approx(F * abs(before) + F * abs(old), rel=1e-12)
    assert closed["pnl"] == pytest.approx(balance - F * abs(old) - 1.0, rel=1e-12)
    assert closed["return"] == pytest.approx(price_return, rel=1e-12)
    # The new side pays only its own fee; together they still make the equity's change.
    assert opened["costs"] == pytest.approx(F * abs(after) * balance, rel=1e-12)
    assert r.trades["pnl"].sum() == pytest.approx(r.equity.iloc[-1] - 1.0, rel=1e-12)


@pytest.mark.parametrize("options, option", [
    ({"split_trades_on_rebalance": False}, "split_trades_on_rebalance=False"),
    ({"keep_costs_on_rebalance": True}, "keep_costs_on_rebalance=True"),
])
def test_a_flip_kept_in_one_record_is_said(options, option):
    # Kept positions stay one record: the engine keeps the flipped one in its long record.
    w = pd.DataFrame({"A": [0.5, -0.5], "B": [0.5, 0.5]}, index=FLIP_DAYS[[0, 1]])
    with pytest.warns(UserWarning, match=rf"1 tickers go straight from long to short .*\[A\].* {option}"):
        kept = orvane.backtest(w, FLIP_PRICES, fee=F, **options)
    sides = kept.trades.groupby("ticker")["side"].apply(list)
    assert sides["A"] == ["long"] and kept.exposure["short"].iloc[-1] < 0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        split = orvane.backtest(w, FLIP_PRICES, fee=F)
        # Without a flip nothing is said, whatever the options.
        orvane.backtest(w.abs(), FLIP_PRICES, fee=F, **options)
    assert split.trades.groupby("ticker")["side"].apply(list)["A"] == ["long", "short"]


# ---------------------------------------------------------------- a ruined book

RUIN_DAYS = pd.bdate_range("2024-01-01", periods=8)
RUIN_PRICES = pd.DataFrame({"A": [10.0, 10, 12, 16, 22, 30, 28, 26],
                            "B": [20.0, 20, 21, 22, 21, 22, 23, 24]}, index=RUIN_DAYS)


@pytest.mark.parametrize("rows, weights, fee", [
    ([0, 3], {"A": [-0.9, -0.9], "B": [0.1, 0.1]}, 0.001),   # rebalanced on the ruin bar
    ([0], {"A": [-0.9], "B": [0.1]}, 0.0),                    # held through it
    ([0, 1], {"A": [-0.5, -1.0], "B": [0.5, 0.0]}, 0.002),    # the long side closed first
])
def test_a_ruined_book_marks_its_trades_where_the_result_ends(rows, weights, fee):
    w = pd.DataFrame(weights, index=RUIN_DAYS[rows])
    with pytest.warns(UserWarning, match="equity reached"):
        r = orvane.backtest(w, RUIN_PRICES, fee=fee)
    assert r.ruined and r.end < RUIN_DAYS[-1]
    change = r.equity.iloc[-1] - 1.0
    assert r.trades["pnl"].sum() == pytest.approx(change, rel=1e-9)
    still_open = r.trades[r.trades["exit_reason"] == "open"]
    assert len(still_open) and (still_open["exit_price"] == RUIN_PRICES.loc[r.end, still_open["ticker"]].to_numpy()).all()
    book = r.exposure
    assert (book["short"] <= 0).all() and (book["long"] >= 0).all() and (book["gross"] >= 0).all()


def test_a_book_worth_exactly_nothing_is_ruined_on_that_bar():
    # A full short of a price that doubles leaves 1 - (20 / 10 - 1) = 0.0 exactly.
    prices = pd.DataFrame({"A": [10.0, 10, 15, 20, 21], "B": 5.0}, index=RUIN_DAYS[:5])
    with pytest.warns(UserWarning, match="equity reached 0 on 2024-01-04"):
        r = orvane.backtest(pd.DataFrame({"A": [-1.0], "B": [0.0]}, index=RUIN_DAYS[:1]), prices,
                            fee=0.0, tax=0.0)
    assert r.full_equity.iloc[3] == 0.0 and r.ruined and r.end == RUIN_DAYS[3]


# ---------------------------------------------------------------- a benchmark on another calendar

def _tracking_market():
    rng = np.random.default_rng(7)
    days = pd.bdate_range("2021-01-04", "2023-12-29")
    index = 100 * np.cumprod(1 + rng.normal(0.0003, 0.01, len(days)))
    moves = np.r_[0.0, np.diff(index) / index[:-1]]
    a = 50 * np.cumprod(1 + 0.9 * moves + rng.normal(0, 0.004, len(days)))
    b = 30 * np.cumprod(1 + rng.normal(0, 0.01, len(days)))
    return pd.DataFrame({"A": a, "B": b}, index=days), pd.Series(index, index=days)


MARKET, INDEX = _tracking_market()
FRIDAYS = INDEX[INDEX.index.day_of_week == 4]


def _weekly_by_hand(equity):
    r = equity.reindex(FRIDAYS.index).pct_change().dropna().to_numpy()
    b = FRIDAYS.pct_change().dropna().to_numpy()
    slope = np.cov(r, b)[0, 1] / np.var(b, ddof=1)

    def capture(pick):
        return ((np.prod(1 + r[pick]) ** (52 / pick.sum()) - 1)
                / (np.prod(1 + b[pick]) ** (52 / pick.sum()) - 1))
    return {
        "beta": slope,
        "correlation": np.corrcoef(r, b)[0, 1],
        "alpha": (r.mean() - slope * b.mean()) * 52,
        "tracking_error": np.std(r - b, ddof=1) * np.sqrt(52),
        "information_ratio": (r - b).mean() / np.std(r - b, ddof=1) * np.sqrt(52),
        "up_capture": capture(b > 0),
        "down_capture": capture(b < 0),
    }


@pytest.mark.parametrize("book", [{"A": [1.0], "B": [0.0]}, {"A": [0.7], "B": [-0.3]}])
def test_a_weekly_benchmark_against_daily_bars_is_read_on_its_own_dates(book):
    w = pd.DataFrame(book, index=MARKET.index[:1])
    with pytest.warns(UserWarning) as caught:
        r = orvane.backtest(w, MARKET, benchmark=FRIDAYS)
    said = [str(c.message) for c in caught if "value of its own" in str(c.message)]
    assert len(said) == 1 and "(52 a year)" in said[0]
    got, expected = r.stats(), _weekly_by_hand(r.equity)
    assert got[list(expected)].astype(float).to_numpy() == pytest.approx(list(expected.values()), rel=1e-9)
    assert expected["beta"] > 0.3


def test_a_benchmark_on_the_bars_calendar_is_read_bar_by_bar():
    w = pd.DataFrame({"A": [1.0], "B": [0.0]}, index=MARKET.index[:1])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        r = orvane.backtest(w, MARKET, benchmark=INDEX)
    daily = r.returns
    theirs = INDEX.pct_change().reindex(daily.index)
    assert r.stats()["beta"] == pytest.approx(np.cov(daily, theirs)[0, 1] / np.var(theirs, ddof=1), rel=1e-9)


# ---------------------------------------------------------------- won or lost by money

def _table(returns, pnl):
    n = len(returns)
    return pd.DataFrame({
        "ticker": [f"T{i}" for i in range(n)], "side": ["long"] * n,
        "entry_date": pd.bdate_range("2024-01-01", periods=n),
        "exit_date": pd.bdate_range("2024-01-02", periods=n), "weight": [0.1] * n,
        "bars_held": [1] * n, "return": returns, "pnl": pnl,
        "mae": [-0.01 * (i + 1) for i in range(n)], "gmfe": [0.02 * (i + 1) for i in range(n)],
    })


@pytest.mark.parametrize("returns, pnl, expected", [
    # the second record's close read +1 % while its stop filled at a loss
    ([0.10, 0.01, -0.05], [0.010, -0.002, -0.005],
     dict(win_rate=1 / 3, profit_factor=0.010 / 0.007, avg_win=0.10, avg_loss=(0.01 - 0.05) / 2,
          avg_mae_winners=-0.01, avg_mfe_losers=(0.04 + 0.06) / 2)),
    # a short's mirrored return below 0 with money made
    ([-0.001, 0.02], [0.0004, -0.001],
     dict(win_rate=0.5, profit_factor=0.4, avg_win=-0.001, avg_loss=0.02,
          avg_mae_winners=-0.01, avg_mfe_losers=0.04)),
])
def test_trades_are_won_or_lost_by_their_money(returns, pnl, expected):
    got = stats.trade_stats(_table(returns, pnl))
    assert {k: got[k] for k in expected} == pytest.approx(expected, rel=1e-12)


def test_costs_and_flows_are_added_back_in_units_of_the_first_value():
    # A curve that starts at 2.0: the costs paid and the flows count against that, not 1.0.
    days = pd.bdate_range("2024-01-01", periods=3)
    table = _table([0.05], [0.004]).assign(financing=[0.003])
    equity = pd.Series([2.0, 2.1, 2.2], index=days)
    book = pd.DataFrame({"gross": [0.0, 1.0, 1.0], "net": [0.0, 0.5, 0.5]}, index=days)
    costs = pd.DataFrame({"total": [0.0, 0.02, 0.01]}, index=days)
    cash = pd.DataFrame({"interest": [0.0, 0.01, 0.01], "borrow": [0.0, -0.002, -0.002],
                         "dividends": [0.0, 0.0, 0.003], "dividends_paid": 0.0}, index=days)
    result = types.SimpleNamespace(equity=equity, trades=table, start=None, exposure=book, costs=costs,
                                   _cash_flows=cash, cash_flows=cash)
    got = stats.summary(result)
    assert got["total_costs"] == pytest.approx(0.03, rel=1e-12)
    assert got["return_before_costs"] == pytest.approx(0.1 + 0.03 / 2.0, rel=1e-12)
    assert (got["avg_gross_exposure"], got["avg_net_exposure"]) == pytest.approx((2 / 3, 1 / 3))
    assert got["return_before_financing"] == pytest.approx(0.1 - 0.019 / 2.0, rel=1e-12)
    assert (got["borrow_paid"], got["dividends_received"]) == pytest.approx((0.004, 0.003))


def test_holdings_are_won_or_lost_by_their_money():
    # Two records of one holding (the second entered on the bar the first left) and one other.
    table = _table([0.05, 0.01, 0.02], [0.004, -0.006, -0.001])
    table["ticker"] = ["A", "A", "B"]
    table["entry_date"] = pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-01"])
    table["exit_date"] = pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-03"])
    equity = pd.Series([1.0, 1.001, 0.997], index=pd.bdate_range("2024-01-01", periods=3))
    result = types.SimpleNamespace(equity=equity, trades=table, start=None, round_trips=None)
    got = stats.summary(result)
    # By return both holdings won (1.05 x 1.01 and 1.02); by money both lost.
    assert (got["holdings"], got["holding_win_rate"], got["win_rate"]) == (2, 0.0, 1 / 3)
