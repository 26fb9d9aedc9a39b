"""One run at a time per process: a backtest_ started from any callback of a
run (or from another thread meanwhile), or while get_trade_stocks iterates, is
refused before it touches anything, and the outer call ends as if it never was."""
import gc
import re
import sys
import threading

import numpy as np
import pytest

from orvane.core import tidemark as tm
from orvane.core import tradeloom as tl

from conftest import Number
from test_engine_reference import ARG_ORDER, DAY, KW, T0, assert_same, engine_run, market

BUSY = "a run is already in progress in this process"


def outer_market(**kw):
    # stops, pending exits, a look-ahead window and two rebalances: every stage runs
    kw.setdefault("stop_trading_next_period", True)
    return market([[10.0, 20.0, 30.0], [10.0, 20.0, 30.0], [9.0, 22.0, 27.0], [9.0, 23.0, 26.0],
                   [9.5, 21.0, 28.0], [9.5, 21.0, 20.0]],
                  pos_values=[[0.3, -0.3, 0.3], [0.2, 0.4, -0.2]], pos_index=[T0, T0 + 3 * DAY],
                  stop_loss=0.05, tidemark_window=3, **kw)


INNER = market([[5.0], [6.0], [7.0]], pos_values=[[1.0]], periodically_rebalance=False,
               retain_cost_when_rebalance=True)


class Nested:
    """Starts a backtest_ of another market and keeps what it raised."""

    def __init__(self):
        self.errors = []

    def __call__(self):
        try:
            tl.backtest_(*(INNER[k] for k in ARG_ORDER), **{k: INNER[k] for k in KW})
        except RuntimeError as exc:
            self.errors.append(str(exc))
        else:
            self.errors.append(None)


def settings():
    return tl.RESAMPLE, tl.RETAIN_COST_WHEN_REBALANCE


def assert_refused(nested):
    assert nested.errors and all(e is not None and BUSY in e for e in nested.errors), nested.errors


def run_outer(m):
    got = engine_run(m)
    return got, settings()


def plain(m):
    return run_outer({**m})


class Truth:
    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __bool__(self):
        self.hook()
        return self.value


class Label(str):
    hook = None

    def encode(self, *args):
        Label.hook()
        return str.encode(self, *args)


def with_labels(m, hook):
    Label.hook = hook
    for key in ("price_columns", "pos_columns"):
        m[key] = np.array([Label(x) for x in m[key]], dtype=object)
    return m


def arrange(kind, m, nested, monkeypatch):
    """Installs `nested` as a callback of the given kind on market m."""
    if kind == "stop_trading_next_period":
        m["stop_trading_next_period"] = Truth(m["stop_trading_next_period"], nested)
    elif kind == "touched_exit":
        m["touched_exit"] = Truth(m["touched_exit"], nested)
    elif kind == "encode":
        with_labels(m, nested)
    elif kind == "fee_ratio":
        m["fee_ratio"] = Number(m["fee_ratio"], nested)
    elif kind == "tidemark_window":
        m["tidemark_window"] = Number(m["tidemark_window"], nested)
    elif kind == "normalize_weight":
        real = tl.normalize_weight

        def normalize(weights, limit):
            nested()
            return real(weights, limit)

        monkeypatch.setattr(tl, "normalize_weight", normalize)
    elif kind == "thread":
        def start_and_join():
            t = threading.Thread(target=nested)
            t.start()
            t.join()  # the interpreter lock passes to the thread here

        with_labels(m, start_and_join)
    return m


KINDS = ["stop_trading_next_period", "touched_exit", "encode", "fee_ratio", "tidemark_window",
         "normalize_weight", "thread"]


@pytest.mark.parametrize("kind", KINDS)
def test_nested_run_from_a_callback_is_refused(kind, monkeypatch):
    want = plain(outer_market())
    nested = Nested()
    got = run_outer(arrange(kind, outer_market(), nested, monkeypatch))
    assert_refused(nested)
    assert_same(got[0], want[0])
    assert got[1] == want[1]


def test_nested_run_from_a_collector_callback_is_refused():
    want = plain(outer_market())
    nested = Nested()
    inside = []

    def callback(phase, info):
        if inside and phase == "start":
            nested()

    # armed by the run's first label encode, disarmed as soon as the run returns
    m = with_labels(outer_market(), lambda: inside.append(True))
    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1, 1, 1)
    try:
        creturn = tl.backtest_(*(m[k] for k in ARG_ORDER), **{k: m[k] for k in KW})
    finally:
        inside.clear()
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)
    got = {"creturn": creturn, "trades": [[int(x) for x in t] for t in tm.trades],
           "trade_positions": [float(x) for x in tm.trade_positions], "tidemark": list(tm.tidemark),
           "ops": tl.get_stock_operations()}
    assert_refused(nested)
    assert_same(got, want[0])
    assert settings() == want[1]


def test_run_started_while_trade_rows_are_read_is_refused():
    m = outer_market()
    engine_run(m)
    want_rows, record = tl.get_trade_stocks(m["pos_columns"], m["price_index"], False)
    want_records = list(tm.tidemark)
    nested = Nested()

    class Columns(np.ndarray):
        def __getitem__(self, key):
            nested()
            return np.ndarray.__getitem__(self, key)

    rows, same = tl.get_trade_stocks(m["pos_columns"].view(Columns), m["price_index"], False)
    assert len(nested.errors) == len(want_rows)
    assert_refused(nested)
    assert rows == want_rows and same is record
    assert len(tm.tidemark) == len(want_records)
    assert all(a is b for a, b in zip(tm.tidemark, want_records))


