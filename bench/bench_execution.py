"""Execution by size and liquidity on workload W: what the engine's execution switch costs,
what the front's per-bar arrays cost to build, and a capacity curve of 12 capitals on one
and on two workers.

    python bench/bench_execution.py [--rounds 7] [--skip-capacity]

`off` is the engine as the front always runs it (ledger and record arrays on); `on` the
same run with every execution option: slippage, a spread, square-root impact, a 10 %
participation cap with carried remainders and capped stops, at a capital of 1 million
(where the cap seldom binds: what the switch itself costs) and of 100 million (where it
cuts about two records in five, and the slices it carries to later bars are trades of
their own). The variants are timed in turn, round by round in one process, so drifts of
the machine fall on all alike; the ratio to `off` is taken on the medians and on the
minima. Money ADV spreads over four orders of magnitude across names (2e5 to 2e9 a day).
Nothing asserts on time.
"""

import argparse
import os
import statistics
import sys
import time
import warnings

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workload import W_SIZE, make_workload  # noqa: E402

from orvane import _execution, _spread  # noqa: E402
from orvane.core import tradeloom  # noqa: E402

CAPITALS_TIMED = (1e6, 1e8)
CAPITALS = [float(c) for c in np.geomspace(1e6, 1e10, 12)]


def volumes(close, seed=0):
    """Shares per bar: each name's money a day log-uniform over 2e5..2e9, noisy by day."""
    rng = np.random.default_rng([seed, 9])
    money = np.exp(rng.uniform(np.log(2e5), np.log(2e9), close.shape[1]))
    noise = rng.lognormal(-0.08, 0.4, close.shape)
    return np.round(money * noise / close)


def switch(market, volume, capital):
    n, m = market.close_values.shape
    return {
        "adv": _execution.money_adv(market.close_values, volume, 20),
        "sigma": _execution.volatility(market.close_values, 20),
        "spread": np.broadcast_to(np.float64(0.001), (n, m)),
        "slippage": np.broadcast_to(np.float64(0.0005), (n, m)),
        "impact": 0.7, "impact_exponent": 0.5, "max_participation": 0.1, "capital": capital,
        "unfilled": "carry", "cap_exits": True,
    }


def timed(call):
    started = time.perf_counter()
    out = call()
    return time.perf_counter() - started, out


def engine(kwargs, switches, rounds):
    base = {"ledger": True, "arrays": True}
    variants = {"off": base, **{f"on at {c:.0e}": {**base, "execution": x}
                                for c, x in switches.items()}}
    for sw in variants.values():  # warm up
        tradeloom.run_(sw, **kwargs)
    times = {name: [] for name in variants}
    ledgers = {}
    for _ in range(rounds):
        for name, sw in variants.items():
            seconds, out = timed(lambda: tradeloom.run_(sw, **kwargs))
            times[name].append(seconds)
            ledgers[name] = out[3]
    print(f"engine on W {W_SIZE[0]:,} x {W_SIZE[1]:,}, {rounds} rounds (seconds):")
    for name, values in times.items():
        ledger = ledgers[name]
        line = (f"  {name:<11} median {statistics.median(values):7.4f}  min {min(values):7.4f}  "
                f"{len(ledger['pnl']):,} records")
        if name != "off":
            med = statistics.median(values) / statistics.median(times["off"])
            low = min(values) / min(times["off"])
            line += (f", {int(np.sum(ledger['capped'])):,} capped, {len(ledger['shortfall']):,} "
                     f"shortfall events; on/off {med:.3f}x (medians), {low:.3f}x (minima)")
        print(line)


def front(market, volume):
    o, h, lo, c = (market.open_values, market.high_values, market.low_values,
                   market.close_values)
    print("front's per-bar arrays on W (seconds, one run each):")
    for label, call in (("money ADV, 20 bars", lambda: _execution.money_adv(c, volume, 20)),
                        ("volatility, 20 returns", lambda: _execution.volatility(c, 20)),
                        ("EDGE spread, 21 bars", lambda: _spread.edge_spread(o, h, lo, c, 21))):
        seconds, _ = timed(call)
        print(f"  {label:<24} {seconds:7.3f}")


def capacity(market, volume):
    import orvane

    dates = pd.DatetimeIndex(market.price_index)
    tickers = pd.Index(market.price_columns, dtype=object)
    prices = {"close": pd.DataFrame(market.close_values, index=dates, columns=tickers),
              "volume": pd.DataFrame(volume, index=dates, columns=tickers)}
    weights = pd.DataFrame(market.pos_values, index=pd.DatetimeIndex(market.pos_index),
                           columns=pd.Index(market.pos_columns, dtype=object))
    print(f"capacity on W, {len(CAPITALS)} capitals from 1e6 to 1e10 (seconds):")
    for workers in (1, 2):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            seconds, curve = timed(lambda: orvane.capacity(
                weights, prices, CAPITALS, workers=workers, impact=0.7, max_participation=0.1,
                spread=0.001, stop_loss=0.1, take_profit=0.3))
        print(f"  {workers} worker{'s' if workers > 1 else ' '} {seconds:8.2f}   {curve}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--skip-capacity", action="store_true")
    args = parser.parse_args()
    market, kwargs = make_workload()
    volume = volumes(market.close_values)
    engine(kwargs, {c: switch(market, volume, c) for c in CAPITALS_TIMED}, args.rounds)
    front(market, volume)
    if not args.skip_capacity:
        capacity(market, volume)


if __name__ == "__main__":
    main()
