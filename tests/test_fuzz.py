"""Random calls of every entry point: random shapes, strides, memory orders,
alignments and element types, NaN and infinities, None and wrong types, extreme
integers, hostile labels, numbers, truth tests, mappings and collector
callbacks. Whatever comes in, a call returns or raises an ordinary Python error
(never SystemError), and a run started from inside another is refused.

ORVANE_FUZZ_EXAMPLES sets the number of random sessions (default 40); the
sanitizer step of .ci/run raises it."""
import gc
import math
import os

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from orvane.core import tidemark as tm
from orvane.core import toolkin
from orvane.core import tradeloom as tl

EXAMPLES = int(os.environ.get("ORVANE_FUZZ_EXAMPLES", "40"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))

BUSY = "a run is already in progress in this process"
NAN, INF = math.nan, math.inf
POOL = ["A", "B", "C", "Z", "é", "\U0001f600"]
INT32 = (-2**31, 2**31 - 1)
EXTREME_INTS = [2**31, -2**31 - 1, 2**63, -2**63, 2**63 - 1, 2**1100]
REAL = getattr(tl, "normalize_weight")
try:
    from orvane.core import _probe as probe
except ImportError:  # built without the test-only probe
    probe = None


class Session:
    """What the callbacks of one example saw."""

    def __init__(self, price_index, pos_columns):
        self.nested = []  # (inside the engine's run, what a nested run raised)
        self.price_index, self.pos_columns = price_index, pos_columns

    def reenter(self, inside=True):
        # a run started from a callback of a run must be refused; the reads must
        # work or fail with an ordinary error
        _, error = call(tl.backtest_, *self.tiny())
        self.nested.append((inside, None if error is None else str(error)))
        call(tl.get_stock_operations)
        call(tl.get_trade_stocks, self.pos_columns, self.price_index, False)
        call(REAL, {0: 2.0, 1: NAN}, 0.5)

    @staticmethod
    def tiny():
        p = np.ones((2, 1))
        i = np.array([0, 1], dtype=np.int64)
        lab = np.array(["A"], dtype=object)
        return p, p, p, p, p, i, lab, p, i, lab, i


class Truth:
    def __init__(self, pattern, refuse_at, reenter, session, inside=True):
        self.pattern, self.refuse_at, self.reenter, self.session = pattern, refuse_at, reenter, session
        self.inside = inside
        self.calls = 0

    def __bool__(self):
        self.calls += 1
        if self.reenter:
            self.session.reenter(self.inside)
        if self.calls == self.refuse_at:
            raise LookupError("refused")
        return self.pattern[self.calls % len(self.pattern)]


class Number:
    def __init__(self, value, how, session, inside=True):
        self.value, self.how, self.session, self.inside = value, how, session, inside

    def _convert(self, kind):
        if self.how == "raise":
            raise ArithmeticError("no number")
        if self.how == "reenter":
            self.session.reenter(self.inside)
        if self.how == "wrong":
            return "not a number"
        return kind(self.value)

    def __float__(self):
        return self._convert(float)

    def __index__(self):
        return self._convert(int)


class Label(str):
    """A text label whose encode misbehaves in one of several ways."""
    how = "plain"
    session = None
    arrays = ()

    def encode(self, *args):
        how = self.how
        if how == "raise":
            raise UnicodeError("no encoding")
        if how == "none":
            return None
        if how == "text":
            return str(self)
        if how == "bytearray":
            return bytearray(str.encode(self, *args))
        if how == "reenter":
            self.session.reenter()
        if how == "mutate":
            for a in self.arrays:  # replace labels and prices under the run
                if a.dtype == object and len(a):
                    a[0] = "B"
                elif a.dtype == np.float64 and a.size and a.flags.writeable:
                    a.flat[0] = NAN
        return str.encode(self, *args)


# ---- arrays ---------------------------------------------------------------------

def floats(rng, shape, kind):
    base = rng.uniform(1.0, 200.0, size=shape)
    if kind == "weights":
        base = rng.choice([0.0, 0.25, -0.5, 1.0, 2.0, -1.0], size=shape) * rng.uniform(0.5, 1.5, size=shape)
    specials = np.array([NAN, INF, -INF, 0.0, -0.0, -1.0, 1e-300, 1e300, 5e-324])
    mask = rng.random(shape) < rng.choice([0.0, 0.05, 0.3])
    base[mask] = rng.choice(specials, size=int(mask.sum()))
    return base


