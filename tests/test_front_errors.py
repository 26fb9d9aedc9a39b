"""Bad input answered in the front's own words: the error names the argument, nothing but the
front's warnings escapes, inputs are never modified, and a run holds no memory after it."""

import gc
import pathlib
import tracemalloc
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import engine
from orvane._checks import (FRACTION, Bounds, check_choice, check_flag, check_fraction, check_path,
                             check_real, check_text, check_whole, shown)

D = pd.bdate_range("2021-01-01", periods=6)


def P(**columns):
    return pd.DataFrame({"A": [10.0, 11, 12, 11, 13, 14], "B": 20.0, **columns}, index=D)


def W(**columns):
    return pd.DataFrame({"A": [1.0], **columns}, index=D[:1])


def long_prices(**extra):
    frame = pd.DataFrame({"date": D[:1].repeat(2), "ticker": ["A", "B"], "close": [10.0, 20.0]})
    return frame.assign(**extra)


def labelled(frame, labels):
    frame = frame.copy()
    frame.columns = pd.Index(labels, dtype=object)
    return frame


def inferred(frame, labels):
    """The frame with ``labels`` as pandas builds them from a plain list."""
    return pd.DataFrame(frame.to_numpy(), index=frame.index, columns=labels)


def long_weights(**extra):
    frame = pd.DataFrame({"date": D[:2], "ticker": ["A", "B"], "weight": [0.5, 0.5]})
    return frame.assign(**extra)


OHLC = pd.concat({"close": P(), "open": P()}, axis=1)

