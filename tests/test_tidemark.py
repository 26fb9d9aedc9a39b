import math
import subprocess
import sys

import numpy as np
import pytest
from conftest import mat, tb_names
from hypothesis import given, settings
from hypothesis import strategies as st

import orvane.core.tidemark as tm

NAN = math.nan
BOUNDS = "Out of bounds on buffer access (axis 0)"


# ---- reference model, written from the behaviour description ------------------

def excursion(price, close, pos2price, sid, i_entry, i_exit, is_long, etx, xtx, fee, tax, window, step):
    """Excursion record of one trade; also returns the per-row returns of the walk."""
    pid = pos2price.setdefault(sid, 0)
    i_max = i_exit
    if i_entry + window > i_max:
        i_max = i_entry + window
    if i_max >= price.shape[0]:
        i_max = price.shape[0] - 1
    if i_max - i_entry + 1 < 0:
        raise OverflowError("can't convert negative value to size_t")
    ep, ec = float(price[i_entry][pid]), float(close[i_entry][pid])
    if ep == 0:
        raise ZeroDivisionError("float division")
    v = ec / ep if is_long else 2 - ec / ep
    if etx != 0:
        v = (1 - fee) * v
    R, CX, CN, CI = [v], [1.0 if 1 > v else v], [1.0 if v > 1 else v], [0]
    MD, PP = [v - 1 if v - 1 < 0 else 0.0], [1.0 if v > 1 else 0.0]
    pv = float(close[i_entry][pid])
    for i, row in enumerate(range(i_entry + 1, i_max + 1)):
        p = float(close[row][pid])
        if p == p:
            if pv == 0:
                raise ZeroDivisionError("float division")
            r = p / pv
            if r == r:
                v = r * v if is_long else 2 - r * (2 - v)
            pv = p
        cmax = v if v > CX[i] else CX[i]
        CX.append(cmax)
        CN.append(v if CN[i] > v else CN[i])
        CI.append(i if CN[i] > v else CI[i])
        if cmax == 0:
            raise ZeroDivisionError("float division")
        newmdd = v / cmax - 1
        MD.append(newmdd if MD[i] > newmdd else MD[i])
        PP.append(PP[i] + 1 if (p == p and v > 1) else PP[i])
        R.append(v)
    n = len(R)
    if xtx != 0:
        if i_entry != i_max:
            lp, lc = float(price[i_max][pid]), float(close[i_max][pid])
            if lc == 0:
                raise ZeroDivisionError("float division")
            x = R[-1]
            R[-1] = (lp / lc) * x if is_long else 2 - ((2 - x) * lp) / lc
        R[-1] = ((1 - fee) - tax) * R[-1]
    if step == 0:
        raise ZeroDivisionError("integer division or modulo by zero")
    arsize = 6 * ((window - 1) // step) + 12
    ret = np.empty(arsize)
    ret.fill(-1)

    def block(k):
        return [CN[k] - 1, CX[k] - 1, CX[CI[k]] - 1, MD[k], PP[k], R[k] - 1]

    k = 0
    for w in range(0, n if window < 0 else min(n, window), step):  # unsigned min
        if k >= arsize:
            raise IndexError(BOUNDS)
        ret[k:k + 6] = block(w)
        k += 6
    e = n - 1 if i_exit - i_entry < 0 else min(n - 1, i_exit - i_entry)
    for s, x in enumerate(block(e)):
        ret[len(ret) - 6 + s] = x
    return ret, R


class Model:
    """The analysis run: per-sid slots, clock and the three result lists."""

    def __init__(self, price, close, pos2price, nstocks, fee, tax, window, step, date=0):
        self.args = (price, close, dict(pos2price))
        self.fee, self.tax, self.window, self.step, self.date = fee, tax, window, step, date
        self.entry = np.zeros(nstocks, dtype=int)
        self.position = np.zeros(nstocks, dtype=float)
        self.etx = np.zeros(nstocks, dtype=int)
        self.trades, self.positions, self.marks = [], [], []

    def record_date(self, d):
        self.date = d

    def record_entry(self, sid, size, flag):
        self.entry[sid] = self.date
        self.position[sid] = size
        self.etx[sid] = flag

    def _close(self, sid, exit_row, flag):
        self.trades.append([sid, self.entry[sid], exit_row])
        self.positions.append(self.position[sid])
        self.marks.append(excursion(*self.args, sid, int(self.entry[sid]), self.date, self.position[sid] > 0,
                                    int(self.etx[sid]), flag, self.fee, self.tax, self.window, self.step)[0])

    def record_exit(self, sid, flag):
        self._close(sid, self.date, flag)

    def end_analysis(self, book):
        for sid in sorted(book):
            if book[sid] != 0.0:
                self._close(sid, -1, 0)


def bits(a):
    return np.asarray(a, dtype=np.float64).tobytes()


def assert_lists_match(model):
    assert len(tm.trades) == len(model.trades)
    for got, want in zip(tm.trades, model.trades):
        assert [type(x) for x in got] == [int, np.int64, int]
        assert got == want
    assert all(type(x) is np.float64 for x in tm.trade_positions)
    assert bits(tm.trade_positions) == bits(model.positions)
    assert [bits(x) for x in tm.tidemark] == [bits(x) for x in model.marks]
    assert all(type(x) is np.ndarray and x.dtype == np.float64 and x.ndim == 1 for x in tm.tidemark)


def outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as exc:  # noqa: BLE001 - compared against the model's outcome
        return type(exc), str(exc)


def replay(probe, setup, ops, date0=0):
    """Makes the same calls on the probe and on the model; every outcome and the lists must agree."""
    probe.record_date(date0)  # the clock survives a new start
    probe.start_analysis(*setup)
    model = Model(*setup, date=date0)
    for name, *args in ops:
        assert outcome(getattr(probe, name), *args) == outcome(getattr(model, name), *args), (name, args)
    assert_lists_match(model)


def one_trade(probe, price, close, *, window=0, step=1, entry=0, exit=0, size=1.0, etx=0, xtx=0,
              fee=0.001, tax=0.003, p2p=None, sid=0):
    setup = (mat(price), mat(close), {0: 0} if p2p is None else p2p, 1, fee, tax, window, step)
    replay(probe, setup, [("record_entry", sid, size, etx), ("record_date", exit), ("record_exit", sid, xtx)],
           date0=entry)
    return tm.tidemark[-1]


# ---- worked example and hand-derived cases ---------------------------------------

EX_PRICE = [[1, 100], [1, 99], [1, 104], [1, 108], [1, 111]]
EX_CLOSE = [[1, 101], [1, 99], [1, NAN], [1, 110], [1, 112]]


def test_worked_example(probe):
    # the trade's price column is 1; column 0 is a decoy
    ret = one_trade(probe, EX_PRICE, EX_CLOSE, window=4, step=2, entry=0, exit=3, etx=1, xtx=1, p2p={0: 1})
    assert ret.tolist() == pytest.approx(
        [0, 0.00899, 0.00899, 0, 1, 0.00899, -0.01099, 0.00899, 0.00899, -0.019802, 1, -0.01099,
         -0.01099, 0.0989, 0.00899, -0.019802, 2, 0.0989], abs=1e-5)
    _, walk = excursion(mat(EX_PRICE), mat(EX_CLOSE), {0: 1}, 0, 0, 3, True, 1, 1, 0.001, 0.003, 4, 2)
    assert walk == pytest.approx([1.00899, 0.98901, 0.98901, 1.0989, 1.104454], abs=1e-6)
    # exiting on the last walked row puts the re-based, charged value into the exit block
    ret = one_trade(probe, EX_PRICE, EX_CLOSE, window=4, step=2, entry=0, exit=4, etx=1, xtx=1, p2p={0: 1})
    assert len(ret) == 18 and ret[-1] == pytest.approx(0.104454, abs=1e-6)


@pytest.mark.parametrize(
    "kw, expected",
    [
        # same row, window 0: only the exit block
        (dict(price=[100], close=[110]), [0, 0.1, 0.1, 0, 1, 0.1]),
        # exit costs without a walked row: no re-basing to the trading price
        (dict(price=[100], close=[110], xtx=1), [0, 0.1, 0.1, 0, 1, 1.1 * 0.996 - 1]),
        # NaN close: v held, row not counted although v > 1, next close against the last valid one
        (dict(price=[100] * 4, close=[100, 110, NAN, 121], exit=3), [0, 0.21, 0, 0, 2, 0.21]),
        # NaN entry price: v is NaN throughout, mdd and profit_period stay 0
        (dict(price=[NAN, 100, 100], close=[100, 100, 100], exit=2), [NAN, NAN, NAN, 0, 0, NAN]),
        # short: 2 - 90/100 = 1.1, then a close up 10 % gives 2 - 1.1 * 0.9
        (dict(price=[100] * 3, close=[90, 99, 99], exit=2, size=-1.0), [0, 0.1, 0.1, 1.01 / 1.1 - 1, 3, 0.01]),
        # short with exit costs re-based on the last row: 2 - (2 - 1.01) * 98 / 99, times 0.996
        (dict(price=[100, 100, 98], close=[90, 99, 99], exit=2, size=-1.0, xtx=1),
         [0, 0.1, 0.1, 1.01 / 1.1 - 1, 3, (2 - 0.99 * 98 / 99) * 0.996 - 1]),
        # a size of 0 counts as short
        (dict(price=[100], close=[90], size=0.0), [0, 0.1, 0.1, 0, 1, 0.1]),
        # exit row beyond the data: the exit block sits on the last row
        (dict(price=[100] * 3, close=[100, 90, 95], exit=10), [-0.1, 0, 0, -0.1, 0, -0.05]),
        # window past the data: blocks for offsets 0..2 only, the slots up to the exit block stay -1
        (dict(price=[100, 101, 102], close=[100, 102, 104], window=5, exit=1),
         [0] * 7 + [0.02, 0, 0, 1, 0.02, 0, 0.04, 0, 0, 2, 0.04] + [-1] * 12 + [0, 0.02, 0, 0, 1, 0.02]),
        # exit before the window ends: costs fall on row 3, the exit block reads row 1 without them
        (dict(price=[100, 100, 100, 50], close=[100, 120, 130, 100], window=3, step=3, exit=1, xtx=1),
         [0] * 6 + [0, 0.2, 0, 0, 1, 0.2]),
        # negative window and step: no window block, q = 2
        (dict(price=[1, 1], close=[1, 2], window=-1, step=-1, exit=1), [-1] * 18 + [0, 1, 0, 0, 1, 1]),
    ],
)
def test_hand_cases(probe, kw, expected):
    ret = one_trade(probe, fee=0.001, tax=0.003, **kw)
    assert ret.tolist() == pytest.approx(expected, abs=1e-12, nan_ok=True)


@pytest.mark.parametrize(
    "kw, exc, message",
    [
        (dict(price=[0, 1]), ZeroDivisionError, "float division"),
        (dict(close=[0, 1]), ZeroDivisionError, "float division"),
        (dict(close=[1, 0], xtx=1), ZeroDivisionError, "float division"),
        (dict(step=0), ZeroDivisionError, "integer division or modulo by zero"),
        (dict(window=-1, exit=0), IndexError, BOUNDS),
        (dict(window=-6), ValueError, None),
        (dict(window=3, step=-1), IndexError, None),
        (dict(entry=4, exit=5), OverflowError, "can't convert negative value to size_t"),
        (dict(entry=2, exit=2), IndexError, None),
    ],
)
def test_analysis_failures(probe, kw, exc, message):
    kw = {"price": [1, 1], "close": [1, 1], "window": 0, "step": 1, "entry": 0, "exit": 1, "xtx": 0, **kw}
    price, close = mat(kw["price"]), mat(kw["close"])
    probe.start_analysis(price, close, {0: 0}, 1, 0.001, 0.003, kw["window"], kw["step"])
    probe.record_date(kw["entry"])
    probe.record_entry(0, 1.0, 1)
    probe.record_date(kw["exit"])
    with pytest.raises(exc) as info:
        probe.record_exit(0, kw["xtx"])
    if message is not None:
        assert str(info.value) == message
    with pytest.raises(exc):
        excursion(price, close, {0: 0}, 0, kw["entry"], kw["exit"], True, 1, kw["xtx"], 0.001, 0.003,
                  kw["window"], kw["step"])
    assert "orvane.core.tidemark.record_exit" in tb_names(info.value)
    # the trade row and size were appended before the analysis failed
    assert len(tm.trades) == len(tm.trade_positions) == 1 and tm.tidemark == []


@pytest.mark.parametrize("which, exc, message", [
    ("price", AttributeError, "'NoneType' object has no attribute 'shape'"),
    ("close", TypeError, "'NoneType' object is not subscriptable"),
])
def test_none_matrix_fails_at_first_analysis(probe, which, exc, message):
    m = {"price": mat([1.0]), "close": mat([1.0]), which: None}
    probe.start_analysis(m["price"], m["close"], {}, 1, 0.0, 0.0, 0, 1)
    probe.record_date(0)
    probe.record_entry(0, 1.0, 0)
    with pytest.raises(exc, match=message):
        probe.record_exit(0, 0)
    with pytest.raises(exc, match=message):
        probe.end_analysis({0: 1.0})


@pytest.mark.parametrize("bad, message", [
    (np.ones(3), "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (np.ones((3, 1), dtype=np.float32), "Buffer dtype mismatch, expected 'double' but got 'float'"),
])
@pytest.mark.parametrize("slot", [0, 1])
def test_start_rejects_bad_matrix_and_changes_nothing(probe, bad, message, slot):
    price, close = mat([100, 100]), mat([100, 110])
    one_trade(probe, price, close, window=1, exit=1)
    before = (list(tm.trades), list(tm.tidemark), probe.slots())
    args = [price, close]
    args[slot] = bad
    with pytest.raises(ValueError) as info:
        probe.start_analysis(*args, {0: 0}, 7, 0.5, 0.5, 9, 3)
    assert str(info.value) == message
    assert "orvane.core.tidemark.start_analysis" in tb_names(info.value)
    assert tm.trades == before[0] and len(tm.tidemark) == 1
    assert all(a is b for a, b in zip(probe.slots(), before[2]))
    # the old matrices, ratios and window still drive the analysis
    probe.record_exit(0, 1)
    want, _ = excursion(price, close, {0: 0}, 0, 0, 1, True, 0, 1, 0.001, 0.003, 1, 1)
    assert bits(tm.tidemark[-1]) == bits(want)


# ---- bookkeeping -------------------------------------------------------------------

def test_run_bookkeeping(probe):
    price, close = mat([[100, 50]] * 4), mat([[100, 50], [101, 49], [102, 48], [103, 47]])
    lists = (tm.trades, tm.trade_positions, tm.tidemark)
    probe.record_date(2)
    probe.start_analysis(price, close, {1: 1}, 3, 0.0, 0.0, 0, 1)
    assert all(x == [] for x in lists)
    # the clock is not reset by a new run: a never-entered sid is a short from row 0, no costs
    probe.record_exit(1, 0)
    assert tm.trades == [[1, 0, 2]] and tm.trade_positions == [0.0]
    probe.record_date(1)
    probe.record_entry(-1, 0.25, 1)  # from the end: sid 2
    entry, position = probe.slots()
    assert entry.tolist() == [0, 0, 1] and position.tolist() == [0.0, 0.0, 0.25]
    probe.record_entry(0, -0.5, 1)
    probe.record_date(3)
    assert probe.end_analysis({2: 0.3, 0: NAN, 1: 0.0, 5: -0.0}) is None
    # open trades in ascending sid, exit row -1, analysed up to the current row
    assert tm.trades == [[1, 0, 2], [0, 1, -1], [2, 1, -1]]
    assert [type(x) for x in tm.trades[1]] == [int, np.int64, int]
    assert tm.trade_positions == [0.0, -0.5, 0.25]
    replay(probe, (price, close, {1: 1}, 3, 0.0, 0.0, 0, 1), [
        ("record_exit", 1, 0), ("record_date", 1), ("record_entry", -1, 0.25, 1), ("record_entry", 0, -0.5, 1),
        ("record_date", 3), ("end_analysis", {2: 0.3, 0: NAN, 1: 0.0, 5: -0.0})], date0=2)
    probe.start_analysis(price, close, {}, 0, 0.0, 0.0, 0, 1)
    # emptied in place: the attributes are still the list objects kept above
    assert all(x == [] for x in lists)
    assert all(a is b for a, b in zip((tm.trades, tm.trade_positions, tm.tidemark), lists))


@pytest.mark.parametrize("call", [
    lambda p: p.record_entry(0, 1.0, 1),
    lambda p: p.record_exit(0, 1),
    lambda p: p.end_analysis({0: 1.0}),
])
def test_no_stocks_index_error(probe, call):
    probe.start_analysis(mat([1.0]), mat([1.0]), {}, 0, 0.0, 0.0, 0, 1)
    with pytest.raises(IndexError) as info:
        call(probe)
    name = call.__code__.co_names[-1]
    assert f"orvane.core.tidemark.{name}" in tb_names(info.value)
    assert tm.trades == []


def test_fresh_module_state(probe):
    code = (
        "import orvane.core._probe as p, orvane.core.tidemark as t, numpy\n"
        "assert t.org_np is numpy and t.trades == t.trade_positions == t.tidemark == []\n"
        "assert [n for n in dir(t) if not n.startswith('_') and callable(getattr(t, n))] == []\n"
        "e, q = p.slots(); assert (e.shape, e.dtype, q.shape, q.dtype) == ((0,), 'int64', (0,), 'float64')\n"
        "try:\n    p.record_entry(0, 1.0, 1)\nexcept IndexError:\n    print('ok')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.strip() == "ok", out.stderr


# ---- random runs against the model ----------------------------------------------------

CELL = st.sampled_from([100.0, 101.0, 95.5, 104.25, 90.0, 0.5, 1e3, NAN])


@st.composite
def runs(draw):
    nrows, ncols, nstocks = draw(st.integers(1, 7)), draw(st.integers(1, 3)), draw(st.integers(1, 4))
    cells = st.lists(CELL, min_size=nrows * ncols, max_size=nrows * ncols)
    price = np.array(draw(cells)).reshape(nrows, ncols)
    close = np.array(draw(cells)).reshape(nrows, ncols)
    p2p = draw(st.dictionaries(st.integers(0, nstocks - 1), st.integers(0, ncols - 1)))
    setup = (price, close, p2p, nstocks, draw(st.sampled_from([0.0, 0.001425, 0.1])),
             draw(st.sampled_from([0.0, 0.003, 0.05])), draw(st.integers(-2, 9)), draw(st.integers(-2, 4)))
    ops = draw(st.lists(st.one_of(
        st.tuples(st.just("record_date"), st.integers(0, nrows + 1)),
        st.tuples(st.just("record_entry"), st.integers(-nstocks - 1, nstocks),
                  st.sampled_from([1.0, -0.5, 0.25, 0.0, NAN]), st.integers(0, 1)),
        st.tuples(st.just("record_exit"), st.integers(-nstocks - 1, nstocks), st.integers(0, 1))), max_size=12))
    book = draw(st.dictionaries(st.integers(-1, nstocks), st.sampled_from([0.0, -0.0, 0.3, -0.2, NAN])))
    return setup, ops + [("end_analysis", book)], draw(st.integers(0, nrows))


@settings(max_examples=150, deadline=None)
@given(runs())
def test_random_runs_match_model(probe, run):
    replay(probe, *run)
