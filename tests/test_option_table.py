"""Checks generated from the option table: every option of ``backtest`` refuses a value
outside its range and a value of the wrong type, naming itself, and takes the edges its
range includes.  A new option is checked without a line here, or fails to collect until
the table below says what is invalid for it."""

import inspect
import math
import re
import warnings

import pandas as pd
import pytest

import orvane
from orvane import _params, datasets, inputs

MARKET = datasets.synthetic_market(stocks=8, years=1, seed=1)
WEIGHTS = datasets.momentum(MARKET, lookback=21, top=2, bottom=2)
TICKER = str(MARKET["close"].columns[0])

# Options whose invalid values nothing in their row tells: (out of range, wrong type).
OTHERS = {
    "rebalance": ("fortnightly", 21),                     # no such frequency; bars, not dates
    "delistings": ("always", [TICKER]),                   # not "infer"; a list, not a mapping
    "benchmark": ("NOT_A_TICKER", 5),
    "dividends": (pd.DataFrame({TICKER: [-0.5]}, index=MARKET["close"].index[40:41]), 0.5),
    "spread": ("EDGE", [0.001]),                          # the estimator's name is lower case
}

# Options tried along with another, so that the value itself is what is refused (any lot
# but 1 is refused without capital).
WITH = {"lot": {"capital": 100_000.0}, "impact": {"capital": 1e6},
        "max_participation": {"capital": 1e6},
        "cap_exits": {"capital": 1e6, "max_participation": 0.1}}


def beyond(bounds):
    """The values just outside ``bounds``: an open end itself, the next float past a
    closed one."""
    out = []
    if bounds.low is not None:
        out.append(bounds.low if bounds.low_open else math.nextafter(bounds.low, -math.inf))
    if bounds.high is not None:
        out.append(bounds.high if bounds.high_open else math.nextafter(bounds.high, math.inf))
    return out


def within(bounds):
    """The values just inside ``bounds``: a closed end itself, the next float inside an
    open one."""
    return [end if not open_ else math.nextafter(end, toward)
            for end, open_, toward in ((bounds.low, bounds.low_open, math.inf),
                                       (bounds.high, bounds.high_open, -math.inf))
            if end is not None]


def out_of_range(option):
    if option.bounds is not None:
        return beyond(option.bounds)
    if option.choices:
        return [option.choices[0].upper()]                # a near miss: case matters
    if option.cli is bool:
        return [2]                                        # a switch is 0 or 1
    if option.cli is int:
        return [-1]                                       # no count here is negative
    if option.cli is float:
        return [-1.0]                                     # no rate, cost or amount is -100 %
    return [OTHERS[option.name][0]]


def wrong_type(option):
    values = [object()]
    if option.choices:
        values.append(1)
    elif option.bounds is not None or option.cli in (bool, int, float):
        # A valid value as text, as a config file reads it.
        values.append(str(option.default if option.default is not None else option.example))
    else:
        values.append(OTHERS[option.name][1])
    return values


def cases(make):
    def shown(value):
        return repr(value) if isinstance(value, (str, int, float)) else type(value).__name__
    return [pytest.param(o.name, value, id=f"{o.name}={shown(value)}")
            for o in _params.OPTIONS for value in make(o)]


def refused(name, value):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        with pytest.raises((TypeError, ValueError)) as raised:
            orvane.backtest(WEIGHTS, MARKET, **WITH.get(name, {}), **{name: value})
    assert re.search(rf"\b{name}\b", str(raised.value)), str(raised.value)


@pytest.mark.parametrize("name, value", cases(out_of_range))
def test_a_value_out_of_range_is_refused_by_name(name, value):
    refused(name, value)


@pytest.mark.parametrize("name, value", cases(wrong_type))
def test_a_value_of_the_wrong_type_is_refused_by_name(name, value):
    refused(name, value)


@pytest.mark.parametrize("name, value", cases(lambda o: within(o.bounds) if o.bounds else []))
def test_the_edges_a_range_includes_run(name, value):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = orvane.backtest(WEIGHTS, MARKET, **WITH.get(name, {}), **{name: value})
    assert result.settings[name] == value


def test_the_options_that_shape_the_inputs_are_the_keywords_of_prepare():
    keywords = [p.name for p in inspect.signature(inputs.prepare).parameters.values()
                if p.kind is inspect.Parameter.KEYWORD_ONLY]
    # ``fields``: the price fields a run's execution reads, derived from its options.
    assert sorted(_params.PREPARE) == sorted(k for k in keywords if k != "fields")
