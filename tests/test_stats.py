"""Statistics of orvane.stats on hand-made curves and trade tables with known answers."""

import math
import types

import warnings

import numpy as np
import pandas as pd
import pytest

from orvane import stats

CONTRACT_NAMES = [
    "start", "end", "total_return", "cagr", "annual_volatility", "sharpe", "sortino",
    "probabilistic_sharpe", "max_drawdown", "max_drawdown_peak", "max_drawdown_trough", "max_drawdown_recovery",
    "calmar", "skew", "kurtosis", "var_95", "cvar_95", "best_day", "worst_day", "best_month",
    "worst_month", "best_year", "worst_year", "trades", "win_rate", "profit_factor", "avg_win", "avg_loss", "avg_bars_held",
    "turnover", "time_in_market", "avg_mae_winners", "avg_mfe_winners", "avg_mae_losers",
    "avg_mfe_losers",
]


def curve(values, start="2021-01-04", freq="B"):
    return pd.Series(values, index=pd.date_range(start, periods=len(values), freq=freq), dtype=float)


def trade_table(returns, mae=None, gmfe=None, weights=None, entry=None, exit=None, bars=None):
    n = len(returns)
    days = pd.bdate_range("2021-01-04", periods=20)
    return pd.DataFrame({
        "ticker": [f"T{i}" for i in range(n)],
        "side": ["long"] * n,
        "entry_date": days[entry if entry is not None else [0] * n],
        "exit_date": pd.DatetimeIndex([days[e] if e is not None else pd.NaT for e in (exit or [1] * n)]),
        "weight": weights if weights is not None else [0.1] * n,
        "bars_held": bars if bars is not None else [1] * n,
        "return": returns,
        "mae": mae if mae is not None else [0.0] * n,
        "gmfe": gmfe if gmfe is not None else [0.0] * n,
    })


@pytest.mark.parametrize("freq, expected", [
    ("B", 252), ("D", 365), ("W-FRI", 52), ("ME", 12), ("QE-DEC", 4), ("YE-DEC", 1), ("2D", 182.5),
])
def test_periods_per_year_from_frequency(freq, expected):
    if tuple(int(x) for x in pd.__version__.split(".")[:2]) < (2, 2):
        freq = {"ME": "M", "QE-DEC": "Q-DEC", "YE-DEC": "A-DEC"}.get(freq, freq)
    assert stats.periods_per_year(pd.date_range("2020-01-01", periods=40, freq=freq)) == expected


def test_periods_per_year_from_spacing():
    # Trading days with holidays have no pandas frequency: still 252.
    holidays = pd.bdate_range("2020-01-01", periods=300).delete([5, 50, 77])
    assert stats.periods_per_year(holidays) == 252
    fortnights = pd.DatetimeIndex(["2020-01-01", "2020-01-15", "2020-01-29", "2020-02-20"])
    assert stats.periods_per_year(fortnights) == pytest.approx(365.25 / 14)
    assert math.isnan(stats.periods_per_year(pd.DatetimeIndex(["2020-01-01"])))


def test_facts_of_dates_are_kept_by_their_content():
    # What one index gave is reused only for the same dates in the same unit and zone:
    # an index of the same length, or the same integers read in another zone, is new.
    days = pd.bdate_range("2020-01-01", periods=300)
    weeks = pd.date_range("2000-01-07", periods=300, freq="W-FRI")
    assert stats.periods_per_year(days) == 252
    assert stats.periods_per_year(weeks) == 52
    assert stats.periods_per_year(pd.DatetimeIndex(days.to_numpy().copy())) == 252
    month_ends = stats.calendar_returns(pd.Series(0.01, index=days), "month")
    assert len(month_ends) == 14 and month_ends.index[0] == pd.Timestamp("2020-01-31")
    # The same integers: late on the 31st in UTC is the 1st of the next month in Tokyo.
    late = pd.DatetimeIndex(["2020-01-30 20:00", "2020-01-31 20:00"])
    for zone, count in ((None, 1), ("Asia/Tokyo", 2)):
        index = late if zone is None else late.tz_localize("UTC").tz_convert(zone)
        assert len(stats.calendar_returns(pd.Series(0.01, index=index), "month")) == count, zone