REFUSED = {
    "None ticker in prices": (dict(p=labelled(P(), ["A", None])), ValueError,
                              r"prices has missing tickers \(None, NaN or empty\) at positions \[1\]"),
    "NaN ticker in weights": (dict(w=labelled(W(B=0.0), ["A", np.nan])), ValueError,
                              r"weights has missing tickers .* at positions \[1\]"),
    # Categorical labels (a pivot of a categorical column) are checked label by label.
    "empty categorical ticker": (dict(w=W(B=0.0).set_axis(pd.CategoricalIndex(["A", ""]), axis=1)), ValueError,
                                 r"weights has missing tickers \(None, NaN or empty\) at positions \[1\]"),
    "pd.NA ticker": (dict(p=labelled(P(), [pd.NA, "B"])), ValueError, r"prices has missing tickers"),
    # Labels pandas infers as strings keep NaN for the missing one.
    "None ticker among inferred strings, prices": (
        dict(p=inferred(P(), ["A", None])), ValueError,
        r"prices has missing tickers \(None, NaN or empty\) at positions \[1\]"),
    "NaN ticker among inferred strings, prices": (
        dict(p=inferred(P(), ["A", np.nan])), ValueError, r"prices has missing tickers .* \[1\]"),
    "None ticker among inferred strings, weights": (
        dict(w=inferred(W(B=0.0), ["A", None])), ValueError,
        r"weights has missing tickers \(None, NaN or empty\) at positions \[1\]"),
    "NaN ticker among inferred strings, OHLC": (
        dict(p={"close": P(), "open": inferred(P(), [np.nan, "B"])}), ValueError,
        r"prices\['open'\] has missing tickers .* \[0\]"),
    "empty ticker in a long frame": (dict(w=long_weights(ticker=["A", None])), ValueError,
                                     r"weights has missing tickers .* in its 'ticker' column at rows \[1\]"),
    "repeated long column": (dict(w=pd.concat([long_weights(), long_weights()[["ticker"]]], axis=1)),
                             ValueError, r"weights has the column 'ticker' more than once"),
    "NaT in a long frame": (dict(w=long_weights(date=[pd.NaT, pd.NaT], ticker=["A", "A"])), ValueError,
                            r"weights has missing dates \(NaT\) in its 'date' column at rows \[0, 1\]"),
    "position_limit=None": (dict(position_limit=None), TypeError,
                            r"position_limit must be float \(default 1.0\), got None"),
    "trailing_activation=None": (dict(trailing_activation=None), TypeError,
                                 r"trailing_activation must be float \(default 0.0\), got None"),
    "complex prices": (dict(p=P(A=[10.0 + 1j] * 6)), TypeError, r"prices must hold numbers; columns \[A\] "
                                                                 r"have dtype complex128"),
    "complex weights": (dict(w=W(A=[1 + 0j])), TypeError, r"weights must hold numbers"),
    "empty long frame, complex close": (
        dict(p=pd.DataFrame({"date": pd.DatetimeIndex([]), "ticker": pd.Series([], dtype=object),
                             "close": pd.Series([], dtype=complex)})),
        TypeError, r"prices must hold real numbers; column 'close' has dtype complex128"),
    "dates as closes in a long frame": (dict(p=long_prices(close=D[0])), TypeError,
                                        r"prices must hold real numbers; column 'close' has dtype datetime64"),
    "text closes in a long frame": (dict(p=long_prices(close=pd.Series(["10", "x"], dtype="string"))), TypeError,
                                    r"prices must hold numbers; columns \[A, B\] .*; not numbers: \[B on 2021-01-01: 'x'\]"),
    "objects as closes in a long frame": (dict(p=long_prices(close=pd.Series([10.0, "x"], dtype=object))), TypeError,
                                          r"prices must hold numbers; columns \[A, B\] have dtype object.*; not numbers: \[B on 2021-01-01: 'x'\]"),
    "no close in a long frame dated by its index": (
        dict(p=long_prices().set_index("date").drop(columns="close").assign(open=1.0)), ValueError,
        r"prices: a long table needs columns date, ticker, close .*; missing: close"),
    "close and adj close as column levels": (
        dict(p=pd.concat({"close": P(), "Adj Close": P()}, axis=1)), ValueError,
        r"prices has both 'close' and 'Adj Close'"),
    "overflowing price": (dict(p=P(A=[1.0, 1, 1e160, 1e160, 1, 1])), ValueError,
                          r"prices give a non-finite portfolio value on 2021-01-05 .* A from 1 to "
                          r"1e\+160 on 2021-01-05"),
    "vanishing price": (dict(p=P(A=[1.0, 1, 5e-324, 1, 1, 1])), ValueError,
                        r"prices give a non-finite portfolio value"),
    # No bar with a known high: the adjusted-close hint has nothing to weigh.
    "low above the close, no highs": (
        dict(p={"close": P(), "open": P(), "high": P() * np.nan, "low": P().mask(P() == 12, 13.0)},
             intrabar_exits=True), ValueError,
        r"1 bars do not: \[A on 2021-01-05: open 12, high nan, low 13, close 12\]$"),
    "Close and close": (dict(p={"Close": P(), "close": P()}), ValueError,
                        r"prices has the field 'close' twice"),
    "gross overflowing a float": (
        dict(w=W(A=[1e308], B=[1e308])), ValueError,
        r"weights must be fractions of the portfolio \(0.10 means 10 %\), got rows whose gross \(the "
        r"sum of absolute weights\) overflows a float, so they cannot be scaled to gross 1: "
        r"\[2021-01-01 \(A 1e\+308, B 1e\+308\)\]"),
    "gross overflowing, the two largest shown": (
        dict(w=W(A=[1e308], B=[0.0], C=[-1e308]), p=P(C=30.0)), ValueError,
        r"overflows a float, so they cannot be scaled to gross 1: \[2021-01-01 \(A 1e\+308, "
        r"C -1e\+308\)\]"),
    "gross overflowing in a long frame": (
        dict(w=long_weights(weight=[-1e308, -1e308], date=[D[0], D[0]])), ValueError,
        r"rows whose gross .* overflows a float, so they cannot be scaled to gross 1: \[2021-01-01 "
        r"\(A -1e\+308, B -1e\+308\)\]"),
    "stop_loss beyond any float": (dict(stop_loss=10**400), ValueError,
                                   r"stop_loss must be a fraction, got an "
                                   r"integer of 401 digits"),
    "fee beyond any float": (dict(fee=-10**400), ValueError, r"fee must be a fraction, got an integer of 401 digits \(beyond any float\)"),
}


@pytest.mark.parametrize("case", REFUSED.values(), ids=REFUSED.keys())
def test_bad_input_is_refused_by_name(case):
    given, error, message = case
    given = dict(given)
    with warnings.catch_warnings():
        warnings.simplefilter("error")   # and nothing foreign on the way
        with pytest.raises(error, match=message):
            orvane.backtest(given.pop("w", W()), given.pop("p", P()), **given)


