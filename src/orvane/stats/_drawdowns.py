"""Drawdowns of an equity curve: the curve below its running high, every spell below an
earlier high, the deepest one and the Calmar ratio.
"""

from __future__ import annotations

from typing import Optional, Tuple

import numpy as np
import pandas as pd

from orvane.stats._returns import quiet

@quiet
def drawdown(equity: pd.Series) -> pd.Series:
    """Equity / running maximum - 1: zero at every new high, negative below it."""
    return equity / equity.cummax() - 1.0


DRAWDOWN_COLUMNS = ("peak", "trough", "recovery", "depth", "bars", "days")


@quiet
def drawdown_periods(equity: pd.Series, top: Optional[int] = None) -> pd.DataFrame:
    """Every spell below an earlier high, deepest first (``top``: only that many).

    A spell starts after a bar at the running high (its ``peak``, the last bar at
    that high) and ends on its ``recovery``, the first bar back at or above the
    peak's value (NaT while not recovered). ``trough`` is the lowest bar in it
    (the first one on a tie), ``depth`` trough / peak - 1 (a negative fraction).
    ``bars`` and ``days`` count bars and calendar days (fractional for intraday
    bars) from the peak to the recovery, or to the last bar while not recovered.
    Equal depths keep their order in time.
    """
    values = equity.dropna()
    v = values.to_numpy(dtype=np.float64)
    starts, ends, depth = _spells(v, top)
    troughs = np.array([s + int(np.argmin(v[s:e])) for s, e in zip(starts, ends)], dtype=np.int64)
    peaks = starts - 1
    recovered = ends < len(v)
    until = np.where(recovered, ends, len(v) - 1)
    index = values.index
    return pd.DataFrame({
        "peak": index[peaks],
        "trough": index[troughs],
        "recovery": index[until].where(recovered),
        "depth": depth,
        "bars": until - peaks,
        "days": (index[until] - index[peaks]) / pd.Timedelta(days=1),
    }, columns=list(DRAWDOWN_COLUMNS))


def _spells(v: np.ndarray, top: Optional[int]) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(starts, ends, depths) of the spells below an earlier high, deepest first."""
    high = np.maximum.accumulate(v) if len(v) else v
    below = v < high
    edges = np.diff(np.concatenate([[0], below.astype(np.int8), [0]]))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    # Between two spells the drawdown is 0: each segment's minimum is its spell's.
    dd = v / high - 1.0
    depth = np.minimum.reduceat(dd, starts) if len(starts) else np.zeros(0)
    order = np.argsort(depth, kind="stable")[:top]
    return starts[order], ends[order], depth[order]


@quiet
def max_drawdown(equity: pd.Series) -> tuple[float, pd.Timestamp, pd.Timestamp, pd.Timestamp]:
    """Deepest drawdown and its dates: (depth, peak, trough, recovery).

    The first row of ``drawdown_periods``: depth is the minimum of ``drawdown``
    (0 or negative), peak the last bar at the high before the trough, trough the
    lowest bar, recovery the first bar after the trough back at or above the
    peak's value, NaT when it never gets back there. A curve that never falls
    below an earlier high has depth 0 and NaT for all three dates.
    """
    v, index = equity.to_numpy(dtype=np.float64), equity.index
    known = ~np.isnan(v)
    if not known.all():  # the known bars, without a Series of them
        v, index = v[known], index[known]
    if not len(v):
        return float("nan"), pd.NaT, pd.NaT, pd.NaT
    starts, ends, depth = _spells(v, 1)
    if not len(starts):
        return 0.0, pd.NaT, pd.NaT, pd.NaT
    start, end = int(starts[0]), int(ends[0])
    recovery = index[end] if end < len(v) else pd.NaT
    return float(depth[0]), index[start - 1], index[start + int(np.argmin(v[start:end]))], recovery


@quiet
def calmar_ratio(cagr_value: float, max_drawdown_value: float) -> float:
    """CAGR / |max drawdown|; NaN without a drawdown."""
    if not max_drawdown_value < 0:
        return float("nan")
    return float(cagr_value / abs(max_drawdown_value))