def relayout(draw, a):
    """The same values in another memory layout: Fortran order, a strided or
    reversed view, or an unaligned view of a byte buffer."""
    how = draw(st.sampled_from(["C", "C", "F", "strided", "reversed", "unaligned"]))
    if how == "F":
        return np.asfortranarray(a)
    if how == "strided":
        wide = np.zeros((a.shape[0] * 2,) + a.shape[1:], dtype=a.dtype) if a.ndim else a.copy()
        wide[::2] = a
        return wide[::2]
    if how == "reversed" and a.ndim:
        return a[::-1].copy()[::-1]
    if how == "unaligned" and a.dtype != object:
        offset = draw(st.integers(1, 7))
        buf = bytearray(a.nbytes + offset)
        out = np.frombuffer(buf, dtype=a.dtype, count=a.size, offset=offset).reshape(a.shape)
        out[...] = a
        return out
    return a


def spoil(draw, a, ndim):
    """A wrong argument in place of array a: another type, dtype or rank, or None."""
    how = draw(st.sampled_from(["none", "list", "text", "float32", "int32", "uint64", "object", "complex",
                                "swapped", "bool", "datetime", "rank"]))
    if how == "none":
        return None
    if how == "list":
        return a.tolist()
    if how == "text":
        return "array"
    if how == "rank":
        return a.reshape(-1) if ndim == 2 else a.reshape(1, -1)
    dtypes = {"float32": np.float32, "int32": np.int32, "uint64": np.uint64, "object": object,
              "complex": np.complex128, "bool": np.bool_, "datetime": "datetime64[ns]",
              "swapped": a.dtype.newbyteorder(">") if a.dtype != object else ">i8"}
    try:
        return np.zeros(a.shape, dtype=dtypes[how])
    except (TypeError, ValueError):
        return None


def maybe_spoil(draw, a, ndim, rate):
    return spoil(draw, a, ndim) if draw(st.floats(0, 1)) < rate else relayout(draw, a)


def int_index(draw, rng, n, span):
    kind = draw(st.sampled_from(["sorted", "sorted", "random", "extreme"]))
    if kind == "extreme":
        return np.array(draw(st.lists(st.sampled_from([-2**63, 2**63 - 1, 0, -1, 1]), min_size=n, max_size=n)),
                        dtype=np.int64)
    values = rng.integers(-2, span + 2, size=n)
    return np.sort(values).astype(np.int64) if kind == "sorted" else values.astype(np.int64)


def labels(draw, n, session, arrays, chaos):
    out = np.empty(n, dtype=object)
    for i in range(n):
        name = draw(st.sampled_from(POOL))
        kind = draw(st.sampled_from(["str"] * 8 + ["label"] + (["bytes", "int", "none"] if chaos else [])))
        if kind == "label":
            ways = ["plain", "bytearray", "reenter", "mutate"] + (["raise", "none", "text"] if chaos else [])
            lab = type("HostileLabel", (Label,), {"how": draw(st.sampled_from(ways)),
                                                  "session": session, "arrays": arrays})(name)
            out[i] = lab
        else:
            out[i] = {"str": name, "bytes": name.encode(), "int": i, "none": None}[kind]
    return out