def test_drawdown_dates_with_recovery_and_without():
    eq = curve([1.0, 1.1, 0.99, 1.2, 1.0, 1.25])
    depth, peak, trough, recovery = stats.max_drawdown(eq)
    assert depth == pytest.approx(1.0 / 1.2 - 1.0)
    assert (peak, trough, recovery) == (eq.index[3], eq.index[4], eq.index[5])
    np.testing.assert_allclose(stats.drawdown(eq), [0, 0, -0.1, 0, 1 / 1.2 - 1, 0], atol=1e-15)

    depth, peak, trough, recovery = stats.max_drawdown(curve([1.0, 2.0, 1.5, 1.8]))
    assert depth == -0.25 and peak == pd.Timestamp("2021-01-05") and recovery is pd.NaT


def test_cagr_uses_calendar_years():
    # 2020-01-01 to 2024-01-01 is 1461 days = 4 years of 365.25 days.
    eq = pd.Series([1.0, 3.0, 16.0], index=pd.to_datetime(["2020-01-01", "2021-06-01", "2024-01-01"]))
    assert stats.cagr(eq) == pytest.approx(1.0)
    assert stats.total_return(eq) == 15.0
    assert stats.cagr(eq * 0 + [1.0, 0.5, 0.0]) == -1.0


def test_sharpe_and_sortino_by_hand():
    r = pd.Series([0.01, -0.01, 0.02, 0.0])
    # mean 0.005, sample std sqrt(0.0005 / 3); downside deviation sqrt(0.0001 / 4) = 0.005.
    assert stats.sharpe_ratio(r, 252) == pytest.approx(math.sqrt(0.15 * 252))
    assert stats.sortino_ratio(r, 252) == pytest.approx(math.sqrt(252))
    assert stats.annual_volatility(r, 252) == pytest.approx(math.sqrt(0.0005 / 3 * 252))
    # An annual risk-free rate is spread over the periods.
    assert stats.sharpe_ratio(r + 0.01 / 252, 252, risk_free=0.01) == pytest.approx(math.sqrt(0.15 * 252))


@pytest.mark.parametrize("values, sharpe, sortino, calmar", [
    ([1.0, 1.0, 1.0, 1.0], "nan", "nan", "nan"),      # flat
    ([1.0, 1.01, 1.03, 1.04], 1, "inf", "nan"),       # never falls: no downside, no drawdown
    ([1.0], "nan", "nan", "nan"),                      # one bar
])
def test_undefined_ratios(values, sharpe, sortino, calmar):
    eq = curve(values)
    r = eq.pct_change().iloc[1:]
    got = (stats.sharpe_ratio(r, 252), stats.sortino_ratio(r, 252),
           stats.calmar_ratio(stats.cagr(eq), stats.max_drawdown(eq)[0]))
    for value, want in zip(got, (sharpe, sortino, calmar)):
        if want == "nan":
            assert math.isnan(value)
        elif want == "inf":
            assert value == math.inf
        else:
            assert math.isfinite(value) and value > 0


def test_trade_stats_by_hand():
    t = trade_table([0.10, -0.05, 0.20, -0.05, np.nan], mae=[-0.02, -0.06, -0.01, -0.08, 0.0],
                    gmfe=[0.12, 0.01, 0.25, 0.03, 0.0], bars=[1, 2, 3, 4, 5])
    s = stats.trade_stats(t)
    assert s["trades"] == 5
    assert s["win_rate"] == 0.5                       # the NaN return is left out
    assert s["profit_factor"] == pytest.approx(3.0)   # 0.30 / 0.10
    assert s["avg_win"] == pytest.approx(0.15) and s["avg_loss"] == pytest.approx(-0.05)
    assert s["avg_bars_held"] == 3.0
    assert s["avg_mae_winners"] == pytest.approx(-0.015) and s["avg_mfe_winners"] == pytest.approx(0.185)
    assert s["avg_mae_losers"] == pytest.approx(-0.07) and s["avg_mfe_losers"] == pytest.approx(0.02)


