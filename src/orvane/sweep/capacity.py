"""How much capital a book can take: the same weights run at a list of capitals (a sweep,
on the pool), each paying the costs its size and the names' liquidity give it, and the
capitals at which its net CAGR halves and reaches 0.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Iterable, Optional, Sequence

import numpy as np
import pandas as pd

from orvane._checks import Bounds, check_real, shown
from orvane._common import money

__all__ = ["capacity", "CapacityResult", "CAPITALS", "COLUMNS"]

# Half-decades from a million to ten billion.
CAPITALS = tuple(float(m * 10 ** k) for k in range(6, 10) for m in (1, 3)) + (1e10,)
# The statistics of each capital, in this order (the table's columns).
COLUMNS = ("cagr", "sharpe", "max_drawdown", "total_costs", "slippage_paid", "spread_paid",
           "impact_paid", "avg_participation", "p95_participation", "capped_trades",
           "avg_shortfall")
# What makes a run's result depend on its capital beyond whole shares.
_SIZED = ("impact", "max_participation")


@dataclass(frozen=True)
class CapacityResult:
    """The capacity curve of one book (see ``orvane.capacity``).

    ``table``: one row per capital (index ``capital``, money), the columns of ``COLUMNS``
    (statistics of ``orvane.stats``; costs in units of the starting capital).
    ``reference_cagr``: the net CAGR at the smallest capital, what "halves" is measured
    against.  ``halves_at`` and ``zero_at``: the capitals at which the net CAGR falls to half
    of it and to 0, interpolated in log capital between the two capitals around the
    crossing; None when it never does over the capitals tried (``zero_at`` is the smallest
    capital when the book loses money there already).  ``sweep``: the runs.
    """

    table: pd.DataFrame
    reference_cagr: float
    halves_at: Optional[float]
    zero_at: Optional[float]
    sweep: Any

    def plot(self, *, title: Optional[str] = "Capacity", figsize: Any = (8.0, 5.0)) -> Any:
        """Net CAGR against capital (log scale) with the two crossings marked, over the
        costs paid by kind (needs matplotlib: ``pip install 'orvane[plot]'``)."""
        from orvane.plotting import plot_capacity

        return plot_capacity(self, title=title, figsize=figsize)

    def __repr__(self) -> str:
        return (f"<CapacityResult {len(self.table)} capitals, net CAGR {self.reference_cagr:.2%} "
                f"at {money(self.table.index[0])}: halves at {money(self.halves_at)}, reaches 0 "
                f"at {money(self.zero_at)}>")


def capacity(weights: Any, prices: Any, capitals: Iterable[float] = CAPITALS, *,
             workers: Optional[int] = None, executor: Any = None, progress: bool = False,
             store: Any = None, **options: Any) -> CapacityResult:
    """Run the book at each of ``capitals`` and find how much it can take.

    Each run is ``orvane.backtest(weights, prices, capital=c, **options)``: the same
    weights, the costs and fills of execution by size (``impact``, ``max_participation``,
    ``spread``, ``slippage`` and the rest, of which ``impact`` or ``max_participation`` must
    be set, else capital changes nothing but whole-share rounding).  The runs are a sweep
    (``workers``, ``executor``, ``progress`` and ``store`` as ``orvane.sweep`` takes them).

    These are stress estimates: published impact coefficients come from academic fits, and
    realised costs of large managers have been found well below them (Frazzini, Israel and
    Moskowitz); sweep ``impact`` too, e.g. ``[capacity(..., impact=y) for y in (0.3, 1)]``.

    Returns a ``CapacityResult``: the table by capital, the capital at which the net CAGR
    halves and at which it reaches 0, a chart.
    """
    from orvane.sweep import sweep

    money = _check_capitals(capitals)
    if "capital" in options:
        raise TypeError("capacity() varies capital itself: pass the capitals to try as "
                        "capitals=[...], not capital=")
    if not any(options.get(name) is not None for name in _SIZED):
        raise ValueError("capacity() needs impact or max_participation: without them a "
                         "book pays the same fractions at every capital, so its capacity "
                         "is unbounded; pass impact (e.g. 0.7) and volume with the prices")
    runs = [{"capital": c, **options} for c in money]
    result = sweep(prices, runs, weights=weights, keep=("stats",), workers=workers,
                   executor=executor, progress=progress, errors="raise", store=store)
    stats = result.table
    table = pd.DataFrame({name: np.asarray(stats[name].to_numpy(), dtype=np.float64)
                          for name in COLUMNS if name in stats.columns},
                         index=pd.Index(money, name="capital"))
    cagr = table["cagr"].to_numpy()
    reference = float(cagr[0])
    halves = _crossing(money, cagr, reference / 2) if reference > 0 else None
    zero = _crossing(money, cagr, 0.0) if reference > 0 else money[0]
    return CapacityResult(table, reference, halves, zero, result)


def _check_capitals(capitals: Iterable[float]) -> list:
    if isinstance(capitals, (str, bytes)) or not isinstance(capitals, Iterable):
        raise TypeError(f"capitals must be a list of amounts of money, got {shown(capitals)}")
    money = [check_real(c, "capitals", Bounds(0.0, low_open=True), what="amounts of money")
             for c in capitals]
    if len(money) < 2:
        raise ValueError(f"capitals must hold at least two capitals to compare, got {len(money)}")
    if len(set(money)) != len(money):
        twice = sorted({c for c in money if money.count(c) > 1})
        raise ValueError(f"capitals must be distinct, got {twice[0]:,.0f} twice")
    return sorted(money)


def _crossing(capitals: Sequence[float], cagr: np.ndarray, level: float) -> Optional[float]:
    """The capital at which ``cagr`` first falls to ``level``, log-linear between the two
    capitals around it; None when it stays above."""
    below = np.flatnonzero(~(cagr > level))
    if not len(below):
        return None
    k = int(below[0])
    if k == 0:
        return float(capitals[0])
    x0, x1 = math.log(capitals[k - 1]), math.log(capitals[k])
    y0, y1 = float(cagr[k - 1]), float(cagr[k])
    share = (y0 - level) / (y0 - y1) if math.isfinite(y1) and y0 != y1 else 1.0
    return float(math.exp(x0 + share * (x1 - x0)))
