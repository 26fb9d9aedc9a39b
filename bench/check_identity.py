"""Bit-identity check between two builds of the engine.

Builds a base revision and the working tree (or reuses given interpreters), runs
both in subprocesses on the same cases and compares every observable, bit for bit:
creturn (dtype and bytes), the three analytics lists element by element (type and
bytes), the module flags, get_stock_operations(), get_trade_stocks(...), and any
error with its type, message and traceback entries.

    python bench/check_identity.py                                  # base e09235f vs working tree
    python bench/check_identity.py --base-python A --head-python B  # two existing builds
    python bench/check_identity.py --random 300 --mid 100

Cases: workload W in several settings, `--random` hypothesis markets (the strategy
of tests/test_engine_reference.py), `--mid` medium seeded markets with random
settings and layouts (strided, Fortran-ordered, shared price columns, short
label or delisting arrays), and markets with bad inputs that must fail alike.
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


class Falsy:
    """A truth value that is false and counts its tests (picklable by reference)."""

    def __bool__(self):
        return False


class BadTruth:
    """stop_trading_next_period whose truth test raises."""

    def __bool__(self):
        raise RuntimeError("no truth here")


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


def make_cases(n_random, n_mid, seed):
    import numpy as np
    from hypothesis import HealthCheck, given, settings

    sys.path.insert(0, HERE)
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from workload import make_workload
    from test_engine_reference import ARG_ORDER, KW, markets

    cases = []
    _, w = make_workload()
    cases.append(("W", w))
    for name, extra in [("W touched", {"touched_exit": True}),
                        ("W retain", {"retain_cost_when_rebalance": True, "stop_trading_next_period": False}),
                        ("W no resample", {"periodically_rebalance": False, "tidemark_window": 7,
                                           "tidemark_window_step": 3})]:
        cases.append((name, dict(w, **extra)))

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
        cases.append((f"random {i}", kw))

    rng = np.random.default_rng(seed)
    for i in range(n_mid):
        rows, stocks = int(rng.integers(80, 400)), int(rng.integers(8, 80))
        held = int(rng.integers(2, max(3, stocks // 3)))
        _, kw = make_workload(rows, stocks, held, seed=int(rng.integers(1 << 30)))
        kw.update(random_settings(rng))
        kw = relayout(rng, kw)
        cases.append((f"mid {i}", kw))
        if i % 4 == 3:
            cases.append((f"mid {i} spoiled", spoil(rng, dict(kw))))
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


def observe(kw):
    from orvane.core import tidemark, tradeloom

    out = {}
    try:
        out["creturn"] = encode(tradeloom.backtest_(**kw))
    except Exception as exc:  # every failure is an observable
        out["creturn"] = error_of(exc)
    out["trades"] = encode(tidemark.trades)
    out["trade_positions"] = encode(tidemark.trade_positions)
    out["tidemark"] = encode(tidemark.tidemark)
    out["flags"] = encode([tradeloom.RETAIN_COST_WHEN_REBALANCE, tradeloom.RESAMPLE])
    out["operations"] = encode(tradeloom.get_stock_operations())
    try:
        out["trade_stocks"] = encode(tradeloom.get_trade_stocks(kw["pos_columns"], kw["price_index"],
                                                                kw.get("touched_exit", False)))
    except Exception as exc:
        out["trade_stocks"] = error_of(exc)
    return out


def run_cases(cases_path, out_path):
    with open(cases_path, "rb") as f:
        cases = pickle.load(f)
    results = [(name, observe(kw)) for name, kw in cases]
    with open(out_path, "wb") as f:
        pickle.dump(results, f)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", default="e09235f", help="base revision (default e09235f)")
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
    outs = []
    for tag, python in (("base", base), ("head", head)):
        out = os.path.join(args.workdir, f"{tag}.pkl")
        subprocess.run([python, os.path.abspath(__file__), "--run", cases_path, out], check=True, cwd=HERE)
        with open(out, "rb") as f:
            outs.append(pickle.load(f))

    base_res, head_res = outs
    assert [n for n, _ in base_res] == [n for n, _ in head_res]
    differ = 0
    errors = 0
    for (name, b), (_, h) in zip(base_res, head_res):
        if b["creturn"][0] == "error":
            errors += 1
        bad = [k for k in b if b[k] != h[k]]
        if bad:
            differ += 1
            print(f"DIFFERENT {name}: {', '.join(bad)}")
    trades = sum(len(b["trades"][1]) for _, b in base_res)
    print(f"{len(base_res)} cases ({errors} ending in an error, {trades} trades in all): "
          f"{len(base_res) - differ} identical, {differ} different")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
