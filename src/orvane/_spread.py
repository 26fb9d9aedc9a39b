"""Bid-ask spreads estimated from open, high, low and close prices (the EDGE estimator of
Ardia, Guidotti & Kroencke, "Efficient estimation of bid-ask spreads from open, high, low,
and close prices", Journal of Financial Economics 161, 2024), rolling over bars per name.

Model: every print is the efficient log price plus or minus half the spread ``s``, on a
side drawn at random.  With log prices, the mid-range ``m = (h + l) / 2`` and, for two
consecutive bars ``(t-1, t)``::

    r1 = m[t] - o[t]     r2 = o[t] - m[t-1]     r3 = m[t] - c[t-1]
    r4 = c[t-1] - m[t-1] r5 = o[t] - c[t-1]
    tau  = 1 if h[t] != l[t] or l[t] != c[t-1]          (bar t traded)
    phio = tau * ([o[t] != h[t]] + [o[t] != l[t]])
    phic = tau * ([c[t-1] != h[t-1]] + [c[t-1] != l[t-1]])

the only covariance left between the moves after and before the open (the close) is the
bounce of that one print, smaller where it is also the bar's high or low and absent where
bar t did not trade:

    E[r1 r2] = E[r1 r5] = -s^2/8 E[phio],   E[r3 r4] = E[r5 r4] = -s^2/8 E[phic].

The products are taken as covariances over the traded pairs (r1, r3, r5 less their mean
where tau = 1), so a drift in the window does not read as a spread.  Two estimates of s^2
each average an open and a close condition, e1 from (r1 r2, r3 r4) and e2 from
(r1 r5, r5 r4); they are combined with weights inversely proportional to the sample
variances v1, v2 of their per-pair terms, s^2 = (v2 e1 + v1 e2) / (v1 + v2).  A negative
s^2 is a spread of 0.

Every sum is over the valid pairs of the window (both bars with four finite positive
prices, so a missing bar takes out the pairs on either side), and a window's sums are
carried from bar to bar as per-pair terms enter and leave it.
"""

from __future__ import annotations

import numbers
from collections import deque
from typing import Deque, List, Optional, Tuple

import numpy as np

__all__ = ["edge_spread"]

# Per-pair terms summed over a window (their index in the stack).
_N, _T, _FO, _FC, _R1, _R3, _R5, _TR2, _TR4 = range(9)
_P12, _P34, _P15, _P54 = range(9, 13)          # r1 r2, r3 r4, r1 r5, r5 r4
_Q11, _Q22, _Q33, _Q44, _Q12, _Q34 = range(13, 19)
_TR22, _TR44, _R55 = range(19, 22)             # tau r2^2, tau r4^2, r5^2
_P12R2, _P34R4, _P15R5, _P54R4 = range(22, 26)
_P12R4, _R3R24, _TR24, _R1P54, _R5P54 = range(26, 31)
_TERMS = 31
# One traded pair centres every product to 0 (a spread of 0 from nothing), none leaves
# the centring undefined.
_MIN_TRADED = 2
# The arithmetic runs on slices of bars of about _SLICE_CELLS numbers a term, which stay
# in cache; the terms kept until they leave the window hold about _KEPT_CELLS numbers
# (32 MB), so long windows take fewer names at a time.
_SLICE_CELLS = 1 << 15
_KEPT_CELLS = 1 << 22


