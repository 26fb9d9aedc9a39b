"""The demo book under the book controls: at gross 1 and 2, with no-trade bands swept as a
grid ("how much cost does a band save, at what tracking cost?"), and in whole lots of a
capital; with a 4 % cash rate and a 1 % borrow fee beside it.

    python bench/book_controls.py
"""

import warnings

import numpy as np

import orvane
from orvane import cli, datasets


def line(label, result):
    s = result.stats()
    print(f"  {label:<34} return {s['total_return']:8.2%}  volatility {s['annual_volatility']:6.2%}"
          f"  costs {s['total_costs']:7.2%}  turnover {s['turnover']:5.2f}x  records {s['trades']:>6,}")


def main():
    market = datasets.synthetic_market(**cli.DEMO_MARKET)
    weights = datasets.momentum(market, **cli.DEMO_STRATEGY)
    run = dict(delistings=market.delistings, **cli.DEMO_SETTINGS)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        print("leverage (the demo's weights at gross 1, then doubled with max_gross=2):")
        line("gross 1", orvane.backtest(weights, market, **run))
        line("gross 2", orvane.backtest(weights * 2, market, max_gross=2.0, **run))
        line("gross 2, cash 4 %, borrow 1 %", orvane.backtest(weights * 2, market, max_gross=2.0,
                                                              cash_rate=0.04, borrow_fee=0.01, **run))
        print("no-trade bands, swept (tracking error: annualised, against the run without one):")
        grid = {"band": [None, 0.01, 0.05], **cli.DEMO_SETTINGS, "delistings": "infer"}
        swept = orvane.sweep(market, grid, weights=weights, keep=("stats", "equity"),
                             progress=False)
        equity = swept.equity
        returns = equity.pct_change().iloc[1:]
        for k, band in enumerate(grid["band"]):
            s = swept.table.iloc[k]
            gap = (returns.iloc[:, k] - returns.iloc[:, 0]).dropna()
            print(f"  band {band or 0:<5} costs {s['total_costs']:7.2%}  return {s['total_return']:8.2%}"
                  f"  records {int(s['trades']):>6,}  tracking error {gap.std() * np.sqrt(252):6.2%}")
        print("whole lots:")
        line("capital 100,000 in lots of 100", orvane.backtest(weights, market, capital=100_000,
                                                               lot=100, **run))


if __name__ == "__main__":
    main()
