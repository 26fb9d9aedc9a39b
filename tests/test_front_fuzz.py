"""Generated inputs to ``orvane.backtest``: every one either runs or is refused by the front
itself (its own ValueError or TypeError, raised in orvane's own code), and nothing but the
front's own UserWarnings reaches the caller."""

import os
import pathlib
import traceback
import warnings

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import orvane

FRONT = pathlib.Path(orvane.__file__).parent
CORE = FRONT / "core"
EXAMPLES = int(os.environ.get("ORVANE_FRONT_FUZZ_EXAMPLES", "300"))
DAYS = pd.bdate_range("2021-01-01", periods=6)
try:
    # Past the engine's clock; pandas before 2.0 cannot even hold it.
    FAR = [pd.to_datetime(["2021-01-01", "2300-01-01", "2021-01-03", "2021-01-04", "2021-01-05",
                           "2021-01-06"])]
except (ValueError, OverflowError):
    FAR = []

LABELS = st.sampled_from(["A", "B", "C", "a", "", None, np.nan, pd.NA, 7, 2.5, ("x", 1), "A"])
INDEXES = st.sampled_from([
    DAYS, DAYS.tz_localize("UTC"), DAYS + pd.Timedelta(hours=16), DAYS[::-1],
    pd.DatetimeIndex([DAYS[0]] * 6), pd.RangeIndex(6), pd.Index([str(d.date()) for d in DAYS]),
    pd.Index(["x"] * 6), pd.period_range("2021-01", periods=6, freq="M"),
    pd.Index([20210101 + k for k in range(6)]),
    pd.DatetimeIndex(["2021-01-01", pd.NaT, "2021-01-03", "2021-01-04", "2021-01-05", "2021-01-06"]),
] + FAR)
DTYPES = st.sampled_from(["float64", "float32", "int64", "int8", "uint8", "bool", "object",
                          "complex128", "string", "Float64", "Int64", "category",
                          "datetime64[ns]", "timedelta64[ns]", "float16"])
VALUES = st.sampled_from([1.0, 10.0, 0.0, -1.0, np.nan, np.inf, 1e160, 5e-324, 0.5, -0.5, 100.0])
CLEAN_PRICES = st.sampled_from([1.0, 10.0, 12.0, 30.0, 1e160, 5e-324, np.nan])
CLEAN_WEIGHTS = st.sampled_from([0.0, 0.5, -0.5, 0.25, 1.0, -1.0, 2.0, np.nan])
OPTION_VALUES = {
    "stop_loss": st.sampled_from([None, 0.1, 1.0, 0.0, -0.1, 10, np.nan, "0.1", True]),
    "take_profit": st.sampled_from([None, 0.3, 5, 11, 0, np.inf]),
    "trailing_stop": st.sampled_from([None, 0.05, 2.0, -1]),
    "trailing_activation": st.sampled_from([0.0, 0.5, 1.5, None, -0.1]),
    "position_limit": st.sampled_from([1.0, 0.2, 0.0, None, 1.5]),
    "fee": st.sampled_from([0.0, 0.001, 0.5, 1.0, -0.1, None]),
    "window": st.sampled_from([0, 3, 10**7, 2**31 - 1, -1, 2**40, 2.5]),
    "window_step": st.sampled_from([1, 2, 0, 10**9]),
    "rebalance": st.sampled_from([None, "M", "W", "fortnightly", [], [1, 2], [DAYS[2]],
                                  pd.offsets.MonthEnd(), ["2021-01-04", None], 3]),
    "delistings": st.sampled_from([None, "infer", "all", {"A": DAYS[3]}, {"A": 5},
                                   {"A": "9999-12-31"}, {"Z": DAYS[2]}, {None: DAYS[1]}]),
    "trade_at": st.sampled_from(["close", "open", "mid", None]),
    "intrabar_exits": st.sampled_from([False, True, 2, "yes"]),
    "benchmark": st.sampled_from([None, "A", "Z", "", pd.Series(0.01, index=DAYS),
                                  pd.Series([np.nan, 1, 2, np.nan, 3, 4], index=DAYS),
                                  pd.Series(0.5, index=DAYS), pd.Series(1.0, index=DAYS[:1]),
                                  {"prices": pd.Series(0.5, index=DAYS)}, {"returns": 5}]),
}