def window_pair(draw):
    """tidemark_window and its step, extreme ones included, but never a pair
    whose excursion record would be large: the machine is shared."""
    window = draw(st.integers(-3, 8) | st.sampled_from(INT32))
    step = draw(st.integers(-2, 4) | st.sampled_from(INT32))
    if step != 0 and 6 * ((window - 1) // step) + 12 > 10**6:
        window = 5
    return window, step


def number(draw, session, value, inside=True, chaos=True):
    kinds = ["plain"] * 6 + ["int", "hostile"] + (["huge", "nan", "inf", "text", "none"] if chaos else [])
    kind = draw(st.sampled_from(kinds))
    if kind == "plain":
        return value
    if kind == "hostile":
        ways = ["reenter", "fine"] + (["raise", "wrong"] if chaos else [])
        return Number(value, draw(st.sampled_from(ways)), session, inside)
    return {"int": int(value) if math.isfinite(value) else 0, "huge": 2**1100, "nan": NAN, "inf": -INF,
            "text": "0.1", "none": None}[kind]


def integer(draw, session, value, chaos):
    kind = draw(st.sampled_from(["plain"] * 6 + ["hostile"] + (["extreme", "float", "text", "bool"] if chaos else [])))
    if kind == "plain":
        return value
    if kind == "hostile":
        ways = ["reenter", "fine"] + (["raise", "wrong"] if chaos else [])
        return Number(value, draw(st.sampled_from(ways)), session)
    return {"extreme": draw(st.sampled_from(EXTREME_INTS)), "float": 1.5, "text": "3", "bool": True}[kind]


def truth(draw, session, inside=True, chaos=True):
    kind = draw(st.sampled_from(["bool", "bool", "bool", "int", "list", "hostile"]))
    if kind == "hostile":
        refuse_at = draw(st.none() | st.integers(1, 6)) if chaos else None
        return Truth(draw(st.lists(st.booleans(), min_size=1, max_size=3)), refuse_at, draw(st.booleans()),
                     session, inside)
    return {"bool": draw(st.booleans()), "int": draw(st.integers(0, 1)), "list": [0]}[kind]


def backtest_call(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n, ncol, nsid, nw = (draw(st.integers(0, 7)), draw(st.integers(0, 4)), draw(st.integers(0, 4)),
                         draw(st.integers(0, 3)))
    chaos = draw(st.booleans())  # else every argument is valid, if hostile
    rate = draw(st.sampled_from([0.02, 0.05, 0.1])) if chaos else 0.0
    price_index = int_index(draw, rng, n, 3 * n)
    pos_index = int_index(draw, rng, nw, 3 * n)
    pos_columns_plain = np.array([draw(st.sampled_from(POOL)) for _ in range(nsid)], dtype=object)
    session = Session(price_index, pos_columns_plain)
    mats = [maybe_spoil(draw, floats(rng, (n, ncol), "price"), 2, rate) for _ in range(5)]
    weights = maybe_spoil(draw, floats(rng, (nw, nsid), "weights"), 2, rate)
    arrays = [m for m in mats + [weights] if isinstance(m, np.ndarray)]
    price_columns = labels(draw, ncol, session, arrays, chaos)
    pos_columns = labels(draw, nsid, session, arrays, chaos) if draw(st.booleans()) else pos_columns_plain
    arrays += [price_columns, pos_columns]
    args = [*mats, maybe_spoil(draw, price_index, 1, rate), maybe_spoil(draw, price_columns, 1, rate / 2),
            weights, maybe_spoil(draw, pos_index, 1, rate), maybe_spoil(draw, pos_columns, 1, rate / 2),
            maybe_spoil(draw, int_index(draw, rng, draw(st.integers(0, 5)), 3 * n), 1, rate)]
    window, step = window_pair(draw)
    kw = {}
    for name, value in (("fee_ratio", 0.001425), ("tax_ratio", 0.003), ("stop_loss", 0.1),
                        ("take_profit", 0.2), ("trail_stop", 0.05), ("trail_stop_activation", 0.02),
                        ("position_limit", 1.0)):
        if draw(st.booleans()):
            kw[name] = number(draw, session, draw(st.sampled_from([value, -value, 0.0, 1.0, INF, 2.0])),
                              chaos=chaos)
    for name in ("touched_exit", "retain_cost_when_rebalance", "stop_trading_next_period",
                 "periodically_rebalance"):
        if draw(st.booleans()):
            kw[name] = truth(draw, session, chaos=chaos)
    if draw(st.booleans()):
        kw["tidemark_window"] = integer(draw, session, window, chaos)
        # a perturbed step can turn 1: only under a small window
        kw["tidemark_window_step"] = integer(draw, session, step, chaos) if -3 <= window <= 8 else step
    if draw(st.booleans()):
        bars = rng.integers(-1, n + 1, size=nsid + draw(st.integers(-1, 1)) if nsid else 0).astype(np.int64)
        wrong = [bars.astype(np.int32), memoryview(bars.tobytes()), bars.tolist(), bars.astype(">i8"),
                 bars.reshape(1, -1)]
        kw["delisting_bars"] = draw(st.sampled_from([relayout(draw, bars), None] + (wrong if chaos else [])))
    if chaos and draw(st.integers(0, 9)) == 0:
        args = args[:draw(st.integers(0, 11))]  # too few
    if chaos and draw(st.integers(0, 19)) == 0:
        kw["no_such_argument"] = 1
    return session, args, kw


def mapping(draw, session):
    keys = draw(st.lists(st.integers(-3, 5) | st.sampled_from(["a", None, (1, 2)]), max_size=5))
    values = st.sampled_from([0.5, -0.5, 2.0, 0, 1, NAN, INF, -INF, True]) | st.floats(allow_nan=True)
    d = {k: draw(values) for k in keys}
    for k in list(d)[:1]:
        if draw(st.booleans()):
            d[k] = Number(0.5, draw(st.sampled_from(["raise", "reenter", "wrong"])), session, inside=False)
    return draw(st.sampled_from([d, d, None, list(d.items()), "text", Mutating(d)]))


class Mutating(dict):
    """A mapping that changes under the function walking it."""

    def items(self):
        self[len(self) + 100] = 1.0
        return dict.items(self)


def normalize_replacement(draw, session):
    how = draw(st.sampled_from(["real", "none", "raise", "reenter", "drop"]))

    def replacement(weights, limit):
        if how == "raise":
            raise KeyError("replaced")
        if how == "reenter":
            session.reenter()
        if how == "none":
            return None
        out = REAL(weights, limit)
        if how == "drop":
            class Drop(dict):
                def __contains__(self, key):
                    rec = tl.get_trade_stocks(session.pos_columns, session.price_index, False)[1]
                    rec.pop("next_weights", None)
                    return dict.__contains__(self, key)
            return Drop(out)
        return out

    return replacement


def call(fn, *args, **kw):
    try:
        return fn(*args, **kw), None
    except Exception as exc:  # noqa: BLE001 - the point: any ordinary error is fine
        assert not isinstance(exc, SystemError), repr(exc)
        return None, exc


@FUZZ
@given(data=st.data())
def test_random_sessions(data, monkeypatch):
    draw = data.draw
    session, args, kw = backtest_call(draw)
    monkeypatch.setattr(tl, "normalize_weight", normalize_replacement(draw, session))
    collector = draw(st.integers(0, 4)) == 0
    threshold = gc.get_threshold()

    def callback(phase, info):
        if phase == "start":
            session.reenter(inside=False)  # may also come just before or after the run

    if collector:
        gc.callbacks.append(callback)
        gc.set_threshold(draw(st.integers(1, 50)), 1, 1)
    try:
        creturn, error = call(tl.backtest_, *args, **kw)
    finally:
        if collector:
            gc.set_threshold(*threshold)
            gc.callbacks.remove(callback)
        monkeypatch.undo()
    event("backtest_: " + ("returned" if error is None else type(error).__name__))
    event("a callback started a run: %s" % any(inside for inside, _ in session.nested))
    if error is None:
        assert creturn.dtype == np.float64 and creturn.shape == (len(args[5]),)
        assert list(tl.get_stock_operations()) == ["actions", "weights", "next_weights", "weight_time",
                                                   "next_weight_time"]
    assert all(BUSY in (err or "") for inside, err in session.nested if inside), session.nested

    # the other entry points, on this run's results and on random arguments
    cols = draw(st.sampled_from([session.pos_columns, args[9] if len(args) > 9 else None, None,
                                 np.array([1, 2]), "cols"]))
    index = draw(st.sampled_from([session.price_index, relayout(draw, session.price_index), None,
                                  session.price_index.astype(np.int32), [1, 2]]))
    call(tl.get_trade_stocks, cols, index, truth(draw, session, inside=False))
    call(tl.get_trade_stocks, cols)
    call(tl.get_stock_operations, *draw(st.sampled_from([(), (1,)])))
    call(REAL, mapping(draw, session),
         number(draw, session, draw(st.sampled_from([1.0, 0.3, 0.0, -1.0])), inside=False))
    call(REAL, weights={0: 1.5}, position_limit=1.0, extra=1)
    call(tl.ioft, draw(st.sampled_from([0, -1, 2**63 - 1, 2**70, NAN, INF, np.int64(1), "x", None,
                                        1700000000123456789])))
    text = draw(st.text(max_size=6) | st.sampled_from([None, b"ab", 3]))
    call(toolkin.str_to_bytearray, text)
    call(toolkin.str_to_bytearray, text=text)
    call(toolkin.str_to_bytearray, text, text)
    if probe is not None and draw(st.booleans()):
        analytics_session(draw, probe)
    # any session leaves the engine ready for the next run
    assert call(tl.backtest_, *Session.tiny())[1] is None


def analytics_session(draw, probe):
    """The analytics entries driven directly, with arguments no run would pass."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n, c = draw(st.integers(0, 6)), draw(st.integers(0, 3))
    price = maybe_spoil(draw, floats(rng, (n, c), "price"), 2, 0.1)
    close = maybe_spoil(draw, floats(rng, (n, c), "price"), 2, 0.1)
    pairs = {draw(st.integers(-3, 5)): draw(st.integers(-4, 4)) for _ in range(draw(st.integers(0, 4)))}
    window, step = window_pair(draw)
    nstocks = draw(st.integers(-1, 5))
    _, error = call(probe.start_analysis, price, close, pairs, nstocks, draw(st.sampled_from([0.0, 0.001, NAN, 1.0])),
                    draw(st.sampled_from([0.0, 0.003, INF])), window, step)
    for _ in range(draw(st.integers(0, 8))):
        op = draw(st.sampled_from(["date", "entry", "exit", "end"]))
        sid = draw(st.integers(-6, 6))
        if op == "date":
            call(probe.record_date, draw(st.integers(-3, 9) | st.sampled_from(INT32)))
        elif op == "entry":
            call(probe.record_entry, sid, draw(st.sampled_from([0.5, -0.5, 0.0, NAN])), draw(st.integers(0, 1)))
        elif op == "exit":
            call(probe.record_exit, sid, draw(st.integers(0, 1)))
        else:
            call(probe.end_analysis, {draw(st.integers(-3, 5)): draw(st.sampled_from([0.0, -0.0, 1.0, NAN]))})
    assert len(tm.trades) == len(tm.trade_positions) >= len(tm.tidemark)
