"""What the front refuses, what it adjusts with a warning, and what it reports: time stamps
never move a trade earlier, units are checked, bars must hold together, outputs add up."""

import re
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane

DAYS = pd.bdate_range("2024-01-01", periods=8)
CLOSE = {"A": [10.0, 11, 12, 11, 13, 14, 13, 15], "B": [20.0, 21, 19, 22, 23, 21, 24, 25]}


def prices(index=DAYS, **columns):
    return pd.DataFrame({**CLOSE, **columns}, index=index)


def weights(index=None, **columns):
    data = {"A": [0.5, 0.2], "B": [-0.3, 0.4], **columns}
    return pd.DataFrame(data, index=DAYS[[0, 3]] if index is None else index)


def ohlc(**changes):
    close = prices()
    frames = {"open": close * 0.99, "high": close * 1.02, "low": close * 0.97, "close": close}
    for field, (row, column, value) in changes.items():
        frames[field] = frames[field].copy()
        frames[field].iloc[row, frames[field].columns.get_loc(column)] = value
    return frames


def market(n, *changes, tickers="A"):
    """OHLC over ``n`` business days: close 10 + bar / 100 (+1 per later ticker), open at the
    close, high 2 % above it, low 2 % below; then each (field, rows, ticker, value) set."""
    days = pd.bdate_range("2024-01-01", periods=n)
    close = pd.DataFrame({t: 10 + k + np.arange(n) / 100 for k, t in enumerate(tickers)}, index=days)
    frames = {"open": close.copy(), "high": close * 1.02, "low": close * 0.98, "close": close.copy()}
    for field, rows, ticker, value in changes:
        frames[field].iloc[rows, frames[field].columns.get_loc(ticker)] = value
    return frames


ONE_A = pd.DataFrame({"A": [1.0]}, index=DAYS[:1])


