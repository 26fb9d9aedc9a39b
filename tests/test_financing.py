"""Interest on cash and short proceeds, borrow fees and dividends: closed forms on tiny
markets, the engine's switch, the inputs refused, and dividends read from Close and Adj Close."""

import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.core import tradeloom

DATES = pd.bdate_range("2024-01-05", periods=8)  # a Friday: the first interval is 3 days
NO_COSTS = dict(fee=0.0, tax=0.0)


def quiet(weights, prices, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(weights, prices, **{**NO_COSTS, **options})


def flat(*tickers, dates=DATES):
    return pd.DataFrame(10.0, index=dates, columns=list(tickers))


def book(**weights):
    """One weight row on the first date, traded on the second bar."""
    return pd.DataFrame(weights, index=DATES[:1])


def days_between(dates):
    return np.diff(dates.to_numpy().astype("datetime64[D]").astype(np.int64)).astype(float)


@pytest.mark.parametrize("day_count", [360, 365])
@pytest.mark.parametrize("rate", [0.05, -0.01])
def test_a_cash_only_book_compounds_its_rate_over_calendar_days(rate, day_count):
    result = quiet(book(A=0.0), flat("A"), cash_rate=rate, day_count=day_count)
    expected = np.cumprod(np.r_[1.0, 1.0 + rate * days_between(DATES) / day_count])
    np.testing.assert_allclose(result.equity.to_numpy(), expected, rtol=1e-14)
    assert result.stats()["interest_earned"] == pytest.approx(expected[-1] - 1.0, rel=1e-12)


def test_a_rate_series_steps_on_its_dates_even_between_bars():
    # In force from Saturday 2024-01-06: the Friday-to-Monday interval takes 1 day at 4 %
    # and 2 at 8 %.
    rates = pd.Series([0.04, 0.08], index=pd.to_datetime(["2024-01-01", "2024-01-06"]))
    result = quiet(book(A=0.0), flat("A"), cash_rate=rates)
    first = result.cash_flows["interest"].iloc[1]
    assert first == pytest.approx((0.04 * 1 + 0.08 * 2) / 360, rel=1e-12)


@pytest.mark.parametrize("option, flow", [
    (dict(cash_rate=pd.Series([0.04, 0.08], index=pd.period_range("2023-12", periods=2, freq="M"))),
     lambda r: r.cash_flows["interest"].iloc[1] / r.equity.iloc[0]),
    (dict(borrow_fee=pd.DataFrame({"A": [0.04, 0.08]}, index=pd.period_range("2023-12", periods=2, freq="M"))),
     lambda r: r.cash_flows["borrow"].iloc[2] / r.exposure["short"].iloc[1] / r.equity.iloc[1]),
], ids=["cash rate", "borrow fee"])
def test_a_rate_on_a_period_is_in_force_from_the_period_s_start(option, flow):
    # January's 8 % applies to January's days, not from its last one on.
    result = quiet(book(A=-0.5), flat("A"), **option)
    days = (DATES[2] - DATES[1]).days if "borrow_fee" in option else (DATES[1] - DATES[0]).days
    assert abs(flow(result)) == pytest.approx(0.08 * days / 360, rel=1e-12)


@pytest.mark.parametrize("rebate, proceeds_rate", [(None, 0.06), (0.0, 0.0), (0.02, 0.02)])
def test_short_proceeds_earn_the_rebate_and_own_cash_the_cash_rate(rebate, proceeds_rate):
    result = quiet(book(A=-0.5), flat("A"), cash_rate=0.06, short_rebate=rebate)
    flows = result.cash_flows["interest"].to_numpy()
    equity = result.equity.to_numpy()
    cash = result.exposure["cash"].to_numpy() * equity
    proceeds = -result.exposure["short"].to_numpy() * equity  # 0 before the trade bar
    dt = days_between(DATES) / 360
    expected = (0.06 * (cash[:-1] - proceeds[:-1]) + proceeds_rate * proceeds[:-1]) * dt
    np.testing.assert_allclose(flows[1:], expected, rtol=1e-12)


@pytest.mark.parametrize("fees", [pd.Series({"A": 0.10, "B": 0.0}), {"A": 0.10, "B": 0.0}])
def test_a_flat_short_pays_its_fee_on_its_value_and_a_named_fee_only_its_name(fees):
    result = quiet(book(A=-0.25, B=-0.25), flat("A", "B"), borrow_fee=fees)
    trades = result.trades.set_index("ticker")
    held_days = (DATES[-1] - DATES[1]).days
    assert trades.loc["A", "financing"] == pytest.approx(-0.25 * 0.10 * held_days / 360, rel=1e-12)
    assert trades.loc["B", "financing"] == 0.0
    assert result.equity.iloc[-1] == pytest.approx(1.0 + trades["financing"].sum(), rel=1e-14)


def test_a_long_and_a_short_through_an_ex_date_on_raw_prices_are_flat():
    close = flat("A", "B")
    close.iloc[4:] -= 0.4  # both go ex 0.40 on the fifth bar
    dividends = pd.DataFrame({"A": [0.4], "B": [0.4]}, index=DATES[4:5])
    result = quiet(book(A=0.5, B=-0.5), close, dividends=dividends)
    np.testing.assert_allclose(result.equity.to_numpy(), 1.0, rtol=0, atol=1e-15)
    trades = result.trades.set_index("ticker")
    assert trades.loc["A", "financing"] == pytest.approx(0.5 / 10 * 0.4, rel=1e-12)
    assert trades.loc["B", "financing"] == pytest.approx(-0.5 / 10 * 0.4, rel=1e-12)
    stats = result.stats()
    assert stats["dividends_received"] == pytest.approx(0.02) and stats["dividends_paid"] == pytest.approx(0.02)


def test_the_flows_total_is_interest_borrow_and_dividends_together():
    close = flat("A", "B")
    close.iloc[4:] -= 0.4
    dividends = pd.DataFrame({"A": [0.4], "B": [0.4]}, index=DATES[4:5])
    result = quiet(book(A=0.3, B=-0.6), close, dividends=dividends, cash_rate=0.05, borrow_fee=0.1)
    flows = result.cash_flows
    # Each flow on its own, and every one of them in the total.
    assert (flows["interest"] > 0).any() and (flows["borrow"] < 0).any() and (flows["dividends"] != 0).any()
    np.testing.assert_array_equal(flows["total"], flows["interest"] + flows["borrow"] + flows["dividends"])
    # The statistics: each flow summed, signed as named, and the return without any of them.
    s, total = result.stats(), flows.sum()
    assert s["interest_earned"] == pytest.approx(total["interest"], rel=1e-12)
    assert s["borrow_paid"] == pytest.approx(-total["borrow"], rel=1e-12) and s["borrow_paid"] > 0
    assert s["dividends_received"] - s["dividends_paid"] == pytest.approx(total["dividends"], rel=1e-12)
    assert s["return_before_financing"] == pytest.approx(s["total_return"] - total["total"], rel=1e-12)


def test_a_stop_sees_the_ex_date_fall_and_the_trade_keeps_its_dividend():
    close = flat("A")
    close.iloc[4:] = 9.6  # a 4 % drop that is all dividend
    dividends = pd.DataFrame({"A": [0.4]}, index=DATES[4:5])
    result = quiet(book(A=1.0), close, dividends=dividends, stop_loss=0.03)
    trade = result.trades.iloc[0]
    assert trade["exit_reason"] == "exit_rule"  # a stop is a price order
    assert trade["financing"] == pytest.approx(0.1 * 0.4, rel=1e-12)
    assert trade["pnl"] == pytest.approx(0.0, abs=1e-12)


def test_flows_that_are_zero_leave_the_run_bit_for_bit():
    market = orvane.datasets.synthetic_market(stocks=30, years=2, seed=4)
    weights = orvane.datasets.momentum(market, lookback=30, skip=2, top=5, bottom=5)
    zero = pd.DataFrame(0.0, index=market.close.index, columns=market.close.columns)
    plain = quiet(weights, market, stop_loss=0.05, fee=0.001)
    financed = quiet(weights, market, stop_loss=0.05, fee=0.001, cash_rate=0.0, borrow_fee=0.0,
                     dividends=zero)
    assert np.array_equal(plain.full_equity.to_numpy(), financed.full_equity.to_numpy())
    assert (financed.cash_flows["total"] == 0).all()
    with pytest.raises(ValueError, match="cash_flows needs a run with financing"):
        plain.cash_flows
    assert "interest_earned" not in plain.stats() and "interest_earned" in financed.stats()


def test_the_engine_switch_checks_its_arrays_and_is_off_after_a_front_run():
    with pytest.raises(ValueError, match="wrong number of dimensions"):
        tradeloom.set_financing(cash=np.zeros((2, 2)))
    with pytest.raises(TypeError, match="incorrect type"):
        tradeloom.set_financing(dividends=[[1.0]])
    with pytest.raises(ValueError, match="dtype mismatch"):
        tradeloom.set_financing(cash=np.zeros(3, dtype=np.int64))
    args = dict(price_values=np.ones((3, 1)), close_values=np.ones((3, 1)), high_values=None,
                low_values=None, open_values=None, price_index=np.arange(3, dtype=np.int64),
                price_columns=np.array(["A"], dtype=object), pos_values=np.ones((1, 1)),
                pos_index=np.zeros(1, dtype=np.int64), pos_columns=np.array(["A"], dtype=object),
                resample=np.zeros(1, dtype=np.int64))
    tradeloom.set_financing(borrow=np.zeros((3, 2)))
    try:
        with pytest.raises(ValueError, match=r"borrow is 3 x 2, the run's prices are 3 x 1"):
            tradeloom.backtest_(**args)
    finally:
        tradeloom.set_financing()
    quiet(book(A=-0.5), flat("A"), cash_rate=0.05)
    # The front's run left nothing set: a plain run books no interest.
    tradeloom.record_ledger(True)
    tradeloom.backtest_(**args)
    assert not tradeloom.get_ledger()["interest"].any()


TICKERS_A = pd.Index(["A"])


@pytest.mark.parametrize("options, error, match", [
    (dict(cash_rate=5), ValueError, r"cash_rate must be an annual rate .* in \[-0.2, 1\), got 5"),
    (dict(cash_rate=-0.5), ValueError, "cash_rate must be an annual rate"),
    (dict(short_rebate=1.0), ValueError, "short_rebate must be an annual rate"),
    (dict(borrow_fee=-0.01), ValueError, "borrow_fee must be an annual rate"),
    (dict(borrow_fee=3.0), ValueError, r"borrow_fee must be .* in \[0, 1\)"),
    (dict(borrow_fee=pd.DataFrame({"A": [11.0]}, index=DATES[:1])), ValueError,
     r"borrow_fee must hold annual rates in \[0, 10\], got 11 for A"),
    (dict(borrow_fee=pd.Series([0.01], index=DATES[:1])), TypeError, "rate per ticker"),
    (dict(borrow_fee=pd.Series({"B": 0.01})), ValueError, "borrow_fee has tickers without prices"),
    (dict(borrow_fee=pd.DataFrame({"A": [0.01]}, index=DATES[3:4])), ValueError,
     "borrow_fee has no rate for .*A.*, shorted from 2024-01-08"),
    (dict(cash_rate=pd.Series([0.01], index=DATES[1:2])), ValueError,
     "cash_rate starts on 2024-01-08, after the run's first bar 2024-01-05"),
    (dict(cash_rate=pd.Series([0.01, 7.0], index=DATES[:2])), ValueError,
     r"cash_rate must hold annual rates .*7 on 2024-01-08"),
    (dict(cash_rate=pd.DataFrame({"r": [0.01]}, index=DATES[:1])), TypeError, "frame\\['rate'\\]"),
    (dict(day_count=364), ValueError, "day_count must be 360 or 365"),
    (dict(day_count=360.0), ValueError, "day_count must be 360 or 365"),
    (dict(dividends=pd.DataFrame({"Z": [0.1]}, index=DATES[2:3])), ValueError,
     "dividends has tickers without prices: \\[Z\\]"),
    (dict(dividends=pd.DataFrame({"A": [-0.1]}, index=DATES[2:3])), ValueError,
     "dividends must be cash per share, 0 or more, got -0.1 for A on 2024-01-09"),
    (dict(dividends=pd.DataFrame({"A": [0.1]}, index=pd.to_datetime(["2024-01-07"]))), ValueError,
     r"dividends has ex-dates without a price bar: \[2024-01-07\]"),
    (dict(dividends=pd.Series({"A": 0.1})), TypeError, "dividends must be a DataFrame"),
    # Cash per share at or above the close before it: more than the share was worth.
    (dict(dividends=pd.DataFrame({"A": [1e300]}, index=DATES[2:3])), ValueError,
     r"^dividends must be cash per share below the close before the ex-date, got 1e\+300 for A "
     r"on 2024-01-09 against a close of 10"),
    (dict(dividends=pd.DataFrame({"A": [10.0]}, index=DATES[2:3])), ValueError,
     r"^dividends must be cash per share below the close before the ex-date, got 10 for A"),
])
def test_bad_financing_is_refused_naming_the_option(options, error, match):
    with pytest.raises(error, match=match):
        quiet(book(A=-0.5), flat("A"), **options)


@pytest.mark.parametrize("options, warning", [
    (dict(cash_rate=-0.01), "cash_rate=-0.01 is negative"),
    (dict(borrow_fee=pd.Series({"A": 2.5})), "borrow_fee for A is 2.5, 250 %"),
    (dict(dividends=pd.DataFrame({"A": [0.1]}, index=pd.to_datetime(["2023-06-01"]))),
     "1 ex-dates outside the prices' dates"),
    # Rates no one means: a rebate above the cash rate, a percent written as a fraction,
    # yields where cash per share is asked.
    (dict(cash_rate=0.02, short_rebate=0.05),
     r"short_rebate is above cash_rate \(0.05 against 0.02 from 2024-01-05\): no broker pays more on "
     r"short-sale proceeds than on cash; short_rebate is the cash rate less a spread"),
    (dict(short_rebate=0.03), r"short_rebate is above cash_rate \(0.03 against 0 from 2024-01-05\)"),
    (dict(cash_rate=pd.Series([0.05, 0.01], index=DATES[[0, 4]]), short_rebate=0.03),
     r"short_rebate is above cash_rate \(0.03 against 0.01 from 2024-01-11\)"),
    (dict(borrow_fee=0.25), r"borrow_fee=0.25 is 25 % a year on every short: a percent written as "
                            r"a fraction\? 0.005 means 0.5 %"),
    (dict(dividends=pd.DataFrame({"A": [0.0004, 0.0005]}, index=DATES[[2, 6]])),
     r"dividends are all below 0.1 % of the close before their ex-date \(the largest 0.0005 for A "
     r"on 2024-01-15, 0.005 % of 10\): dividends are cash per share, not yields"),
])
def test_unusual_financing_is_warned_of(options, warning):
    with pytest.warns(UserWarning, match=warning):
        orvane.backtest(book(A=-0.5), flat("A"), **options)


@pytest.mark.parametrize("options", [
    dict(cash_rate=0.05, short_rebate=0.05), dict(cash_rate=0.05, short_rebate=0.0),
    dict(borrow_fee=0.2), dict(dividends=pd.DataFrame({"A": [0.0004, 0.02]}, index=DATES[[2, 6]])),
], ids=["rebate at the cash rate", "no rebate", "a high fee", "one real dividend"])
def test_plausible_financing_is_not_warned_of(options):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        orvane.backtest(book(A=-0.5), flat("A"), **{**NO_COSTS, **options})


def write_bars(folder, ticker, close, adj):
    frame = pd.DataFrame({"Date": DATES[:len(close)].strftime("%Y-%m-%d"), "Close": close,
                          "Adj Close": adj})
    frame.to_csv(folder / f"{ticker}.csv", index=False)


def adjusted_for(close, paid):
    """The multiplicative adjustment: bars before each ex-date scaled by 1 - D / close[t-1]."""
    factor = np.ones(len(close))
    for t, amount in paid.items():
        factor[:t] *= 1 - amount / close[t - 1]
    return close * factor


@pytest.mark.parametrize("decimals", [2, 6])
def test_read_prices_infers_the_dividends_close_and_adj_close_imply(tmp_path, decimals):
    close = np.array([50.12, 50.40, 49.87, 49.91, 50.33, 50.02, 51.10, 50.95])
    paid = {2: 0.23, 5: 0.06}
    write_bars(tmp_path, "AAA", close, np.round(adjusted_for(close, paid), decimals))
    # A stock paying nothing whose adj close is the close rounded differently.
    write_bars(tmp_path, "BBB", close, np.round(close + 0.004, 2))
    prices = orvane.read_prices(tmp_path, adjust=False)
    got = prices["dividends"]
    assert got.loc[DATES[2], "AAA"] == pytest.approx(0.23, abs=0.011)
    assert got.loc[DATES[5], "AAA"] == pytest.approx(0.06, abs=0.011 if decimals == 2 else 1e-5)
    assert (got["AAA"].drop(DATES[[2, 5]]) == 0).all() and (got["BBB"] == 0).all()
    assert prices.adjusted is False and orvane.read_prices(tmp_path).adjusted is True


def test_a_split_the_close_was_not_adjusted_for_is_not_a_dividend(tmp_path):
    close = np.array([100.0, 101.0, 50.6, 50.2])  # 2-for-1 on the third bar
    write_bars(tmp_path, "AAA", close, np.array([50.0, 50.5, 50.6, 50.2]))
    with pytest.warns(UserWarning, match=r"moves like a split on \[2024-01-09\]"):
        prices = orvane.read_prices(tmp_path, adjust=False)
    assert (prices["dividends"]["AAA"] == 0).all()


def test_dividends_on_adjusted_prices_or_given_twice_are_refused(tmp_path):
    close = np.array([50.0, 50.0, 49.5, 49.5, 49.5, 49.5, 49.5, 49.5])
    write_bars(tmp_path, "A", close, adjusted_for(close, {2: 0.5}))
    raw = orvane.read_prices(tmp_path, adjust=False)
    with pytest.raises(ValueError, match="count them twice"):
        quiet(book(A=1.0), orvane.read_prices(tmp_path), dividends=raw["dividends"])
    with pytest.raises(ValueError, match="dividends are given twice"):
        quiet(book(A=1.0), raw, dividends=raw["dividends"])
    # The mapping's own dividends are paid, also through prepared prices: a flat book.
    for prices in (raw, orvane.prepare_prices(raw)):
        result = quiet(book(A=1.0), prices)
        np.testing.assert_allclose(result.equity.to_numpy(), 1.0, atol=1e-12)


@pytest.mark.parametrize("copy", [
    lambda prices: dict(prices),
    lambda prices: {field: frame.loc[DATES[1]:] for field, frame in prices.items()},
    lambda prices: prices["close"],
], ids=["a plain dict", "sliced frames", "the close alone"])
def test_adjusted_prices_copied_or_sliced_still_refuse_dividends(tmp_path, copy):
    close = np.array([50.0, 50.0, 49.5, 49.5, 49.5, 49.5, 49.5, 49.5])
    write_bars(tmp_path, "A", close, adjusted_for(close, {2: 0.5}))
    dividends = orvane.read_prices(tmp_path, adjust=False)["dividends"]
    with pytest.raises(ValueError, match="count them twice"):
        quiet(book(A=1.0), copy(orvane.read_prices(tmp_path)), dividends=dividends)


def test_a_ticker_written_with_stray_spaces_gets_its_dividend_once(tmp_path):
    close = np.array([50.0, 50.0, 49.5, 49.5, 49.5, 49.5, 49.5, 49.5])
    frame = pd.DataFrame({"date": DATES.strftime("%Y-%m-%d"), "ticker": ["A", "A", " A", "A ", "A", "A", "A", "A"],
                          "close": close, "adj close": adjusted_for(close, {2: 0.5})})
    frame.to_csv(tmp_path / "long.csv", index=False)
    paid = orvane.read_prices(tmp_path / "long.csv", adjust=False)["dividends"]["A"]
    assert paid.sum() == pytest.approx(0.5, abs=1e-9) and paid.iloc[2] == pytest.approx(0.5, abs=1e-9)


def test_two_ex_dates_on_one_bar_are_both_paid_and_said():
    dividends = pd.DataFrame({"A": [0.1, 0.2]}, index=[DATES[2], DATES[2] + pd.Timedelta(hours=10)])
    with pytest.warns(UserWarning, match=r"dividends: 2 ex-dates fall on the bar of another \(A on "
                                         r"2024-01-09\): their amounts are paid together"):
        result = orvane.backtest(book(A=1.0), flat("A"), dividends=dividends, **NO_COSTS)
    # One share in ten: 0.1 of the book's value paid for each 1.0 of the dividends.
    assert result.cash_flows["dividends"].sum() == pytest.approx(0.03, rel=1e-12)


def test_the_command_line_takes_rates_and_a_dividends_file(tmp_path, capsys):
    from orvane import cli
    prices, weights = tmp_path / "prices.csv", tmp_path / "weights.csv"
    close = flat("A", "B")
    close.iloc[4:, 0] -= 0.4
    close.rename_axis("date").to_csv(prices)
    book(A=0.5, B=-0.5).rename_axis("date").to_csv(weights)
    (tmp_path / "div.csv").write_text(f"date,ticker,dividend\n{DATES[4].date()},A,0.4\n")
    code = cli.main(["run", "--prices", str(prices), "--weights", str(weights), "--fee", "0",
                     "--tax", "0", "--cash-rate", "0.04", "--borrow-fee", "0.01",
                     "--dividends", str(tmp_path / "div.csv"), "--out", str(tmp_path / "out")])
    assert code == 0
    out = capsys.readouterr().out
    assert "Interest on cash" in out and "Dividends received by longs" in out


def test_a_sweep_varies_the_cash_rate_like_any_option():
    market = orvane.datasets.synthetic_market(stocks=20, years=1, seed=2)
    weights = orvane.datasets.momentum(market, lookback=20, skip=1, top=4, bottom=4)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        swept = orvane.sweep(market, {"cash_rate": [0.0, 0.05]}, weights=weights,
                             progress=False, workers=1)
        alone = [quiet(weights, market, fee=0.001425, tax=0.003, cash_rate=r).stats()
                 for r in (0.0, 0.05)]
    got = swept.table["total_return"].to_numpy()
    assert list(got) == [s["total_return"] for s in alone] and got[1] > got[0]


@pytest.mark.parametrize("side, options", [
    (-1.0, dict(borrow_fee=0.5, cash_rate=0.02)),               # a short ruined by a rally
    (2.0, dict(max_gross=2.0, position_limit=2.0, cash_rate=0.3, dividends="div")),  # leveraged long
])
def test_a_ruined_books_trades_book_the_financing_up_to_its_end(side, options):
    # The trades' financing kept the flows booked after the result's end (a short's
    # borrow kept accruing while the book was worth less than nothing).
    days = pd.bdate_range("2024-01-01", periods=40)
    move = 1.12 if side < 0 else 0.88
    prices = pd.DataFrame({"A": 10.0 * move ** np.arange(40), "B": 10.0}, index=days)
    if options.get("dividends") == "div":
        options = dict(options, dividends=pd.DataFrame({"A": 0.01}, index=days[1::3]))
    weights = pd.DataFrame({"A": [side], "B": [0.0]}, index=days[:1])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = orvane.backtest(weights, prices, **options)
    assert result.ruined
    flows = result.cash_flows
    assert result.trades["financing"].sum() == pytest.approx(
        (flows["borrow"] + flows["dividends"]).sum(), rel=1e-12, abs=1e-15)