@pytest.mark.parametrize("weights, traded", [
    (W(A=[1e308], B=[0.0]), [1.0]),
    (W(A=[1e300], B=[-1e300]), [0.5, -0.5]),
], ids=["one huge weight", "huge long and short"])
def test_huge_weights_a_float_can_sum_are_scaled_with_a_warning(weights, traded):
    with pytest.warns(UserWarning, match=r"rows with gross above 1 are scaled to 1") as caught:
        result = orvane.backtest(weights, P())
    assert all(issubclass(w.category, UserWarning) for w in caught)   # no NumPy overflow
    assert np.allclose(result.trades["weight"], traded)


def test_a_field_selection_reads_only_the_fields_it_holds():
    selected = OHLC.loc[:, ["close"]]
    assert np.array_equal(orvane.backtest(W(), selected).equity.to_numpy(),
                          orvane.backtest(W(), P()).equity.to_numpy())


def test_no_foreign_warnings_from_extreme_statistics_and_offsets():
    minutes = pd.date_range("2021-01-01 09:30", periods=30, freq="min")
    prices = pd.DataFrame({"A": np.linspace(1, 2, 30), "B": 2.0}, index=minutes)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        stats = orvane.backtest(W(A=[1.0]).set_axis(minutes[:1]), prices).stats()
        assert stats["cagr"] == np.inf
        monthly = orvane.backtest(W(), P(), rebalance=pd.offsets.MonthEnd())
    assert len(monthly.trades) == 1


@pytest.mark.parametrize("call, error, message", [
    (lambda r: r.orders(10**400), ValueError, r"capital must be a positive amount"),
    (lambda r: r.orders(1e6, prices=pd.Series([1.0, 2.0], index=["A", "A"])), ValueError,
     r"prices has duplicate tickers: \['A'\]"),
    (lambda r: r.orders(1e6, rebalance="yes"), TypeError, r"rebalance must be None, True or False"),
    (lambda r: r.save(None), TypeError, r"folder must be a path"),
    # Integers beyond any float.
    (lambda r: r.stats(risk_free=10**400), ValueError,
     r"risk_free must be an annual rate as a fraction, got an "
     r"integer of 401 digits"),
    (lambda r: r.rolling(risk_free=-10**400), ValueError, r"risk_free must be .*, got an integer of 401"),
    (lambda r: r.orders(1e6, prices={"A": 10**400, "B": 1.0}), ValueError,
     r"prices must be numbers a float can hold, got integers beyond any float for \['A'\]"),
    (lambda r: r.report(3), TypeError, r"path must be a path"),
    # Sizes, switches and counts of the charts and the report.
    (lambda r: r.plot(figsize=(-1, 5)), ValueError,
     r"figsize must be a size in inches in \(0, 1000\], got -1"),
    (lambda r: r.plot_trades(figsize=10), TypeError, r"figsize must be \(width, height\) in inches"),
    (lambda r: r.plot(figsize=(np.nan, 5)), ValueError, r"figsize must be a finite size"),
    # Under a pixel at the figure's 100 dots an inch: nothing to draw into.
    (lambda r: r.plot(figsize=(0.005, 3)), ValueError,
     r"^figsize must be at least one pixel \(0.01 inches at 100 dpi\), got 0.005$"),
    (lambda r: r.plot_trades(figsize=(4, 1e-6)), ValueError, r"^figsize must be at least one pixel"),
    (lambda r: r.plot(log=pd.NA), TypeError, r"log must be True or False, got NAType <NA>"),
    (lambda r: r.report("x.html", last_trades=2.5), TypeError,
     r"last_trades must be a whole number of trades, at least 0, got float 2.5"),
    (lambda r: r.report("x.html", title="a\0b"), ValueError,
     r"title must be printable text, got '\\x00' at position 1, which no font draws"),
    (lambda r: r.report("x" * 300 + ".html"), OSError, r"cannot write x+\.html: File name too long"),
    # A ticker named where the run's benchmark was a Series.
    (lambda r: orvane.backtest(W(), P(), benchmark=pd.Series(1.0, index=D)).stats(benchmark="A"),
     ValueError, r"benchmark 'A': a ticker is read from the prices by orvane.backtest"),
])
def test_result_methods_name_their_argument(call, error, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert np.isfinite(orvane.backtest(W(), P()).orders(10**30)["value"]).all()
    with pytest.raises(error, match=message):
        call(orvane.backtest(W(), P()))


@pytest.mark.parametrize("window", [2**31, 2**63, 2**64, np.uint64(2**64 - 1)])
def test_a_window_longer_than_the_run_is_never_full(window):
    result = orvane.backtest(W(), P())
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rolled = result.rolling(window=window)
    pd.testing.assert_frame_equal(rolled, result.rolling(window=len(D)))
    assert len(rolled) == len(D) - 1 and rolled.isna().all().all()


@pytest.mark.parametrize("call, message", [
    (lambda r: r.save(""), r"folder must not be empty, got ''; pass \".\" to write into the working folder"),
    (lambda r: r.save("", format="csv"), r"folder must not be empty"),
    (lambda r: r.report(""), r"path must not be empty, got ''"),
    (lambda r: r.save("out\0"), r"folder must not contain a NUL byte, got 'out\\x00'"),
    (lambda r: r.report("r\0.html"), r"path must not contain a NUL byte"),
])
def test_empty_paths_are_refused_and_write_nothing(tmp_path, monkeypatch, call, message):
    result = orvane.backtest(W(), P())
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match=message):
        call(result)
    assert list(tmp_path.iterdir()) == []


