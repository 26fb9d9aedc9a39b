import dataclasses
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets

DAYS = pd.bdate_range("2024-01-01", periods=8)


def prices():
    return pd.DataFrame({"A": [10.0, 11, 12, 11, 13, 14, 13, 15],
                         "B": [20.0, 21, 19, 22, 23, 21, 24, 25],
                         "C": [5.0, 5, 6, 6, 7, 7, 8, 8]}, index=DAYS)


def weights():
    return pd.DataFrame({"A": [0.5, 0.2], "B": [-0.3, 0.4]}, index=DAYS[[0, 3]])


def with_index(frame, index):
    frame = frame.copy()
    frame.index = index
    return frame


def with_column(frame, name, values):
    frame = frame.copy()
    frame[name] = values
    return frame


def bars(open_=None, high=None, low=None):
    """OHLC of prices(): open 0.5 below the close, high 1 above, low 1 below; then the
    given cells of A (bar -> value) replaced."""
    close = prices()
    ohlc = {"open": close - 0.5, "high": close + 1.0, "low": close - 1.0, "close": close}
    for field, cells in (("open", open_), ("high", high), ("low", low)):
        for bar, value in (cells or {}).items():
            ohlc[field].iloc[bar, 0] = value
    return ohlc


class Calendar:
    """Dates that claim ``size`` entries: the size check reads len() before listing them."""

    def __init__(self, size, dates=DAYS[[0, 3]]):
        self.size, self.dates = size, dates

    def __len__(self):
        return self.size

    def __iter__(self):
        return iter(self.dates)


def run(**overrides):
    args = {"weights": weights(), "prices": prices()}
    args.update(overrides)
    return orvane.backtest(args.pop("weights"), args.pop("prices"), **args)


