"""Time backtest_ on seeded synthetic markets and report ratios measured side by side.

Absolute times depend on the machine; the ratios compare runs taken in the same
process, interleaved round by round, so they carry across machines.

    python bench/bench_backtest.py
    python bench/bench_backtest.py --sizes 252x50 1260x500 --repeat 3
"""

import argparse
import gc
import platform
import statistics
import sys
import time

import numpy as np

from orvane.core import tradeloom
from orvane.datasets import core_layout

DEFAULT_SIZES = ("1260x500", "5040x2000", "5040x5000")
STOPS = {"stop_loss": 0.1, "take_profit": 0.3, "trail_stop": 0.08}
WINDOW = {"tidemark_window": 20, "tidemark_window_step": 5}


def parse_size(text):
    rows, sep, stocks = text.lower().partition("x")
    if not sep or not rows.isdigit() or not stocks.isdigit():
        raise argparse.ArgumentTypeError(f"size must look like ROWSxSTOCKS, got {text!r}")
    return int(rows), int(stocks)


def timed(fn):
    # As timeit does: no collector pauses inside the measured call.
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = fn()
        return time.perf_counter() - start, result
    finally:
        gc.enable()


def bench_size(rows, stocks, repeat, seed):
    build_s, market = timed(lambda: core_layout(rows, stocks, seed))
    inputs = market.inputs()
    price = market.price_values

    def baseline():
        # One NumPy pass over the trading prices: daily returns.
        return price[1:] / price[:-1] - 1.0

    def plain():
        return tradeloom.backtest_(**inputs, delisting_bars=market.delisting_bars)

    def full():
        return tradeloom.backtest_(**inputs, delisting_bars=market.delisting_bars, **STOPS, **WINDOW)

    times = {"baseline": [], "plain": [], "full": []}
    trades = {}
    for _ in range(repeat):
        # Interleaved so that drift in machine load hits all three alike.
        for name, fn in (("baseline", baseline), ("plain", plain), ("full", full)):
            seconds, _ = timed(fn)
            times[name].append(seconds)
            if name != "baseline" and name not in trades:
                trades[name] = len(tradeloom.get_trade_stocks(market.pos_columns, market.price_index, False)[0])
    med = {name: statistics.median(values) for name, values in times.items()}
    return {
        "rows": rows,
        "stocks": stocks,
        "build": build_s,
        "plain_trades": trades["plain"],
        "full_trades": trades["full"],
        **med,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", type=parse_size, default=[parse_size(s) for s in DEFAULT_SIZES],
                        metavar="ROWSxSTOCKS", help="market sizes (default: %s)" % " ".join(DEFAULT_SIZES))
    parser.add_argument("--repeat", type=int, default=5, help="timed runs per size; the median is shown (default 5)")
    parser.add_argument("--seed", type=int, default=0, help="market seed (default 0)")
    args = parser.parse_args(argv)
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    if not hasattr(tradeloom, "backtest_"):
        print("this build has no tradeloom.backtest_", file=sys.stderr)
        return 1

    print(f"python {platform.python_version()}, numpy {np.__version__}, {platform.machine()}, "
          f"median of {args.repeat}, seed {args.seed}")
    print("full = stops (%s) + window %d step %d; plain = no stops, window 0; both with delisting rows"
          % (", ".join(f"{k} {v}" for k, v in STOPS.items()), WINDOW["tidemark_window"],
             WINDOW["tidemark_window_step"]))
    header = (f"{'size':>12} {'build s':>8} {'numpy ms':>9} {'plain ms':>9} {'full ms':>9} "
              f"{'trades p':>9} {'trades f':>9} {'full/plain':>10} {'plain/numpy':>11} {'full/numpy':>10}")
    print(header)
    for rows, stocks in args.sizes:
        r = bench_size(rows, stocks, args.repeat, args.seed)
        print(f"{f'{rows}x{stocks}':>12} {r['build']:>8.2f} {r['baseline'] * 1e3:>9.1f} {r['plain'] * 1e3:>9.1f} "
              f"{r['full'] * 1e3:>9.1f} {r['plain_trades']:>9} {r['full_trades']:>9} {r['full'] / r['plain']:>10.2f} "
              f"{r['plain'] / r['baseline']:>11.1f} {r['full'] / r['baseline']:>10.1f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