@st.composite
def frames(draw, kind):
    # Half the frames are clean but for their values, so that runs get far enough to
    # reach the statistics and the orders; the rest draw hostile labels, indexes and dtypes.
    hostile = draw(st.booleans())
    if hostile:
        columns = [draw(LABELS) for _ in range(draw(st.integers(0, 3)))]
        index = draw(INDEXES)
    else:
        columns = draw(st.lists(st.sampled_from(["A", "B", "C"]), min_size=1, max_size=3,
                                unique=True))
        index = DAYS if kind == "prices" else DAYS[draw(st.lists(st.integers(0, 5), min_size=1,
                                                                     max_size=4, unique=True).map(sorted))]
    n_cols = len(columns)
    pool = VALUES if hostile else (CLEAN_PRICES if kind == "prices" else CLEAN_WEIGHTS)
    values = np.array([[draw(pool) for _ in columns] for _ in range(len(index))], dtype=float)
    frame = pd.DataFrame(values.reshape(len(index), n_cols), index=index)
    frame.columns = pd.Index(columns, dtype=object) if columns else pd.RangeIndex(0)
    if hostile and columns and draw(st.booleans()):
        dtype = draw(DTYPES)
        try:
            with warnings.catch_warnings():
                # Casting the generated values (NaN and inf to integers) is the point here.
                warnings.simplefilter("ignore", RuntimeWarning)
                frame = frame.astype(dtype)
        except (TypeError, ValueError, OverflowError):
            pass
    layout = draw(st.sampled_from(["wide", "long", "mapping", "fields", "weird"]
                                  if hostile else ["wide", "wide", "long", "mapping", "fields"]))
    if layout == "long" and columns:
        name = "weight" if kind == "weights" else "close"
        frame = pd.DataFrame({
            "date": np.repeat(np.asarray(index, dtype=object), n_cols),
            "ticker": columns * len(index),
            name: frame.to_numpy().ravel(),
        })
        if draw(st.booleans()):
            frame = frame.set_index(["date", "ticker"])
    elif layout == "mapping" and kind == "prices":
        frame = {draw(st.sampled_from(["close", "Close", "open", "high", "low", "adj close"])): frame
                 for _ in range(draw(st.integers(1, 3)))}
    elif layout == "fields" and kind == "prices" and columns:
        frame = pd.concat({"close": frame, "open": frame}, axis=1)
        if draw(st.booleans()):
            frame = frame.loc[:, ["close"]]
    elif layout == "weird":
        frame = draw(st.sampled_from([None, 3, "prices.csv", [1, 2], frame.to_numpy()]))
    return frame


def _ours(exc):
    """Raised by the front's own code: the innermost frame is an orvane Python module."""
    where = pathlib.Path(traceback.extract_tb(exc.__traceback__)[-1].filename)
    return FRONT in where.parents and CORE not in where.parents


@settings(max_examples=EXAMPLES, deadline=None, derandomize=os.environ.get("CI") == "true",
          suppress_health_check=list(HealthCheck))
@given(prices=frames("prices"), weights=frames("weights"),
       options=st.fixed_dictionaries({}, optional=OPTION_VALUES))
def test_generated_inputs_run_or_are_refused_by_the_front(prices, weights, options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = orvane.backtest(weights, prices, **options)
            result.stats()
            result.orders(1e6)
            event("ran")
        except (ValueError, TypeError, MemoryError) as exc:
            event(type(exc).__name__)
            assert _ours(exc), "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
            assert str(exc)
    foreign = [f"{w.category.__name__}: {w.message} ({w.filename}:{w.lineno})"
               for w in caught if w.category is not UserWarning]
    assert not foreign, foreign
