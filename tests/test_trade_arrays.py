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
