"""The sweep's own work per run against the engine's, side by side in one run.

Workload W (5,040 x 2,000, OHLC frames as a user holds them) with fixed weights and a
stop-loss grid, swept in this process.  Each round times, interleaved:

- engine: ``backtest_`` alone on the arrays the front prepared, once per grid point;
- sweep: ``orvane.sweep`` over the same grid (the market prepared once, then per run the
  weights' alignment, the engine, the result's tables and its statistics).

Per-run overhead = (sweep time / runs - engine time per run) / engine time per run.

    python bench/bench_sweep_overhead.py
    python bench/bench_sweep_overhead.py --size 1260x500 --rounds 3
"""

import argparse
import statistics
import time
import warnings

import orvane
from orvane import _params, engine, inputs
from orvane.core import tradeloom
from orvane.datasets import core_layout

from bench_backtest import parse_size  # run as a script: bench/ is on the path
from bench_front import user_data

STOPS = [None, 0.05, 0.1, 0.15, 0.2]


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
    grid = {"stop_loss": STOPS, "trade_at": "open", **calendar}

    engine_s, sweep_s = [], []
    for _ in range(args.rounds):
        start = time.perf_counter()
        for core in cores:
            tradeloom.backtest_(**arrays, **core)
        engine_s.append((time.perf_counter() - start) / len(cores))
        start = time.perf_counter()
        orvane.sweep(ohlc, grid, weights=weights, workers=1, progress=False)
        sweep_s.append((time.perf_counter() - start) / len(STOPS))
    eng, swp = statistics.median(engine_s), statistics.median(sweep_s)
    print(f"{args.size}, {len(STOPS)} stop-loss runs, medians of {args.rounds} rounds:")
    print(f"  engine per run {eng:.3f} s, sweep per run {swp:.3f} s, "
          f"overhead {(swp - eng) / eng:.1%} of the engine's time")


if __name__ == "__main__":
    main()