def test_reads_and_helpers_stay_callable_inside_a_run(monkeypatch):
    # only starting a run is refused: the read-only and stateless calls work
    m = outer_market()
    want = plain(m)
    seen = []
    normalize = tl.normalize_weight

    def reads():
        seen.append((tl.get_stock_operations(), tl.get_trade_stocks(m["pos_columns"], m["price_index"], False),
                     normalize({0: 2.0}, 1.0), tl.ioft(0).year))

    got = run_outer(arrange("normalize_weight", outer_market(), reads, monkeypatch))
    assert len(seen) == 2 and all(s[2] == {0: 1.0} for s in seen)
    assert_same(got[0], want[0])


def test_a_failed_run_releases_the_process():
    bad = outer_market()
    bad["price"] = bad["price"].copy()
    bad["price"][2, 0] = -1.0
    with pytest.raises(ValueError, match="Invalid trading price"):
        engine_run(bad)
    nested = Nested()
    nested()
    assert nested.errors == [None]


@pytest.mark.filterwarnings("ignore")
def test_a_direct_run_inside_a_front_run_sees_none_of_its_switches(monkeypatch):
    # The front's switches (ledger, arrays, book controls, financing) were set
    # process-wide around its run: another thread's backtest_ started in between used
    # them (or was refused over the front's financing shapes). Here that thread runs
    # exactly then, as the front hands its arrays to the engine.
    import orvane
    from orvane import datasets, engine

    m = datasets.synthetic_market(stocks=20, years=2, seed=7)
    weights = datasets.momentum(m, lookback=21, top=4, bottom=4)
    fronts = [dict(max_gross=0.5, cash_rate=0.02), dict(capital=1e4, lot=100, borrow_fee=0.02),
              dict(band=0.5, short_rebate=0.01, cash_rate=0.03)]
    # Two weight rows, a short and a look-ahead window: every switch changes its result.
    d = outer_market()

    def direct_run():
        return tl.backtest_(*(d[k] for k in ARG_ORDER), **{k: d[k] for k in KW})

    twin = direct_run()
    got = []
    real = engine.core_arguments

    def run_beside():
        try:
            got.append(direct_run())
        except Exception as exc:
            got.append(exc)

    def with_a_direct_run(data):
        thread = threading.Thread(target=run_beside)
        thread.start()
        thread.join()
        return real(data)

    for kw in fronts:
        alone = orvane.backtest(weights, m, **kw)
        monkeypatch.setattr(engine, "core_arguments", with_a_direct_run)
        beside = orvane.backtest(weights, m, **kw)
        monkeypatch.setattr(engine, "core_arguments", real)
        assert beside.equity.equals(alone.equity) and beside.trades.equals(alone.trades)
    assert len(got) == len(fronts)
    for creturn in got:
        assert isinstance(creturn, np.ndarray), creturn
        np.testing.assert_array_equal(creturn, twin)


def test_run_gives_its_switches_to_its_own_run_only():
    d = outer_market()
    args = [d[k] for k in ARG_ORDER]
    kw = {k: d[k] for k in KW}
    cash = np.full(len(d["price_index"]), 2e-4)
    switches = {"ledger": True, "arrays": True, "financing": {"cash": cash},
                "controls": {"max_gross": 0.5}}
    # The same run through the module's switches, set and reset around it.
    tl.record_ledger(True)
    tl.set_financing(cash=cash)
    tl.set_book_controls(max_gross=0.5)
    was = tl.record_arrays(True)
    try:
        creturn = tl.backtest_(*args, **kw)
        expected = (creturn, tl.get_trade_arrays(), tl.get_stock_operations(), tl.get_ledger())
    finally:
        tl.record_arrays(was)
        tl.record_ledger(False)
        tl.set_financing()
        tl.set_book_controls()
    got = tl.run_(switches, *args, **kw)
    np.testing.assert_array_equal(got[0], expected[0])
    for a, b in zip(got[1], expected[1]):
        np.testing.assert_array_equal(a, b)
    assert got[2] == expected[2]
    assert got[3].keys() == expected[3].keys()
    for name, column in expected[3].items():
        np.testing.assert_array_equal(got[3][name], column)
    # The module's switches were neither read nor changed: backtest_ runs as before.
    plain = tl.backtest_(*args, **kw)
    assert tl.get_ledger() is None and len(tm.trades) > 0
    assert not np.array_equal(plain, got[0])
    # No switches at all: backtest_ itself, its ledger off.
    bare = tl.run_({}, *args, **kw)
    np.testing.assert_array_equal(bare[0], plain)
    assert bare[3] is None


@pytest.mark.parametrize("switches, error, message", [
    ([], TypeError, "takes a dict of the run's switches first, got list"),
    ({"ledgr": True}, TypeError, "unknown switch 'ledgr'"),
    ({"controls": {"band": -1.0}}, ValueError, "band must be a finite number of 0 or more"),
    ({"controls": [0.1]}, TypeError, "switch 'controls' must be a dict or None"),
    ({"financing": {"cash": [0.1]}}, TypeError, "cash"),
    ({"financing": {"cash": np.zeros(2)}}, ValueError, "run_: financing: cash has 2 rows"),
])
def test_run_refuses_bad_switches_before_it_runs(switches, error, message):
    d = outer_market()
    before = tl.get_stock_operations()
    with pytest.raises(error, match=re.escape(message)):
        tl.run_(switches, *(d[k] for k in ARG_ORDER))
    assert tl.get_stock_operations() == before
