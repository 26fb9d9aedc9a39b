"""Callbacks that drop, replace or mutate the objects the engine is working on:
every object in use must survive the Python code that a call runs, and the run
either finishes with the results of a plain run or fails with a Python error."""
import gc
import weakref

import numpy as np
import pytest

from orvane.core import tidemark as tm
from orvane.core import tradeloom as tl

from conftest import Number
from test_engine_reference import DAY, T0, assert_same, engine_run, market, reference_run


def pending_exit_market(**kw):
    # sid 1 closes below its stop on the last row, whose date is also the last
    # weight row's: the end of run then asks next_weights about sid 1
    return market([[10.0, 10.0]] * 4, close=[[10.0, 10.0]] * 3 + [[10.0, 8.0]],
                  pos_values=[[0.0, 1.0], [0.0, 1.0]], pos_index=[T0, T0 + 3 * DAY],
                  resample=[T0], stop_loss=0.1, stop_trading_next_period=False, **kw)


def the_record(m):
    # get_trade_stocks hands out the module's record itself
    return tl.get_trade_stocks(m["pos_columns"], m["price_index"], False)[1]


def test_next_weights_dropped_by_its_own_membership_test(monkeypatch):
    m = pending_exit_market()
    real = tl.normalize_weight
    seen = []

    class DropOnContains(dict):
        def __contains__(self, key):
            the_record(m)["next_weights"] = None  # the record held the only reference
            return dict.__contains__(self, key)

        def __getitem__(self, key):
            seen.append(key)
            return dict.__getitem__(self, key)

    calls = []

    def normalize(weights, limit):
        calls.append(limit)
        out = real(weights, limit)
        return DropOnContains(out) if len(calls) == 2 else out

    monkeypatch.setattr(tl, "normalize_weight", normalize)
    creturn = engine_run(m)["creturn"]
    ops = tl.get_stock_operations()
    assert seen == [1] and len(calls) == 2
    assert ops["actions"] == {1: "sl_enter"} and ops["next_weights"] is None
    monkeypatch.undo()
    assert np.array_equal(creturn, engine_run(pending_exit_market())["creturn"])


def test_replaced_normalize_weight_that_rebinds_itself_and_the_record(monkeypatch):
    m = pending_exit_market()
    want = reference_run(m)
    real = tl.normalize_weight
    gone = []

    def install():
        def once(weights, limit):
            # drops the module's reference to this very function and the
            # record's reference to the table it was handed
            tl.normalize_weight = real
            the_record(m)["weights"] = None
            return real(weights, limit)

        gone.append(weakref.ref(once))
        return once

    monkeypatch.setattr(tl, "normalize_weight", install())
    got = engine_run(m)
    assert gone[0]() is None
    assert_same(got, want)


class SelfRebinding:
    """A module flag whose truth test rebinds the attribute, dropping itself."""

    def __init__(self, name, value):
        self.name, self.value = name, value

    def __bool__(self):
        setattr(tl, self.name, self.value)
        return self.value


@pytest.mark.parametrize("name, value", [("RESAMPLE", True), ("RESAMPLE", False),
                                         ("RETAIN_COST_WHEN_REBALANCE", False)])
def test_module_flag_dropped_by_its_own_truth_test(name, value):
    # weights that keep a holding across rebalances, so set_position reads both flags
    m = market([[10.0, 20.0]] * 3 + [[11.0, 19.0]] * 3,
               pos_values=[[0.5, 0.5], [0.25, 0.75], [0.5, 0.5]], pos_index=[T0, T0 + 2 * DAY, T0 + 4 * DAY],
               periodically_rebalance=value if name == "RESAMPLE" else True)
    plain = engine_run(m)

    class Flag:
        # installed by the first truth test of stop_trading_next_period, after
        # the run has published its own settings
        def __bool__(self):
            setattr(tl, name, SelfRebinding(name, value))
            return True

    m["stop_trading_next_period"] = Flag()
    assert_same(engine_run(m), plain)