def test_trade_stats_skip_unknown_excursions():
    # Winners' mae: -0.02, unknown, -0.04; losers' gmfe all unknown.
    t = trade_table([0.1, 0.2, 0.3, -0.1], mae=[-0.02, np.nan, -0.04, -0.05],
                    gmfe=[0.1, 0.3, 0.5, np.nan])
    s = stats.trade_stats(t)
    assert s["avg_mae_winners"] == pytest.approx(-0.03) and s["avg_mfe_winners"] == pytest.approx(0.3)
    assert s["avg_mae_losers"] == -0.05 and math.isnan(s["avg_mfe_losers"])


def test_trade_stats_all_winners_and_no_trades():
    s = stats.trade_stats(trade_table([0.1, 0.2]))
    assert s["profit_factor"] == math.inf and s["win_rate"] == 1.0 and math.isnan(s["avg_loss"])
    empty = stats.trade_stats(trade_table([]))
    assert empty["trades"] == 0
    assert all(math.isnan(v) for k, v in empty.items() if k != "trades")


@pytest.mark.parametrize("key, entry", [
    ([3, 1, 3, 1], [5, 0, 2, 7]),            # records of a ticker out of entry order
    ([2**16, 1], [0, 0]),                    # a ticker code past 16 bits
    ([2**16 - 1, 0, 2**16 - 1], [1, 0, 0]),
])
def test_records_are_grouped_by_ticker_then_entry(key, entry):
    from orvane.stats._trades import group_order

    key, entry = np.array(key), np.array(entry)
    assert group_order(key, entry).tolist() == np.lexsort((entry, key)).tolist()


@pytest.mark.parametrize("returns, key, expected", [
    ([0.1, 0.0], "win_rate", 0.5),                 # a flat record is no win
    ([0.1, 0.0, -0.1], "avg_loss", -0.05),         # ... but counts among the losers
    ([0.0], "profit_factor", math.nan),            # nothing won, nothing lost
])
def test_a_flat_record_is_a_loss_of_nothing(returns, key, expected):
    assert stats.trade_stats(trade_table(returns))[key] == pytest.approx(expected, nan_ok=True)


def test_round_trips_order_and_columns():
    table = trade_table([0.1, 0.2, 0.3], entry=[0, 0, 1], exit=[None, 2, 1])
    table = table.assign(signal_date=table["entry_date"], pnl=0.0, costs=0.0,
                         exit_reason=pd.Categorical(["open", "rebalance", "rebalance"]))
    trips = stats.round_trips(table)
    assert list(trips["ticker"]) == ["T2", "T1", "T0"]      # by exit, the open one last
    assert list(trips.columns) == list(stats.round_trips(table.iloc[:0]).columns)
    assert "index" not in trips.columns and stats.round_trips(table.iloc[:0])["records"].empty


