import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.core import tradeloom
from orvane.datasets import core_layout

from conftest import run_layout

DAYS = pd.bdate_range("2024-01-01", periods=10)  # Mon 1 Jan .. Fri 12 Jan


def quiet(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(*args, **kwargs)


def test_front_matches_a_direct_engine_call_bit_for_bit():
    m = core_layout(400, 30, seed=3, gap_ratio=0.0)
    dates = pd.to_datetime(m.price_index)
    ohlc = {f: pd.DataFrame(getattr(m, f"{f}_values"), index=dates, columns=m.price_columns)
            for f in ("open", "high", "low", "close")}
    weights = pd.DataFrame(m.pos_values, index=pd.to_datetime(m.pos_index), columns=m.pos_columns)
    gone = np.flatnonzero(m.delisting_bars >= 0)
    delistings = {m.price_columns[k]: dates[m.delisting_bars[k]] for k in gone}
    result = orvane.backtest(weights, ohlc, trade_at="open", rebalance=pd.to_datetime(m.resample),
                             delistings=delistings, stop_loss=0.1, take_profit=0.3,
                             trailing_stop=0.08, window=20, window_step=5)
    assert result.warnings == ()
    # The sample delists on the first bar without a price; the front sells on the bar before.
    creturn = run_layout(m, stop_loss=0.1, take_profit=0.3, trail_stop=0.08, tidemark_window=20,
                  tidemark_window_step=5, delisting_bars=np.where(m.delisting_bars > 0, m.delisting_bars - 1, -1))
    assert np.array_equal(result.full_equity.to_numpy(), creturn)
    rows, _ = tradeloom.get_trade_stocks(m.pos_columns, m.price_index, False)
    trades = result.trades
    assert len(trades) == len(rows) > 0
    assert list(trades["ticker"]) == [r[0] for r in rows]
    assert np.array_equal(trades["entry_date"].to_numpy(), pd.to_datetime([r[1] for r in rows]).to_numpy())
    closed = [r[2] != -1 for r in rows]
    assert np.array_equal(trades["exit_date"][closed].to_numpy(),
                          pd.to_datetime([r[2] for r in rows if r[2] != -1]).to_numpy())
    assert trades["exit_date"][[not c for c in closed]].isna().all()
    assert np.array_equal(trades["weight"].to_numpy(), np.array([r[5] for r in rows]))


@pytest.mark.parametrize("signal, entry", [
    ("2024-01-01", "2024-01-02"),   # on a bar: traded on the next bar
    ("2024-01-06", "2024-01-08"),   # Saturday: counts from Friday, traded Monday
    ("2023-12-25", "2024-01-02"),   # before the prices: counts from the first bar
])
def test_weight_rows_trade_on_the_bar_after_their_signal_bar(signal, entry):
    prices = pd.DataFrame({"A": np.linspace(10, 19, 10), "B": 20.0}, index=DAYS)
    # A second row on the last bar is only pending: it never trades.
    weights = pd.DataFrame({"A": [1.0, 1.0], "B": 0.0}, index=pd.to_datetime([signal, "2024-01-12"]))
    result = orvane.backtest(weights, prices, fee=0.0, tax=0.0)
    trade = result.trades.iloc[0]
    assert trade["entry_date"] == pd.Timestamp(entry)
    assert trade["signal_date"] == pd.Timestamp(signal)
    # Filled at the entry bar's price, so the equity follows A from there on.
    at = DAYS.get_loc(pd.Timestamp(entry))
    expected = prices["A"].iloc[at:] / prices["A"].iloc[at]
    assert np.allclose(result.full_equity.iloc[at:].to_numpy(), expected.to_numpy())


def test_with_a_row_every_bar_each_record_names_the_row_before_its_entry():
    # Not the row of its own entry bar, nor the second bar's for a record entered on it.
    prices = pd.DataFrame({"A": np.linspace(10, 19, 10), "B": np.linspace(5, 6, 10)}, index=DAYS)
    weights = pd.DataFrame({"A": [1.0] * 3 + [0.0] * 7, "B": [0.0] * 3 + [1.0] * 7}, index=DAYS)
    trades = orvane.backtest(weights, prices).trades
    assert len(trades) == 9 and trades["entry_date"].iloc[0] == DAYS[1]
    entries = DAYS.get_indexer(trades["entry_date"])
    assert (trades["signal_date"].to_numpy() == DAYS[entries - 1].to_numpy()).all()


def test_exit_reasons_follow_the_calendar_rules_and_delistings():
    prices = pd.DataFrame({
        "A": 10.0, "B": [10, 10, 8, 8, 8, 8, 8, 8, 8, 8], "C": 10.0, "D": 10.0,
    }, index=DAYS, dtype=float)
    prices.loc[DAYS[6]:, "C"] = np.nan
    weights = pd.DataFrame({"A": [0.25, 0.0], "B": [0.25, 0.25], "C": [0.25, 0.25],
                            "D": [0.25, 0.25]}, index=DAYS[[0, 3]])
    result = orvane.backtest(weights, prices, stop_loss=0.1, delistings={"C": DAYS[5]})
    got = {(t.ticker, t.entry_date, t.exit_date if pd.notna(t.exit_date) else None, t.exit_reason)
           for t in result.trades.itertuples()}
    d = DAYS
    assert got == {
        ("A", d[1], d[4], "rebalance"),
        ("B", d[1], d[3], "exit_rule"),      # stopped on d2's close, sold on d3
        ("C", d[1], d[4], "rebalance"),      # split at the rebalance
        ("C", d[4], d[5], "delisted"),
        ("D", d[1], d[4], "rebalance"),
        ("D", d[4], None, "open"),
    }


@pytest.mark.parametrize("trade_at, intrabar, records", [
    ("close", False, {}), ("open", False, {}), ("close", True, {}), ("open", True, {}),
    # Kept positions as one record, or split keeping their costs: a flip (long straight to
    # short) is then the only record closed on a rebalance and entered again.
    ("close", False, {"split_trades_on_rebalance": False}),
    ("open", True, {"keep_costs_on_rebalance": True}),
])
def test_exit_statistics_do_not_depend_on_the_window(trade_at, intrabar, records):
    market = orvane.datasets.synthetic_market(stocks=80, years=3, seed=5)
    weights = orvane.datasets.momentum(market, top=8, bottom=8, lookback=60)
    kw = dict(stop_loss=0.08, take_profit=0.15, trailing_stop=0.06, trade_at=trade_at,
              intrabar_exits=intrabar, delistings="infer", **records)
    plain = quiet(weights, market, **kw).trades
    windowed = quiet(weights, market, window=30, window_step=7, **kw).trades
    closed = plain["exit_reason"] != "open"
    assert closed.sum() > 50 and (~closed).sum() > 0
    pd.testing.assert_frame_equal(plain[closed], windowed[closed])
    # Trades still open are marked at the last bar, window or not: no exit costs taken.
    money = ["return", "pnl", "costs", "exit_price", "bars_held"]
    pd.testing.assert_frame_equal(plain.loc[~closed, money], windowed.loc[~closed, money])


def test_a_book_of_one_ticker_at_full_weight_does_not_depend_on_the_window():
    # Split at each rebalance with a target of exactly 1.0: the split records pay no exit.
    days = pd.bdate_range("2024-01-01", periods=30)
    prices = pd.DataFrame({"A": 10 + np.sin(np.arange(30)), "B": 20.0}, index=days)
    weights = pd.DataFrame({"A": 1.0, "B": 0.0}, index=days[::5])
    plain = orvane.backtest(weights, prices, fee=0.01, tax=0.003).trades
    windowed = orvane.backtest(weights, prices, fee=0.01, tax=0.003, window=8).trades
    assert len(plain) == 6 and (plain["weight"] == 1.0).all()
    pd.testing.assert_frame_equal(plain, windowed)


def test_layouts_give_the_same_run():
    market = orvane.datasets.synthetic_market(stocks=20, years=2, seed=1)
    weights = orvane.datasets.momentum(market, top=3, bottom=3, lookback=40, skip=5)
    kw = dict(trade_at="open", stop_loss=0.1, intrabar_exits=True)
    reference = quiet(weights, market, **kw)
    ohlc = dict(market)
    multi = pd.concat(ohlc, axis=1)
    long_prices = pd.concat({f: ohlc[f].stack() for f in ohlc}, axis=1).rename_axis(["date", "ticker"]).reset_index()
    long_weights = weights.stack().rename("weight").rename_axis(["date", "ticker"]).reset_index()
    long_weights = long_weights[long_weights["weight"] != 0]
    for w, p in ((weights, multi), (weights, multi.swaplevel(axis=1)), (long_weights, long_prices),
                 (weights.astype("Float64"), ohlc)):
        other = quiet(w, p, **kw)
        pd.testing.assert_series_equal(other.equity, reference.equity, check_freq=False)
        pd.testing.assert_frame_equal(other.trades, reference.trades)


def test_rebalance_frequency_aliases_and_dates_agree():
    market = orvane.datasets.synthetic_market(stocks=30, years=2, seed=2)
    weekly = orvane.datasets.momentum(market, top=4, bottom=4, lookback=30, skip=5, rebalance="W")
    runs = [quiet(weekly, market, rebalance=r) for r in ("M", "ME")]
    month_last = weekly.groupby(weekly.index.to_period("M")).tail(1).index
    runs.append(quiet(weekly, market, rebalance=month_last))
    for other in runs[1:]:
        pd.testing.assert_series_equal(other.equity, runs[0].equity, check_freq=False)
    assert len(runs[0].rebalance_dates) < len(quiet(weekly, market).rebalance_dates)


def test_inferred_delistings_match_the_markets_list():
    market = orvane.datasets.synthetic_market(stocks=100, years=4, seed=4)
    # Equal weight on every listed ticker each month, so delisted ones are held.
    listed = market.close.groupby(market.close.index.to_period("M")).tail(1).notna()
    weights = listed.div(listed.sum(axis=1), axis=0)
    inferred = quiet(weights, market, delistings="infer")
    named = quiet(weights, market, delistings=market.delistings)
    pd.testing.assert_series_equal(inferred.equity, named.equity)
    # The first day without data means the same sale, on the last bar with a price.
    day_after = quiet(weights, market, delistings=market.delistings + pd.offsets.BDay(1))
    pd.testing.assert_frame_equal(day_after.trades, named.trades)
    assert named.trades["exit_reason"].eq("delisted").sum() == len(market.delistings)
    # Gaps and late listings meet the trade bars, yet no trade opens on a bar without a price.
    trades = named.trades
    assert any("weights dropped" in w for w in named.warnings)
    entry_price = [market.close.at[d, t] for d, t in zip(trades["entry_date"], trades["ticker"])]
    assert np.isfinite(entry_price).all()
    assert not quiet(weights, market).trades["exit_reason"].eq("delisted").any()


@pytest.mark.parametrize("calendar", ["every row", "M", "Q", "dates", "weekend signals"])
def test_entries_happen_exactly_on_the_rebalance_bars_the_front_predicts(calendar):
    # The front's own schedule decides which weights it checks; the engine's entries must
    # land on exactly those bars (every traded row holds positions, and kept ones are split).
    market = orvane.datasets.synthetic_market(stocks=40, years=2, seed=6)
    weights = orvane.datasets.momentum(market, top=4, bottom=4, lookback=30, skip=5, rebalance="W")
    rebalance = None
    if calendar in ("M", "Q"):
        rebalance = calendar
    elif calendar == "dates":
        rng = np.random.default_rng(0)
        days = pd.date_range(market.close.index[0] - pd.Timedelta("30D"), market.close.index[-1], freq="D")
        rebalance = pd.DatetimeIndex(np.sort(rng.choice(days, 200, replace=False)))
    elif calendar == "weekend signals":
        weights.index = weights.index + pd.Timedelta("1D")
    result = quiet(weights, market, rebalance=rebalance)
    entries = pd.DatetimeIndex(result.trades["entry_date"].unique())
    assert len(result.rebalance_dates) > 3
    assert set(entries) == set(result.rebalance_dates)



def test_prepared_prices_give_the_same_runs_and_still_check_what_a_run_uses():
    market = orvane.datasets.synthetic_market(stocks=30, years=2, seed=4)
    weights = orvane.datasets.momentum(market, top=4, bottom=4, lookback=40, skip=5)
    prepared = orvane.prepare_prices(market)
    for options in ({}, {"trade_at": "open", "stop_loss": 0.05},
                    {"intrabar_exits": True, "take_profit": 0.1, "delistings": "infer"}):
        direct, again = quiet(weights, market, **options), quiet(weights, prepared, **options)
        assert np.array_equal(direct.equity.to_numpy(), again.equity.to_numpy())
        pd.testing.assert_frame_equal(direct.trades, again.trades)
        assert direct.warnings == again.warnings
    close_only = orvane.prepare_prices(market, fields=())
    with pytest.raises(ValueError, match=r"prepared without the fields this run needs: \['high', 'low', 'open'\]"):
        orvane.backtest(weights, close_only, trade_at="open")
    broken = dict(market)
    broken["high"] = market["low"]
    with pytest.raises(ValueError, match="must hold together on every bar"):
        orvane.backtest(weights, orvane.prepare_prices(broken), intrabar_exits=True)


def test_trading_at_the_open_needs_no_high_or_low():
    # Open and close alone: nothing to check the bars against, and no word of preparing.
    days = pd.bdate_range("2024-01-01", periods=4)
    close = pd.DataFrame({"A": [10.0, 11.0, 12.0, 13.0]}, index=days)
    open_ = pd.DataFrame({"A": [10.0, 10.5, 11.5, 12.5]}, index=days)
    weights = pd.DataFrame({"A": [1.0]}, index=days[:1])
    for prices in ({"close": close, "open": open_}, orvane.prepare_prices({"close": close, "open": open_})):
        result = orvane.backtest(weights, prices, trade_at="open", fee=0.0, tax=0.0)
        # Bought at bar 1's open (10.5), marked at the closes after it.
        np.testing.assert_allclose(result.equity.to_numpy(), [1.0, 11 / 10.5, 12 / 10.5, 13 / 10.5])
    with pytest.raises(ValueError, match="trade_at='open' needs opening prices"):
        orvane.backtest(weights, {"close": close, "high": close}, trade_at="open")


def reasons(result):
    return {(t.ticker, DAYS.get_loc(t.entry_date),
             DAYS.get_loc(t.exit_date) if pd.notna(t.exit_date) else None, t.exit_reason)
            for t in result.trades.itertuples()}


# Each row: closes per ticker, weight rows (signal bar -> weights), options, and the
# trades as (ticker, entry bar, exit bar or None, reason). Weights set on a bar trade on
# the next; a stop seen on a close sells on the bar after.
EXIT_CASES = {
    # Stopped between rebalances, and the next rebalance would close it anyway: still the
    # rule's exit, not the rebalance's.
    "stop before a closing rebalance": (
        {"A": [10, 10, 8, 8, 8, 8, 8, 8, 8, 8], "B": 10.0},
        {0: {"A": 0.5, "B": 0.5}, 5: {"A": 0.0, "B": 0.5}}, dict(stop_loss=0.1),
        {("A", 1, 3, "exit_rule"), ("B", 1, 6, "rebalance"), ("B", 6, None, "open")}),
    # Stopped on the rebalance bar that closes it: read as the rebalance.
    "stop on a closing rebalance bar": (
        {"A": [10, 10, 10, 10, 10, 8, 8, 8, 8, 8], "B": 10.0},
        {0: {"A": 0.5, "B": 0.5}, 5: {"A": 0.0, "B": 0.5}}, dict(stop_loss=0.1),
        {("A", 1, 6, "rebalance"), ("B", 1, 6, "rebalance"), ("B", 6, None, "open")}),
    # A short's take-profit between rebalances.
    "short take-profit": (
        {"A": [10, 10, 10, 7, 7, 7, 7, 7, 7, 7], "B": 10.0},
        {0: {"A": -0.5, "B": 0.5}}, dict(take_profit=0.2),
        {("A", 1, 4, "exit_rule"), ("B", 1, None, "open")}),
    # A delisting on a rebalance bar that keeps the ticker: delisted wins, and the
    # rebalance does not buy it back on its last bar.
    "delisted on a rebalance bar": (
        {"A": [10.0] * 6 + [np.nan] * 4, "B": 10.0},
        {0: {"A": 0.5, "B": 0.5}, 4: {"A": 0.5, "B": 0.5}}, dict(delistings={"A": DAYS[5]}),
        {("A", 1, 5, "delisted"), ("B", 1, 5, "rebalance"), ("B", 5, None, "open")}),
    # Without splitting at rebalances a kept position is one open trade.
    "kept, not split": (
        {"A": 10.0, "B": 10.0},
        {0: {"A": 0.5, "B": 0.5}, 4: {"A": 0.5, "B": 0.0}}, dict(split_trades_on_rebalance=False),
        {("A", 1, None, "open"), ("B", 1, 5, "rebalance")}),
}


@pytest.mark.parametrize("closes, rows, options, expected", EXIT_CASES.values(), ids=EXIT_CASES.keys())
def test_every_exit_reason_on_a_designed_market(closes, rows, options, expected):
    prices = pd.DataFrame(closes, index=DAYS, dtype=float)
    weights = pd.DataFrame.from_dict(rows, orient="index").set_axis(DAYS[list(rows)])
    result = quiet(weights, prices, fee=0.0, tax=0.0, **options)
    assert reasons(result) == expected


def test_every_trade_column_on_a_designed_market():
    # Long A and short B entered at bar 1's close (10 and 20), closed at bar 7 by the
    # rebalance set on bar 6. Values by bar from the entry: A 1, 1.1, 1.2, 0.9, 1, 1.3, 1.1;
    # B (2 - p / 20) 1, 1.1, 0.9, 1.2, 1.05, 0.95, 1.05.
    prices = pd.DataFrame({"A": [10, 10, 11, 12, 9, 10, 13, 11, 11, 11],
                           "B": [20, 20, 18, 22, 16, 19, 21, 19, 19, 19]}, index=DAYS, dtype=float)
    weights = pd.DataFrame({"A": [0.5, 0.0], "B": [-0.5, 0.0]}, index=DAYS[[0, 6]])
    trades = orvane.backtest(weights, prices, fee=0.0, tax=0.0).trades.set_index("ticker")
    expected = pd.DataFrame({
        "side": ["long", "short"],
        "entry_date": DAYS[[1, 1]], "exit_date": DAYS[[7, 7]], "signal_date": DAYS[[0, 0]],
        "weight": [0.5, -0.5], "bars_held": [6, 6], "return": [0.1, 0.05],
        "exit_reason": ["rebalance", "rebalance"],
        "mae": [-0.1, -0.1],                     # the lowest value
        "gmfe": [0.3, 0.2],                      # the highest
        "bmfe": [0.2, 0.1],                      # the highest before the lowest
        "mdd": [0.9 / 1.2 - 1, 0.95 / 1.2 - 1],  # the deepest fall from a running high
        "profitable_bars": [4, 4],               # bars closed above the entry value
        "exit_price": [11.0, 19.0],
    }, index=pd.Index(["A", "B"], name="ticker"))
    got = trades[expected.columns]
    got = got.assign(side=got["side"].astype(str), exit_reason=got["exit_reason"].astype(str))
    pd.testing.assert_frame_equal(got, expected, check_dtype=False, check_freq=False,
                                  check_index_type=False, rtol=1e-12)


@pytest.mark.parametrize("weight", [0.5, -0.5], ids=["long", "short"])
@pytest.mark.parametrize("trade_at", ["close", "open"])
@pytest.mark.parametrize("costs", [(0.0, 0.0), (0.01, 0.02)], ids=["free", "costs"])
@pytest.mark.parametrize("window", [0, 4])
@pytest.mark.parametrize("split", [False, True], ids=["fresh", "split"])
def test_an_exit_on_a_bar_without_a_price_sells_at_the_last_price_seen(weight, trade_at, costs,
                                                                        window, split):
    # A is closed by the rebalance set on bar 3, on bar 4, where it has no price: sold at
    # bar 3's price, as if bar 4 repeated bar 3. "split": the trade closed there began at
    # bar 2 by splitting the position at a rebalance, so it paid no entry fee.
    close = pd.DataFrame({"A": [10.0, 10, 11, 12, np.nan, 13, 14, 13, 12, 12], "B": 20.0}, index=DAYS)

    def market(c):
        return {"open": c * 0.98, "high": c * 1.05, "low": c * 0.95, "close": c}
    rows = [0, 1, 3] if split else [0, 3]
    weights = pd.DataFrame({"A": [weight] * (len(rows) - 1) + [0.0], "B": 0.5}, index=DAYS[rows])
    fee, tax = costs
    kw = dict(trade_at=trade_at, fee=fee, tax=tax, window=window)
    gap = quiet(weights, market(close), **kw).trades
    filled = quiet(weights, market(close.ffill()), **kw).trades
    a = gap[gap["ticker"] == "A"].iloc[-1]
    assert a["exit_date"] == DAYS[4] and a["entry_date"] == DAYS[2 if split else 1]
    assert a["return"] == pytest.approx(filled[filled["ticker"] == "A"].iloc[-1]["return"], rel=1e-12)
    if costs == (0.0, 0.0) and not split:
        entry, last = (10.0, 12.0) if trade_at == "close" else (9.8, 11.76)
        move = last / entry - 1
        assert a["return"] == pytest.approx(move if weight > 0 else -move, rel=1e-12)


@pytest.mark.parametrize("bars", [1, 8, 9, 12])
@pytest.mark.parametrize("weight, fee, tax, expected", [
    # Bought at 10 on bar 1, last priced at 12 on bar 3.
    (0.5, 0.0, 0.0, 0.2),
    (-0.5, 0.0, 0.0, -0.2),
    (0.5, 0.01, 0.02, 0.99 * 1.2 * 0.97 - 1),
    # A short's value: 2 - 1.2 * (2 - 0.99) after the entry fee, then the exit's costs.
    (-0.5, 0.01, 0.02, 0.97 * (2 - 1.2 * 1.01) - 1),
], ids=["long", "short", "long with costs", "short with costs"])
def test_an_exit_long_after_the_last_price_sells_at_that_price(bars, weight, fee, tax, expected):
    # A has no price from bar 4 for ``bars`` bars and is sold on the last of them: the
    # trade is valued at bar 3's price however far back that lies.
    days = pd.bdate_range("2024-01-01", periods=bars + 6)
    a = np.r_[10.0, 10, 11, 12, [np.nan] * bars, 13, 14]
    close = pd.DataFrame({"A": a, "B": 20.0}, index=days)
    weights = pd.DataFrame({"A": [weight, 0.0], "B": 0.5}, index=days[[0, bars + 2]])
    trades = quiet(weights, close, fee=fee, tax=tax).trades
    sold = trades[trades["ticker"] == "A"]
    assert len(sold) == 1 and sold["exit_date"].iloc[0] == days[bars + 3]
    assert sold["return"].iloc[0] == pytest.approx(expected, rel=1e-12)
    filled = quiet(weights, close.ffill(), fee=fee, tax=tax).trades
    assert sold["return"].iloc[0] == pytest.approx(filled["return"][filled["ticker"] == "A"].iloc[0],
                                                   rel=1e-12)