BAD = {
    "duplicate dates": (dict(weights=with_index(weights(), DAYS[[2, 2]])), ValueError,
                        r"weights has duplicate dates: \[2024-01-03\]"),
    "missing date": (dict(weights=with_index(weights(), pd.DatetimeIndex([DAYS[0], pd.NaT]))),
                     ValueError, r"weights has missing dates \(NaT\) at positions \[1\]"),
    "unparseable": (dict(prices=with_index(prices(), [str(d.date()) for d in DAYS[:7]] + ["soon"])),
                    ValueError, r"prices has dates that cannot be parsed: \[soon\]"),
    "numbers as dates": (dict(weights=with_index(weights(), [0, 3])), TypeError,
                         r"weights must be indexed by dates, got int64"),
    "mixed time zones": (dict(weights=with_index(weights(), DAYS[[0, 3]].tz_localize("UTC"))),
                         ValueError, r"weights has time-zone-aware dates and prices naive"),
    "weights without rows": (dict(weights=weights().iloc[:0]), ValueError,
                             r"weights must have at least one date and one ticker, got shape \(0, 2\)"),
    "weights without tickers": (dict(weights=weights().iloc[:, :0]), ValueError,
                                r"weights must have at least one date and one ticker, got shape \(2, 0\)"),
    "weights after prices": (dict(weights=with_index(weights(), pd.bdate_range("2025-01-01", periods=2))),
                             ValueError, r"lie entirely after the prices"),
    "unknown tickers": (dict(weights=weights().rename(columns={"A": "a", "B": "Bx"})), ValueError,
                        r"weights has tickers without prices: \[a, Bx\]; close matches: a -> A\?"),
    "unknown ticker, four close matches": (
        dict(weights=pd.DataFrame({"AB": [1.0]}, index=DAYS[:1]),
             prices=pd.DataFrame(10.0, index=DAYS, columns=["AB1", "AB2", "AB3", "AB4"])), ValueError,
        r"weights has tickers without prices: \[AB\]; close matches: AB -> AB4 or AB3 or AB2\?$"),
    "text weights": (dict(weights=with_column(weights(), "B", ["x", "y"])), TypeError,
                     r"weights must hold numbers; columns \[B\] have dtype"),
    "boolean prices": (dict(prices=with_column(prices(), "C", True)), TypeError,
                       r"prices must hold numbers; columns \[C\] have dtype bool"),
    "infinite weight": (dict(weights=with_column(weights(), "A", [np.inf, 0.1])), ValueError,
                        r"weights must be finite; infinite weights at \[A on 2024-01-01\]"),
    "zero price": (dict(prices=with_column(prices(), "A", [10.0, 0, 12, 11, 13, 14, 13, 15])),
                   ValueError, r"prices must be positive and finite .*\[A on 2024-01-02: 0.0\]"),
    "zero among small prices": (dict(prices=with_column(prices(), "A", [0.5, 0, 0.6, 1, 13, 14, 13, 15])),
                                ValueError, r"prices must be positive and finite .*; got \[A on 2024-01-02: 0.0\]$"),
    "infinite price": (dict(prices=with_column(prices(), "A", [10.0, 11, np.inf, 11, 13, 14, 13, 15])),
                       ValueError, r"prices must be positive and finite .*\[A on 2024-01-03: inf\]"),
    "one price date, and it is 0": (dict(prices=prices().iloc[:1, :1] * 0), ValueError,
                                    r"prices must be positive and finite .*\[A on 2024-01-01: 0.0\]"),
    "one price date": (dict(prices=prices().iloc[:1]), ValueError,
                       r"prices must have at least 2 dates and one ticker, got 1 dates and 3 tickers"),
    # The bar check compares low and high with the open as well as the close.
    "low above the open": (dict(prices=bars(low={2: 11.8}), intrabar_exits=True), ValueError,
                           r"must hold together on every bar \(low <= open, close <= high\)"),
    "high below the open": (dict(prices=bars(high={2: 12.2}, open_={2: 12.5}), intrabar_exits=True),
                            ValueError, r"must hold together on every bar"),
    "low above the close": (dict(prices=bars(low={2: 12.5}, open_={2: 13.0}), intrabar_exits=True), ValueError,
                            r"must hold together on every bar"),
    "high below the close": (dict(prices=bars(high={2: 11.5}), intrabar_exits=True), ValueError,
                             r"must hold together on every bar"),
    "no ticker": (dict(prices=prices().iloc[:, :0]), ValueError,
                  r"prices must have at least 2 dates and one ticker, got 8 dates and 0 tickers"),
    "duplicate tickers": (dict(prices=prices().rename(columns={"C": "B"})), ValueError,
                          r"prices has duplicate tickers: \[B\]"),
    "weights not a frame": (dict(weights=[0.5, 0.5]), TypeError, r"weights must be a DataFrame"),
    "long duplicates": (dict(weights=pd.DataFrame({"date": [DAYS[0]] * 2, "ticker": ["A", "A"],
                                                   "weight": [0.1, 0.2]})),
                        ValueError, r"weights has more than one row per \(date, ticker\): \[\(2024-01-01, A\)\]"),
    "no close": (dict(prices={"open": prices()}), ValueError, r"prices needs a 'close' frame"),
    "ohlc dates differ": (dict(prices={"close": prices(), "open": prices().iloc[1:]}, trade_at="open"),
                          ValueError, r"prices\['open'\] and prices\['close'\] have different dates: \[2024-01-01\]"),
    "open without opens": (dict(trade_at="open"), ValueError, r"trade_at='open' needs opening prices"),
    "intrabar without ohlc": (dict(intrabar_exits=True), ValueError, r"intrabar_exits=True needs open, high and low"),
    "trade_at": (dict(trade_at="mid"), ValueError, r"trade_at must be 'close' or 'open', got 'mid'"),
    "frequency": (dict(rebalance="fortnight"), ValueError, r"rebalance must be None, a frequency"),
    "calendar of integers": (dict(rebalance=range(2**64)), TypeError,
                             r"rebalance must be .*, got range\(0, 18446744073709551616\): "
                             r"integers are not dates"),
    "calendar past the limit": (dict(rebalance=Calendar(50_000_001)), ValueError,
                                r"rebalance must be a calendar of at most 50,000,000 dates, got "
                                r"50,000,001"),
    "ohlc tickers differ": (dict(prices={"close": prices(), "open": prices().rename(columns={"C": "D"})},
                                 trade_at="open"), ValueError,
                            r"prices\['open'\] and prices\['close'\] have different tickers: \[C, D\]$"),
    "delisting ticker": (dict(delistings={"Z": DAYS[3]}), ValueError, r"delistings has tickers without prices: \[Z\]"),
    "delisting word": (dict(delistings="guess"), ValueError, r"delistings must be None, 'infer'"),
    "stop in percent": (dict(stop_loss=10), ValueError, r"stop_loss must be a fraction in \(0, 1\], got 10: 0.10 means 10 %"),
    "take profit in percent": (dict(take_profit=30), ValueError, r"take_profit must be a fraction in \(0, 10\], got 30: 0.30 means 30 %"),
    "zero trailing stop": (dict(trailing_stop=0), ValueError, r"trailing_stop must be a fraction in \(0, 1\], got 0"),
    "negative activation": (dict(trailing_activation=-0.1), ValueError, r"trailing_activation must be a fraction in \[0, 1\], got -0.1"),
    "position limit": (dict(position_limit=50), ValueError, r"position_limit must be a fraction in \(0, 10\], got 50: 0.05 means 5 %"),
    "negative fee": (dict(fee=-0.001), ValueError, r"fee must be a fraction in \[0, 1\), got -0.001: 0.001 means 0.1 %"),
    "costs of 100 %": (dict(fee=0.5, tax=0.5), ValueError, r"fee \+ tax must be below 1"),
    "text fee": (dict(fee="0.1"), TypeError, r"fee must be a fraction, got str '0.1'"),
    "window step": (dict(window=10, window_step=0), ValueError, r"window_step must be a whole number of bars, at least 1, got 0"),
    "fractional window": (dict(window=2.5), TypeError, r"window must be a whole number of bars, at least 0 \(0 is off\), got float 2.5"),
    "flag": (dict(intrabar_exits="yes"), TypeError, r"intrabar_exits must be True or False, got 'yes'"),
}


