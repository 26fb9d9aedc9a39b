"""Time the front's own work against the engine it drives, side by side in one run.

The market is the engine benchmark's (seeded, stops, take-profit, trailing stop and a
look-ahead window), handed to ``orvane.backtest`` the way a user holds it: wide OHLC
DataFrames, a weights DataFrame, rebalance dates and a delisting mapping.  Each round
times, interleaved:

- engine: ``backtest_`` alone on the arrays the front prepared;
- front: the whole ``orvane.backtest`` call (checks, alignment, the same engine run,
  copies out of the engine, the result's tables).

- read: one NumPy pass over the four fields as the user holds them (the least any
  check of them can cost).

The front's overhead is front - engine; the ratio overhead / engine should stay below 1,
and the whole call within 2x of engine + read.  ``--book`` trades workload W's monthly
book of 100 names (the engine's part small, the checks' large) instead of the sample
market's weights.

    python bench/bench_front.py
    python bench/bench_front.py --sizes 1260x500 5040x2000 --repeat 5
    python bench/bench_front.py --book
"""

import argparse
import statistics
import warnings

import numpy as np
import pandas as pd

import orvane
from orvane import engine, inputs
from orvane.core import tradeloom
from orvane.datasets import core_layout

from bench_backtest import parse_size, timed  # run as a script: bench/ is on the path

DEFAULT_SIZES = ("5040x2000",)
FRONT = {"stop_loss": 0.1, "take_profit": 0.3, "trailing_stop": 0.08, "window": 20,
         "window_step": 5, "trade_at": "open"}
CORE = {"stop_loss": 0.1, "take_profit": 0.3, "trail_stop": 0.08, "tidemark_window": 20,
        "tidemark_window_step": 5}


def user_data(market):
    """The sample market as DataFrames, as a user would load it."""
    dates = pd.to_datetime(market.price_index)
    tickers = list(market.price_columns)
    ohlc = {f: pd.DataFrame(getattr(market, f"{f}_values"), index=dates, columns=tickers)
            for f in ("open", "high", "low", "close")}
    weights = pd.DataFrame(market.pos_values, index=pd.to_datetime(market.pos_index), columns=tickers)
    gone = np.flatnonzero(market.delisting_bars >= 0)
    delistings = pd.Series(dates[market.delisting_bars[gone]], index=[tickers[k] for k in gone])
    return weights, ohlc, {"rebalance": pd.to_datetime(market.resample), "delistings": delistings}


def bench_size(rows, stocks, repeat, seed, book=False):
    if book:
        from workload import make_workload

        market = make_workload(rows, stocks, seed=seed)[0]
    else:
        market = core_layout(rows, stocks, seed)
    weights, ohlc, calendar = user_data(market)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        prepared = inputs.prepare(weights, ohlc, trade_at="open", **calendar)
        arrays = engine.core_arguments(prepared)

        def core():
            return tradeloom.backtest_(**arrays, **CORE)

        def front():
            return orvane.backtest(weights, ohlc, **FRONT, **calendar)

        def prepare():
            return inputs.prepare(weights, ohlc, trade_at="open", **calendar)

        def read():
            for frame in ohlc.values():
                frame.to_numpy().sum()

        times = {"engine": [], "front": [], "prepare": [], "read": []}
        for _ in range(repeat):
            for name, fn in (("engine", core), ("front", front), ("prepare", prepare), ("read", read)):
                seconds, out = timed(fn)
                times[name].append(seconds)
                if name == "engine":
                    creturn = out
                elif name == "front":
                    result = out
    # The engine's curve covers every bar, NaN before the book's first weight.
    same = np.array_equal(result.full_equity.to_numpy(), creturn, equal_nan=True)
    med = {k: statistics.median(v) for k, v in times.items()}
    overhead = med["front"] - med["engine"]
    return {"size": f"{rows}x{stocks}", "trades": len(result.trades), "same": same,
            "overhead": overhead, "ratio": overhead / med["engine"],
            "bound": med["front"] / (med["engine"] + med["read"]), **med}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", type=parse_size,
                        default=[parse_size(s) for s in DEFAULT_SIZES], help="ROWSxSTOCKS")
    parser.add_argument("--repeat", type=int, default=3, help="interleaved rounds (median)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--book", action="store_true", help="workload W's book of 100 names")
    args = parser.parse_args(argv)
    print(f"numpy {np.__version__}, pandas {pd.__version__}; median of {args.repeat} rounds")
    header = (f"{'size':>10} {'trades':>7} {'engine s':>9} {'front s':>9} {'prepare s':>10} "
              f"{'read s':>7} {'overhead/engine':>16} {'front/(engine+read)':>20} {'same equity':>12}")
    print(header)
    for rows, stocks in args.sizes:
        r = bench_size(rows, stocks, args.repeat, args.seed, args.book)
        print(f"{r['size']:>10} {r['trades']:>7} {r['engine']:>9.3f} {r['front']:>9.3f} "
              f"{r['prepare']:>10.3f} {r['read']:>7.3f} {r['ratio']:>16.2f} {r['bound']:>20.2f} "
              f"{str(r['same']):>12}")


if __name__ == "__main__":
    main()
