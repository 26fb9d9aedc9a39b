"""The sweep's own work per run against the engine's, side by side in one run.

Workload W (5,040 x 2,000, OHLC frames as a user holds them, rebalance dates and
delistings) with fixed weights and a stop-loss grid, swept in this process.  Each round
times, interleaved:

- engine: ``backtest_`` alone on the arrays the front prepared, once per grid point, run
  as the front runs it: with the ledger on, the records kept as arrays and the cyclic
  collector paused (a bare call, none of them, is shown too);
- sweep: ``orvane.sweep`` over the same grid: each run's own time (its ``seconds``: the
  weights' alignment, the engine, reading its records, its statistics), and within it the
  engine's calls and the statistics, timed by wrapping them; and the sweep's whole time.

The market and the weights are checked once per sweep, so the sweep's time is its runs'
plus a part once per sweep (checks, conversions, the table).  The first run also aligns
the weights to its options and checks the bars on their first use, once per sweep, so the
runs after it give the part per run:

    overhead per run = (their times - their engine times) / their engine times
    once per sweep   = sweep time - runs x time per run after the first

The engine's time within the runs is the measure (the same process state as the rest of
the run); the engine alone in a loop is shown beside it, and CPU time beside wall time: a
shared machine disturbs both.  Times per grid point are medians over the rounds.

    python bench/bench_sweep_overhead.py
    python bench/bench_sweep_overhead.py --size 1260x500 --rounds 3
"""

import argparse
import gc
import statistics
import time
import warnings

import orvane
from orvane import _params, engine, inputs, stats
from orvane.core import tradeloom
from orvane.datasets import core_layout

from bench_backtest import parse_size  # run as a script: bench/ is on the path
from bench_front import user_data

STOPS = [None, 0.03, 0.05, 0.08, 0.1, 0.12, 0.15, 0.2, 0.25, 0.3]


def engine_times(arrays, cores, as_the_front_runs_it):
    """Wall seconds of each grid point's engine run: with the ledger, the records kept as
    arrays and the cyclic collector paused, as the front runs it, or as a bare call
    (none of them)."""
    tradeloom.record_ledger(as_the_front_runs_it)
    was = tradeloom.record_arrays(as_the_front_runs_it)
    wall = []
    try:
        for core in cores:
            if as_the_front_runs_it:
                gc.disable()
            start = time.perf_counter()
            tradeloom.backtest_(**arrays, **core)
            wall.append(time.perf_counter() - start)
            gc.enable()
    finally:
        tradeloom.record_arrays(was)
    return wall


class Timed:
    """Stands in for a module's function and keeps the seconds of each call."""

    def __init__(self, module, name):
        self.module, self.name = module, name
        self.func, self.calls = getattr(module, name), []

    def __call__(self, *args, **kwargs):
        start = time.perf_counter()
        try:
            return self.func(*args, **kwargs)
        finally:
            self.calls.append(time.perf_counter() - start)

    def __enter__(self):
        setattr(self.module, self.name, self)
        return self

    def __exit__(self, *exc):
        setattr(self.module, self.name, self.func)


def sweep_times(ohlc, weights, calendar):
    """The sweep's time, and per run: wall and CPU seconds, the engine's seconds (the run
    and the idle run that frees it) and the statistics' seconds."""
    grid = {"stop_loss": STOPS, "trade_at": "open", **calendar}
    with Timed(tradeloom, "backtest_") as core, Timed(stats, "figures_summary") as summary:
        start = time.perf_counter()
        res = orvane.sweep(ohlc, grid, weights=weights, workers=1, progress=False)
        total = time.perf_counter() - start
    assert len(core.calls) == 2 * len(STOPS) and len(summary.calls) == len(STOPS)
    pairs = [a + b for a, b in zip(core.calls[::2], core.calls[1::2])]
    return total, list(res.seconds), list(res.timings["cpu"]), pairs, summary.calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="5040x2000")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    rows, stocks = parse_size(args.size)
    weights, ohlc, calendar = user_data(core_layout(rows, stocks, 0))
    warnings.simplefilter("ignore", UserWarning)
    data = inputs.prepare(weights, ohlc, trade_at="open", **calendar)
    arrays = engine.core_arguments(data)
    cores = []
    for stop in STOPS:
        given = {o.name: o.default for o in _params.OPTIONS}
        given.update(stop_loss=stop, trade_at="open")
        cores.append(_params.check_options(given)[1])

    kinds = ("bare", "alone", "runs", "cpu", "engine", "stats")
    times = {kind: [] for kind in kinds}
    whole = []
    for _ in range(args.rounds):
        times["bare"].append(engine_times(arrays, cores, False))
        times["alone"].append(engine_times(arrays, cores, True))
        total, seconds, cpu, core, summary = sweep_times(ohlc, weights, calendar)
        whole.append(total)
        for kind, values in zip(kinds[2:], (seconds, cpu, core, summary)):
            times[kind].append(values)

    # Medians per grid point, summed over the runs after the first.
    def after_first(kind):
        return sum(statistics.median(point) for point in list(zip(*times[kind]))[1:])

    bare, alone, runs, cpu, eng, stat = (after_first(kind) for kind in kinds)
    n = len(STOPS) - 1
    once = statistics.median(whole) - (n + 1) * runs / n
    print(f"{args.size}, stop-loss grid of {n + 1} (per run: the last {n}), medians of "
          f"{args.rounds} rounds per grid point:")
    print(f"  sweep per run {runs / n:.3f} s, of which the engine {eng / n:.3f} s; once per "
          f"sweep {once:.3f} s (checks, conversions, the table)")
    print(f"  overhead per run {(runs - eng) / eng:.1%} of the engine's time: its statistics "
          f"{stat / eng:.1%}, the rest (aligning, reading the engine's records) "
          f"{(runs - eng - stat) / eng:.1%}")
    print(f"  in CPU time: sweep {cpu / n:.3f} s per run, {(cpu - eng) / eng:.1%} beyond the "
          f"engine's wall time")
    print(f"  the engine alone in a loop: {alone / n:.3f} s per run as the front runs it "
          f"({(runs - alone) / alone:.1%} overhead against it), {bare / n:.3f} s as a bare call")


if __name__ == "__main__":
    main()