@pytest.mark.parametrize("overrides, error, message", BAD.values(), ids=list(BAD))
def test_bad_inputs_raise_naming_the_argument(overrides, error, message):
    with pytest.raises(error, match=message):
        run(**overrides)


def test_the_smallest_market_runs():
    # Two dates of one ticker: bought on the second date, still held at its close of 12.
    close = pd.DataFrame({"A": [10.0, 12.0]}, index=DAYS[:2])
    result = orvane.backtest(pd.DataFrame({"A": [1.0]}, index=DAYS[:1]), close, fee=0.0, tax=0.0)
    assert list(result.full_equity) == [1.0, 1.0]
    assert list(result.trades["exit_price"]) == [12.0]
    assert list(result.trades["entry_date"]) == [DAYS[1]]


def test_weights_dated_on_the_last_bar_wait_for_the_next():
    result = run(weights=weights().iloc[:1].set_axis(DAYS[[7]]))
    assert result.rebalance_pending and result.trades.empty and list(result.equity) == [1.0]


# The other side of each bound: a low or high touching the open or the close holds.
@pytest.mark.parametrize("cells", [
    dict(low={2: 11.5}), dict(high={2: 12.5}, open_={2: 12.5}), dict(low={2: 12.0}, open_={2: 13.0}),
    dict(high={2: 12.0}), dict(low={2: 12.0}, high={2: 12.0}, open_={2: 12.0}),
    dict(high={2: 12.0 * (1 - 1e-9)}),
], ids=["low at open", "high at open", "low at close", "high at close", "flat bar",
        "high a rounding below close"])
