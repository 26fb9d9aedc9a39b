"""backtest_ side by side with vectorbt on the same long/short rebalancing book.

Needs the optional extra: pip install ".[bench]" (vectorbt and its Rust engine).

    python bench/bench_peers.py
    python bench/bench_peers.py --sizes 1260x500 --repeat 5

The market: the seeded sample market without missing bars (a delisted stock keeps
its last close), closes only, trading at the close; a monthly book of 100 names,
80 long and 20 short at 1/100 each. A weight row dated on price row r is traded
at row r + 1 by both engines; no costs, no stops.

vectorbt setups (all one group with cash sharing, the weights as target percent):

- `from_orders numba`, `from_orders rust`: Portfolio.from_orders with
  call_seq="auto" (sells before the buys they fund), engine "numba" or "rust";
  every row of every column is simulated, NaN sizes placing no order.
  min_size=0: the default (1e-8 shares) rejects the smallest top-ups of kept
  holdings, which leaves the book off its targets by up to 1e-7.
- `order_func`: the documented rebalancing recipe, Portfolio.from_order_func
  with a segment mask of the rebalance rows, valuation at the close and the call
  sequence sorted in pre_segment_func_nb (numba only).
- `default numba`, `default rust`: from_orders with the default call sequence
  (column order). Right only while cash covers the buys placed before the sells
  that fund them; where its equity disagrees it is reported and not timed.

First the cross-check: every setup's equity (value / initial cash) against
creturn; more than 1e-9 apart anywhere stops the run (the default call
sequence setups are dropped instead). Then the timings,
interleaved round by round: each setup from the call to the equity series. The
first call of each setup (numba compilation or loading its cache, the Rust
engine's first use) is reported apart. Ratios, setup time over backtest_ time,
come last.
"""

import argparse
import gc
import os
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from workload import book_weights  # noqa: E402

from orvane.core import tradeloom  # noqa: E402
from orvane.datasets import core_layout  # noqa: E402

DEFAULT_SIZES = ("1260x500", "5040x2000", "5040x5000")
HELD = (80, 20)
TOLERANCE = 1e-9


def parse_size(text):
    rows, sep, stocks = text.lower().partition("x")
    if not sep or not rows.isdigit() or not stocks.isdigit():
        raise argparse.ArgumentTypeError(f"size must look like ROWSxSTOCKS, got {text!r}")
    return int(rows), int(stocks)


class Book:
    """One market and its weights in both engines' layouts."""

    def __init__(self, rows, stocks, seed=0):
        m = core_layout(rows, stocks, seed, top_k=1, gap_ratio=0.0)
        close = m.close_values
        # A delisted stock keeps its last close: no gaps for either engine.
        for col in np.flatnonzero(m.delisting_bars >= 0):
            bar = m.delisting_bars[col]
            close[bar:, col] = close[bar - 1, col]
        self.close = close
        self.signal_rows = np.searchsorted(m.price_index, m.pos_index)
        no_delisting = np.full(stocks, -1, dtype=np.int64)
        self.weights = book_weights(close, no_delisting, self.signal_rows, m.lookback, *HELD)
        self.price_index, self.pos_index, self.resample = m.price_index, m.pos_index, m.resample
        self.labels = m.price_columns
        # vectorbt: target percent on the trading rows, NaN (no order) elsewhere.
        traded = self.signal_rows + 1 < rows
        self.trade_rows = self.signal_rows[traded] + 1
        self.size = np.full(close.shape, np.nan)
        self.size[self.trade_rows] = self.weights[traded]
        self.mask = np.zeros((rows, 1), dtype=bool)
        self.mask[self.trade_rows] = True

    def engine(self):
        c = self.close
        return tradeloom.backtest_(c, c, c, c, c, self.price_index, self.labels, self.weights, self.pos_index,
                                   self.labels, self.resample, fee_ratio=0.0, tax_ratio=0.0, stop_loss=np.inf)


