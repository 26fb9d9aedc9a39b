import dataclasses
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.datasets import momentum, synthetic_market


@pytest.fixture(scope="module")
def market():
    return synthetic_market(stocks=60, years=3, seed=7)


def backtest(market, **kwargs):
    weights = momentum(market, top=6, bottom=6, lookback=60, skip=5)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(weights, market, delistings="infer", **kwargs)


@pytest.fixture(scope="module")
def result(market):
    return backtest(market, stop_loss=0.1, take_profit=0.25, window=12, window_step=4)


def test_result_is_frozen_and_hands_out_copies(result):
    equity, trades = result.equity, result.trades
    # A frozen dataclass: assigning or deleting any attribute raises (an AttributeError).
    with pytest.raises(dataclasses.FrozenInstanceError, match="cannot assign"):
        result.equity = equity
    with pytest.raises(dataclasses.FrozenInstanceError, match="cannot delete"):
        del result.trades
    handed = (result.equity, result.trades, result.actions, result.settings)
    handed[0].iloc[:] = 0.0
    handed[1].loc[:, "return"] = 99.0
    handed[2].loc[:, "next_weight"] = 1.0
    handed[3]["fee"] = 1.0
    pd.testing.assert_series_equal(result.equity, equity)
    pd.testing.assert_frame_equal(result.trades, trades)
    assert result.settings["fee"] == 0.001425
    assert result.actions["next_weight"].abs().sum() <= 1.0 + 1e-12


def test_two_results_do_not_share_state(market, result):
    before = (result.equity, result.trades, result.actions, result.trades_window())
    other = backtest(market, trailing_stop=0.05, window=3)
    assert not other.equity.equals(before[0])
    pd.testing.assert_series_equal(result.equity, before[0])
    pd.testing.assert_frame_equal(result.trades, before[1])
    pd.testing.assert_frame_equal(result.actions, before[2])
    pd.testing.assert_frame_equal(result.trades_window(), before[3])
    clone = pickle.loads(pickle.dumps(result))
    pd.testing.assert_frame_equal(clone.trades, before[1])


def test_series_relations(result):
    equity, returns, drawdown = result.equity, result.returns, result.drawdown
    # The first live bar has no return: the returns compound from it to every later bar.
    assert returns.index.equals(equity.index[1:])
    assert np.allclose((1 + returns).cumprod(), equity.iloc[1:] / equity.iloc[0])
    assert (drawdown <= 0).all() and np.isclose(drawdown.min(), (equity / equity.cummax() - 1).min())
    months = result.monthly_returns()
    assert list(months.columns) == list(range(1, 13))
    # Months compound to the whole run (equity is 1.0 before the first simulated bar).
    assert np.isclose(np.nanprod(1 + months.to_numpy()), equity.iloc[-1])
    ends = equity.groupby([equity.index.year, equity.index.month]).last()
    year, month = ends.index[-2]
    assert np.isclose(months.loc[year, month], ends.iloc[-2] / ends.iloc[-3] - 1)
    assert "total return" in repr(result) and "trades" in repr(result)