def test_bars_touching_their_bounds_are_accepted(cells):
    ohlc = bars(**cells)
    result = run(prices=ohlc, intrabar_exits=True, fee=0.0, tax=0.0)
    # Nothing stopped: A is held from bar 1 to the rebalance, valued at its closes.
    assert result.equity.iloc[2] == pytest.approx(1 + 0.5 * (12 / 11 - 1) - 0.3 * (19 / 21 - 1))


def test_bars_are_checked_only_by_runs_that_read_them():
    # A low above the open is harmless to a run on closes without exit rules, also when the
    # prices were prepared with every field.
    from orvane import inputs

    for given in (bars(low={2: 11.8}), inputs.prepare_prices(bars(low={2: 11.8}))):
        assert run(prices=given).equity.equals(run().equity)


def reference(**overrides):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the reference runs must need no adjustment
        return run(**overrides)


ADJUSTED = {
    "unsorted prices": (dict(prices=prices().iloc[::-1]), {},
                        "prices: dates were not in ascending order and have been sorted"),
    "unsorted weights": (dict(weights=weights().iloc[::-1]), {},
                         "weights: dates were not in ascending order and have been sorted"),
    "NaN weights": (dict(weights=with_column(weights(), "C", np.nan)), {},
                    "weights: 2 NaN weights were read as 0 (no position)"),
    # Priced on the signal bar, not on the bar after it where the row trades.
    "no price on the trade bar": (dict(prices=with_column(prices(), "B", [20.0, np.nan] + [20.0] * 6)),
                       dict(weights=with_column(weights(), "B", [0.0, 0.4]),
                            prices=with_column(prices(), "B", [20.0, np.nan] + [20.0] * 6)),
                       "weights: 1 non-zero weights dropped for their rebalance because the ticker "
                       "has no trading price on the bar it would be traded (not listed yet, a gap, "
                       "or delisted): [B on 2024-01-02]"),
    "two rows on a bar": (dict(weights=pd.concat([pd.DataFrame({"A": [0.9], "B": [0.0]},
                                                               index=[DAYS[0] - pd.Timedelta("1D")]),
                                                  weights()])),
                          {}, "weights: 1 rows share a price bar with a later row and are superseded by it"),
}


@pytest.mark.parametrize("overrides, clean, note", ADJUSTED.values(), ids=list(ADJUSTED))
def test_adjustments_are_reported_once_and_runs_match_clean_input(overrides, clean, note):
    with pytest.warns(UserWarning) as caught:
        result = run(**overrides)
    assert note in result.warnings
    assert [str(w.message) for w in caught] == list(result.warnings)
    expected = reference(**clean)
    pd.testing.assert_series_equal(result.equity, expected.equity, check_freq=False)
    pd.testing.assert_frame_equal(result.trades, expected.trades)


@pytest.mark.parametrize("dtype", ["int64", "float32", "Int64", "Float64", "int32"])
def test_numeric_dtypes_are_read_as_float64(dtype):
    whole = prices().round().astype(np.float64)
    result = run(prices=whole.astype(dtype), weights=weights().astype(dtype if "nt" not in dtype else "float64"))
    expected = reference(prices=whole)
    pd.testing.assert_series_equal(result.equity, expected.equity)


def test_dates_in_text_and_time_zones_are_accepted():
    text = with_index(prices(), [str(d.date()) for d in DAYS])
    pd.testing.assert_series_equal(run(prices=text).equity, reference().equity, check_freq=False)
    aware = run(prices=with_index(prices(), DAYS.tz_localize("Europe/Paris")),
                weights=with_index(weights(), DAYS[[0, 3]].tz_localize("Asia/Tokyo")))
    assert str(aware.equity.index.tz) == "Europe/Paris"
    assert aware.trades["entry_date"].dt.tz is not None