def test_time_in_market_and_turnover():
    index = pd.bdate_range("2021-01-04", periods=10)
    # Bars 2-4 from the first trade, 4 to the end from the open one: 8 of 10 bars.
    t = trade_table([0.1, 0.0], weights=[0.5, -0.5], entry=[2, 4], exit=[5, None])
    assert stats.time_in_market(t, index) == 0.8
    assert stats.time_in_market(t.iloc[:1], index) == 0.3     # bars 2-4: closed before the end
    assert stats.turnover(t, years=2.0) == 0.5
    # A position kept across a rebalance is split into two trades: opened once.
    kept = trade_table([0.1, 0.1, 0.1], weights=[0.5, 0.5, 0.5], entry=[0, 5, 7], exit=[5, 7, None])
    kept["ticker"] = "T0"
    kept.loc[2, "side"] = "short"
    assert stats.turnover(kept, years=1.0) == 1.0
    # Records listed out of entry order are joined the same way.
    assert stats.turnover(kept.iloc[::-1], years=1.0) == 1.0
    assert math.isnan(stats.turnover(t, years=0.0)) and math.isnan(stats.turnover(t.iloc[:0], 0.0))
    assert stats.time_in_market(trade_table([]), index) == 0.0 and stats.turnover(trade_table([]), 1.0) == 0.0
    # The old name still answers, and says what it is now called.
    with pytest.warns(DeprecationWarning, match="time_in_market"):
        assert stats.exposure(t, index) == 0.8


@pytest.mark.parametrize("unit", ["s", "ms", "us"])
def test_time_in_market_reads_trade_dates_in_another_unit(unit):
    if not hasattr(pd.DatetimeIndex, "as_unit"):
        pytest.skip("pandas before 2.0 holds nanoseconds only")
    index = pd.bdate_range("2021-01-04", periods=10).as_unit(unit)
    t = trade_table([0.1, 0.0], weights=[0.5, -0.5], entry=[2, 4], exit=[5, None]).astype(
        {"entry_date": "datetime64[ns]", "exit_date": "datetime64[ns]"})
    assert stats.time_in_market(t, index) == 0.8
    assert stats.time_in_market(t.iloc[:1], index) == 0.3     # bars 2-4: closed before the end


def fake_result(values, trades, start=None):
    eq = curve(values)
    return types.SimpleNamespace(equity=eq, trades=trades, start=start if start is not None else eq.index[0])


def test_summary_names_trimming_and_text():
    # Two leading bars before the first simulated date are not part of the statistics.
    result = fake_result([1.0, 1.0, 1.0, 1.2, 0.9, 1.1], trade_table([0.1, 0.2]))
    result.start = result.equity.index[2]
    s = stats.summary(result)
    assert list(s.index) == CONTRACT_NAMES
    assert s["start"] == result.equity.index[2] and s["end"] == result.equity.index[-1]
    assert s["total_return"] == pytest.approx(0.1)
    assert s["max_drawdown"] == pytest.approx(-0.25) and s["max_drawdown_recovery"] is pd.NaT
    # Two positions of 0.1 opened over Wed 6 to Mon 11 Jan: 5 days of a 365.25-day year.
    assert s["turnover"] == pytest.approx(0.2 / (5 / 365.25))
    assert s["calmar"] == pytest.approx(s["cagr"] / 0.25)
    text = stats.format_summary(s)
    assert text["Max drawdown"] == "-25.00%" and text["Max drawdown recovery"] == "not yet"
    assert text["Profit factor (records)"] == "inf" and text["Trades"] == "2"


def test_a_result_without_a_start_date_is_live_from_its_first_bar():
    result = fake_result([1.0, 1.2, 0.9, 1.1], trade_table([0.1]), start=pd.NaT)
    pd.testing.assert_series_equal(stats.live_equity(result), result.equity)
    assert stats.summary(result)["total_return"] == pytest.approx(0.1)


def test_summary_of_one_bar_and_no_trades():
    s = stats.summary(fake_result([1.0], trade_table([])))
    assert s["trades"] == 0 and s["total_return"] == 0.0 and s["time_in_market"] == 0.0
    assert math.isnan(s["cagr"]) and math.isnan(s["sharpe"]) and math.isnan(s["turnover"])
    text = stats.format_summary(s)
    assert text["CAGR"] == "n/a" and text["Max drawdown recovery"] == "n/a"


@pytest.mark.parametrize("bars", [0, 1])
def test_alpha_without_two_paired_returns_is_nan_and_quiet(bars):
    returns = pd.Series(0.01, index=pd.bdate_range("2021-01-04", periods=bars), dtype=float)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.isnan(stats.alpha(returns, returns, 252.0))


