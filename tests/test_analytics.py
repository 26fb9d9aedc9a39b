"""Tear-sheet statistics, drawdown spells, the benchmark and the annualisation rule, on
small hand-made series whose answers follow from the textbook formulas."""

import math
import types
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import stats

DAYS = pd.bdate_range("2021-01-04", periods=21)
R = pd.Series([0.01, -0.02, 0.03, -0.01, 0.005, 0.0, 0.02, -0.015, 0.012, -0.03, 0.004,
               0.007, -0.004, 0.018, -0.006, 0.001, 0.009, -0.011, 0.015, -0.002, 0.003], index=DAYS)
B = pd.Series(np.repeat([0.004, -0.01, 0.012, -0.003, 0.006, -0.007, 0.002], 3), index=DAYS)


def z(x):
    return (x - x.mean()) / x.std(ddof=1)


def capture(r, b, pick, p=252):
    n = pick.sum()
    return (np.prod(1 + r[pick]) ** (p / n) - 1) / (np.prod(1 + b[pick]) ** (p / n) - 1)


U = np.array([1.0, -1, 1, -1, 1, -1, 1, -1])
V = np.array([1.0, 1, -1, -1, 1, 1, -1, -1])
BO = pd.Series(0.001 + 0.01 * U, index=DAYS[:8])
RO = pd.Series(0.002 + 0.012 * U + 0.016 * V, index=DAYS[:8])
CURVE_O = pd.Series(np.r_[1.0, np.cumprod(1 + BO.to_numpy())], index=DAYS[:9])
R2, B2 = pd.Series([0.01, 0.03], index=DAYS[:2]), pd.Series([0.01, -0.01], index=DAYS[:2])
RC = pd.Series([0.01, -0.02, 0.05, 0.04, 0.01], index=DAYS[:5])
BC = pd.Series([0.02, -0.01, 0.0, 0.03, -0.02], index=DAYS[:5])
CURVE2 = pd.Series([2.0, 2.5, 1.5, 8.0],
                   index=pd.to_datetime(["2020-01-01", "2021-01-01", "2022-06-01", "2024-01-01"]))