# Dates of delistings and rebalances land on bars from both sides: a date on a bar is that
# bar, a date between bars the next one (for delistings) or the one before (rebalances).
# Each row: closes, weight rows (bar -> weights), options, trades as (ticker, entry bar,
# exit bar or None, reason).
DATED = {
    "delisting on a bar's date": (
        {"A": 10.0, "B": 10.0}, {0: {"A": 0.5, "B": 0.5}}, dict(delistings={"A": DAYS[5]}),
        {("A", 1, 5, "delisted"), ("B", 1, None, "open")}),
    "delisting on the first bar": (
        {"A": 10.0, "B": 10.0}, {0: {"A": 0.5, "B": 0.5}}, dict(delistings={"A": DAYS[0]}),
        {("B", 1, None, "open")}),
    "delisting on a Saturday": (
        {"A": 10.0, "B": 10.0}, {0: {"A": 0.5, "B": 0.5}},
        dict(delistings={"A": DAYS[4] + pd.Timedelta("1D")}),
        {("A", 1, 5, "delisted"), ("B", 1, None, "open")}),
    "delisting on the last bar": (
        {"A": 10.0, "B": 10.0}, {0: {"A": 0.5, "B": 0.5}}, dict(delistings={"A": DAYS[7]}),
        {("A", 1, 7, "delisted"), ("B", 1, None, "open")}),
    "delisting on the clock's last day": (
        {"A": 10.0, "B": 10.0}, {0: {"A": 0.5, "B": 0.5}}, dict(delistings={"A": pd.Timestamp("2262-04-11")}),
        {("A", 1, None, "open"), ("B", 1, None, "open")}),
    "delisting on the clock's first day": (
        {"A": 10.0, "B": 10.0}, {0: {"A": 0.5, "B": 0.5}}, dict(delistings={"A": pd.Timestamp("1677-09-22")}),
        {("B", 1, None, "open")}),
    "delisting after the data": (
        {"A": 10.0, "B": 10.0}, {0: {"A": 0.5, "B": 0.5}},
        dict(delistings={"A": DAYS[7] + pd.Timedelta("1D")}),
        {("A", 1, None, "open"), ("B", 1, None, "open")}),
    # Inferred: A's prices stop after bar 5, B's run to the end, C never has one.
    "inferred delisting": (
        {"A": [10.0] * 6 + [np.nan] * 2, "B": 10.0, "C": np.nan}, {0: {"A": 0.5, "B": 0.5}},
        dict(delistings="infer"), {("A", 1, 5, "delisted"), ("B", 1, None, "open")}),
    "rebalance calendar from the first bar": (
        {"A": 10.0, "B": 10.0},
        {0: {"A": 0.5, "B": 0.5}, 2: {"A": 0.2, "B": 0.2}, 4: {"A": 0.0, "B": 0.5}},
        dict(rebalance=[DAYS[0], DAYS[4]]),
        {("A", 1, 5, "rebalance"), ("B", 1, 5, "rebalance"), ("B", 5, None, "open")}),
    "rebalance on the first bar, a weight row after it": (
        {"A": 10.0, "B": 10.0}, {0: {"A": 0.5, "B": 0.5}, 1: {"A": 0.0, "B": 0.5}},
        dict(rebalance=[DAYS[0]]), {("A", 1, None, "open"), ("B", 1, None, "open")}),
    "rebalance on a Sunday": (
        {"A": 10.0, "B": 10.0},
        {0: {"A": 0.5, "B": 0.5}, 2: {"A": 0.2, "B": 0.2}, 4: {"A": 0.0, "B": 0.5}},
        dict(rebalance=[DAYS[0], DAYS[4] + pd.Timedelta("2D")]),
        {("A", 1, 5, "rebalance"), ("B", 1, 5, "rebalance"), ("B", 5, None, "open")}),
}