def test_trades_window_holds_every_step_below_the_window(result):
    window = result.trades_window()
    trades = result.trades
    assert set(window["offset"]) <= {0, 4, 8}
    # Blocks exist up to the end of the data, whatever the exit.
    last = len(result.equity) - 1
    bars_left = last - result.equity.index.get_indexer(trades["entry_date"])
    expected = np.minimum(bars_left // 4 + 1, 3)
    assert np.array_equal(window.groupby("trade").size().reindex(range(len(trades)), fill_value=0), expected)
    first = window[window["offset"] == 0].set_index("trade")
    assert (first["mae"] <= 0).all() and (first["gmfe"] >= 0).all()
    assert (window["ticker"].to_numpy() == trades["ticker"].to_numpy()[window["trade"]]).all()


def test_a_run_without_a_window_has_no_window_rows():
    market = orvane.datasets.synthetic_market(stocks=6, years=1, seed=2)
    weights = orvane.datasets.momentum(market, top=2, bottom=1, lookback=20)
    run = orvane.backtest(weights, market, window=0)
    assert len(run.trades) and run.trades_window().empty


def test_a_run_whose_only_rebalance_is_still_pending():
    days = pd.bdate_range("2024-01-01", periods=5)
    prices = pd.DataFrame({"A": [10.0, 11, 12, 13, 14], "B": 5.0}, index=days)
    # Set on the last bar: traded on the next, which the data does not have yet.
    run = orvane.backtest(pd.DataFrame({"A": [1.0], "B": [0.0]}, index=days[-1:]), prices)
    assert run.rebalance_pending and run.start == days[-1] and run.end == days[-1]
    assert run.trades.empty and run.equity.tolist() == [1.0]
    assert run.actions.loc["A", "next_weight"] == 1.0 and run.actions.loc["A", "code"] == "enter"


def test_orders_move_the_drifted_book_to_the_next_weights():
    days = pd.bdate_range("2024-01-01", periods=6)
    prices = pd.DataFrame({"A": [10.0, 10, 15, 20, 20, 20], "B": 50.0, "C": [8.0] * 5 + [np.nan]},
                          index=days)
    weights = pd.DataFrame({"A": [0.5, 0.25], "B": [0.5, 0.25], "C": [0.0, 0.5]}, index=days[[0, 5]])
    result = orvane.backtest(weights, prices, fee=0.0, tax=0.0)
    orders = result.orders(30_000)
    # Bought at 10 and 50; A doubled, so the book is 2/3 A, 1/3 B at equity 1.5.
    assert np.allclose(orders["weight"], [2 / 3, 1 / 3, 0.0])
    assert np.allclose(orders["next_weight"], [0.25, 0.25, 0.5])
    assert np.allclose(orders["order_value"], [-12_500, -2_500, 15_000])
    assert np.allclose(orders.loc[["A", "B"], "order_shares"], [-625, -50])
    assert list(orders["tradable"]) == [True, True, False]  # C has no close on the last bar
    assert np.isnan(orders.loc["C", "order_shares"])
    repriced = result.orders(30_000, prices={"A": 25.0, "B": 50.0, "C": 8.0})
    assert repriced["tradable"].all() and repriced.loc["A", "target_shares"] == 300
    with pytest.raises(ValueError, match="capital must be a positive amount"):
        result.orders(-5)
    # Still open since bar 1, at the last bar: 4 bars held.
    assert result.trades["exit_reason"].eq("open").all() and (result.trades["bars_held"] == 4).all()
    # Two rebalances done: the book drifts from the last one (bar 3: A 20 -> 30, B flat,
    # C without a last close counted flat): 0.375, 0.25 and 0.5 of 1.125.
    again = orvane.backtest(weights.set_axis(days[[0, 2]]), prices.assign(A=[10.0, 10, 15, 20, 30, 30]),
                            fee=0.0, tax=0.0).orders(30_000)
    assert np.allclose(again["weight"], [1 / 3, 2 / 9, 4 / 9])


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_save_round_trip(result, tmp_path, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    paths = result.save(tmp_path / "out", format=fmt)
    assert set(paths) == {"equity", "trades", "actions", "stats"}
    if fmt == "csv":
        equity = pd.read_csv(paths["equity"], index_col=0, parse_dates=True)["equity"]
        trades = pd.read_csv(paths["trades"], parse_dates=["entry_date", "exit_date", "signal_date"])
        actions = pd.read_csv(paths["actions"], index_col=0, keep_default_na=False)
    else:
        equity = pd.read_parquet(paths["equity"])["equity"]
        trades = pd.read_parquet(paths["trades"])
        actions = pd.read_parquet(paths["actions"])
    pd.testing.assert_series_equal(equity, result.equity, check_freq=False, check_names=False,
                                   check_index_type=False)
    expected = result.trades
    if fmt == "csv":  # CSV keeps no categories
        expected = expected.astype({"side": trades["side"].dtype, "exit_reason": trades["exit_reason"].dtype})
    pd.testing.assert_frame_equal(trades, expected, check_dtype=False)
    pd.testing.assert_frame_equal(actions, result.actions, check_dtype=False, check_index_type=False)
    stats = pd.read_csv(paths["stats"], index_col=0)
    assert list(stats.index) == list(result.stats().index)


SQUEEZE_DAYS = pd.bdate_range("2024-01-01", periods=8)
SQUEEZE = pd.DataFrame({"A": [10.0, 12, 15, 19, 22, 25, 30, 32],
                        "B": [20.0, 21, 19, 22, 23, 21, 24, 25]}, index=SQUEEZE_DAYS)


@pytest.mark.parametrize("weights", [
    # Entries after the ruin (the trade table drops them).
    pd.DataFrame({"A": [-1.0, 0.0], "B": [0.0, 1.0]}, index=SQUEEZE_DAYS[[0, 6]]),
    # A trade running past the ruin, and one entered on it.
    pd.DataFrame({"A": [-0.9], "B": [0.1]}, index=SQUEEZE_DAYS[[0]]),
    pd.DataFrame({"A": [-1.0, 1.0], "B": [0.0, 0.0]}, index=SQUEEZE_DAYS[[0, 4]]),
], ids=["entries after", "running past", "entered on it"])
@pytest.mark.parametrize("window, step", [(3, 1), (8, 1), (8, 3)])
def test_a_ruined_book_windows_its_own_trades_up_to_the_ruin(weights, window, step):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = orvane.backtest(weights, SQUEEZE, fee=0, tax=0, window=window, window_step=step)
    assert result.ruined
    table, trades = result.trades_window(), result.trades
    # Trades running at the ruin stay open there: no exit date.
    running = trades["exit_reason"] == "open"
    assert running.any() and trades.loc[running, "exit_date"].isna().all()
    assert (table["ticker"].to_numpy() == trades["ticker"].to_numpy()[table["trade"]]).all()
    end = SQUEEZE_DAYS.get_loc(result.end)
    left = end - SQUEEZE_DAYS.get_indexer(trades["entry_date"])
    expected = np.minimum(left // step + 1, -(-window // step))
    assert np.array_equal(table.groupby("trade").size().reindex(range(len(trades)), fill_value=0),
                          expected)


def stop_on_a_rebalance():
    """A and B bought on the second bar; on the fifth, the bar a new weight row trades, A's
    low touches its 10 % stop: sold there, then bought back by the rebalance."""
    days = pd.bdate_range("2024-01-01", periods=10)
    close = pd.DataFrame({"A": [10.0, 10.0, 10.2, 9.8, 9.6, 9.7, 9.8, 9.9, 10.0, 10.1],
                          "B": 20.0}, index=days)
    low = close * 0.99
    low.loc[days[4], "A"] = 8.9
    prices = {"open": close, "high": close * 1.01, "low": low, "close": close}
    weights = pd.DataFrame({"A": [0.5, 0.5], "B": [0.5, 0.5]}, index=days[[0, 3]])
    return prices, weights


@pytest.mark.parametrize("options", [
    dict(),
    dict(trade_at="open"),
    dict(fee=0.01, tax=0.01, take_profit=0.5),
])
def test_a_trades_return_does_not_depend_on_the_window(options):
    # The window carries a trade's excursion walk past its exit. The front rebuilt such
    # returns from prices, and took a stop sale followed by a buy-back on the same bar for
    # a cut that paid nothing; the engine now values every exit as it sold it.
    prices, weights = stop_on_a_rebalance()
    options = dict(options, stop_loss=0.1, intrabar_exits=True, skip_stopped_until_rebalance=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        plain = orvane.backtest(weights, prices, **options)
        windowed = orvane.backtest(weights, prices, window=6, **options)
    a = plain.trades[plain.trades["ticker"] == "A"]
    # Sold at the stop and bought back on the same bar.
    assert len(a) == 2 and a["exit_date"].iloc[0] == a["entry_date"].iloc[1]
    assert a["exit_price"].iloc[0] == pytest.approx(9.0)
    np.testing.assert_array_equal(windowed.trades["return"].to_numpy(),
                                  plain.trades["return"].to_numpy())


@pytest.mark.parametrize("seed", [1, 2])
def test_returns_are_the_same_under_any_window_on_a_market(seed):
    market = synthetic_market(stocks=30, years=2, seed=seed)
    weights = momentum(market, lookback=21, skip=1, top=4, bottom=4, rebalance="W")
    options = dict(stop_loss=0.03, take_profit=0.05, intrabar_exits=True,
                   skip_stopped_until_rebalance=False, delistings="infer")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        runs = [orvane.backtest(weights, market, window=w, **options).trades["return"]
                for w in (0, 10, 120)]
    for other in runs[1:]:
        np.testing.assert_array_equal(other.to_numpy(), runs[0].to_numpy())