def test_writing_under_a_file_names_the_path(tmp_path):
    (tmp_path / "file").write_text("")
    result = orvane.backtest(W(), P())
    with pytest.raises(NotADirectoryError, match=rf"cannot write {tmp_path / 'file' / 'out'}: "):
        result.save(tmp_path / "file" / "out")


def test_windows_past_the_data_are_clamped_and_huge_records_refused(monkeypatch):
    bars = pd.bdate_range("2021-01-01", periods=50)
    prices = pd.DataFrame({"A": np.linspace(10, 20, 50), "B": np.linspace(20, 10, 50)}, index=bars)
    weights = pd.DataFrame({"A": [0.5, 0.0, 0.5, 0.0], "B": [0.0, 0.5, 0.0, 0.5]}, index=bars[[0, 10, 20, 30]])
    short = orvane.backtest(weights, prices, window=49)
    long = orvane.backtest(weights, prices, window=2**31 - 1)
    pd.testing.assert_frame_equal(short.trades, long.trades)
    pd.testing.assert_frame_equal(short.trades_window(), long.trades_window())
    monkeypatch.setattr(engine, "_available_memory", lambda: 1_000)
    with pytest.raises(MemoryError, match=r"window=49 with window_step=1 keeps 2 KiB per trade"):
        orvane.backtest(weights, prices, window=49)


def test_a_run_leaves_no_converted_prices_behind():
    bars = pd.bdate_range("2021-01-01", periods=400)
    rng = np.random.default_rng(0)
    prices = pd.DataFrame(np.exp(rng.normal(0, 0.01, (400, 500)).cumsum(axis=0)).astype(np.float32),
                          index=bars, columns=[f"T{i}" for i in range(500)])
    weights = pd.DataFrame(1 / 500, index=bars[[0, 200]], columns=prices.columns)
    orvane.backtest(weights, prices)   # warm up imports and caches
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        result = orvane.backtest(weights, prices)
        del result
        gc.collect()
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # The float64 copy alone would be 1.6 MB.
    assert held < 400 * 500 * 8 / 4