@pytest.mark.parametrize("closes, rows, options, expected", DATED.values(), ids=list(DATED))
def test_dates_of_delistings_and_rebalances_land_on_their_bars(closes, rows, options, expected):
    close = pd.DataFrame(closes, index=DAYS, dtype=float)
    weights = pd.DataFrame.from_dict(rows, orient="index").set_axis(DAYS[list(rows)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        trades = orvane.backtest(weights, close, fee=0.0, tax=0.0, **options).trades
    got = {(t.ticker, DAYS.get_loc(t.entry_date),
            DAYS.get_loc(t.exit_date) if pd.notna(t.exit_date) else None, t.exit_reason)
           for t in trades.itertuples()}
    assert got == expected


def test_inferred_delistings_are_the_tickers_whose_prices_stop_before_the_last_bar():
    # B's prices stop on the first bar, D's on bar 5; C has none yet (not listed: no delisting).
    close = pd.DataFrame({"A": 10.0, "B": [10.0] + [np.nan] * 7, "C": np.nan,
                          "D": [10.0] * 6 + [np.nan] * 2}, index=DAYS)
    weights = pd.DataFrame(0.25, index=DAYS[[0, 7]], columns=list("ABCD"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = orvane.backtest(weights, close, delistings="infer")
    orders = result.orders(1e6, prices=dict.fromkeys("ABCD", 10.0))
    assert orders["tradable"].to_dict() == {"A": True, "B": False, "C": True, "D": False}


def test_a_field_in_its_own_ticker_and_date_order_is_read_by_label():
    ohlc = bars()
    expected = run(prices=ohlc, trade_at="open", fee=0.0, tax=0.0)
    shuffled = dict(ohlc, open=ohlc["open"][["C", "A", "B"]].iloc[::-1])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        got = run(prices=shuffled, trade_at="open", fee=0.0, tax=0.0)
    pd.testing.assert_series_equal(got.equity, expected.equity)
    pd.testing.assert_frame_equal(got.trades, expected.trades)
    # A's first trade ends at the rebalance on bar 4, at A's open there (13 - 0.5).
    assert got.trades.set_index("ticker").loc["A", "exit_price"].iloc[0] == 12.5


def test_a_rebalance_calendar_may_be_any_iterable_of_dates():
    dates = DAYS[[0, 3]]
    assert run(rebalance=(d for d in dates)).equity.equals(run(rebalance=list(dates)).equity)
    # A calendar at the size limit is read as the dates it holds.
    assert run(rebalance=Calendar(50_000_000, dates)).equity.equals(run(rebalance=list(dates)).equity)


def test_prepared_inputs_run_as_given_only_with_their_own_prices():
    from orvane import inputs

    market = inputs.prepare_prices(prices())
    prepared = inputs.prepare_weights(weights(), market)
    assert orvane.backtest(prepared, market).equity.equals(run().equity)
    with pytest.raises(ValueError, match="assignment destination is read-only"):
        prepared.values[0, 0] = 1.0   # shared by every run of a sweep
    with pytest.raises(ValueError, match=r"weights were prepared for other prices"):
        orvane.backtest(prepared, inputs.prepare_prices(prices()))
    # prepare's defaults are the engine's (walk-forward reads its schedule with them): close
    # prices, no exit rules, gross up to 1 without a note.
    plain = inputs.prepare(weights(), prices())
    assert plain.warnings == [] and plain.high is None and plain.trade is plain.close
    # Prepared from plain prices, not from prices read_prices adjusted: dividends are welcome.
    cash = pd.DataFrame({"A": [0.5]}, index=DAYS[2:3])
    assert orvane.backtest(weights(), market, dividends=cash).equity.equals(
        run(dividends=cash).equity)
    # Shared by many runs, so fixed once made; each preparation is its own market.
    for made, field in ((market, "dates"), (prepared, "values")):
        with pytest.raises(dataclasses.FrozenInstanceError):
            setattr(made, field, None)
    again = inputs.prepare_prices(prices())
    assert market == market and market != again and len({market, again, prepared}) == 3


@pytest.mark.parametrize("one_pass", [True, False])
def test_the_checks_say_the_same_with_or_without_the_one_pass_scan(monkeypatch, one_pass):
    from orvane import _native

    if not one_pass:  # fields lying unlike in memory take the separate scans
        monkeypatch.setattr(_native, "scan_prices", lambda *args: None)
    days = pd.bdate_range("2024-01-01", periods=3)
    weights = pd.DataFrame({"A": [1.0]}, index=days[:1])
    # A date without a price, then a move of 5x over it: two dates left, one jump.
    close = pd.DataFrame({"A": [10.0, np.nan, 50.0], "B": [20.0, np.nan, 20.0]}, index=days)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run = orvane.backtest(weights, close)
    said = " | ".join(str(w.message) for w in caught)
    assert "1 dates without a single price" in said and "1 one-day moves beyond" in said
    assert len(run.equity) == 2
    bars = {"close": close.ffill(), "open": close.ffill(), "high": close.ffill() * 1.01,
            "low": close.ffill() * 1.02}
    with pytest.raises(ValueError, match=r"6 bars do not: \[A on 2024-01-01.*are the high and low columns swapped"):
        orvane.backtest(weights, bars, trade_at="open")
    negative = bars["close"].copy()
    negative.loc[days[1], "B"] = -1.0
    with pytest.raises(ValueError, match=r"prices\['open'\] must be positive .* got \[B on 2024-01-02: -1.0\]"):
        orvane.backtest(weights, {**bars, "low": bars["close"], "open": negative}, trade_at="open")


def _volume_layouts():
    m = datasets.synthetic_market(stocks=6, years=1, seed=2)
    fields = ("open", "high", "low", "close", "volume")
    wide = pd.concat({f: m[f] for f in fields}, axis=1, names=["field", "ticker"])
    long_ = wide.stack("ticker", future_stack=True) if _FUTURE_STACK else wide.stack("ticker")
    long_ = long_.reset_index().rename(columns={"level_0": "date"})
    return m, {
        "mapping": {f: m[f] for f in fields},
        "(field, ticker) columns": wide,
        "(ticker, field) columns": wide.swaplevel(axis=1),
        "long": long_.rename(columns={long_.columns[0]: "date"}),
        "market": m,
    }


_FUTURE_STACK = tuple(int(p) for p in pd.__version__.split(".")[:2]) >= (2, 1)


@pytest.mark.parametrize("layout", ["mapping", "(field, ticker) columns", "(ticker, field) columns",
                                    "long", "market"])
def test_volume_comes_through_every_price_layout(layout):
    market, layouts = _volume_layouts()
    prepared = orvane.prepare_prices(layouts[layout])
    np.testing.assert_array_equal(prepared.arrays["volume"],
                                  market.volume.reindex(prepared.dates).to_numpy())
    # Nothing reads it yet: a run with it equals the run without.
    weights = datasets.momentum(market, lookback=21, top=2, bottom=2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert orvane.backtest(weights, prepared).equity.equals(
            orvane.backtest(weights, {f: market[f] for f in ("open", "high", "low", "close")}).equity)


@pytest.mark.parametrize("value, message", [
    (-1.0, r"prices\['volume'\] must be shares traded, 0 or more \(NaN for a bar without a "
           r"volume\), got -1 for S\d+ on 20\d\d-\d\d-\d\d \(1 cells\)"),
    (np.inf, r"got inf for"),
])
def test_a_negative_or_infinite_volume_is_refused_naming_the_cell(value, message):
    market, layouts = _volume_layouts()
    prices = dict(layouts["mapping"])
    volume = prices["volume"].copy()
    volume.iloc[5, 2] = value
    prices["volume"] = volume
    with pytest.raises(ValueError, match=message):
        orvane.prepare_prices(prices)
