"""Workload W against the read bound, and the scaling table, for one or more builds.

Each --python interpreter (default: this one) runs in a worker process with its own
installed build; the driver builds the same seeded market in every worker and then
times them round by round, interleaved, so that machine load hits every build alike.

    python bench/bench_scaling.py --w-only
    python bench/bench_scaling.py --w-only --arrays                 # as the front runs it
    python bench/bench_scaling.py --python ../venv-base/bin/python --python ../venv-perf/bin/python
    python bench/bench_scaling.py --w-only --arrays --seeds 0 1      # W and a second market

On a shared machine, `--clock cpu` times the worker thread's CPU time instead of
wall time: other processes' load then inflates neither side.

Per configuration and build: the median `backtest_` time, the median time of one
NumPy pass over the trading and close matrices (`price.sum(); close.sum()`) and
their ratio; with two builds, also the second's engine time over the first's.
The collector stays enabled during a timed run (emptied before it), as a caller
meets it, and the young generation the run leaves behind is collected inside the
timing, so a build that defers collector work does not gain by it.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

W = (5040, 2000, 100)
SCALING = [
    (1260, 2000, 100), (2520, 2000, 100), (5040, 2000, 100),
    (5040, 500, 100), (5040, 1000, 100), (5040, 5000, 100),
    (5040, 2000, 20), (5040, 2000, 400),
]


def worker():
    import gc
    import time

    sys.path.insert(0, HERE)
    from workload import make_workload, read_bound

    from orvane.core import tradeloom

    market = kwargs = None

    def run():
        tradeloom.backtest_(**kwargs)
        # The young generation the run leaves behind is collected inside the timing.
        gc.collect(0)

    def run_arrays():
        # Array mode, as the front runs it: the records handed over are part of the run.
        was = tradeloom.record_arrays(True)
        try:
            tradeloom.backtest_(**kwargs)
            tradeloom.get_trade_arrays()
        finally:
            tradeloom.record_arrays(was)
        gc.collect(0)

    for line in sys.stdin:
        cmd = json.loads(line)
        if cmd["cmd"] == "build":
            market = kwargs = None
            gc.collect()
            market, kwargs = make_workload(*cmd["size"], seed=cmd["seed"])
            tradeloom.backtest_(**kwargs)
            trades = len(tradeloom.get_trade_stocks(market.pos_columns, market.price_index, False)[0])
            out = {"trades": trades, "arrays": hasattr(tradeloom, "record_arrays")}
        else:
            fn = {"engine": run, "arrays": run_arrays, "read": lambda: read_bound(market)}[cmd["what"]]
            clock = time.thread_time if cmd["clock"] == "cpu" else time.perf_counter
            gc.collect()
            start = clock()
            fn()
            out = {"seconds": clock() - start}
        print(json.dumps(out), flush=True)


class Worker:
    def __init__(self, python):
        self.python = python
        self.proc = subprocess.Popen([python, os.path.abspath(__file__), "--worker"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, cwd=HERE)

    def ask(self, **cmd):
        self.proc.stdin.write(json.dumps(cmd) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"worker {self.python} died")
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def measure(workers, size, repeat, clock, arrays=False, seed=0):
    built = [w.ask(cmd="build", size=size, seed=seed) for w in workers]
    trades = [b["trades"] for b in built]
    if arrays and not all(b["arrays"] for b in built):
        raise SystemExit("--arrays: a build without record_arrays")
    what = "arrays" if arrays else "engine"
    engine = [[] for _ in workers]
    read = [[] for _ in workers]
    for _ in range(repeat):
        for i, w in enumerate(workers):
            engine[i].append(w.ask(cmd="time", what=what, clock=clock)["seconds"])
            read[i].append(w.ask(cmd="time", what="read", clock=clock)["seconds"])
    return trades, [statistics.median(t) for t in engine], [statistics.median(t) for t in read]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", help="interpreter of a build (repeatable; default: this one)")
    parser.add_argument("--repeat", type=int, default=7, help="timed runs per configuration (default 7)")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="wall time, or the worker thread's CPU time (steadier on a shared machine)")
    parser.add_argument("--w-only", action="store_true", help="only workload W")
    parser.add_argument("--arrays", action="store_true",
                        help="time the runs in array mode (record_arrays), the records taken out")
    parser.add_argument("--size", type=int, nargs=3, metavar=("ROWS", "STOCKS", "HELD"),
                        help="one configuration instead of the table")
    parser.add_argument("--seeds", type=int, nargs="+", default=[0], metavar="SEED",
                        help="the market's seeds: each size on each seed's market (default 0, W's own)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker()
        return 0
    pythons = args.python or [sys.executable]
    workers = [Worker(p) for p in pythons]
    try:
        for i, p in enumerate(pythons):
            print(f"build {i}: {p}")
        head = f"{'seed':>4} {'rows':>5} {'stocks':>6} {'held':>4} {'trades':>6}"
        for i in range(len(pythons)):
            head += f" {f'engine{i} ms':>10} {f'read{i} ms':>9} {f'ratio{i}':>7}"
        if len(pythons) > 1:
            head += " " + " ".join(f"{f'{i}/0':>6}" for i in range(1, len(pythons)))
        print(head, flush=True)
        print("engine: array mode, records taken out" if args.arrays else "engine: list mode", flush=True)
        sizes = [tuple(args.size)] if args.size else [W] if args.w_only else SCALING
        for size, seed in ((size, seed) for size in sizes for seed in args.seeds):
            trades, engine, read = measure(workers, size, args.repeat, args.clock, args.arrays, seed)
            if len(set(trades)) != 1:
                raise SystemExit(f"builds disagree on the number of trades: {trades}")
            line = f"{seed:>4} {size[0]:>5} {size[1]:>6} {size[2]:>4} {trades[0]:>6}"
            for e, r in zip(engine, read):
                line += f" {e * 1e3:>10.1f} {r * 1e3:>9.2f} {e / r:>7.2f}"
            if len(pythons) > 1:
                line += " " + " ".join(f"{e / engine[0]:>6.2f}" for e in engine[1:])
            print(line, flush=True)
    finally:
        for w in workers:
            w.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