# The scalar checks every option goes through: each bound tried from both sides, each
# message read whole. (call, what it returns, or the exception type and its exact text)
CHECKED = {
    "fraction at its closed end": (lambda: check_real(1.0, "x", FRACTION), 1.0),
    "fraction at its open end": (lambda: check_real(0.0, "x", FRACTION),
                                 (ValueError, "x must be a real number in (0, 1], got 0.0")),
    "fraction past its closed end": (lambda: check_real(1.0000001, "x", FRACTION),
                                     (ValueError, "x must be a real number in (0, 1], got 1.0000001")),
    "half-open at its closed end": (lambda: check_real(0, "x", Bounds(0.0, 1.0, high_open=True)), 0.0),
    "half-open at its open end": (lambda: check_real(1, "x", Bounds(0.0, 1.0, high_open=True)),
                                  (ValueError, "x must be a real number in [0, 1), got 1")),
    "below a closed low": (lambda: check_real(-0.5, "x", Bounds(0.0)),
                           (ValueError, "x must be a real number at least 0, got -0.5")),
    "at a closed high": (lambda: check_real(10, "x", Bounds(high=10.0)), 10.0),
    "above a closed high": (lambda: check_real(11, "x", Bounds(high=10.0)),
                            (ValueError, "x must be a real number at most 10, got 11")),
    "at an open high": (lambda: check_real(10, "x", Bounds(high=10.0, high_open=True)),
                        (ValueError, "x must be a real number below 10, got 10")),
    "at an open low": (lambda: check_real(0, "x", Bounds(0.0, low_open=True)),
                       (ValueError, "x must be a real number above 0, got 0")),
    "a bool is no number": (lambda: check_real(True, "x"), (TypeError, "x must be a real number, got bool True")),
    "text is no number": (lambda: check_real("1", "x"), (TypeError, "x must be a real number, got str '1'")),
    "NaN": (lambda: check_real(float("nan"), "x", FRACTION),
            (ValueError, "x must be a finite real number in (0, 1], got nan")),
    "infinity refused": (lambda: check_real(np.inf, "x"), (ValueError, "x must be a finite real number, got inf")),
    "infinity allowed": (lambda: check_real(np.inf, "x", Bounds(0.0), infinite=True), np.inf),
    "NaN, a what without an article": (lambda: check_real(np.nan, "x", what="cash"),
                                       (ValueError, "x must be cash, got nan")),
    "NumPy numbers": (lambda: check_real(np.float32(0.5), "x", FRACTION), 0.5),
    "a fraction's default": (lambda: check_fraction(None, "x", default=0.25), 0.25),
    "a fraction typed as percent": (lambda: check_fraction(5, "x"),
                                    (ValueError, "x must be a fraction in (0, 1], got 5: 0.10 means 10 %")),
    "a small example": (lambda: check_fraction(2, "x", example=0.005),
                        (ValueError, "x must be a fraction in (0, 1], got 2: 0.005 means 0.5 %")),
    "an example of 1 %": (lambda: check_fraction(2, "x", example=0.01),
                          (ValueError, "x must be a fraction in (0, 1], got 2: 0.01 means 1 %")),
    "a whole number as float": (lambda: check_whole(2.0, "n"), (TypeError, "n must be a whole number, got float 2.0")),
    "a bool is no count": (lambda: check_whole(True, "n"), (TypeError, "n must be a whole number, got bool True")),
    "None where None means something": (lambda: check_whole(None, "n", none="for all"), None),
    "None where it means nothing": (lambda: check_whole(None, "n"),
                                    (TypeError, "n must be a whole number, got NoneType None")),
    "a NumPy count": (lambda: check_whole(np.int64(5), "n", Bounds(1)), 5),
    "an even count": (lambda: check_whole(2, "n", Bounds(2), even=True), 2),
    "an odd count": (lambda: check_whole(3, "n", Bounds(2), even=True),
                     (ValueError, "n must be an even whole number, at least 2, got 3")),
    "below a count's bound, every word": (
        lambda: check_whole(1, "w", Bounds(2), unit="bars", note="0 is off", none="for all"),
        (ValueError, "w must be a whole number of bars, at least 2, or None for all (0 is off), got 1")),
    "the largest int32": (lambda: check_whole(2**31 - 1, "n", int32=True), 2**31 - 1),
    "the smallest int32": (lambda: check_whole(-2**31, "n", int32=True), -2**31),
    "past int32": (lambda: check_whole(2**31, "n", int32=True),
                   (ValueError, "n must be a whole number that fits a 32-bit integer, got 2147483648")),
    "before int32": (lambda: check_whole(-2**31 - 1, "n", int32=True),
                     (ValueError, "n must be a whole number that fits a 32-bit integer, got -2147483649")),
    "flag 1": (lambda: check_flag(1, "f"), True),
    "flag 0": (lambda: check_flag(np.int8(0), "f"), False),
    "flag of NumPy": (lambda: check_flag(np.bool_(True), "f"), True),
    "flag 2": (lambda: check_flag(2, "f"), (TypeError, "f must be True or False, got 2")),
    "flag None meaning something": (lambda: check_flag(None, "f", none="(the default)"), None),
    "flag None meaning nothing": (lambda: check_flag(None, "f"), (TypeError, "f must be True or False, got None")),
    "flag with a note": (lambda: check_flag("y", "f", none="(auto)", note="(auto)"),
                         (TypeError, "f must be None, True or False (auto), got 'y'")),
    "one choice": (lambda: check_choice("b", "c", ("a",)), (ValueError, "c must be 'a', got 'b'")),
    "two choices": (lambda: check_choice(1, "c", ("a", "b")), (ValueError, "c must be 'a' or 'b', got 1")),
    "three choices": (lambda: check_choice("d", "c", ("a", "b", "c")),
                      (ValueError, "c must be 'a', 'b' or 'c', got 'd'")),
    "a choice": (lambda: check_choice("b", "c", ("a", "b")), "b"),
    "a path": (lambda: check_path(pathlib.Path("out"), "p", empty="pass '.'"), "out"),
    "a path in bytes": (lambda: check_path(b"out", "p", empty=""),
                        (TypeError, "p must be a path (str or os.PathLike), got bytes b'out'; decode it "
                                    "with os.fsdecode")),
    "a path of a number": (lambda: check_path(3, "p", empty=""),
                           (TypeError, "p must be a path (str or os.PathLike), got int 3")),
    "an empty path": (lambda: check_path("", "p", empty="pass '.'"),
                      (ValueError, "p must not be empty, got ''; pass '.'")),
    "a NUL in a path": (lambda: check_path("a\0", "p", empty=""),
                        (ValueError, "p must not contain a NUL byte, got 'a\\x00'")),
    "text with newlines and tabs": (lambda: check_text("a\n\tb", "t"), "a\n\tb"),
    "a bell in a text": (lambda: check_text("ab\x07", "t"),
                         (ValueError, "t must be printable text, got '\\x07' at position 2, which no "
                                      "font draws")),
    "a private code point": (lambda: check_text("\ue000", "t"),
                             (ValueError, "t must be printable text, got '\\ue000' at position 0, which "
                                          "no font draws")),
    "a lone surrogate": (lambda: check_text("a\ud800", "t"),
                         (ValueError, "t must be text that UTF-8 can encode, got a lone surrogate "
                                      "'\\ud800' at position 1 (half of a character split apart, or "
                                      "bytes decoded with errors='surrogateescape'); decode the text "
                                      "properly")),
    "no text, optional": (lambda: check_text(None, "t", optional=True), None),
    "no text": (lambda: check_text(None, "t"), (TypeError, "t must be a str, got NoneType None")),
    "a number for optional text": (lambda: check_text(3, "t", optional=True),
                                   (TypeError, "t must be a str or None, got int 3")),
}


