"""Bit-identity check between two builds of the engine.

Builds a base revision and the working tree (or reuses given interpreters), runs
both in subprocesses on the same cases and compares every observable, bit for bit:
creturn (dtype and bytes), the three analytics lists element by element (type and
bytes), the module flags, get_stock_operations(), get_trade_stocks(...), and any
error with its type, message and traceback entries.

    python bench/check_identity.py                                  # base 3744766 vs working tree
    python bench/check_identity.py --base-python A --head-python B  # two existing builds
    python bench/check_identity.py --random 300 --mid 100

Cases: workload W in several settings, `--random` hypothesis markets (the strategy
of tests/test_engine_reference.py), `--mid` medium seeded markets with random
settings and layouts (strided, Fortran-ordered, shared price columns, short
label or delisting arrays), markets with bad inputs that must fail alike, and
markets whose stop_trading_next_period refuses its truth test part-way through
the end-of-run next-weights step. The markets are built here with NumPy alone
and the cases are made once, in the base interpreter; each build needs only
orvane.core. Each case follows a small clean run, so what a case that fails
early leaves in place is the same for every case, not the previous case's.

One difference is expected from base 3744766 on: a run whose next-weights step
fails leaves the sids it had reached in "next_weights" (the base left it
empty). Such a case counts as expected only when nothing else differs and the
head's "next_weights" holds exactly those sids with their weight-row values.
Not run by CI: it builds two packages.
"""

import argparse
import math
import os
import pickle
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
ARGS = ("price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
        "price_columns", "pos_values", "pos_index", "pos_columns", "resample")
REFUSED = "refused in next weights"


class Falsy:
    """A truth value that is false (picklable by reference)."""

    def __bool__(self):
        return False


class BadTruth:
    """stop_trading_next_period whose truth test raises."""

    def __bool__(self):
        raise RuntimeError("no truth here")


class Refuser:
    """A true truth value that counts its tests and raises on test number `at`."""

    def __init__(self, at=0):
        self.at, self.uses = at, 0

    def __bool__(self):
        self.uses += 1
        if self.uses == self.at:
            raise LookupError(f"refused at test {self.at}")
        return True


# ---- building ------------------------------------------------------------------

