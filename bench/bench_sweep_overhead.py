"""The sweep's own work per run against the engine's, side by side in one run.

Workload W (5,040 x 2,000, OHLC frames as a user holds them, rebalance dates and
delistings) with fixed weights and a stop-loss grid, swept in this process.  Each round
times, interleaved:

- engine: ``backtest_`` alone on the arrays the front prepared, once per grid point, run
  as the front runs it: with the ledger on and the cyclic collector paused (a bare call,
  neither, is shown too);
- sweep: ``orvane.sweep`` over the same grid; each run's own time (its ``seconds``: the
  weights' alignment, the engine, reading its records and its statistics) and the sweep's
  whole time.

Wall time is the measure; CPU time, which other tenants of a shared machine disturb
less, is shown beside it.

The statistics, what a sweep keeps of a run, are timed apart within the runs.

The market and the weights are checked once per sweep, so the sweep's time is its runs'
plus a part once per sweep (checks, conversions, the table).  The first run also aligns
the weights to its options and checks the bars on their first use, once per sweep, so the
runs after it give the part per run:

    overhead per run = (sum of their times - sum of their engine times) / the latter
    once per sweep   = sweep time - runs x time per run after the first

Times per grid point are medians over the rounds.

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
    """Wall and CPU seconds of each grid point's engine run: with the ledger and the cyclic
    collector paused, as the front runs it, or as a bare call (neither)."""
    tradeloom.record_ledger(as_the_front_runs_it)
    wall, cpu = [], []
    for core in cores:
        if as_the_front_runs_it:
            gc.disable()
        start, clock = time.perf_counter(), time.process_time()
        tradeloom.backtest_(**arrays, **core)
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - clock)
        gc.enable()
    return wall, cpu


class Timed:
    """Wraps a function and keeps the seconds of each call."""

    def __init__(self, func):
        self.func, self.calls = func, []

    def __call__(self, *args, **kwargs):
        start = time.perf_counter()
        try:
            return self.func(*args, **kwargs)
        finally:
            self.calls.append(time.perf_counter() - start)


def sweep_times(ohlc, weights, calendar):
    """The sweep's time, each run's wall and CPU seconds, and each run's seconds spent
    computing its statistics."""
    grid = {"stop_loss": STOPS, "trade_at": "open", **calendar}
    timed = Timed(stats.figures_summary)
    stats.figures_summary = timed
    try:
        start = time.perf_counter()
        res = orvane.sweep(ohlc, grid, weights=weights, workers=1, progress=False)
        total = time.perf_counter() - start
    finally:
        stats.figures_summary = timed.func
    return total, list(res.seconds), list(res.timings["cpu"]), timed.calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="5040x2000")
    parser.add_argument("--rounds", type=int, default=3)
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
    bare, eng, eng_cpu, runs, runs_cpu, whole, summaries = [], [], [], [], [], [], []
    for _ in range(args.rounds):
        bare.append(engine_times(arrays, cores, False)[0])
        wall, cpu = engine_times(arrays, cores, True)
        eng.append(wall)
        eng_cpu.append(cpu)
        total, seconds, cpu, summary = sweep_times(ohlc, weights, calendar)
        assert len(summary) == len(STOPS)
        summaries.append(summary)
        whole.append(total)
        runs.append(seconds)
        runs_cpu.append(cpu)

    def per_point(times):
        return [statistics.median(column) for column in zip(*times)]

    bare_s, eng_s, run_s, eng_c, run_c, stats_s = (
        sum(per_point(t)[1:]) for t in (bare, eng, runs, eng_cpu, runs_cpu, summaries))
    n = len(STOPS) - 1
    once = statistics.median(whole) - (n + 1) * run_s / n
    print(f"{args.size}, stop-loss grid of {n + 1} (per run from the last {n}), medians of "
          f"{args.rounds} rounds per grid point:")
    print(f"  engine per run {eng_s / n:.3f} s as the front runs it ({bare_s / n:.3f} s as a "
          f"bare call)")
    print(f"  sweep per run {run_s / n:.3f} s; once per sweep {once:.3f} s (checks, "
          f"conversions, the table)")
    print(f"  overhead per run {(run_s - eng_s) / eng_s:.1%} of the engine's time "
          f"({(run_s - bare_s) / bare_s:.1%} of a bare call's)")
    print(f"  of which the run's statistics {stats_s / eng_s:.1%} and the rest (aligning, "
          f"reading the engine's records) {(run_s - stats_s - eng_s) / eng_s:.1%}")
    print(f"  in CPU time: engine {eng_c / n:.3f} s, sweep {run_c / n:.3f} s per run, overhead "
          f"{(run_c - eng_c) / eng_c:.1%}")
    whole_engine = sum(per_point(eng))
    print(f"  whole sweep of {n + 1}: {(statistics.median(whole) - whole_engine) / whole_engine:.1%} "
          f"beyond the engine's time")


if __name__ == "__main__":
    main()
