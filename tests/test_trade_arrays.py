"""tradeloom.get_trade_arrays: the record lists of tidemark read into arrays in one native
pass, equal to the lists, which stay as they are; lists no run wrote are refused."""
import numpy as np
import pytest

from orvane.core import tidemark as tm
from orvane.core import tradeloom as tl

from conftest import run_layout
from test_ledger import random_market


@pytest.mark.parametrize("window", [0, 7])
@pytest.mark.parametrize("seed", [0, 1])
def test_trade_arrays_copy_the_lists(seed, window):
    layout = random_market(seed, resize=True, delist=True)
    run_layout(layout, stop_loss=0.08, tidemark_window=window, tidemark_window_step=3)
    before = (list(map(list, tm.trades)), list(tm.trade_positions), [r.copy() for r in tm.tidemark])
    trades, positions, records = tl.get_trade_arrays()
    assert trades.dtype == np.int64 and positions.dtype == np.float64 and records.dtype == np.float64
    assert trades.tolist() == [[int(x) for x in t] for t in before[0]]
    assert positions.tobytes() == np.asarray(before[1], dtype=np.float64).tobytes()
    assert records.tobytes() == np.stack(before[2]).tobytes()
    assert records.shape[1] == 6 * (1 + (window > 0) * ((window - 1) // 3 + 1))
    # The lists are left as they were.
    assert [list(t) for t in tm.trades] == before[0] and len(tm.tidemark) == len(before[2])


def test_trade_arrays_of_a_run_without_trades():
    layout = random_market(0, resize=False, delist=False)
    layout.pos_values = np.zeros_like(layout.pos_values)
    run_layout(layout)
    trades, positions, records = tl.get_trade_arrays()
    assert trades.shape == (0, 3) and positions.shape == (0,) and records.shape == (0, 0)


class Clearing:
    """An entry whose conversion empties the list it sits in."""

    def __index__(self):
        del tm.trades[:]
        return 0


@pytest.mark.parametrize("spoil, exc, message", [
    (lambda: tm.trades.append("x"), ValueError, "one entry per trade"),
    (lambda: tm.trades.__setitem__(0, (1, 2, 3)), TypeError, r"trades\[0\] must be a list"),
    (lambda: tm.trades[0].__setitem__(1, "x"), TypeError, "integer"),
    (lambda: tm.tidemark.__setitem__(1, np.zeros(6, dtype=np.float32)), ValueError,
     r"tidemark\[1\] must be a 1-D float64 array of length 6"),
    (lambda: tm.trade_positions.__setitem__(2, "x"), TypeError, "real number"),
    (lambda: tm.trades[1].__setitem__(2, Clearing()), RuntimeError, "changed while"),
    (lambda: setattr(tm, "trades", tuple(tm.trades)), TypeError, "tidemark.trades must be a list"),
])
def test_trade_arrays_refuse_lists_that_no_run_wrote(spoil, exc, message):
    layout = random_market(2, resize=False, delist=False)
    run_layout(layout, stop_loss=0.08)
    lists = tm.trades
    try:
        spoil()
        with pytest.raises(exc, match=message):
            tl.get_trade_arrays()
    finally:
        tm.trades = lists
    run_layout(layout, stop_loss=0.08)  # the next run writes whole lists again
    assert len(tl.get_trade_arrays()[0]) == len(tm.trades) > 0


@pytest.fixture
def array_mode():
    was = tl.record_arrays(True)
    yield
    tl.record_arrays(was)


def list_run(layout, **options):
    """Equity and the arrays of a run in list mode, copied."""
    was = tl.record_arrays(False)
    try:
        equity = run_layout(layout, **options)
    finally:
        tl.record_arrays(was)
    return equity, [a.copy() for a in tl.get_trade_arrays()]


@pytest.mark.parametrize("options", [
    dict(stop_loss=0.08, tidemark_window=7, tidemark_window_step=3),
    dict(stop_loss=0.05, take_profit=0.1, trail_stop=0.04, tidemark_window=20, tidemark_window_step=5,
         touched_exit=True),
    dict(periodically_rebalance=True, retain_cost_when_rebalance=True, tidemark_window=0,
         tidemark_window_step=1),
])
@pytest.mark.parametrize("seed", [0, 3])
def test_array_mode_keeps_the_same_records_without_the_lists(array_mode, seed, options):
    layout = random_market(seed, resize=True, delist=True)
    equity, expected = list_run(layout, **options)
    # More trades than the walks that wait at once: the records keep their order.
    assert len(expected[0]) > 40
    assert run_layout(layout, **options).tobytes() == equity.tobytes()
    got = tl.get_trade_arrays()
    for a, b in zip(got, expected):
        assert a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
        assert not a.flags.writeable
    # The documented lists are left empty, and a second read gives the same records.
    assert tm.trades == [] and tm.trade_positions == [] and tm.tidemark == []
    assert all(np.shares_memory(a, b) for a, b in zip(got, tl.get_trade_arrays()))


def test_array_mode_records_outlive_later_runs_and_reads_during_a_run(array_mode):
    layout = random_market(1, resize=True, delist=True)
    seen = []

    class Reader:
        # Read at each truth test of the flag, while the run goes on appending.
        def __bool__(self):
            arrays = tl.get_trade_arrays()
            seen.append((arrays, [a.copy() for a in arrays]))
            return False

    run_layout(layout, stop_loss=0.03, stop_trading_next_period=Reader(), tidemark_window=9,
               tidemark_window_step=2)
    final = [a.copy() for a in tl.get_trade_arrays()]
    _, expected = list_run(layout, stop_loss=0.03, stop_trading_next_period=False, tidemark_window=9,
                           tidemark_window_step=2)
    run_layout(layout, stop_loss=0.2)  # another run in array mode, then the lists again
    list_run(layout)
    assert len(seen) > 3 and len({len(arrays[0]) for arrays, _ in seen}) > 1
    for arrays, copies in seen:
        assert all(a.tobytes() == c.tobytes() for a, c in zip(arrays, copies))
    assert all(a.tobytes() == b.tobytes() for a, b in zip(final, expected))


@pytest.mark.parametrize("arrays, message", [(False, "one entry per trade"),
                                             (True, "incomplete.*failed before it finished")])
def test_a_run_that_failed_inside_a_record_is_refused_in_both_modes(arrays, message):
    # A zero window step fails the first excursion record after its trade was written.
    layout = random_market(0, resize=False, delist=False)
    was = tl.record_arrays(arrays)
    try:
        with pytest.raises(ZeroDivisionError):
            run_layout(layout, stop_loss=0.08, tidemark_window=5, tidemark_window_step=0)
        with pytest.raises(ValueError, match=message):
            tl.get_trade_arrays()
    finally:
        tl.record_arrays(was)


@pytest.mark.parametrize("bar", [100, 150, 250])
def test_a_zero_close_fails_the_run_in_array_mode_as_in_list_mode(array_mode, bar):
    """A trade's walk that divides by a zero close may wait behind later exits: the run
    still fails with the same error, its records are refused, and the next run is
    untouched by what waited."""
    layout = random_market(2, resize=True, delist=False)
    layout.close_values = layout.close_values.copy()
    layout.close_values[bar] = 0.0
    tl.record_arrays(False)
    with pytest.raises(ZeroDivisionError, match="float division") as listed:
        run_layout(layout, stop_loss=0.1, tidemark_window=30, tidemark_window_step=4)
    tl.record_arrays(True)
    with pytest.raises(ZeroDivisionError, match="float division") as arrayed:
        run_layout(layout, stop_loss=0.1, tidemark_window=30, tidemark_window_step=4)
    assert str(arrayed.value) == str(listed.value)
    with pytest.raises(ValueError, match="incomplete"):
        tl.get_trade_arrays()
    clean = random_market(2, resize=True, delist=False)
    equity, expected = list_run(clean, stop_loss=0.1)
    assert run_layout(clean, stop_loss=0.1).tobytes() == equity.tobytes()
    assert all(a.tobytes() == b.tobytes() for a, b in zip(tl.get_trade_arrays(), expected))


def test_the_array_switch_reads_truth_and_returns_the_last_setting():
    was = tl.record_arrays([1])
    try:
        assert tl.record_arrays(on=0) is True and tl.record_arrays(False) is False
        with pytest.raises(TypeError):
            tl.record_arrays()
    finally:
        tl.record_arrays(was)


def test_the_front_runs_in_array_mode_and_leaves_the_switch_as_it_was():
    import pandas as pd

    import orvane
    days = pd.bdate_range("2024-01-01", periods=6)
    close = pd.DataFrame({"A": [10.0, 11, 12, 11, 10, 12], "B": 20.0}, index=days)
    result = orvane.backtest(pd.DataFrame({"A": [0.5], "B": [-0.5]}, index=days[:1]), close)
    assert len(result.trades) == 2 and tm.trades == []
    assert tl.record_arrays(False) is False
