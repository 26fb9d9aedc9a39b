"""The demo's sweep: monthly momentum on the bundled synthetic market over a grid of
look-backs, skips and stop-losses, with how much of the best result is luck (deflated
Sharpe ratio, probability of backtest overfitting) and the sweep report.

    python bench/demo_sweep.py                 # 40 runs, writes sweep-report.html
    python bench/demo_sweep.py --workers 1
"""

import argparse
import time
import warnings

import orvane
from orvane import datasets

GRID = {"lookback": [42, 63, 126, 189, 252], "skip": [0, 21],
        "stop_loss": [None, 0.05, 0.1, 0.2], "delistings": "infer"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=None)
    parser.add_argument("--report", default="sweep-report.html")
    args = parser.parse_args()
    market = datasets.synthetic_market(stocks=300, years=10, seed=0)
    started = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        res = orvane.sweep(market, GRID, strategy=datasets.momentum, keep=("stats", "equity"),
                           workers=args.workers, progress=False)
    took = time.perf_counter() - started
    best = res.table["sharpe"].astype(float).idxmax()
    overfit = res.pbo(splits=16)
    print(f"{len(res)} runs in {took:.1f} s; best Sharpe {res.table['sharpe'].max():.3f} at "
          f"{ {k: getattr(v, 'item', lambda: v)() for k, v in zip(res.table.index.names, best)} }")
    dsr = res.deflation()
    print(f"deflated Sharpe ratio of the best run: {dsr.value:.3f} ({dsr.trials} trials, "
          f"variance of their per-bar Sharpe ratios {dsr.sharpe_variance:.3g})")
    print(f"probability of backtest overfitting (16 splits, {overfit.combinations} "
          f"combinations): {overfit.pbo:.3f}")
    print(f"report: {res.report(args.report)}")


if __name__ == "__main__":
    main()