def edge_spread(open_: np.ndarray, high: np.ndarray, low: np.ndarray, close: np.ndarray,
                window: Optional[int]) -> np.ndarray:
    """Full bid-ask spread (a fraction of price) per bar and name.

    Prices are ``(bars, names)`` arrays; NaN (or a price that is not positive) means no bar.
    Row ``t`` is estimated from bars ``t - window + 1 .. t`` only (the bars there are at
    the start); NaN where fewer than two traded pairs of consecutive bars or no usable
    denominators are there.  ``window=None`` gives one estimate per name over all bars,
    a ``(names,)`` array.
    """
    prices = [np.asarray(a, dtype=np.float64) for a in (open_, high, low, close)]
    shape = prices[0].shape
    if len(shape) != 2 or any(a.shape != shape for a in prices):
        raise ValueError("open, high, low and close must be 2-D arrays (bars, names) of one "
                         f"shape, got {[a.shape for a in prices]}")
    if window is not None:
        if (not isinstance(window, numbers.Integral) or isinstance(window, bool)
                or window < 2):
            raise ValueError(f"window must be an integer of at least 2 bars, got {window!r}")
        window = int(window)
    bars, names = shape
    out = np.full(shape if window is not None else (names,), np.nan)
    if bars < 2 or names == 0:
        return out
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        if window is None:
            out[:] = _whole(prices)
            return out
        lag = window - 1
        block = max(1, _KEPT_CELLS // (_TERMS * min(lag, bars)))
        for j in range(0, names, block):
            cols = slice(j, j + block)
            _rolling([a[:, cols] for a in prices], lag, out[:, cols])
    return out


def _whole(prices: List[np.ndarray]) -> np.ndarray:
    """One estimate per name over all its pairs."""
    bars, names = prices[0].shape
    sums = np.zeros((1, _TERMS, names))
    step = max(1, _SLICE_CELLS // names)
    for a in range(1, bars, step):
        sums[0] += _terms(prices, a, min(bars, a + step)).sum(axis=0)
    return _estimate(sums)[0]


def _rolling(prices: List[np.ndarray], lag: int, out: np.ndarray) -> None:
    """Writes each bar's estimate over its last ``lag`` pairs into ``out`` (row 0 has none).

    The window's sums are carried from row to row, adding the pair that enters and taking
    off the one that leaves, so row t never reads a later bar; the slices of terms holding
    the pairs still to leave are kept until then.
    """
    bars, names = prices[0].shape
    step = max(1, _SLICE_CELLS // names)
    sums = np.zeros((_TERMS, names))
    kept: Deque[Tuple[int, np.ndarray]] = deque()
    for a in range(1, bars, step):
        b = min(bars, a + step)
        terms = _terms(prices, a, b)
        kept.append((a, terms))
        moves = np.empty_like(terms)
        head = min(max(lag + 1 - a, 0), b - a)     # rows whose window starts at bar 0
        moves[:head] = terms[:head]
        for start, old in kept:
            lo, hi = max(start, a - lag), min(start + len(old), b - lag)
            if lo < hi:
                np.subtract(terms[lo + lag - a:hi + lag - a], old[lo - start:hi - start],
                            out=moves[lo + lag - a:hi + lag - a])
        # Row by row: a cumulative sum along this axis is several times slower.
        moves[0] += sums
        for i in range(1, b - a):
            moves[i] += moves[i - 1]
        sums = moves[-1]
        out[a:b] = _estimate(moves)
        while kept[0][0] + len(kept[0][1]) <= b - lag:
            kept.popleft()


def _terms(prices: List[np.ndarray], a: int, b: int) -> np.ndarray:
    """The per-pair terms of rows ``a .. b-1``, ``(b - a, _TERMS, names)``: row t holds the
    pair of bars (t-1, t), 0 where either bar is missing."""
    o, h, l, c = (np.log(x[a - 1:b]) for x in prices)
    out = np.empty((b - a, _TERMS, o.shape[1]))
    _fill_terms(o, h, l, c, out)
    return out


def _fill_terms(o: np.ndarray, h: np.ndarray, l: np.ndarray, c: np.ndarray,
                out: np.ndarray) -> None:
    """Writes the terms of the pairs of consecutive rows of the prices into ``out``."""
    bar = np.isfinite(o + h + l + c)
    valid = bar[1:] & bar[:-1]
    m = 0.5 * (h + l)
    o1, h1, l1, c0 = o[1:], h[1:], l[1:], c[:-1]
    traded = valid & ((h1 != l1) | (l1 != c0))
    out[:, _N] = valid
    t = out[:, _T]
    t[...] = traded
    fo, fc = out[:, _FO], out[:, _FC]
    fo[...] = o1 != h1
    fo += o1 != l1
    fo *= t
    fc[...] = c0 != h[:-1]
    fc += c0 != l[:-1]
    fc *= t
    # r1, r3, r5 are 0 on a bar that did not trade; r2, r4 still count there (through n).
    r1 = np.where(traded, m[1:] - o1, 0.0)
    r5 = np.where(traded, o1 - c0, 0.0)
    r3 = r1 + r5
    r4 = np.where(valid, c0 - m[:-1], 0.0)
    r2 = r5 + r4
    out[:, _R1], out[:, _R3], out[:, _R5] = r1, r3, r5
    tr2 = np.multiply(t, r2, out=out[:, _TR2])
    tr4 = np.multiply(t, r4, out=out[:, _TR4])
    p12 = np.multiply(r1, r2, out=out[:, _P12])
    p34 = np.multiply(r3, r4, out=out[:, _P34])
    p15 = np.multiply(r1, r5, out=out[:, _P15])
    p54 = np.multiply(r5, r4, out=out[:, _P54])
    np.square(p12, out=out[:, _Q11])
    np.square(p34, out=out[:, _Q22])
    np.square(p15, out=out[:, _Q33])
    np.square(p54, out=out[:, _Q44])
    np.multiply(p12, p34, out=out[:, _Q12])
    np.multiply(p15, p54, out=out[:, _Q34])
    np.multiply(tr2, r2, out=out[:, _TR22])
    np.multiply(tr4, r4, out=out[:, _TR44])
    np.square(r5, out=out[:, _R55])
    np.multiply(p12, r2, out=out[:, _P12R2])
    np.multiply(p34, r4, out=out[:, _P34R4])
    np.multiply(p15, r5, out=out[:, _P15R5])
    np.multiply(p54, r4, out=out[:, _P54R4])
    np.multiply(p12, r4, out=out[:, _P12R4])
    np.multiply(r3, r2, out=out[:, _R3R24])
    out[:, _R3R24] *= r4
    np.multiply(tr2, r4, out=out[:, _TR24])
    np.multiply(r1, p54, out=out[:, _R1P54])
    np.multiply(r5, p54, out=out[:, _R5P54])


def _estimate(s: np.ndarray) -> np.ndarray:
    """The spread from window sums ``s`` (``s[:, k]`` the sums of term k); NaN where
    undefined."""
    n, t, fo, fc = s[:, _N], s[:, _T], s[:, _FO], s[:, _FC]
    a1, a3, a5 = s[:, _R1] / t, s[:, _R3] / t, s[:, _R5] / t
    # Sums of the centred per-pair products u1 .. u4.
    u1 = s[:, _P12] - a1 * s[:, _TR2]
    u2 = s[:, _P34] - a3 * s[:, _TR4]
    u3 = s[:, _P15] - a1 * s[:, _R5]
    u4 = s[:, _P54] - a5 * s[:, _TR4]
    e1 = -4.0 * (u1 / fo + u2 / fc)
    e2 = -4.0 * (u3 / fo + u4 / fc)
    # Their sums of squares and cross products, expanded around the window's means.
    q11 = s[:, _Q11] - 2.0 * a1 * s[:, _P12R2] + a1 * a1 * s[:, _TR22]
    q22 = s[:, _Q22] - 2.0 * a3 * s[:, _P34R4] + a3 * a3 * s[:, _TR44]
    q12 = s[:, _Q12] - a3 * s[:, _P12R4] - a1 * s[:, _R3R24] + a1 * a3 * s[:, _TR24]
    q33 = s[:, _Q33] - 2.0 * a1 * s[:, _P15R5] + a1 * a1 * s[:, _R55]
    q44 = s[:, _Q44] - 2.0 * a5 * s[:, _P54R4] + a5 * a5 * s[:, _TR44]
    q34 = s[:, _Q34] - a5 * s[:, _R1P54] - a1 * s[:, _R5P54] + a1 * a5 * s[:, _P54]
    fo2, fc2, fofc = fo * fo, fc * fc, fo * fc
    v1 = 16.0 * n * (q11 / fo2 + q22 / fc2 + 2.0 * q12 / fofc) - e1 * e1
    v2 = 16.0 * n * (q33 / fo2 + q44 / fc2 + 2.0 * q34 / fofc) - e2 * e2
    s2 = (v2 * e1 + v1 * e2) / (v1 + v2)
    s2[(t < _MIN_TRADED) | (fo <= 0) | (fc <= 0) | ~np.isfinite(s2)] = np.nan
    return np.sqrt(np.maximum(s2, 0.0))
