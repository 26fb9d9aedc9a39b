"""``python -m orvane``: backtest the seeded sample market and print a short summary."""

import argparse
import sys
from collections import Counter

import numpy as np

from orvane.sample import make_market, run

# Stops, take-profit and a look-ahead window, so every part of the engine takes part.
SETTINGS = {
    "stop_loss": 0.1,
    "take_profit": 0.3,
    "trail_stop": 0.08,
    "tidemark_window": 20,
    "tidemark_window_step": 5,
}
BARS_PER_YEAR = 252
SHOWN_TRADES = 5


def _day(ts):
    return str(np.datetime64(int(ts), "ns").astype("datetime64[D]"))


def summarise(creturn, first_row):
    """Final value, total return, annualised volatility and max drawdown of a run."""
    live = creturn[first_row:]
    daily = live[1:] / live[:-1] - 1.0
    vol = float(np.std(daily, ddof=1) * np.sqrt(BARS_PER_YEAR)) if len(daily) > 1 else float("nan")
    drawdown = live / np.maximum.accumulate(live) - 1.0
    return {
        "final": float(creturn[-1]),
        "total_return": float(creturn[-1]) - 1.0,
        "volatility": vol,
        "max_drawdown": float(drawdown.min()),
    }


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m orvane",
        description="Backtest a seeded synthetic market with monthly long/short momentum weights.",
    )
    parser.add_argument("--rows", type=int, default=756, help="business days (default 756)")
    parser.add_argument("--stocks", type=int, default=60, help="number of stocks (default 60)")
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    args = parser.parse_args(argv)
    if args.rows < 2 or args.stocks < 2:
        parser.error("--rows and --stocks must be at least 2")

    from orvane.core import tradeloom

    if not hasattr(tradeloom, "backtest_"):
        print("orvane: this build has no backtest engine (tradeloom.backtest_)", file=sys.stderr)
        return 1

    market = make_market(args.rows, args.stocks, args.seed)
    creturn = run(market, **SETTINGS)
    trades, _ = tradeloom.get_trade_stocks(market.pos_columns, market.price_index, False)
    actions = Counter(tradeloom.get_stock_operations().get("actions", {}).values())

    # Rows dated before the first weight row are not simulated and hold 1.0.
    first_row = int(np.searchsorted(market.price_index, market.pos_index[0]))
    stats = summarise(creturn, first_row)
    delisted = int(np.count_nonzero(market.delisting_bars >= 0))

    print("orvane sample backtest")
    print(f"  market        {market.n_rows} rows x {market.n_stocks} stocks, seed {market.seed}, "
          f"{_day(market.price_index[0])} .. {_day(market.price_index[-1])}, {delisted} delisted")
    print(f"  weights       {len(market.pos_index)} monthly rows from {_day(market.pos_index[0])}, "
          f"long/short top {market.top_k} by {market.lookback}-bar return")
    print("  settings      " + ", ".join(f"{k} {v}" for k, v in SETTINGS.items()))
    print(f"  final value   {stats['final']:.6f}")
    print(f"  total return  {stats['total_return']:+.2%}")
    print(f"  ann. vol      {stats['volatility']:.2%}")
    print(f"  max drawdown  {stats['max_drawdown']:.2%}")
    print(f"  trades        {len(trades)}")
    tags = ", ".join(f"{tag} {n}" for tag, n in sorted(actions.items())) or "none"
    print(f"  next actions  {tags}")
    if trades:
        print(f"  first {min(SHOWN_TRADES, len(trades))} trades:")
        print(f"    {'stock':<8}{'entry':<12}{'exit':<12}{'position':>10}{'bars':>6}")
        for row in trades[:SHOWN_TRADES]:
            stock, entry_time, exit_time, _, _, size, period = row[:7]
            exit_day = "open" if exit_time == -1 else _day(exit_time)
            print(f"    {str(stock):<8}{_day(entry_time):<12}{exit_day:<12}{float(size):>+10.4f}{int(period):>6}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
