"""Time backtest_ on workload W with the ledger off and on, with every financing flow on
(`fin`), with every book control on (`ctl`), and optionally the same inputs on another
build, interleaved round by round in one run.

    python bench/bench_ledger.py
    python bench/bench_ledger.py --base-python /path/to/base/venv/bin/python

Each variant runs in worker processes of its own (the inputs are built once here,
saved, and read back there; a worker imports only orvane.core): `off` and `on` on
this build with the ledger switched off or on, `base` on the build behind
`--base-python` (which need not know the ledger). Each round times one run of
every variant in turn, so drifts of the machine fall on all of them alike. Two
workers of one build can differ by some 15 % in their median, so the variants
are run by `--generations` fresh sets of workers, `--repeat` rounds each, and
the statistics are taken over all runs of a variant: the median, and the
minimum, which shared machines disturb least. Ratios: `on/off` is what
recording costs, `off/base` this build with the ledger off against the other
build. Giving this build's own interpreter as `--base-python` shows the noise
floor of `off/base`. `fin/on` is what interest, a borrow fee on every short and
dividends (about one ex-date a quarter per stock) cost on top of the ledger, the
way the front always runs; `ctl/on` what a gross limit of 2, a band, a minimum trade
and whole lots (one share of a 10 million capital) cost. Nothing asserts on time.
"""

import argparse
import os
import pickle
import platform
import statistics
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workload import W_SIZE, make_workload  # noqa: E402

# argv: inputs file, ledger switch ("on", "off", or "-" for a build without it).
# Runs once to warm up, then times one run per line read from stdin.
WORKER = r"""
import gc, pickle, sys, time
from orvane.core import tradeloom
with open(sys.argv[1], "rb") as f:
    kwargs = pickle.load(f)
if sys.argv[2] != "-":
    tradeloom.record_ledger(sys.argv[2] in ("on", "fin", "ctl"))
if sys.argv[2] == "ctl":
    tradeloom.set_book_controls(max_gross=2.0, band=0.002, min_trade=0.0005, lot=1e-7)
if sys.argv[2] == "fin":
    import numpy as np
    rows, cols = kwargs["price_values"].shape
    rng = np.random.default_rng(0)
    day = np.full(rows, 1.4 / 360)
    paid = (rng.random((rows, cols)) < 1 / 63) * 0.01 * np.nan_to_num(kwargs["close_values"])
    tradeloom.set_financing(cash=0.04 * day, borrow=np.broadcast_to((0.01 * day)[:, None], (rows, cols)),
                            dividends=paid)
tradeloom.backtest_(**kwargs)
trades = len(tradeloom.tidemark.trades)
print("ready", trades, flush=True)
for _ in sys.stdin:
    gc.collect(); gc.disable()
    start = time.perf_counter()
    tradeloom.backtest_(**kwargs)
    elapsed = time.perf_counter() - start
    gc.enable()
    print(repr(elapsed), flush=True)
"""


class Worker:
    def __init__(self, python, inputs, switch):
        self.proc = subprocess.Popen([python, "-c", WORKER, inputs, switch], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, cwd=os.path.dirname(inputs))
        ready, _, trades = self.proc.stdout.readline().partition(" ")
        if ready != "ready":
            raise SystemExit(f"{python}: the worker did not start")
        self.trades = int(trades)

    def run(self):
        self.proc.stdin.write("run\n")
        self.proc.stdin.flush()
        return float(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=9, help="timed rounds per set of workers")
    ap.add_argument("--generations", type=int, default=5, help="fresh sets of workers, one after another")
    ap.add_argument("--base-python", help="interpreter of another build to time alongside")
    args = ap.parse_args(argv)

    _, kwargs = make_workload()
    variants = {"off": (sys.executable, "off"), "on": (sys.executable, "on"),
                "fin": (sys.executable, "fin"), "ctl": (sys.executable, "ctl")}
    if args.base_python:
        variants["base"] = (args.base_python, "-")
    times = {name: [] for name in variants}
    trades = set()
    with tempfile.TemporaryDirectory() as tmp:
        inputs = os.path.join(tmp, "inputs.pkl")
        with open(inputs, "wb") as f:
            pickle.dump(kwargs, f, protocol=pickle.HIGHEST_PROTOCOL)
        for _ in range(args.generations):
            workers = {}
            try:
                for name, (python, switch) in variants.items():
                    workers[name] = Worker(python, inputs, switch)
                for _ in range(args.repeat):
                    for name, worker in workers.items():
                        times[name].append(worker.run())
            finally:
                for worker in workers.values():
                    worker.close()
            trades |= {w.trades for w in workers.values()}

    rows, stocks, held = W_SIZE
    print(f"workload W: {rows} x {stocks}, {held} names held; trade records {sorted(trades)}; "
          f"Python {platform.python_version()}, NumPy {np.__version__}; "
          f"{args.generations} x {args.repeat} runs of each")
    header = (f"{'':>7} {'off s':>8} {'on s':>8} {'on/off':>7} {'fin s':>8} {'fin/on':>7}"
              f" {'ctl s':>8} {'ctl/on':>7}"
              + (f" {'base s':>8} {'off/base':>9}" if args.base_python else ""))
    print(header)
    for label, stat in (("median", statistics.median), ("min", min)):
        v = {name: stat(t) for name, t in times.items()}
        line = (f"{label:>7} {v['off']:8.4f} {v['on']:8.4f} {v['on'] / v['off']:7.3f} "
                f"{v['fin']:8.4f} {v['fin'] / v['on']:7.3f} {v['ctl']:8.4f} {v['ctl'] / v['on']:7.3f}")
        if args.base_python:
            line += f" {v['base']:8.4f} {v['off'] / v['base']:9.3f}"
        print(line)

if __name__ == "__main__":
    main()