def quiet(w, p, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(w, p, **options)


def long_prices(**extra):
    frame = prices().rename_axis("date").reset_index().melt("date", var_name="ticker",
                                                             value_name="close")
    return frame.assign(**extra)


SHIFTED = prices(index=DAYS + pd.Timedelta(hours=16))

BARS_HEADER = "Date,Open,High,Low,Close\n"
BARS = "".join(f"{d:%Y-%m-%d},10,11,9,10.5\n" for d in DAYS[:7])


def price_file(last_line):
    """A per-ticker file whose last line is ``last_line`` (no newline: where a download
    stopped), read as read_prices reads it."""
    def read(folder):
        path = folder / "A.csv"
        path.write_text(BARS_HEADER + BARS + last_line)
        return orvane.read_prices(path)
    return read

BAD = {
    "close and adj close": (dict(p=long_prices(**{"Adj Close": 1.0})), ValueError,
                            r"prices has both 'close' and 'Adj Close': say which"),
    "high below close": (dict(p=ohlc(high=(2, "A", 11.0)), intrabar_exits=True), ValueError,
                         r"must hold together on every bar .* 1 bars do not: \[A on 2024-01-03: "
                         r"open 11.88, high 11, low 11.64, close 12\]"),
    "high below close, close at the low": (  # a close on its low is inside: no adjusted-close hint
        dict(p={**ohlc(high=(2, "A", 11.0)), "open": prices(), "low": prices()}, intrabar_exits=True),
        ValueError, r"1 bars do not: \[A on 2024-01-03: open 12, high 11, low 12, close 12\]$"),
    "high and low swapped": (dict(p={**ohlc(), "high": ohlc()["low"], "low": ohlc()["high"]},
                                  trade_at="open"), ValueError, r"are the high and low columns swapped"),
    # The hints weigh the bars whose high, low and close are all known.
    "close outside on 10 % of bars": (
        # closes a tolerance below a low and above a high on bars 5 and 6 are inside
        dict(w=ONE_A, p=market(10, ("close", 3, "A", 11.0), ("low", 5, "A", 10.0),
                               ("close", 5, "A", 10.0 * (1 - 1e-9)), ("high", 6, "A", 16.0),
                               ("close", 6, "A", 16.0 * (1 + 1e-9)), ("open", 6, "A", 16.0)),
             intrabar_exits=True), ValueError,
        r"1 bars do not: \[A on 2024-01-04: open 10.03, high 10.2306, low 9.8294, close 11\]; close "
        r"lies outside \[low, high\] on 10 % of bars: was close adjusted"),
    "close outside on 5 % of bars": (
        dict(w=ONE_A, p=market(20, ("close", 3, "A", 11.0)), intrabar_exits=True), ValueError,
        r"1 bars do not: \[A on 2024-01-04: open 10.03, high 10.2306, low 9.8294, close 11\]$"),
    "close outside on 10 % of the bars known": (
        dict(w=ONE_A, p=market(10, ("high", slice(0, 5), "A", np.nan), ("close", slice(0, 5), "B", np.nan),
                               ("close", 7, "A", 11.0), tickers="AB"), intrabar_exits=True),
        ValueError, r"1 bars do not: \[A on 2024-01-10: .*close 11\]; close lies outside \[low, high\] "
                    r"on 10 % of bars"),
    "high below low on half the bars": (
        dict(w=ONE_A, p=market(10, ("high", slice(0, 5), "A", 9.0), ("low", slice(0, 5), "A", 11.0)),
             intrabar_exits=True), ValueError,
        r"5 bars do not: .*; close lies outside \[low, high\] on 50 % of bars: was close adjusted"),
    "high below low on most bars": (
        dict(w=ONE_A, p=market(10, ("high", slice(0, 6), "A", 9.0), ("low", slice(0, 6), "A", 11.0)),
             intrabar_exits=True), ValueError,
        r"6 bars do not: .*; high is below low on 6 bars: are the high and low columns swapped\?$"),
    "high at low, close above, on most bars": (
        dict(w=ONE_A, p=market(10, ("high", slice(0, 6), "A", 9.0), ("low", slice(0, 6), "A", 9.0),
                               ("open", slice(0, 6), "A", 9.0)), intrabar_exits=True), ValueError,
        r"6 bars do not: .*; close lies outside \[low, high\] on 60 % of bars: was close adjusted"),
    "low above the open, close at the high": (
        dict(w=ONE_A, p={**market(10, ("open", 2, "A", 9.0)), "high": market(10)["close"]},
             intrabar_exits=True), ValueError,
        r"1 bars do not: \[A on 2024-01-03: open 9, high 10.02, low 9.8196, close 10.02\]$"),
    "adjusted close only": (dict(p={**ohlc(), "close": prices() * 0.5}, intrabar_exits=True),
                            ValueError, r"close lies outside \[low, high\] on 100 % of bars: was "
                                        r"close adjusted"),
    "unused field, other dates": (dict(p={"close": prices(), "open": prices().iloc[:-1]}), ValueError,
                                  r"prices\['open'\] and prices\['close'\] have different dates: "
                                  r"\[2024-01-10\]"),
    "empty calendar": (dict(rebalance=[]), ValueError, r"rebalance must hold at least one date"),
    "numbers as rebalance dates": (dict(rebalance=[1, 2, 3]), TypeError,
                                   r"rebalance must hold dates, got numbers \[1, 2, 3\]"),
    "number as delisting date": (dict(delistings={"A": 5}), TypeError, r"delistings must hold dates"),
    # A date pandas < 2 cannot hold is shown by its first ten characters.
    "delisting past the clock, at a time": (dict(delistings={"A": "9999-12-31 16:00"}), ValueError,
                                            r"delistings has dates outside .*: \[9999-12-31\]$"),
    "delisting past the clock": (dict(delistings={"A": "9999-12-31"}), ValueError,
                                 r"delistings has dates outside the range the engine's clock can "
                                 r"hold \(1677-09-22 .. 2262-04-11\): \[9999-12-31\]"),
    "swapped, zeros in the weights": (dict(w=prices(), p=weights().reindex(DAYS).fillna(0.0)),
                                      ValueError, r"prices and weights look swapped"),
    "swapped, positive weights": (dict(w=prices(), p=weights().abs().reindex(DAYS).ffill()),
                                  ValueError, r"prices and weights look swapped"),
    "swapped, weights up to a whole 1": (dict(w=prices(), p=weights(A=[1.0, 0.5], B=[0.5, 1.0])
                                                         .reindex(DAYS).ffill()),
                                         ValueError, r"prices and weights look swapped"),
    "swapped, a penny stock among the prices": (
        dict(w=prices(C=0.5), p=weights(C=[0.2, 0.1]).reindex(DAYS).fillna(0.0)), ValueError,
        r"prices and weights look swapped"),
    # Weights in percent with a zero are no prices: the zero price is the mistake.
    "zero price, percent weights with a zero": (
        dict(w=weights(A=[50.0, 0.0], B=[30.0, 40.0]), p=prices(A=[10.0, 0, 12, 11, 13, 14, 13, 15])),
        ValueError, r"prices must be positive and finite .*\[A on 2024-01-02: 0.0\]"),
    "zero price, weights of 1": (
        dict(w=weights(A=[1.0, 1.0], B=[1.0, 1.0]), p=prices(A=[10.0, 0, 12, 11, 13, 14, 13, 15])),
        ValueError, r"prices must be positive and finite .*\[A on 2024-01-02: 0.0\]"),
    "zero price, weights not a frame": (
        dict(w=[0.5, 0.5], p=prices(A=[10.0, 0, 12, 11, 13, 14, 13, 15])),
        ValueError, r"prices must be positive and finite .*\[A on 2024-01-02: 0.0\]"),
    "midnight weights, intraday bars": (
        dict(p=prices(index=pd.date_range("2024-01-01 10:00", periods=8, freq="4h"))), ValueError,
        r"weights are dated at midnight only, but prices have several bars a day"),
    "text in prices": (dict(p=prices().astype(object).assign(A=[10, 11, "--", 11, 13, 14, 13, 15])),
                       TypeError, r"not numbers: \[A on 2024-01-03: '--'\]"),
    # Five cells shown, the first column's: the next column is not read for more.
    "text in two columns of prices": (
        dict(w=ONE_A, p=prices().astype(object).assign(A=["--"] * 5 + [10.0] * 3, B=["x"] + [20.0] * 7)),
        TypeError, r"not numbers: \[A on 2024-01-01: '--', A on 2024-01-02: '--', A on 2024-01-03: '--', "
                   r"A on 2024-01-04: '--', A on 2024-01-05: '--'\]$"),
    "unknown frequency": (dict(rebalance="fortnightly"), ValueError,
                          r"got 'fortnightly', which is not a calendar frequency$"),
    "file cut off mid-line": (dict(p=price_file("2024-01-10,45.730")), ValueError,
                              r"A.csv line 9: 2 fields where the header has 5 "
                              r"\('2024-01-10,45.730'\): the file looks cut off"),
    "number cut short": (dict(p=price_file("2024-01-10,10,11,9,45.")), ValueError,
                         r"A.csv line 9: Close '45.' is a number cut short"),
}


try:   # pandas before 2.0 holds nanoseconds only and refuses the date itself
    BAD["weights past the clock"] = (dict(w=weights(pd.to_datetime(["2024-01-01", "2300-01-01"]))),
                                     ValueError, r"weights has dates outside the range")
    BAD["delisting a day past the clock"] = (dict(delistings={"A": pd.Timestamp("2262-04-12")}),
                                             ValueError, r"delistings has dates outside .*: \[2262-04-12\]$")
    BAD["delisting a day before the clock"] = (dict(delistings={"A": pd.Timestamp("1677-09-21")}),
                                               ValueError, r"delistings has dates outside .*: \[1677-09-21\]$")
except (ValueError, OverflowError):
    pass


@pytest.mark.parametrize("case", BAD.values(), ids=BAD.keys())
def test_mistakes_are_refused_naming_the_cause(case, tmp_path):
    overrides, error, message = case
    overrides = dict(overrides)
    w, p = overrides.pop("w", weights()), overrides.pop("p", prices())
    with pytest.raises(error, match=message):
        quiet(w, p(tmp_path) if callable(p) else p, **overrides)


# A bad bar is found wherever it lies: at either end of a long market, in any of many
# tickers (a walk in blocks of 256 bars or tickers would show at their edges).
@pytest.mark.parametrize("tickers, bar, ticker", [
    (1, 0, 0), (1, 255, 0), (1, 256, 0), (1, 299, 0),
    (300, 5, 0), (300, 5, 255), (300, 5, 256), (300, 299, 299),
])
def test_the_bar_check_finds_a_bad_bar_in_any_block(tickers, bar, ticker):
    names = [f"T{k}" for k in range(tickers)]
    clean = market(300, tickers=names)
    quiet(ONE_A.rename(columns={"A": "T0"}), clean, intrabar_exits=True)
    day = clean["close"].index[bar]
    bad = market(300, ("low", bar, names[ticker], 1000.0), tickers=names)
    with pytest.raises(ValueError, match=rf"1 bars do not: \[T{ticker} on {day:%Y-%m-%d}: "):
        quiet(ONE_A.rename(columns={"A": "T0"}), bad, intrabar_exits=True)


@pytest.mark.parametrize("changes, named", [
    # A high below the open, though above the close.
    ([("open", 3, "T1", 11.5), ("high", 3, "T1", 11.4)], "T1 on 2024-01-04: open 11.5, high 11.4"),
    # Beside a broken bar, bars exactly at the tolerance's edges hold together.
    ([("low", 3, "T0", 1000.0), ("low", 5, "T1", (11 + 5 / 100) * (1 + 1e-9)),
      ("high", 7, "T1", (11 + 7 / 100) * (1 - 1e-9))], "T0 on 2024-01-04: open 10.03, high"),
])
def test_the_bar_check_names_exactly_the_bars_that_break_it(changes, named):
    bad = market(20, *changes, tickers=["T0", "T1"])
    with pytest.raises(ValueError, match=rf"1 bars do not: \[{named}"):
        quiet(ONE_A.rename(columns={"A": "T0"}), bad, intrabar_exits=True)


def test_a_whole_last_line_reads_with_or_without_its_newline(tmp_path):
    for name, end in (("A", "\n"), ("B", "")):
        (tmp_path / f"{name}.csv").write_text(BARS_HEADER + BARS + f"2024-01-10,10,11,9,45.5{end}")
    close = orvane.read_prices(tmp_path)["close"]
    assert close.index[-1] == DAYS[7] and (close.iloc[-1] == 45.5).all()


def ten_days(**columns):
    """Closes of A over ten business days (``A`` padded with its last value), B flat."""
    a = list(columns.pop("A"))
    days = pd.bdate_range("2024-01-01", periods=10)
    return pd.DataFrame({"A": a + a[-1:] * (10 - len(a)), "B": 20.0, **columns}, index=days)


THIRD = np.float32(1 / 3)   # three of them add up to 1.00000003 in float64
MANY = pd.DataFrame(np.linspace(10, 12, 8)[:, None] * np.ones(300), index=DAYS,
                    columns=[f"T{i}" for i in range(300)])


WARNED = {
    "gross above 1": (dict(w=weights(A=[0.9, 0.2])), r"rows with gross above 1 are scaled to gross "
                                                     r"1 \(1 rows, largest gross 1.2\)"),
    "a whole weight of 1 is a fraction": (dict(w=weights(A=[1.0, 0.2])),
                                          r"^weights: rows with gross above 1 are scaled to gross 1 "
                                          r"\(1 rows, largest gross 1.3\)"),
    "percentages": (dict(w=weights(A=[50.0, 20.0], B=[-30.0, 40.0])),
                    r"weights are fractions of the portfolio: 0.10 means 10 %; rows with gross "
                    r"above 1 are scaled to 1, the max_gross in force \(2 rows, largest gross 80\)"),
    "gross above max_gross 2": (dict(w=weights(A=[0.9, 0.8], B=[-0.9, -0.8], C=[0.0, 0.5]),
                                     p=prices(C=np.linspace(30, 32, 8)), max_gross=2.0),
                                r"rows with gross above 2 are scaled to gross 2 \(1 rows, largest "
                                r"gross 2.1\)"),
    "take profit of 500 %": (dict(take_profit=5), r"take_profit=5 means \+500 %"),
    "fee in percent": (dict(fee=0.1), r"fee=0.1 is 10 % of every trade"),
    "all zero": (dict(w=weights(A=[0.0, 0.0], B=[0.0, 0.0])), r"weights are all zero"),
    "reversing jump": (dict(p=prices(A=[10.0, 11, 1.2, 11, 13, 14, 13, 15])),
                       r"1 one-day moves beyond -70 % or \+300 % reverse within two bars .*"
                       r"\[A on 2024-01-03: 11 -> 1.2\]"),
    # Undone on either of the two bars after the jump, and no later; undone is back within
    # a factor of 2 of the price before it, not at a factor of 2.
    "reversing on the second bar": (dict(p=ten_days(A=[10.0, 11, 1.2, 1.3, 11, 11, 11, 11, 11, 11])),
                                    r"^prices: 1 one-day moves beyond -70 % or \+300 % reverse within "
                                    r"two bars .*: \[A on 2024-01-03: 11 -> 1.2\]$"),
    "reversing on the next bar only": (dict(p=ten_days(A=[10.0, 11, 1.2, 11, 30, 30, 30, 30, 30, 30])),
                                       r"^prices: 1 one-day moves .* reverse within two bars .*: "
                                       r"\[A on 2024-01-03: 11 -> 1.2\]$"),
    "back on the third bar": (dict(p=ten_days(A=[10.0, 11, 1.2, 1.3, 1.2, 11, 11, 11, 11, 11])),
                              r"^prices: 2 one-day moves .* do not reverse .*: \[A on 2024-01-03: "
                              r"11 -> 1.2, A on 2024-01-08: 1.2 -> 11\]; backtest"),
    "back to half the price": (dict(p=ten_days(A=[10.0, 11, 1.2, 5.5, 5.5, 5.5, 5.5, 5.5, 5.5, 5.5])),
                               r"^prices: 2 one-day moves .* do not reverse .*: \[A on 2024-01-03: "
                               r"11 -> 1.2, A on 2024-01-04: 1.2 -> 5.5\]; backtest"),
    "back to twice the price": (dict(p=ten_days(A=[10.0, 11, 50, 22, 22, 22, 22, 22, 22, 22])),
                                r"^prices: 1 one-day moves .* do not reverse .*: \[A on 2024-01-03: "
                                r"11 -> 50\]; backtest"),
    "a rise beyond 4": (dict(p=ten_days(A=[10.0, 11, 48.4, 48, 48, 48, 48, 48, 48, 48])),
                        r"^prices: 1 one-day moves .* do not reverse .*: \[A on 2024-01-03: "
                        r"11 -> 48.4\]; backtest"),
    # Beside a jump, moves of exactly 4 and 0.3 are not listed: the thresholds are strict.
    "moves of exactly 4 and 0.3 beside a jump": (
        dict(p=ten_days(A=[10.0, 11, 48.4, 48, 48, 48, 48, 48, 48, 48], C=[10.0] + [40.0] * 9,
                        D=[10.0] * 5 + [3.0] * 5)),
        r"^prices: 1 one-day moves .* do not reverse .*: \[A on 2024-01-03: 11 -> 48.4\]; backtest"),
    "a jump in prices of two dates": (dict(p=ten_days(A=[10.0, 100]).iloc[:2]),
                                      r"\[A on 2024-01-02: 10 -> 100 \(a 1:10 split\?\)\]"),
    "16:00 prices, midnight weights": (dict(p=SHIFTED), r"weights are stamped at 00:00 \(no time "
                                                        r"zone\) and prices at 16:00"),
    "split left in the prices": (dict(p=prices(A=[10.0, 11, 12, 12 / 7, 13 / 7, 2, 13 / 7, 15 / 7])),
                                 r"1 one-day moves beyond -70 % or \+300 % do not reverse .*"
                                 r"\[A on 2024-01-04: 12 -> 1.71429 \(a 7:1 split\?\)\]"),
    "reverse split left in the prices": (dict(p=prices(B=[20.0, 21, 19, 22, 230, 210, 240, 250])),
                                         r"\[B on 2024-01-05: 22 -> 230 \(a 1:10 split\?\)\]"),
    "crash unlike any split": (dict(p=prices(A=[10.0, 11, 12, 2.6, 2.5, 2.4, 2.3, 2.2])),
                               r"do not reverse .*\[A on 2024-01-04: 12 -> 2.6\]"),
    "float32 row above gross 1": (
        dict(w=weights(A=[0.5, 0.2], B=[0.51, 0.4]).astype(np.float32)),
        r"rows with gross above 1 are scaled to gross 1 \(1 rows, largest gross 1.01\)"),
    # Rounding lets a row off by 4 ulps of its dtype per name: 1.4e-6 for three float32
    # names, but float64 rows only by 1e-9 whatever their names.
    "float32 row 1.6e-6 above gross 1": (
        dict(w=pd.DataFrame({"A": [0.5, 0.1], "B": [0.3, 0.1], "C": [0.2000016, 0.1]},
                            index=DAYS[[0, 3]], dtype=np.float32), p=prices(C=np.linspace(30, 32, 8))),
        r"rows with gross above 1 are scaled to gross 1 \(1 rows, largest gross 1\)"),
    "float64 row 5e-4 above gross 1": (dict(w=weights(A=[0.5005, 0.2], B=[0.5, 0.4])),
                                       r"scaled to gross 1 \(1 rows, largest gross 1.0005\)"),
    "float16 rows of many names at gross 1.5": (
        dict(w=pd.DataFrame(np.float16(0.005), index=DAYS[[0, 3]], columns=MANY.columns), p=MANY),
        r"rows with gross above 1 are scaled to gross 1 \(2 rows, largest gross 1.50"),
}


def run_caught(overrides):
    """The run of a table row (weights and prices as given or the defaults) and the texts of
    every warning it raised."""
    overrides = dict(overrides)
    w, p = overrides.pop("w", weights()), overrides.pop("p", prices())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = orvane.backtest(w, p, **overrides)
    return result, [str(c.message) for c in caught]


@pytest.mark.parametrize("case", WARNED.values(), ids=WARNED.keys())
def test_adjustments_warn_once(case):
    overrides, message = case
    result, caught = run_caught(overrides)
    matching = [text for text in caught if re.search(message, text)]
    assert len(matching) == 1, caught
    assert matching[0] in result.warnings


NOT_WARNED = {
    "a 100/100 book within max_gross 2": (dict(w=weights(A=[1.0, 0.9], B=[-1.0, -0.9]),
                                               max_gross=2.0), r"gross"),
    "float32 rows at gross 1": (dict(w=pd.DataFrame({"A": THIRD, "B": THIRD, "C": THIRD},
                                                    index=DAYS[[0, 3]]),
                                     p=prices(C=np.linspace(30, 32, 8))), r"gross"),
    "float32 rows 8e-7 above gross 1": (
        dict(w=pd.DataFrame({"A": [0.5, 0.1], "B": [0.3, 0.1], "C": [0.2000008, 0.1]},
                            index=DAYS[[0, 3]], dtype=np.float32), p=prices(C=np.linspace(30, 32, 8))),
        r"gross"),
    "a float64 row at gross 1 + 1e-9": (dict(w=weights(A=[1.0, 0.2], B=[1e-9, 0.4])), r"gross"),
    "a 3:2 split is an ordinary move": (dict(p=prices(A=[10.0, 11, 12, 8, 9, 9, 10, 10])),
                                        r"one-day moves"),
    "a rise to exactly 4": (dict(p=prices(A=[10.0, 11, 12, 48, 48, 48, 48, 48])), r"one-day moves"),
    "a fall to exactly 30 %": (dict(p=prices(A=[10.0, 11, 10, 3, 3.1, 3, 3.2, 3.3])), r"one-day moves"),
}


# Every split a one-day move beyond -70 % or +300 % can be: a 1:4 is a move of 4, not beyond
# 4, so only a market's move within 5 % above it names it.
@pytest.mark.parametrize("ratio, name", [
    (1 / 4, "4:1"), (1 / 5, "5:1"), (1 / 7, "7:1"), (1 / 8, "8:1"), (1 / 10, "10:1"),
    (1 / 15, "15:1"), (1 / 20, "20:1"), (1 / 30, "30:1"), (1 / 50, "50:1"),
    (4.1, "1:4"), (5.0, "1:5"), (8.0, "1:8"), (10.0, "1:10"), (15.0, "1:15"), (20.0, "1:20"),
    (25.0, "1:25"), (30.0, "1:30"), (50.0, "1:50"), (100.0, "1:100"), (10.5, "1:10"),  # 5 % off
], ids=lambda v: v if isinstance(v, str) else "")
def test_a_split_left_in_the_prices_is_named_by_its_ratio(ratio, name):
    p = prices(A=[10.0, 11, 12, 12 * ratio, 13 * ratio, 12 * ratio, 13 * ratio, 15 * ratio])
    assert [w for w in quiet(weights(), p).warnings if "split?" in w] == [
        f"prices: 1 one-day moves beyond -70 % or +300 % do not reverse (a split the prices were "
        f"not adjusted for, or a real crash?): [A on 2024-01-04: 12 -> {12 * ratio:g} (a {name} "
        f"split?)]; backtest on split-adjusted prices (read_prices uses Adj Close when a file has it)"]


@pytest.mark.parametrize("case", NOT_WARNED.values(), ids=NOT_WARNED.keys())
def test_no_false_alarms(case):
    overrides, message = case
    result, caught = run_caught(overrides)
    assert not [text for text in caught if re.search(message, text)]
    assert not [w for w in result.warnings if re.search(message, w)]


MONTHS = pd.bdate_range("2024-01-01", "2024-06-28")
_WAVE = np.arange(len(MONTHS))
MARKET = pd.DataFrame({"A": 50 + 5 * np.sin(_WAVE / 7), "B": 80 + 9 * np.cos(_WAVE / 11),
                       "C": 20 + 0.05 * _WAVE}, index=MONTHS)
MONTHLY = pd.DataFrame({"A": [0.5, -0.2, 0.3, 0.6, 0.1], "B": [0.3, 0.6, -0.4, 0.2, 0.5],
                        "C": [0.0, 0.2, 0.3, -0.2, 0.4]},
                       index=pd.period_range("2024-01", periods=5, freq="M"))


def last_bars(periods):
    """Each period's last price bar."""
    return pd.DatetimeIndex([MONTHS[MONTHS <= end][-1] for end in periods.end_time])


AT_LAST_BAR = MONTHLY.set_axis(last_bars(MONTHLY.index))
HOLIDAYS = pd.DatetimeIndex(["2024-01-15", "2024-02-19", "2024-05-27"])
WITH_HOLIDAYS = MARKET.copy()
WITH_HOLIDAYS.loc[HOLIDAYS] = np.nan
DAILY = pd.DataFrame(np.where((_WAVE[:, None] + np.arange(3)) % 5 < 2, 0.3, 0.2), index=MONTHS, columns=list("ABC"))
WARM_UP = DAILY.copy()
WARM_UP.iloc[:40] = 0.0
# No bar in April, May's first day alone: April's weights stay dated by its end (and, on
# March's last bar, supersede March's); May's are those of its one bar.
GAPPY = MARKET.drop(MARKET.loc["2024-04-01":"2024-05-31"].index.drop(pd.Timestamp("2024-05-01")))
GAPPY_MEANT = MONTHLY.set_axis(pd.DatetimeIndex(["2024-01-31", "2024-02-29", "2024-03-29", "2024-04-30",
                                                 "2024-05-01"]))
MONTH_END_C = MARKET["C"].groupby(MONTHS.to_period("M")).last()

# Each mistake run against the run without it: (mistaken, meant, the warning it gives).
# Every pair is equal bit for bit: the mistaken one runs on exactly the meant inputs.
SAME = {
    "period labels on weights": (dict(w=MONTHLY), dict(w=AT_LAST_BAR), None),
    "period labels in a long frame": (
        dict(w=MONTHLY.rename_axis("date").reset_index().melt("date", var_name="ticker",
                                                              value_name="weight")),
        dict(w=MONTHLY.set_axis(MONTHLY.index.asfreq("D", how="end").to_timestamp())), None),
    "period labels elsewhere": (
        dict(rebalance=MONTHLY.index[[1, 3]], delistings={"B": pd.Period("2024-03", "M")},
             benchmark=MONTH_END_C),
        dict(rebalance=last_bars(MONTHLY.index[[1, 3]]),
             delistings={"B": last_bars(pd.period_range("2024-03", periods=1, freq="M"))[0]},
             benchmark=MONTH_END_C.set_axis(last_bars(MONTH_END_C.index))),
        None),
    # March ends on a Sunday; its last bar, Friday the 29th, is the first price bar.
    "a period whose last bar is the first": (
        dict(w=MONTHLY.loc["2024-03":], p=MARKET.loc["2024-03-29":]),
        dict(w=AT_LAST_BAR.loc["2024-03-29":], p=MARKET.loc["2024-03-29":]), None),
    # The same, then April without a bar right after it and May's first day alone.
    "months without a bar, or with their first day only": (
        dict(w=MONTHLY.loc["2024-03":], p=GAPPY.loc["2024-03-29":]),
        dict(w=GAPPY_MEANT.loc["2024-03-29":], p=GAPPY.loc["2024-03-29":]),
        r"weights: 1 rows share a price bar with a later row and are superseded by it"),
    "exchange holidays as empty rows": (
        dict(p=WITH_HOLIDAYS), dict(p=WITH_HOLIDAYS.drop(HOLIDAYS)),
        r"prices: 3 dates without a single price \(exchange holidays .*\) are not trading days "
        r"and were dropped: \[2024-01-15, 2024-02-19, 2024-05-27\]"),
    "warm-up rows without a position": (
        dict(w=WARM_UP, rebalance="M"), dict(w=WARM_UP.iloc[40:], rebalance="M"),
        r"weights: the first 40 rows \(2024-01-01 .. 2024-02-23\) hold no position .* the "
        r"statistics start at the first row that does, 2024-02-26"),
}


@pytest.mark.parametrize("case", SAME.values(), ids=SAME.keys())
def test_mistakes_run_as_what_was_meant(case):
    mistaken, meant, message = case
    base = dict(w=AT_LAST_BAR, p=MARKET)

    def run(overrides):
        args = {**base, **overrides}
        return orvane.backtest(args.pop("w"), args.pop("p"), fee=0.001, tax=0.002, **args)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = run(mistaken)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        expected = run(meant)
    pd.testing.assert_series_equal(result.equity, expected.equity, check_exact=True)
    pd.testing.assert_frame_equal(result.trades, expected.trades, check_exact=True)
    pd.testing.assert_series_equal(result.stats(), expected.stats(), check_exact=True)
    assert result.start == expected.start
    if message is not None:
        matching = [str(c.message) for c in caught if re.search(message, str(c.message))]
        assert len(matching) == 1, caught


NEW_YORK = DAYS.tz_localize("America/New_York") + pd.Timedelta(hours=16)


@pytest.mark.parametrize("price_index, weight_index", [
    (DAYS + pd.Timedelta(hours=16), DAYS[[0, 3]]),                      # close-stamped prices
    (NEW_YORK, DAYS[[0, 3]].tz_localize("UTC")),                        # New York vs UTC
    (DAYS.tz_localize("Asia/Tokyo"), (DAYS[[0, 3]] + pd.Timedelta(hours=23)).tz_localize("UTC")),
], ids=["16:00 vs midnight", "New York vs UTC", "Tokyo vs late UTC"])
def test_daily_bars_read_dates_as_written_so_stamps_never_move_a_trade(price_index, weight_index):
    reference = quiet(weights(), prices(), delistings={"B": DAYS[6]})
    stamped = quiet(weights(weight_index), prices(price_index), delistings={"B": price_index[6]})
    calendar = quiet(weights(weight_index), prices(price_index), rebalance=[price_index[3]])
    assert np.array_equal(calendar.equity.to_numpy(),
                          quiet(weights(), prices(), rebalance=[DAYS[3]]).equity.to_numpy())
    assert np.array_equal(stamped.equity.to_numpy(), reference.equity.to_numpy())
    entries = [price_index.get_loc(t) for t in stamped.trades["entry_date"]]
    assert entries == [DAYS.get_loc(t) for t in reference.trades["entry_date"]]


def test_intraday_bars_compare_instants():
    bars = pd.date_range("2024-01-01 10:00", periods=8, freq="4h")   # 10:00, 14:00, 18:00, ...
    result = quiet(weights(bars[[1, 4]] + pd.Timedelta(minutes=30)), prices(index=bars), fee=0, tax=0)
    # A weight stamped 14:30 counts from the 14:00 bar and trades on the next one.
    assert list(result.trades["entry_date"].unique()) == [bars[2], bars[5]]


def test_day_periods_on_intraday_bars_count_from_the_day_s_last_bar():
    bars = pd.date_range("2024-01-01 10:00", periods=8, freq="4h")   # 10:00, 14:00, 18:00, ...
    days = pd.period_range("2024-01-01", periods=2, freq="D")
    by_period = quiet(weights(days), prices(index=bars), fee=0, tax=0)
    by_bar = quiet(weights(bars[[3, 7]]), prices(index=bars), fee=0, tax=0)
    pd.testing.assert_series_equal(by_period.equity, by_bar.equity, check_exact=True)
    # The first day's weights trade on the second day's first bar; the second's are pending.
    assert list(by_period.trades["entry_date"].unique()) == [bars[4]]
    assert by_period.rebalance_pending


def test_no_stop_loss_means_no_stop_for_shorts():
    doubling = prices(A=[10.0, 10, 12, 16, 21, 25, 30, 32])
    short = weights(A=[-0.5, -0.5], B=[0.0, 0.0])
    for stop, exits in ((None, 0), (1.0, 1)):
        trades = quiet(short, doubling, stop_loss=stop).trades
        assert (trades["exit_reason"] == "exit_rule").sum() == exits


def test_a_trade_closed_on_a_bar_without_price_is_valued_where_the_engine_sold():
    gap = prices(A=[10.0, 11, 12, 11, np.nan, 14, 13, 15])
    w = weights(index=DAYS[[0, 3]], A=[1.0, 0.0], B=[0.0, 0.0])
    result = quiet(w, gap, fee=0.01, tax=0.02)
    trade = result.trades.iloc[0]
    # Bought at 11 (paying the fee), sold on the gap bar at the last price seen, 11.
    assert trade["exit_date"] == DAYS[4]
    assert trade["return"] == pytest.approx((1 - 0.01) * (11 / 11) * (1 - 0.01 - 0.02) - 1, abs=1e-15)
    assert result.stats()["win_rate"] == 0.0 and result.stats()["trades"] == 1


def test_live_series_start_at_the_first_signal_and_the_full_one_is_kept():
    late = weights(index=DAYS[[2, 5]])
    result = quiet(late, prices())
    assert result.equity.index[0] == result.start == DAYS[2]
    assert len(result.full_equity) == len(DAYS) and (result.full_equity.iloc[:2] == 1.0).all()
    assert result.returns.index.equals(result.equity.index[1:])
    assert "(6 bars)" in repr(result)


def test_orders_follow_the_run():
    pending = quiet(weights(index=DAYS[[0, 7]]), prices(), fee=0, tax=0)
    idle = quiet(weights(index=DAYS[[0, 4]]), prices(), fee=0, tax=0)
    assert pending.rebalance_pending and not idle.rebalance_pending
    moved = pending.orders(1e6)
    assert np.allclose(moved["next_weight"], pending.actions["next_weight"])
    kept = idle.orders(1e6)
    assert (kept["order_value"] == 0).all() and np.allclose(kept["next_weight"], kept["weight"])
    forced = idle.orders(1e6, rebalance=True)
    assert np.allclose(forced["next_weight"], idle.actions["next_weight"])
    given = pd.Series([15.0, 25.0], index=pd.Index(["A", "B"], dtype=object))
    untouched = given.copy()
    idle.orders(1e6, prices=given)
    pd.testing.assert_series_equal(given, untouched)


def test_a_book_that_reaches_zero_ends_there():
    squeeze = prices(A=[10.0, 12, 15, 19, 22, 25, 30, 32])
    w = weights(A=[-1.0, 1.0], B=[0.0, 0.0], index=DAYS[[0, 4]])
    with pytest.warns(UserWarning, match=r"equity reached -0.08333 on 2024-01-08: .* ends there"):
        result = orvane.backtest(w, squeeze, fee=0, tax=0)
    assert result.ruined and result.end == DAYS[5] and result.equity.index[-1] == DAYS[5]
    assert len(result.full_equity) == len(DAYS)
    assert "ended when the equity reached 0" in repr(result)
    assert result.stats()["ruined_on"] == DAYS[5]
    still_open = result.trades[result.trades["exit_reason"] == "open"]
    assert len(still_open) and still_open["return"].isna().all() and (still_open["bars_held"] == 0).all()
    assert still_open["exit_date"].isna().all()