@pytest.mark.parametrize("call, expected", CHECKED.values(), ids=CHECKED.keys())
def test_scalar_checks_hold_their_bounds_and_grammar(call, expected):
    if isinstance(expected, tuple):
        error, message = expected
        with pytest.raises(error) as caught:
            call()
        assert str(caught.value) == message
    else:
        got = call()
        assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("value, text", [
    (10**30, "1" + "0" * 30), (10**30 + 1, "an integer of 31 digits"), (-10**31, "an integer of 32 digits"),
    (True, "True"), ("x" * 78, "'" + "x" * 78 + "'"), ("x" * 79, "'" + "x" * 76 + "..."),
    ([1], "list [1]"), (None, "None"),
], ids=["10**30", "past 10**30", "negative", "bool", "80 characters", "81 characters", "a list", "None"])
def test_values_are_shown_short(value, text):
    assert shown(value) == text


@pytest.mark.parametrize("bounds, text", [
    (FRACTION, "(0, 1]"), (Bounds(0.0, 1.0, high_open=True), "[0, 1)"), (Bounds(1), "at least 1"),
    (Bounds(0.0, low_open=True), "above 0"), (Bounds(high=10.0), "at most 10"),
    (Bounds(high=10.0, high_open=True), "below 10"), (Bounds(), "any value"),
])
def test_bounds_read_as_their_interval(bounds, text):
    assert str(bounds) == text
    assert bounds.words() == (f"in {text}" if "," in text else text)


# Prices where the weights go: a mapping of fields or the demo's market; weights prepared as prices.
SWAP_WEIGHTS = pd.DataFrame({"A": [0.5, -0.5, 0.0], "B": [0.5, 0.5, 1.0]}, index=D[:3])


@pytest.mark.parametrize("call, message", [
    (lambda: orvane.backtest({"close": P(), "open": P()}, SWAP_WEIGHTS), r"^prices and weights look swapped"),
    (lambda: orvane.backtest(orvane.datasets.synthetic_market(stocks=3, years=1), SWAP_WEIGHTS),
     r"^prices and weights look swapped"),
    (lambda: orvane.prepare_prices(SWAP_WEIGHTS), r"^prices must be positive and finite"),
], ids=["mapping", "demo market", "prepared"])
def test_swapped_inputs_are_diagnosed_by_a_public_error(call, message):
    with pytest.raises(ValueError, match=message) as caught:
        call()
    assert type(caught.value) is ValueError