def build(rev, where):
    """A venv at `where` with the package of `rev` (None: the working tree) installed."""
    python = os.path.join(where, "bin", "python")
    if os.path.exists(python):
        return python
    src = ROOT
    tmp = None
    if rev is not None:
        tmp = tempfile.mkdtemp(prefix="orvane-src-")
        archive = subprocess.run(["git", "-C", ROOT, "archive", rev], check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", tmp], input=archive, check=True)
        src = tmp
    subprocess.run([sys.executable, "-m", "venv", where], check=True)
    subprocess.run([python, "-m", "pip", "install", "-q", src + "[test]"], check=True)
    if tmp:
        shutil.rmtree(tmp)
    return python


# ---- markets (NumPy only, as base 3744766's orvane/sample.py and bench/workload.py) ----

_START = "2020-01-02"
_W_SIZE = (5040, 2000, 100)  # rows, stocks, names held
_W_SETTINGS = {"stop_loss": 0.1, "take_profit": 0.3, "trail_stop": 0.08, "tidemark_window": 20,
               "tidemark_window_step": 5}


def _labels(n):
    import numpy as np

    width = max(4, len(str(n)))
    return np.array(["S%0*d" % (width, i + 1) for i in range(n)], dtype=object)


def _market(n_rows, n_stocks, seed, lookback=63, gap_ratio=0.002):
    """A seeded random-walk OHLC market: the inputs of backtest_ without weights,
    its delisting rows, and the price rows that signal (the last of each month)."""
    import numpy as np

    rng = np.random.default_rng(seed)
    days = np.busday_offset(np.datetime64(_START, "D"), np.arange(n_rows), roll="forward")
    price_index = days.astype("datetime64[ns]").astype(np.int64)

    drift = rng.normal(0.0003, 0.0004, n_stocks)
    vol = rng.uniform(0.01, 0.03, n_stocks)
    start = np.exp(rng.uniform(np.log(10.0), np.log(200.0), n_stocks))

    log_close = rng.standard_normal((n_rows, n_stocks))
    log_close *= vol
    log_close += drift - 0.5 * vol * vol
    np.cumsum(log_close, axis=0, out=log_close)
    log_close += np.log(start)

    gap = rng.standard_normal((n_rows, n_stocks))
    gap *= 0.3 * vol
    log_open = gap
    log_open[1:] += log_close[:-1]
    log_open[0] += np.log(start)

    close_values = np.exp(log_close)
    del log_close
    open_values = np.exp(log_open)
    del log_open, gap

    wick = np.abs(rng.standard_normal((n_rows, n_stocks)))
    wick *= 0.5 * vol
    high_values = np.maximum(open_values, close_values)
    high_values *= np.exp(wick)
    np.abs(rng.standard_normal((n_rows, n_stocks)), out=wick)
    wick *= -0.5 * vol
    low_values = np.minimum(open_values, close_values)
    low_values *= np.exp(wick)
    del wick

    n_gaps = int(round(gap_ratio * (n_rows - 1) * n_stocks))
    gap_rows = rng.integers(1, n_rows, n_gaps)
    gap_cols = rng.integers(0, n_stocks, n_gaps)

    delisting_bars = np.full(n_stocks, -1, dtype=np.int64)
    n_delisted = max(1, n_stocks // 20)
    delisted = rng.choice(n_stocks, n_delisted, replace=False)
    delisting_bars[delisted] = rng.integers(n_rows // 2, n_rows, n_delisted)

    for values in (open_values, high_values, low_values, close_values):
        values[gap_rows, gap_cols] = np.nan
        for col in delisted:
            values[delisting_bars[col]:, col] = np.nan

    months = days.astype("datetime64[M]")
    month_last = np.flatnonzero(np.append(months[1:] != months[:-1], True))
    lookback = int(min(lookback, month_last[-1]))
    signal_rows = month_last[month_last >= lookback]
    month_ends = (np.unique(months) + 1).astype("datetime64[D]") - np.timedelta64(1, "D")
    columns = _labels(n_stocks)
    kw = {
        "price_values": open_values.copy(),  # trades at the open of the bar after the signal
        "close_values": close_values,
        "high_values": high_values,
        "low_values": low_values,
        "open_values": open_values,
        "price_index": price_index,
        "price_columns": columns,
        "pos_values": None,
        "pos_index": price_index[signal_rows].copy(),
        "pos_columns": columns.copy(),
        "resample": month_ends.astype("datetime64[ns]").astype(np.int64),
        "delisting_bars": delisting_bars,
    }
    return kw, signal_rows, lookback


def _book_weights(close, delisting_bars, signal_rows, lookback, n_long, n_short):
    """Long the n_long best, short the n_short worst by lookback return, 1/held each."""
    import numpy as np

    held = n_long + n_short
    weights = np.zeros((len(signal_rows), close.shape[1]))
    for i, m in enumerate(signal_rows):
        score = close[m] / close[m - lookback] - 1.0
        gone = (delisting_bars >= 0) & (delisting_bars <= m + 1)
        eligible = np.flatnonzero(np.isfinite(score) & ~gone)
        if len(eligible) < held:
            continue
        order = eligible[np.argsort(-score[eligible], kind="stable")]
        weights[i, order[:n_long]] = 1.0 / held
        weights[i, order[len(order) - n_short:]] = -1.0 / held
    return weights


def _workload(rows=_W_SIZE[0], stocks=_W_SIZE[1], held=_W_SIZE[2], seed=0):
    """Keyword arguments of backtest_ for workload W or a scaled variant: a monthly
    book of `held` names, four in five long, with stops, a window and delistings."""
    n_long = held * 4 // 5
    kw, signal_rows, lookback = _market(rows, stocks, seed)
    kw["pos_values"] = _book_weights(kw["close_values"], kw["delisting_bars"], signal_rows, lookback,
                                     n_long, held - n_long)
    kw.update(_W_SETTINGS)
    return kw


# ---- cases (made once, in the base interpreter) --------------------------------

def random_settings(rng):
    inf = math.inf
    return {
        "fee_ratio": float(rng.choice([0.0, 0.001425, 0.01])),
        "tax_ratio": float(rng.choice([0.0, 0.003])),
        "stop_loss": float(rng.choice([1.0, 0.05, 0.1, 0.2])),
        "take_profit": float(rng.choice([inf, 0.05, 0.1, 0.3])),
        "trail_stop": float(rng.choice([inf, inf, 0.02, 0.05])),
        "trail_stop_activation": float(rng.choice([0.0, 0.02, 0.05])),
        "touched_exit": bool(rng.integers(2)),
        "position_limit": float(rng.choice([1.0, 1.0, 0.5, 0.05])),
        "retain_cost_when_rebalance": bool(rng.integers(2)),
        "stop_trading_next_period": [True, False, 1, 0, Falsy()][rng.integers(5)],
        # now and then a window or step the analytics must refuse or treat as unsigned
        "tidemark_window": int(rng.integers(0, 30) if rng.integers(8) else rng.integers(-3, 3)),
        "tidemark_window_step": int(rng.integers(1, 7) if rng.integers(8) else rng.integers(-2, 2)),
        "periodically_rebalance": bool(rng.integers(2)),
    }


def relayout(rng, kw):
    """Same values, other memory layouts and pairings."""
    import numpy as np

    kind = rng.integers(6)
    if kind == 1:  # Fortran order
        for k in ARGS[:5] + ("pos_values",):
            kw[k] = np.asfortranarray(kw[k])
    elif kind == 2:  # strided views
        for k in ARGS[:5]:
            big = np.repeat(kw[k], 2, axis=1)
            kw[k] = big[:, ::2]
    elif kind == 3:  # two stocks share a price column; one label has none
        cols = kw["pos_columns"].copy()
        cols[1] = cols[0]
        cols[-1] = "none"
        kw["pos_columns"] = cols
    elif kind == 4:  # delisting rows cover only part of the stocks
        kw["delisting_bars"] = kw["delisting_bars"][: max(1, len(kw["delisting_bars"]) // 2)].copy()
    elif kind == 5:  # no delisting rows, or all negative
        kw["delisting_bars"] = None if rng.integers(2) else np.full(len(kw["pos_columns"]), -1, dtype=np.int64)
    return kw


def spoil(rng, kw):
    """Inputs that must fail: a bad trading price, short labels, a bad truth test."""
    import numpy as np

    kind = rng.integers(4)
    if kind == 0:
        price = kw["price_values"].copy()
        r = rng.integers(price.shape[0] // 2, price.shape[0])
        price[r, :] = [0.0, -1.0, np.inf, -np.inf][rng.integers(4)]
        kw["price_values"] = price
    elif kind == 1:
        kw["pos_columns"] = kw["pos_columns"][: len(kw["pos_columns"]) // 2].copy()
    elif kind == 2:
        kw["stop_trading_next_period"] = BadTruth()
    else:
        kw["delisting_bars"] = np.array([5], dtype=np.int64)
    return kw


def refused_in_next_weights(rng, kw):
    """A variant of a clean case whose truth value refuses on the test of one sid in the
    next-weights step, with the "next_weights" that the sids before it leave; None when
    the case does not run clean."""
    from orvane.core import tradeloom

    counter = Refuser()
    before = []
    real = tradeloom.normalize_weight

    def normalize(weights, limit):
        # the first call follows the next-weights step, with no truth test between
        if not before:
            before.append(counter.uses)
        return real(weights, limit)

    tradeloom.normalize_weight = normalize
    try:
        tradeloom.backtest_(**dict(kw, stop_trading_next_period=counter))
    except Exception:  # noqa: BLE001 - such a case has no end-of-run step to refuse in
        return None
    finally:
        tradeloom.normalize_weight = real
    ops = tradeloom.get_stock_operations()
    nsid = kw["pos_values"].shape[1]
    failed = int(rng.integers(nsid // 2, nsid))  # the sid whose test refuses
    row = kw["pos_values"][ops["next_weight_time"]]
    expect = {k: float(row[k]) for k in ops["next_weights"] if k < failed}
    refused = dict(kw, stop_trading_next_period=Refuser(before[0] - nsid + 1 + failed))
    return refused, encode(expect)


def make_cases(n_random, n_mid, seed):
    """[(name, backtest_ keywords, expected head "next_weights" or None)]."""
    import numpy as np
    from hypothesis import HealthCheck, given, settings

    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from test_engine_reference import ARG_ORDER, KW, markets

    cases = []
    w = _workload()
    cases.append(("W", w, None))
    for name, extra in [("W touched", {"touched_exit": True}),
                        ("W retain", {"retain_cost_when_rebalance": True, "stop_trading_next_period": False}),
                        ("W no resample", {"periodically_rebalance": False, "tidemark_window": 7,
                                           "tidemark_window_step": 3})]:
        cases.append((name, dict(w, **extra), None))

    drawn = []

    @settings(max_examples=n_random, deadline=None, database=None, derandomize=True,
              suppress_health_check=list(HealthCheck))
    @given(markets())
    def collect(m):
        drawn.append(m)

    if n_random:
        collect()
    for i, m in enumerate(drawn[:n_random]):
        kw = dict(zip(ARGS, (m[k] for k in ARG_ORDER)))
        kw.update({k: m[k] for k in KW})
        cases.append((f"random {i}", kw, None))

    rng = np.random.default_rng(seed)
    for i in range(n_mid):
        rows, stocks = int(rng.integers(80, 400)), int(rng.integers(8, 80))
        held = int(rng.integers(2, max(3, stocks // 3)))
        kw = _workload(rows, stocks, held, seed=int(rng.integers(1 << 30)))
        kw.update(random_settings(rng))
        kw = relayout(rng, kw)
        cases.append((f"mid {i}", kw, None))
        if i % 4 == 3:
            cases.append((f"mid {i} spoiled", spoil(rng, dict(kw)), None))
        if i % 4 == 1:
            refused = refused_in_next_weights(rng, kw)
            if refused:
                cases.append((f"mid {i} {REFUSED}", *refused))
    return cases


# ---- observing (in each build) ---------------------------------------------------

def encode(x):
    """A canonical, comparable form that keeps types and exact bits."""
    import numpy as np

    if isinstance(x, np.ndarray):
        return ("ndarray", x.dtype.str, x.shape, x.tobytes() if x.dtype != object else encode(x.tolist()))
    if isinstance(x, np.generic):
        return (type(x).__name__, x.tobytes())
    if isinstance(x, float):
        return ("float", struct.pack("<d", x))
    if isinstance(x, (bool, int, str, type(None))):
        return (type(x).__name__, x)
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, [encode(v) for v in x])
    if isinstance(x, dict):
        return ("dict", [(encode(k), encode(v)) for k, v in x.items()])
    return (type(x).__name__, repr(x))


def error_of(exc):
    import traceback

    return ("error", type(exc).__module__, type(exc).__qualname__, str(exc),
            [f.name for f in traceback.extract_tb(exc.__traceback__)][1:])


def _fresh_record():
    """A small clean run: a case that fails before the end of its run leaves the record
    and the analytics lists of the run before it, which must not be the previous case's."""
    import numpy as np
    from orvane.core import tradeloom

    prices = np.array([[10.0], [11.0]])
    index = np.array([0, 1], dtype=np.int64)
    label = np.array(["S"], dtype=object)
    tradeloom.backtest_(prices, prices, prices, prices, prices, index, label, np.array([[1.0]]), index[:1],
                        label.copy(), index[:1])


def array_mode(kw, listed):
    """Where the build has it: the case again with the records kept as arrays, which must
    give the same creturn (or error) and the same records as the lists gave, the lists
    left empty. "same", or what differs."""
    from orvane.core import tidemark, tradeloom

    if not hasattr(tradeloom, "record_arrays"):
        return None
    _fresh_record()
    was = tradeloom.record_arrays(True)
    try:
        try:
            creturn = encode(tradeloom.backtest_(**kw))
        except Exception as exc:
            creturn = error_of(exc)
    finally:
        tradeloom.record_arrays(was)
    if creturn != listed["creturn"]:
        return "creturn"
    if tidemark.trades or tidemark.trade_positions or tidemark.tidemark:
        return "lists not empty"
    try:
        got = ("arrays", [encode(a) for a in tradeloom.get_trade_arrays()])
    except Exception as exc:
        got = ("refused", type(exc).__name__)
    return "same" if got == listed["trade arrays"] else "records"


def observe(kw):
    import copy

    from orvane.core import tidemark, tradeloom

    # Before the run: a case's callbacks keep state, and the array-mode run needs its own.
    again = copy.deepcopy(kw)
    _fresh_record()
    out = {}
    try:
        out["creturn"] = encode(tradeloom.backtest_(**kw))
    except Exception as exc:  # every failure is an observable
        out["creturn"] = error_of(exc)
    out["trades"] = encode(tidemark.trades)
    out["trade_positions"] = encode(tidemark.trade_positions)
    out["tidemark"] = encode(tidemark.tidemark)
    out["flags"] = encode([tradeloom.RETAIN_COST_WHEN_REBALANCE, tradeloom.RESAMPLE])
    ops = tradeloom.get_stock_operations()
    out["operations"] = encode(ops)
    # the record again, apart: a difference confined to it can be told from others
    out["next_weights"] = encode(ops.get("next_weights"))
    out["operations less next_weights"] = encode({k: v for k, v in ops.items() if k != "next_weights"})
    try:
        rows, record = tradeloom.get_trade_stocks(kw["pos_columns"], kw["price_index"],
                                                  kw.get("touched_exit", False))
        # the record handed out is the one compared above, unless it differs from it
        same = encode(record) == out["operations"]
        out["trade_stocks"] = ("tuple", encode(rows), "the record" if same else encode(record))
    except Exception as exc:
        out["trade_stocks"] = error_of(exc)
    if hasattr(tradeloom, "record_arrays"):
        try:
            out["trade arrays"] = ("arrays", [encode(a) for a in tradeloom.get_trade_arrays()])
        except Exception as exc:
            out["trade arrays"] = ("refused", type(exc).__name__)
        out["array mode"] = array_mode(again, out)
    return out


def run_cases(cases_path, out_path):
    with open(cases_path, "rb") as f:
        cases = pickle.load(f)
    results = [(name, observe(kw)) for name, kw, _ in cases]
    with open(out_path, "wb") as f:
        pickle.dump(results, f)


def classify(b, h, expect):
    """'identical', 'expected' (the partly filled next_weights) or 'different'."""
    bad = {k for k in b if b[k] != h[k]}
    if not bad:
        return "identical"
    if (expect is not None and bad == {"operations", "next_weights"}
            and b["next_weights"] == encode({}) and h["next_weights"] == expect):
        return "expected"
    return "different"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", default="3744766", help="base revision (default 3744766)")
    parser.add_argument("--base-python", help="interpreter with the base build (skips building it)")
    parser.add_argument("--head-python", help="interpreter with the new build (default: build the working tree)")
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "orvane-identity"))
    parser.add_argument("--random", type=int, default=300, help="hypothesis markets (default 300)")
    parser.add_argument("--mid", type=int, default=120, help="medium seeded markets (default 120)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--run", nargs=2, metavar=("CASES", "OUT"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.run:
        run_cases(*args.run)
        return 0

    os.makedirs(args.workdir, exist_ok=True)
    base = args.base_python or build(args.base, os.path.join(args.workdir, "venv-base"))
    head = args.head_python or build(None, os.path.join(args.workdir, "venv-head"))
    cases_path = os.path.join(args.workdir, "cases.pkl")
    maker = ("import pickle, sys; sys.path.insert(0, %r); import check_identity as c; "
             "pickle.dump(c.make_cases(%d, %d, %d), open(%r, 'wb'))"
             % (HERE, args.random, args.mid, args.seed, cases_path))
    subprocess.run([base, "-c", maker], check=True, cwd=HERE)
    with open(cases_path, "rb") as f:
        expects = [expect for _, _, expect in pickle.load(f)]
    outs = []
    for tag, python in (("base", base), ("head", head)):
        out = os.path.join(args.workdir, f"{tag}.pkl")
        subprocess.run([python, os.path.abspath(__file__), "--run", cases_path, out], check=True, cwd=HERE)
        with open(out, "rb") as f:
            outs.append(pickle.load(f))

    base_res, head_res = outs
    assert [n for n, _ in base_res] == [n for n, _ in head_res]
    counts = {"identical": 0, "expected": 0, "different": 0}
    errors = 0
    for (name, b), (_, h), expect in zip(base_res, head_res, expects):
        if b["creturn"][0] == "error":
            errors += 1
        verdict = classify(b, h, expect)
        counts[verdict] += 1
        if verdict == "different":
            print(f"DIFFERENT {name}: {', '.join(k for k in b if b[k] != h[k])}")
        elif verdict == "expected":
            reached = len(expect[1])
            print(f"expected  {name}: next_weights partly filled, {reached} sid{'s' * (reached != 1)} "
                  f"reached before the refusal")
    modes = [h.get("array mode") for _, h in head_res]
    if any(m is not None for m in modes):
        for (name, _), mode in zip(head_res, modes):
            if mode != "same":
                print(f"ARRAY MODE {name}: {mode} differs from list mode")
        print(f"head in array mode: {modes.count('same')} of {len(modes)} cases give the list mode's "
              f"creturn and records")
        if modes.count("same") != len(modes):
            counts["different"] += 1
    refused = sum(expect is not None for expect in expects)
    trades = sum(len(b["trades"][1]) for _, b in base_res)
    print(f"{len(base_res)} cases ({errors} ending in an error, {refused} refused in the next-weights step, "
          f"{trades} trades in all): {counts['identical']} identical, {counts['expected']} with the expected "
          f"partly filled next_weights, {counts['different']} different")
    return 1 if counts["different"] else 0


if __name__ == "__main__":
    sys.exit(main())