@pytest.mark.parametrize("values", [[1.0, np.nan, 3.0], [np.nan, np.nan], [], [2.5], [np.inf, np.nan, 1.0],
                                    [np.nan, 1e300, 1e300]])
def test_mean_of_the_known_values_is_pandas_skipping_nan(values):
    from orvane.stats._trades import mean_known

    got, expected = mean_known(np.array(values, dtype=float)), pd.Series(values, dtype=float).mean()
    assert got == expected or (math.isnan(got) and math.isnan(expected))


RETURNS = curve([0.01, -0.02, 0.015, 0.0, 0.02, -0.01])
EQUITY = (1.0 + RETURNS).cumprod()
TWICE = pd.Series(1.0, index=RETURNS.index.append(RETURNS.index[:1]))

# The public statistics functions check what they are given, in the option table's
# grammar, before any arithmetic can fail on it.
REFUSED = {
    "no bars a year": (lambda: stats.probabilistic_sharpe_ratio(RETURNS, 0), ValueError,
                       r"^periods must be a number of bars a year above 0, got 0$"),
    "a rate beyond any float": (lambda: stats.probabilistic_sharpe_ratio(RETURNS, 252, 10**400),
                                ValueError, r"^risk_free must be an annual rate as a fraction, "
                                            r"got an integer of 401 digits \(beyond any float\)$"),
    "bars a year as text": (lambda: stats.probabilistic_sharpe_ratio(RETURNS, "252"), TypeError,
                            r"^periods must be a number of bars a year, got str '252'$"),
    "bars a year as an array": (lambda: stats.probabilistic_sharpe_ratio(RETURNS, np.array([252, 1])),
                                TypeError, r"^periods must be a number of bars a year, got ndarray"),
    "a threshold as text": (lambda: stats.probabilistic_sharpe_ratio(RETURNS, 252, threshold="1"),
                            TypeError, r"^threshold must be an annual Sharpe ratio, got str '1'$"),
    "returns as a list": (lambda: stats.probabilistic_sharpe_ratio([0.01, 0.02], 252), TypeError,
                          r"^returns must be a pandas Series of returns on dates, got list"),
    "rolling without bars a year": (lambda: stats.rolling_stats(RETURNS, 3, 0), ValueError,
                                    r"^periods must be a number of bars a year above 0, got 0$"),
    "rolling on an array": (lambda: stats.rolling_stats(RETURNS.to_numpy(), 3, 252), TypeError,
                            r"^returns must be a pandas Series of returns on dates, got ndarray"),
    "rolling against repeated dates": (lambda: stats.rolling_stats(RETURNS, 3, 252, benchmark=TWICE),
                                       ValueError, r"^benchmark must have one value per date, got "
                                                   r"2021-01-04 twice"),
    "trailing of text": (lambda: stats.trailing_returns("x"), TypeError,
                         r"^equity must be a pandas Series of values on dates, got str 'x'$"),
    "trailing of an array": (lambda: stats.trailing_returns(EQUITY.to_numpy()), TypeError,
                             r"^equity must be a pandas Series of values on dates, got ndarray"),
    "trailing without dates": (lambda: stats.trailing_returns(EQUITY.reset_index(drop=True)), TypeError,
                               r"^equity must be a pandas Series of values on dates, got one on "
                               r"RangeIndex"),
    "trailing against repeated dates": (lambda: stats.trailing_returns(EQUITY, TWICE), ValueError,
                                        r"^benchmark must have one value per date, got 2021-01-04 twice"),
}


@pytest.mark.parametrize("call, error, message", REFUSED.values(), ids=REFUSED.keys())
def test_statistics_functions_refuse_what_they_cannot_compute_on(call, error, message):
    with pytest.raises(error, match=message) as caught:
        call()
    assert type(caught.value) is error