BX = pd.Series([0.25, -0.5, 0.125], index=DAYS[:3])    # + 0.5 stays exact
RS = pd.Series([0.03, -0.01, 0.02, -0.02])
X5 = pd.Series([0.02, -0.01, -0.05, 0.0, -0.03])
# Returns over a new year; the benchmark's curve starts a bar late, so its first move is none.
RY = pd.Series([0.01, 0.02, -0.01, 0.03], index=pd.to_datetime(["2020-12-30", "2020-12-31", "2021-01-04", "2021-01-05"]))
BY = pd.Series([100.0, 105, 110, 99], index=RY.index)
n = len(R)
# A two-point series: mean MU, deviation D, so its skewness is 0 and kurtosis 1, and the
# probabilistic Sharpe ratio reduces to Z(MU / D * (n - 1) / sqrt(n)).
MU, D, N = 0.001, 0.01, 100
TWO_POINT = pd.Series(MU + D * np.tile([1.0, -1.0], N // 2),
                      index=pd.bdate_range("2020-01-01", periods=N))
# A curve up 10 % a year compounded over calendar days, every day from 2020-01-01.
DAILY = pd.date_range("2020-01-01", "2024-06-30", freq="D")
TEN = pd.Series(1.1 ** ((DAILY - DAILY[0]).days / 365.25), index=DAILY)
HOURLY = pd.Series([2.0, 2.5, 1.5, 2.25, 3.0], index=pd.date_range("2024-03-04 10:00", periods=5, freq="h"))


def normal_cdf(x):
    return 0.5 * (1 + math.erf(x / math.sqrt(2)))


def grown(days):
    return 1.1 ** (days / 365.25) - 1


FORMULAS = [
    # Sample moments written as sums of standardised values, not as central moments.
    (lambda: stats.skewness(R), n / ((n - 1) * (n - 2)) * (z(R) ** 3).sum()),
    (lambda: stats.kurtosis(R), n * (n + 1) / ((n - 1) * (n - 2) * (n - 3)) * (z(R) ** 4).sum()
     - 3 * (n - 1) ** 2 / ((n - 2) * (n - 3))),
    # 21 returns: the 5 % quantile falls on the second lowest; the shortfall averages two.
    (lambda: stats.value_at_risk(R), sorted(R)[1]),
    (lambda: stats.conditional_value_at_risk(R), (sorted(R)[0] + sorted(R)[1]) / 2),
    # 11 returns: half way between the two lowest.
    (lambda: stats.value_at_risk(R[:11]), (sorted(R[:11])[0] + sorted(R[:11])[1]) / 2),
    (lambda: stats.rolling_stats(R, 5, 252)["sharpe"].iloc[-1],
     R[-5:].mean() / R[-5:].std() * math.sqrt(252)),
    (lambda: stats.rolling_stats(R, 5, 252, risk_free=0.0252)["sharpe"].iloc[-1],
     (R[-5:].mean() - 0.0001) / R[-5:].std() * math.sqrt(252)),
    (lambda: stats.rolling_stats(R, 5, 252)["volatility"].iloc[-1], R[-5:].std() * math.sqrt(252)),
    (lambda: stats.rolling_stats(R, 5, 252)["sharpe"].iloc[3], np.nan),
    # A window of every return is full on the last bar; one more is never full.
    (lambda: stats.rolling_stats(R, len(R), 252)["volatility"].iloc[-1], R.std() * math.sqrt(252)),
    (lambda: stats.rolling_stats(R, len(R) + 1, 252)["volatility"].iloc[-1], np.nan),
    # A levered copy: twice the moves, so beta 2, correlation 1, no alpha; the active
    # return is the benchmark's own.
    (lambda: stats.beta(2 * B, B), 2.0),
    (lambda: stats.correlation(2 * B, B), 1.0),
    (lambda: stats.alpha(2 * B, B, 252), 0.0),
    (lambda: stats.alpha(2 * B, B, 252, risk_free=0.0252), 0.0252),
    (lambda: stats.tracking_error(2 * B, B, 252), B.std() * math.sqrt(252)),
    (lambda: stats.information_ratio(2 * B, B, 252), B.mean() / B.std() * math.sqrt(252)),
    (lambda: stats.capture_ratio(2 * B, B, 252, "up"), capture(2 * B, B, B > 0)),
    (lambda: stats.capture_ratio(2 * B, B, 252, "down"), capture(2 * B, B, B < 0)),
    (lambda: stats.capture_ratio(B, B, 252, "down"), 1.0),
    (lambda: stats.beta(R, R * 0 + 0.001), np.nan),            # a benchmark that never varies
    (lambda: stats.information_ratio(B, B, 252), np.nan),      # no active return
    (lambda: stats.skewness(R * 0 + 0.1), np.nan),             # equal values: mean off by an ulp
    # Two orthogonal zero-mean patterns: r loads 0.012 on the benchmark's and 0.016 on the
    # other, so beta = 0.012 / 0.01, correlation 0.012 / hypot(0.012, 0.016) = 0.6 exactly.
    (lambda: stats.correlation(RO, BO), 0.6),
    (lambda: stats.beta(RO, BO), 1.2),
    (lambda: stats.alpha(RO, BO, 252), (0.002 - 1.2 * 0.001) * 252),
    (lambda: stats.alpha(RO, BO, 252, risk_free=0.0252), (0.0019 - 1.2 * 0.0009) * 252),
    # Active 0.001 + 0.002 u + 0.016 v: squared deviations 8 * (0.002 ** 2 + 0.016 ** 2), over 7.
    (lambda: stats.tracking_error(RO, BO, 252), math.sqrt(0.00208 / 7 * 252)),
    (lambda: stats.information_ratio(RO, BO, 252), 0.001 / math.sqrt(0.00208 / 7) * math.sqrt(252)),
    # Two paired bars are enough; one is not.
    (lambda: stats.beta(R2, B2), -1.0),
    (lambda: stats.correlation(R2, B2), -1.0),
    (lambda: stats.tracking_error(R2, B2 * 0, 252), math.sqrt(0.0002 * 252)),
    (lambda: stats.information_ratio(R2, B2 * 0, 252), 0.02 / math.sqrt(0.0002) * math.sqrt(252)),
    (lambda: stats.beta(R2[:1], B2[:1]), np.nan),
    (lambda: stats.tracking_error(R2[:1], B2[:1], 252), np.nan),
    # Up bars 0 and 3, down bars 1 and 4; the flat bar 2 is neither. Four periods a year
    # over two bars: each side compounds squared.
    (lambda: stats.capture_ratio(RC, BC, 4, "up"), ((1.01 * 1.04) ** 2 - 1) / ((1.02 * 1.03) ** 2 - 1)),
    (lambda: stats.capture_ratio(RC, BC, 4, "down"), ((0.98 * 1.01) ** 2 - 1) / ((0.99 * 0.98) ** 2 - 1)),
    (lambda: stats.capture_ratio(RC, BC.abs(), 4, "down"), np.nan),    # no down bar
    # A benchmark whose annualised up return is exactly 100 %: the ratio is still defined.
    (lambda: stats.capture_ratio(R2[:1] * 50, R2[:1] * 100, 1, "up"), 0.5),
    # The benchmark rows' alpha without a risk-free rate is plain alpha on the curve's moves.
    (lambda: stats.benchmark_stats(RO.set_axis(DAYS[1:9]), CURVE_O, 252)["alpha"],
     stats.alpha(RO.set_axis(DAYS[1:9]), CURVE_O.pct_change(), 252)),
    # A curve starting at 2.0 that quadruples in 4 calendar years of 365.25 days.
    (lambda: stats.cagr(CURVE2), math.sqrt(2.0) - 1.0),
    (lambda: stats.total_return(CURVE2), 3.0),
    (lambda: stats.cagr(CURVE2.iloc[[0, 3]]), math.sqrt(2.0) - 1.0),          # two dates are enough
    (lambda: stats.cagr(CURVE2.iloc[[1, 2]]), 0.6 ** (365.25 / 516) - 1.0),    # a loss over 516 days
    (lambda: stats.cagr(CURVE2.iloc[:2].set_axis(CURVE2.index[[0, 0]])), np.nan),   # ... but not one twice
    (lambda: stats.max_drawdown(CURVE2)[0], 1.5 / 2.5 - 1),
    (lambda: stats.benchmark_stats(CURVE2 * 0 + 0.01, CURVE2, 1.0)["benchmark_cagr"], math.sqrt(2.0) - 1.0),
    (lambda: stats.benchmark_stats(CURVE2 * 0 + 0.01, CURVE2, 1.0)["benchmark_total_return"], 3.0),
    (lambda: stats.benchmark_stats(CURVE2 * 0 + 0.01, CURVE2, 1.0)["benchmark_max_drawdown"], -0.4),
    (lambda: stats.calmar_ratio(0.2, -0.4), 0.5),
    (lambda: stats.calmar_ratio(0.2, 0.0), np.nan),
    (lambda: stats.max_drawdown(CURVE2.iloc[[0, 1, 3]])[0], 0.0),     # never below a high
    # An active return that never varies but is not zero: no ratio, not an infinite one.
    (lambda: stats.information_ratio(BX + 0.5, BX, 252), np.nan),
    (lambda: stats.annual_volatility(R2, 252), math.sqrt(0.0002 * 252)),
    (lambda: stats.annual_volatility(R2[:1], 252), np.nan),
    # mean 0.005; downside sqrt((0.01 ** 2 + 0.02 ** 2) / 4) over all four bars.
    (lambda: stats.sortino_ratio(RS, 252), 0.005 / math.sqrt(0.0005 / 4) * math.sqrt(252)),
    (lambda: stats.sortino_ratio(RS + 0.0001, 252, risk_free=0.0252), 0.005 / math.sqrt(0.0005 / 4) * math.sqrt(252)),
    (lambda: stats.sharpe_ratio(RS, 252), 0.005 / RS.std(ddof=1) * math.sqrt(252)),
    (lambda: stats.sortino_ratio(RS[:2], 252), 0.01 / math.sqrt(0.0001 / 2) * math.sqrt(252)),
    (lambda: stats.sortino_ratio(RS[:1], 252), np.nan),
    # The fewest returns each moment takes: two for Sharpe, three for skew, four for kurtosis.
    (lambda: stats.sharpe_ratio(RS[:2], 252), 0.01 / math.sqrt(0.0008) * math.sqrt(252)),
    (lambda: stats.skewness(RS[:3]), 3 / (2 * 1) * (z(RS[:3]) ** 3).sum()),
    (lambda: stats.kurtosis(RS), 4 * 5 / (3 * 2 * 1) * (z(RS) ** 4).sum() - 3 * 3 ** 2 / (2 * 1)),
    (lambda: stats.sharpe_ratio(R * 0 + 0.25, 252), np.nan),     # no spread (0.25 is exact)
    (lambda: stats.periods_per_year(pd.DatetimeIndex(["2020-01-01"] * 3)), np.nan),   # no spacing
    (lambda: stats.periods_per_year(pd.DatetimeIndex(["2021-01-04", "2021-01-05"])), 252),   # two bars
    # Friday, Monday, Tuesday: three bars name their frequency (business days), not a 2-day spacing.
    (lambda: stats.periods_per_year(pd.DatetimeIndex(["2021-01-01", "2021-01-04", "2021-01-05"])), 252),
    # Sorted -0.05 -0.03 -0.01 0 0.02: the 20 % quantile is 0.8 of the way from the lowest
    # to the next, the 25 % one the second lowest itself, which the shortfall includes.
    (lambda: stats.value_at_risk(X5, 0.8), -0.05 + 0.8 * 0.02),
    (lambda: stats.conditional_value_at_risk(X5, 0.8), -0.05),
    (lambda: stats.value_at_risk(X5, 0.75), -0.03),
    (lambda: stats.conditional_value_at_risk(X5, 0.75), -0.04),
    (lambda: stats.value_at_risk(X5[:0]), np.nan),
    (lambda: stats.rolling_stats(R * 0 + 0.01, 5, 252)["sharpe"].iloc[-1], np.nan),   # no spread
    (lambda: stats.yearly_table(RY, BY).loc[2020, "benchmark"], 0.05),
    (lambda: stats.yearly_table(RY, BY).loc[2020, "excess"], 1.01 * 1.02 - 1 - 0.05),
    (lambda: stats.yearly_table(RY, BY).loc[2021, "excess"], 0.99 * 1.03 - 1 - (99 / 105 - 1)),
    (lambda: stats.conditional_value_at_risk(X5[:0]), np.nan),
    # The tear sheet's figures: probabilistic Sharpe, trailing windows, rolling Sortino and beta.
    (lambda: stats.probabilistic_sharpe_ratio(TWO_POINT, 252), normal_cdf(MU / D * (N - 1) / math.sqrt(N))),
    # A threshold of the annual Sharpe itself: a coin toss.
    (lambda: stats.probabilistic_sharpe_ratio(
        TWO_POINT, 252, threshold=MU / (D * math.sqrt(N / (N - 1))) * math.sqrt(252)), 0.5),
    # The risk-free rate comes off the mean first, as in the Sharpe ratio.
    (lambda: stats.probabilistic_sharpe_ratio(TWO_POINT, 252, risk_free=0.0252),
     normal_cdf((MU - 0.0001) / D * (N - 1) / math.sqrt(N))),
    (lambda: stats.probabilistic_sharpe_ratio(TWO_POINT[:1], 252), np.nan),
    # Two returns are the fewest: skew 0 and kurtosis 1 still, so Z(MU / D / sqrt(2)).
    (lambda: stats.probabilistic_sharpe_ratio(TWO_POINT[:2], 252), normal_cdf(MU / D / math.sqrt(2))),
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
    # Hourly bars within one day: no calendar day to annualise over, so All is the plain growth.
    (lambda: stats.trailing_returns(HOURLY).loc["All", "strategy"], 0.5),
    (lambda: stats.trailing_returns(HOURLY).loc["MTD", "strategy"], np.nan),
    (lambda: stats.trailing_returns(HOURLY, HOURLY * 2).loc["All", "benchmark"], 0.5),
    (lambda: stats.trailing_returns(HOURLY.tz_localize("America/New_York")).loc["All", "strategy"], 0.5),
    # beta 0.012 / 0.01 over the whole window, undefined before it is full.
    (lambda: stats.rolling_stats(RO, 8, 252, benchmark=BO)["beta"].iloc[-1], 1.2),
    (lambda: stats.rolling_stats(RO, 8, 252, benchmark=BO)["beta"].iloc[-2], np.nan),
    (lambda: stats.rolling_stats(RO, 4, 252)["sortino"].iloc[-1],
     RO[-4:].mean() / math.sqrt((np.minimum(RO[-4:], 0) ** 2).mean()) * math.sqrt(252)),
    (lambda: stats.rolling_stats(RO.abs(), 4, 252)["sortino"].iloc[-1], np.nan),  # no loss
]


@pytest.mark.parametrize("call, expected", FORMULAS)
def test_statistic_matches_its_formula(call, expected):
    got = call()
    if np.isnan(expected):
        assert np.isnan(got)
    else:
        assert got == pytest.approx(expected, rel=1e-12, abs=1e-15)


def trading_ends(freq):
    days = pd.bdate_range("2015-01-01", "2020-12-31")
    ends = pd.DatetimeIndex(days.to_series().groupby(days.to_period(freq)).max().to_numpy())
    # Holidays move some period ends a trading day earlier: no pandas frequency fits.
    return ends.where(np.arange(len(ends)) % 7 != 1, ends - pd.offsets.BDay(1))


@pytest.mark.parametrize("dates, expected", [
    (trading_ends("M"), 12), (trading_ends("Q"), 4), (trading_ends("Y"), 1), (trading_ends("W"), 52),
    (pd.date_range("2020-01-01", periods=40, freq="10D").delete(5), 365.25 / 10),
    # The weekly band's edges, 5.95 and 8.05 days: six days is a week, 8 1/12 days is not.
    (pd.date_range("2020-01-01", periods=40, freq="6D").delete(5), 52),
    (pd.date_range("2020-01-01", periods=40, freq="194h").delete(5), 365.25 * 24 / 194),
    # The daily band's edges, half a day and a day and a half; two days is its own rate.
    (pd.date_range("2020-01-01", periods=40, freq="12h").delete(5), 252),
    (pd.date_range("2020-01-01", periods=40, freq="36h").delete(5), 252),
    (pd.date_range("2020-01-01", periods=40, freq="2D").delete(5), 365.25 / 2),
    (pd.date_range("2020-01-01", periods=40, freq="34D").delete(5), 12),   # inside the monthly band
    # Two-day bars, then a sparse stretch: 52 spells in 370 days counts as weekly.
    (pd.Timestamp("2020-01-01") + pd.to_timedelta(np.cumsum([0] + [2] * 27 + [13] * 16 + [12] * 9), "D"), 52),
    # Three-day bars around a 300-day gap: no rate fits, so the count over the years.
    (pd.date_range("2020-01-01", periods=20, freq="3D").append(pd.date_range("2021-01-01", periods=20, freq="3D")),
     39 / (423 / 365.25)),
])
def test_periods_per_year_snaps_trading_calendars(dates, expected):
    index = pd.DatetimeIndex(dates)
    assert pd.infer_freq(index) is None
    assert stats.periods_per_year(index) == pytest.approx(expected)


def summary_of(equity):
    return stats.summary(types.SimpleNamespace(equity=equity, trades=pd.DataFrame(), start=None))


def test_best_and_worst_calendar_periods_and_coarse_bars():
    days = pd.bdate_range("2021-01-01", "2022-12-30")
    moves = pd.Series(0.0, index=days)
    moves[["2021-03-15", "2021-03-16", "2022-06-01", "2022-09-05"]] = [0.05, -0.04, 0.02, -0.03]
    s = summary_of((1 + moves).cumprod())
    march, y2022 = 1.05 * 0.96 - 1, 1.02 * 0.97 - 1
    names = ["best_day", "worst_day", "best_month", "worst_month", "best_year", "worst_year"]
    assert list(s[names]) == pytest.approx([0.05, -0.04, 0.02, -0.03, march, y2022])
    weekly = summary_of((1 + moves).cumprod().resample("W-FRI").last())
    assert np.isnan(weekly["best_day"]) and weekly["best_month"] == pytest.approx(0.02)
    # Month-end bars (12 a year) still have a best month, no best day; yearly bars a best
    # year; bars two years apart none.
    eq = (1 + moves).cumprod()
    monthly = summary_of(eq.groupby([eq.index.year, eq.index.month]).tail(1))
    assert np.isnan(monthly["best_day"]) and monthly["best_month"] == pytest.approx(0.02)
    assert monthly["worst_month"] == pytest.approx(-0.03)
    ends = pd.to_datetime(["2010-12-31", "2011-12-30", "2012-12-31", "2013-12-31"])
    yearly = summary_of(pd.Series([1.0, 1.1, 0.99, 1.2], index=ends))
    assert np.isnan(yearly["best_month"]) and yearly["best_year"] == pytest.approx(1.2 / 0.99 - 1)
    assert yearly["worst_year"] == pytest.approx(-0.1)
    ends = pd.to_datetime(["2010-12-31", "2012-12-31", "2014-12-31", "2016-12-30"])
    biennial = summary_of(pd.Series([1.0, 1.1, 0.99, 1.2], index=ends))
    assert np.isnan(biennial["best_year"]) and np.isnan(biennial["worst_year"])
    table = stats.monthly_table(moves)
    assert list(table.columns) == list(range(1, 13)) and list(table.index) == [2021, 2022]
    assert table.loc[2021, 3] == pytest.approx(1.05 * 0.96 - 1) and table.loc[2022, 2] == 0.0


def test_calendar_periods_follow_each_index_own_time_zone():
    # The same instants, 20:00 in London: in Tokyo they fall on the next calendar day,
    # so month ends move; what one index gives must not be reused for the other.
    london = pd.date_range("2024-01-29 20:00", periods=6, freq="D", tz="Europe/London")
    moves = pd.Series([0.01, 0.02, 0.03, 0.04, 0.05, 0.06], index=london)
    tokyo = moves.tz_convert("Asia/Tokyo")
    for _ in range(2):  # the second time from what the first remembered
        in_london = stats.calendar_returns(moves, "month")
        in_tokyo = stats.calendar_returns(tokyo, "month")
        assert list(in_london.index.month) == [1, 2] and list(in_tokyo.index.month) == [1, 2]
        assert in_london.iloc[0] == pytest.approx(1.01 * 1.02 * 1.03 - 1)
        assert in_tokyo.iloc[0] == pytest.approx(1.01 * 1.02 - 1)
    assert stats.periods_per_year(london) == stats.periods_per_year(tokyo.index) == 365.0


def test_drawdown_spells_of_a_hand_made_curve():
    eq = pd.Series([1.0, 1.2, 0.9, 1.2, 1.3, 1.3, 1.0, 1.1, 1.4, 1.2], index=DAYS[:10])
    table = stats.drawdown_periods(eq)
    d = eq.index
    expected = pd.DataFrame({
        # The second spell peaks on the last of two bars at 1.3.
        "peak": [d[1], d[5], d[8]], "trough": [d[2], d[6], d[9]],
        "recovery": pd.DatetimeIndex([d[3], d[8], pd.NaT]),
        "depth": [0.9 / 1.2 - 1, 1.0 / 1.3 - 1, 1.2 / 1.4 - 1],
        "bars": [2, 3, 1], "days": [2.0, 3.0, 1.0],
    })
    pd.testing.assert_frame_equal(table, expected, check_dtype=False, check_freq=False)
    assert stats.max_drawdown(eq) == tuple(table.iloc[0][["depth", "peak", "trough", "recovery"]])
    # Bars without a value are skipped: the dates are those of the known bars around them.
    gaps = eq.copy()
    gaps.iloc[[2, 7]] = np.nan
    first = stats.drawdown_periods(gaps).iloc[0]
    assert stats.max_drawdown(gaps) == tuple(first[["depth", "peak", "trough", "recovery"]])
    assert stats.max_drawdown(gaps)[1:] == (d[5], d[6], d[8])
    assert math.isnan(stats.max_drawdown(eq * np.nan)[0])
    assert len(stats.drawdown_periods(eq, top=2)) == 2
    assert stats.drawdown_periods(eq.iloc[:2]).empty


def test_drawdown_spells_whose_troughs_fall_inside_them():
    # The first spell: high 1.5 held on bars 1-2 (peak: the last), lows of 0.9 on bars 4
    # and 6 (trough: the first), back at 1.5 on bar 7. The second never recovers.
    eq = pd.Series([1.0, 1.5, 1.5, 1.2, 0.9, 1.0, 0.9, 1.5, 1.6, 1.5, 1.2], index=DAYS[:11])
    d = eq.index
    expected = pd.DataFrame({
        "peak": [d[2], d[8]], "trough": [d[4], d[10]],
        "recovery": pd.DatetimeIndex([d[7], pd.NaT]),
        "depth": [0.9 / 1.5 - 1, 1.2 / 1.6 - 1],
        "bars": [5, 2], "days": [7.0, 4.0],     # Wed 6 to Wed 13 Jan; Thu 14 to Mon 18 Jan
    })
    pd.testing.assert_frame_equal(stats.drawdown_periods(eq), expected, check_dtype=False,
                                  check_freq=False)
    assert stats.max_drawdown(eq) == (pytest.approx(-0.4), d[2], d[4], d[7])
    # Deepest first: the shallower spell alone when it is the deepest left.
    assert stats.max_drawdown(eq.iloc[7:]) == (pytest.approx(-0.25), d[8], d[10], pd.NaT)
    np.testing.assert_allclose(stats.drawdown(eq).to_numpy(),
                               [0, 0, 0, -0.2, -0.4, -1 / 3, -0.4, 0, 0, -1 / 16, -0.25], atol=1e-15)


PRICES = pd.DataFrame({"A": np.linspace(10, 12, 21), "B": np.r_[20.0, 21, 19, 22, 23] .repeat(5)[:21],
                       "IDX": (1 + B).cumprod().to_numpy() * 100}, index=DAYS)
WEIGHTS = pd.DataFrame({"A": [0.5], "B": [-0.5]}, index=DAYS[[0]])


def run(**options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(WEIGHTS, PRICES, fee=0.0, tax=0.0, **options)


def test_benchmark_forms_agree_and_give_the_relative_rows():
    by_ticker = run(benchmark="IDX")
    curve = by_ticker.benchmark
    expected = PRICES["IDX"] / PRICES["IDX"].iloc[0]
    pd.testing.assert_series_equal(curve, expected, check_names=False, check_freq=False)
    for form in (PRICES["IDX"], {"returns": B}, B, {"prices": PRICES["IDX"] * 0.001}):
        pd.testing.assert_series_equal(run(benchmark=form).benchmark, curve, check_freq=False)
    s = by_ticker.stats()
    assert s["benchmark_total_return"] == pytest.approx(expected.iloc[-1] - 1)
    r = by_ticker.equity.pct_change().iloc[1:]
    assert s["beta"] == pytest.approx(stats.beta(r, B.iloc[1:]))
    # The same relative rows from stats(benchmark=...) on a run without one.
    assert run().stats(benchmark=B)["beta"] == pytest.approx(s["beta"])
    yearly = by_ticker.yearly_returns()
    assert list(yearly.columns) == ["return", "benchmark", "excess"]
    assert yearly["benchmark"].iloc[0] == pytest.approx(expected.iloc[-1] - 1)


def test_benchmark_gaps_and_late_start():
    gappy = PRICES["IDX"].drop(DAYS[[4, 5]])
    curve = run(benchmark=gappy).benchmark
    assert curve.iloc[5] == curve.iloc[3]                      # a gap reads as no move
    result = run(benchmark=B.iloc[6:])
    assert any(w.startswith("benchmark starts on 2021-01-11") for w in result.warnings)
    curve = result.benchmark
    # Returns compound from the bar before their first date.
    assert curve.iloc[:5].isna().all() and curve.iloc[5] == 1.0
    assert curve.iloc[6] == pytest.approx(1 + B.iloc[6])
    early = run(benchmark=PRICES["IDX"].iloc[:15])
    assert early.benchmark.iloc[15:].isna().all() and early.benchmark.iloc[:15].notna().all()
    assert any(w.startswith("benchmark ends on 2021-01-22") for w in early.warnings)


@pytest.mark.parametrize("first, missing", [
    (0, [1]),          # only the bar after its first
    (0, [1, 2]),
    (0, [2]),
    (0, [5, 9]),
    (3, [4]),          # a late start, then at once a gap
], ids=["after the first", "two after the first", "one later", "two apart", "late start"])
def test_a_bar_without_a_benchmark_value_of_its_own_is_a_gap_not_a_flat_bar(first, missing):
    # The benchmark's moves pair with the strategy's compounded over the same dates: those
    # on which the benchmark has a value, not the bars with a move of 0 between them.
    given = PRICES["IDX"].iloc[first:].drop(DAYS[missing])
    result = run(benchmark=given)
    held = given.index
    mine = result.equity.reindex(held).pct_change().iloc[1:]
    theirs = given.pct_change().iloc[1:]
    assert result.stats()["beta"] == pytest.approx(np.cov(mine, theirs)[0, 1] / theirs.var(), rel=1e-12)
    said = [w for w in result.warnings if "value of its own" in w]
    assert len(said) == 1
    assert said[0].startswith(f"benchmark has a value of its own on {len(held)} of the "
                              f"{len(DAYS) - first} bars it spans")


@pytest.mark.parametrize("benchmark, error, message", [
    (pd.Series(0.5, index=DAYS), ValueError, r"could be prices or returns; pass benchmark=\{'prices'"),
    ({"prices": B}, ValueError, "benchmark prices must be positive"),
    ({"returns": B.where(DAYS != DAYS[3])}, ValueError, r"NaN after their first value, on \[2021-01-07\]"),
    ({"returns": B - 2}, ValueError, "must be -1 .* or above"),
    (pd.Series(1.0, index=range(21)), TypeError, "benchmark must be indexed by dates"),
    ("SPY", ValueError, r"benchmark has tickers without prices: \[SPY\]"),
    (pd.Series(1.0, index=DAYS + pd.Timedelta(days=400)), ValueError, "fewer than two"),
    ({"close": B}, ValueError, "got a mapping with keys"),
    (3.0, TypeError, "benchmark must be a ticker of prices"),
    # A total loss by the first bar leaves nothing to measure later moves against.
    ({"returns": B.where(DAYS != DAYS[0], -1.0)}, ValueError,
     r"benchmark must be worth something on its first bar in the result, 2021-01-04, got returns "
     r"reaching -1 \(a total loss\) on 2021-01-04; returns are fractions"),
    ({"returns": pd.concat([pd.Series([0.01, -1.0], index=DAYS[:2] - pd.Timedelta(days=7)), B])},
     ValueError, r"worth something on its first bar in the result, 2021-01-04, got .* on 2020-12-29"),
])
def test_bad_benchmarks_are_refused(benchmark, error, message):
    with pytest.raises(error, match=message):
        run(benchmark=benchmark)


@pytest.mark.parametrize("call, message", [
    (lambda r: r.stats(benchmark="A"), "a ticker is read from the prices by orvane.backtest"),
    (lambda r: r.stats(risk_free=4), r"risk_free must be an annual rate .* got 4"),
    (lambda r: r.stats(risk_free=1.0), r"risk_free must be an annual rate .* got 1"),    # both ends open
    (lambda r: r.stats(risk_free=-1.0), r"risk_free must be an annual rate .* got -1"),
    (lambda r: r.stats(benchmark={"returns": B.where(DAYS != DAYS[0], -1.0)}),
     r"benchmark must be worth something on its first bar in the result"),
    (lambda r: r.rolling(1), "window must be a whole number of bars, at least 2"),
    (lambda r: r.drawdowns(top=0), "top must be a whole number, at least 1, or None for all, got 0"),
])
def test_result_methods_refuse_bad_options(call, message):
    with pytest.raises((ValueError, TypeError), match=message):
        call(run())


def test_result_views_of_a_run():
    result = run(benchmark="IDX")
    pd.testing.assert_frame_equal(result.drawdowns(top=None), stats.drawdown_periods(result.equity))
    assert list(result.rolling(5).columns) == ["sharpe", "sortino", "volatility", "beta"]
    html = result._repr_html_()
    text = stats.format_summary(result.stats())
    for label in ("Total return", "Sharpe ratio", "Beta"):
        assert f">{label}</th><td style=\"text-align:right\">{text[label]}</td>" in html
    fake = types.SimpleNamespace(equity=result.equity, trades=result.trades, start=result.start)
    assert "beta" not in stats.summary(fake)


def test_a_run_without_trades_has_no_holdings():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = orvane.backtest(WEIGHTS * 0.0, PRICES)
    figures = result.stats()
    assert figures["holdings"] == 0 and math.isnan(figures["holding_win_rate"])