def test_trade_record_dropped_by_its_own_comparison():
    m = pending_exit_market()
    engine_run(m)
    trades, sizes = list(tm.trades), list(tm.trade_positions)

    class ExitRow(int):
        # compared with -1 for the open-trade test: empties the analytics lists,
        # dropping the record that holds this very object
        def __eq__(self, other):
            tm.trades.clear()
            return int.__eq__(self, other)

        __hash__ = int.__hash__

    sid, entry, exit_row = trades[0]
    tm.trades[0] = [sid, entry, ExitRow(exit_row)]
    try:
        rows, _ = tl.get_trade_stocks(m["pos_columns"], m["price_index"], False)
    finally:
        tm.trades[:] = trades
    assert len(rows) == 1 and rows[0][7:] == [entry, exit_row] and rows[0][5] == sizes[0]


def test_column_lookup_that_empties_the_position_list():
    m = pending_exit_market()
    engine_run(m)
    sizes = list(tm.trade_positions)

    class Columns(np.ndarray):
        def __getitem__(self, key):
            tm.trade_positions.clear()
            return np.ndarray.__getitem__(self, key)

    try:
        with pytest.raises(IndexError):
            tl.get_trade_stocks(m["pos_columns"].view(Columns), m["price_index"], False)
    finally:
        tm.trade_positions[:] = sizes


def test_labels_replaced_by_their_own_encode():
    m = market([[10.0, 20.0]] * 4, pos_values=[[0.5, 0.5]])
    plain = engine_run(m)
    price_columns, pos_columns = m["price_columns"], m["pos_columns"]

    class Label(str):
        def encode(self, *args):
            # the arrays held the only references to these labels
            for cols in (price_columns, pos_columns):
                for i, x in enumerate(cols):
                    if x is self:
                        cols[i] = str(self)
            return str.encode(self, *args)

    for cols in (price_columns, pos_columns):
        cols[:] = [Label(x) for x in cols]
    assert_same(engine_run(m), plain)
    assert all(type(x) is str for x in list(price_columns) + list(pos_columns))


def test_number_conversions_that_drop_the_callers_arguments():
    m = market([[10.0, 20.0]] * 4, pos_values=[[0.5, -0.5]], tidemark_window=2)
    plain = engine_run(m)
    args = dict(m)
    for key in ("fee_ratio", "position_limit", "tidemark_window", "tidemark_window_step"):
        args[key] = Number(m[key], args.clear)
    assert_same(engine_run(args), plain)
    assert args == {}


class Key:
    """A weights key whose equality test, once armed, empties the mapping under lookup."""
    armed = False

    def __init__(self, mapping):
        self.mapping = mapping

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if Key.armed:
            self.mapping.clear()
        return self is other


def test_normalize_weight_mapping_emptied_by_key_comparison(monkeypatch):
    weights = {}
    weights[Key(weights)] = 0.75
    weights[Key(weights)] = 0.75  # same hash: its lookups compare with the first key
    monkeypatch.setattr(Key, "armed", True)
    with pytest.raises((RuntimeError, KeyError)):
        tl.normalize_weight(weights, 1.0)
    assert weights == {}


def test_normalize_weight_weight_comparison_that_mutates_the_mapping():
    weights = {}

    class Weight(float):
        def __gt__(self, other):
            weights.clear()
            return float.__gt__(self, other)

    weights.update({0: Weight(0.5), 1: Weight(0.5)})
    with pytest.raises(RuntimeError, match="changed size"):
        tl.normalize_weight(weights, 0.4)


def test_collector_callbacks_during_a_run():
    m = market([[10.0, 20.0, 30.0]] * 3 + [[9.0, 22.0, 27.0]] * 3, pos_values=[[0.3, -0.3, 0.3]],
               stop_loss=0.05, tidemark_window=3)
    want = engine_run(m)
    seen = []

    def callback(phase, info):
        # reads every result the engine hands out and makes garbage of its own
        tl.get_stock_operations()
        tl.get_trade_stocks(m["pos_columns"], m["price_index"], False)
        tl.normalize_weight({0: 2.0, 1: -1.0}, 0.5)
        cycle = []
        cycle.append(cycle)
        seen.append(phase)

    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1, 1, 1)
    try:
        got = engine_run(m)
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)
    assert seen
    assert_same(got, want)