def vbt_setups(vbt):
    from numba import njit
    from vectorbt.portfolio import nb
    from vectorbt.portfolio.enums import Direction, SizeType

    @njit
    def pre_group_func_nb(c):
        return (np.empty(c.group_len, dtype=np.float64),)

    @njit
    def pre_segment_func_nb(c, order_value_out, size):
        for col in range(c.from_col, c.to_col):
            c.last_val_price[col] = c.close[c.i, col]  # value the group at the close
        nb.sort_call_seq_nb(c, size[c.i, c.from_col:c.to_col], SizeType.TargetPercent, Direction.Both,
                            order_value_out)
        return ()

    @njit
    def order_func_nb(c, size):
        return nb.order_nb(size=size[c.i, c.col], price=c.close[c.i, c.col], size_type=SizeType.TargetPercent,
                           direction=Direction.Both, min_size=0.0)

    def from_orders(engine, call_seq="auto"):
        def run(book):
            pf = vbt.Portfolio.from_orders(book.close, size=book.size, size_type="targetpercent",
                                           direction="both", init_cash=1.0, fees=0.0, min_size=0.0, cash_sharing=True,
                                           group_by=True, call_seq=call_seq, engine=engine, freq="1D")
            return pf.value().to_numpy()
        return run

    def order_func(book):
        pf = vbt.Portfolio.from_order_func(book.close, order_func_nb, book.size, segment_mask=book.mask,
                                           pre_group_func_nb=pre_group_func_nb, pre_segment_func_nb=pre_segment_func_nb,
                                           pre_segment_args=(book.size,), init_cash=1.0, cash_sharing=True,
                                           group_by=True, freq="1D")
        return pf.value().to_numpy()

    return {"from_orders numba": from_orders("numba"), "from_orders rust": from_orders("rust"),
            "order_func": order_func, "default numba": from_orders("numba", "default"),
            "default rust": from_orders("rust", "default")}


# Column order instead of sells first: right only while cash covers every buy
# placed before the sells that fund it. Dropped (loudly) where it disagrees.
MAY_DISAGREE = ("default numba", "default rust")


def timed(fn, *args):
    gc.collect()
    start = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - start, out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", type=parse_size, default=[parse_size(s) for s in DEFAULT_SIZES],
                        metavar="ROWSxSTOCKS", help="market sizes (default: %s)" % " ".join(DEFAULT_SIZES))
    parser.add_argument("--repeat", type=int, default=3, help="timed rounds per size; medians shown (default 3)")
    args = parser.parse_args(argv)
    try:
        import vectorbt as vbt
    except ImportError:
        print("vectorbt is not installed: pip install '.[bench]'", file=sys.stderr)
        return 1
    import numba

    print(f"vectorbt {vbt.__version__}, numba {numba.__version__}, numpy {np.__version__}; "
          f"book {HELD[0]} long + {HELD[1]} short, median of {args.repeat}")
    setups = vbt_setups(vbt)

    # First calls, on the smallest market: compilation (or cache loading) and first use.
    small = Book(*min(args.sizes))
    unavailable = {}
    print("\nfirst call of each setup (compile or cache load + one run), on %dx%d:" % min(args.sizes))
    for name, fn in setups.items():
        try:
            first, _ = timed(fn, small)
        except Exception as exc:  # a setup this machine cannot run is reported, not fatal
            unavailable[name] = f"{type(exc).__name__}: {exc}"
            print(f"  {name:<20} cannot run here: {unavailable[name]}")
            continue
        again, _ = timed(fn, small)
        print(f"  {name:<20} first {first:8.3f} s, next {again:8.3f} s, first-call overhead {first - again:8.3f} s")
    for name in unavailable:
        del setups[name]

    results = []
    for rows, stocks in args.sizes:
        book = Book(rows, stocks)
        want = book.engine()
        print(f"\n{rows}x{stocks}: cross-check against creturn")
        wrong = []
        for name, fn in setups.items():
            got = fn(book)
            diff = float(np.max(np.abs(got - want)))
            print(f"  {name:<20} max |equity - creturn| = {diff:.2e}")
            if not diff <= TOLERANCE and name in MAY_DISAGREE:
                print(f"  {name:<20} WRONG here: not timed")
                wrong.append(name)
            elif not diff <= TOLERANCE:
                raise SystemExit(f"{name} disagrees with backtest_ by {diff:.3e} at {rows}x{stocks} "
                                 f"(first row {int(np.argmax(np.abs(got - want) > TOLERANCE))})")
        timing = {name: fn for name, fn in setups.items() if name not in wrong}
        times = {name: [] for name in ["backtest_", *timing]}
        for _ in range(args.repeat):
            times["backtest_"].append(timed(book.engine)[0])
            for name, fn in timing.items():
                times[name].append(timed(fn, book)[0])
        med = {name: statistics.median(t) for name, t in times.items()}
        results.append((rows, stocks, med))
        print("  " + ", ".join(f"{name} {t * 1e3:.1f} ms" for name, t in med.items()), flush=True)

    print("\nratios, setup time / backtest_ time (medians, same process, interleaved):")
    names = ["backtest_", *setups]
    print(f"{'size':>12} {'backtest_ ms':>12} " + " ".join(f"{n:>20}" for n in names[1:]))
    for rows, stocks, med in results:
        base = med["backtest_"]
        cells = [f"{med[n] / base:>19.1f}x" if n in med else f"{'wrong':>20}" for n in names[1:]]
        print(f"{f'{rows}x{stocks}':>12} {base * 1e3:>12.1f} " + " ".join(cells))
    for name, why in unavailable.items():
        print(f"not run: {name}: {why}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
