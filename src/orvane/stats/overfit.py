"""How much of a sweep's best result the search itself produced: the deflated Sharpe ratio
of the best run and the probability of backtest overfitting (combinatorially symmetric
cross-validation). Pure functions over bar returns, bars x runs; ``SweepResult`` wraps them.
"""

from __future__ import annotations

import itertools
import math
from typing import Callable, Literal, NamedTuple, Optional, Union, overload

import numpy as np
import pandas as pd

from orvane._checks import Bounds, check_real, check_whole
from orvane.stats._returns import psr

__all__ = ["bar_returns", "expected_max_sharpe", "probabilistic_sharpe", "deflated_sharpe",
           "deflation", "Deflation", "pbo", "PBOResult"]

EULER_GAMMA = 0.57721566490153286

# Rational approximation of the normal quantile (P. J. Acklam), relative error below
# 1.2e-9 before the refinement step in _norm_ppf.
_A = (-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
      1.383577518672690e+02, -3.066479806614716e+01, 2.506628277459239e+00)
_B = (-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
      6.680131188771972e+01, -1.328068155288572e+01)
_C = (-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
      -2.549732539343734e+00, 4.374664141464968e+00, 2.938163982698783e+00)
_D = (7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
      3.754408661907416e+00)


def _norm_cdf(x: float) -> float:
    # erfc keeps the lower tail's relative precision, where 1 + erf(x) would cancel.
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def _norm_ppf(p: float) -> float:
    """The standard normal quantile, to about 1e-15: Acklam's approximation, then one
    Halley step on ``_norm_cdf``."""
    if math.isnan(p) or not 0.0 <= p <= 1.0:
        return math.nan
    if p == 0.0:
        return -math.inf
    if p == 1.0:
        return math.inf
    if p > 0.5:
        # 1 - p is exact here; refining in the lower tail keeps erfc's precision.
        return -_norm_ppf(1.0 - p)
    if p < 0.02425:
        q = math.sqrt(-2.0 * math.log(p))
        x = ((((((_C[0] * q + _C[1]) * q + _C[2]) * q + _C[3]) * q + _C[4]) * q + _C[5])
             / ((((_D[0] * q + _D[1]) * q + _D[2]) * q + _D[3]) * q + 1.0))
    else:
        q = p - 0.5
        r = q * q
        x = ((((((_A[0] * r + _A[1]) * r + _A[2]) * r + _A[3]) * r + _A[4]) * r + _A[5]) * q
             / (((((_B[0] * r + _B[1]) * r + _B[2]) * r + _B[3]) * r + _B[4]) * r + 1.0))
    u = (_norm_cdf(x) - p) * math.sqrt(2.0 * math.pi) * math.exp(x * x / 2.0)
    return x - u / (1.0 + x * u / 2.0)


def _check_frame(returns: object) -> np.ndarray:
    if not isinstance(returns, pd.DataFrame):
        raise TypeError("returns must be a DataFrame of bar returns (bars x runs; "
                        f"bar_returns(equity) makes one), got {type(returns).__name__}")
    try:
        values = returns.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"returns must hold numbers (bar returns as fractions), got: {exc}"
                        ) from None
    values = values.copy()
    values[~np.isfinite(values)] = np.nan
    return values


def bar_returns(equity: pd.DataFrame) -> pd.DataFrame:
    """Simple bar-to-bar returns of equity curves (dates x runs), as fractions.

    A return is NaN unless the run is live on both bars (its equity is a positive
    number on the first and a number on the second), so the bars before a run starts
    and after a ruin hold NaN. One row fewer than ``equity``: the first date has no
    return.
    """
    if not isinstance(equity, pd.DataFrame):
        raise TypeError("equity must be a DataFrame of equity curves (dates x runs), got "
                        f"{type(equity).__name__}")
    values = equity.to_numpy(dtype=np.float64, na_value=np.nan)
    with np.errstate(all="ignore"):
        ret = values[1:] / values[:-1] - 1.0
    ret[~(values[:-1] > 0) | ~np.isfinite(ret)] = np.nan
    return pd.DataFrame(ret, index=equity.index[1:], columns=equity.columns)


def _moments(values: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Per column, over its non-NaN bars: count, per-bar Sharpe (mean / std with
    ddof=1, as ``orvane.stats.sharpe_ratio`` before annualising), skewness and kurtosis
    (population moments m3 / m2**1.5 and m4 / m2**2, so a normal sample's is near 3)."""
    live = ~np.isnan(values)
    bars = live.sum(axis=0)
    with np.errstate(all="ignore"):
        mean = np.where(live, values, 0.0).sum(axis=0) / bars
        dev = np.where(live, values - mean, 0.0)
        square = dev * dev
        m2 = square.sum(axis=0) / bars
        m3 = (square * dev).sum(axis=0) / bars
        m4 = (square * square).sum(axis=0) / bars
        std = np.sqrt(m2 * bars / (bars - 1))
        sharpe = np.where((bars >= 2) & (std > 0), mean / std, np.nan)
        skew = m3 / m2 ** 1.5
        kurt = m4 / m2 ** 2
    return bars, sharpe, skew, kurt


def probabilistic_sharpe(sharpe: float, bars: int, skew: float = 0.0, kurtosis: float = 3.0,
                         benchmark: float = 0.0) -> float:
    """The probability that the true Sharpe ratio exceeds ``benchmark``, given a
    per-bar Sharpe ratio measured over ``bars`` returns with the given skewness and
    kurtosis (3 for normal returns, not the excess):

    ``PSR = Z[(SR - SR0) * sqrt(T - 1) / sqrt(1 - skew * SR + (kurtosis - 1) / 4 * SR**2)]``

    with Z the standard normal CDF (Bailey and López de Prado, "The Deflated Sharpe Ratio",
    2014, eq. 2, after Mertens' variance of the Sharpe estimator). ``sharpe`` and
    ``benchmark`` are per bar, not annualised: divide an annual figure by
    ``sqrt(periods_per_year)``. NaN for fewer than 2 bars, or for moments no
    distribution has (the square root's argument not positive).
    """
    out = psr(np.array([float(sharpe)]), np.array([float(bars)]), np.array([float(skew)]),
               np.array([float(kurtosis)]), float(benchmark))
    return float(out[0])


def expected_max_sharpe(trials: int, variance: float) -> float:
    """The expected maximum of ``trials`` independent Sharpe ratios whose true value is 0
    and whose estimates vary with ``variance``:

    ``SR0 = sqrt(V) * ((1 - g) * Z^-1(1 - 1/N) + g * Z^-1(1 - 1/(N e)))``

    with g the Euler-Mascheroni constant and Z^-1 the normal quantile (Bailey and López
    de Prado, 2014, eq. 3). Per-bar Sharpe ratios give a per-bar ``SR0``. One trial is
    no search: 0.
    """
    trials = _check_trials(trials)
    variance = _check_variance(variance)
    if trials == 1:
        return 0.0
    # Z^-1(1 - q) = -Z^-1(q): exact for small q, where 1 - q would round.
    spread = ((1.0 - EULER_GAMMA) * -_norm_ppf(1.0 / trials)
              + EULER_GAMMA * -_norm_ppf(1.0 / (trials * math.e)))
    return math.sqrt(variance) * spread


def _check_trials(trials: object) -> int:
    return check_whole(trials, "trials", Bounds(1), note="the independent trials of the "
                          "search")


def _check_variance(variance: object) -> float:
    return check_real(variance, "sharpe_variance", Bounds(0.0),
                      what="a finite number",
                      hint=" (the variance of the trials' per-bar Sharpe ratios)")


@overload
def deflated_sharpe(returns: pd.DataFrame, *, trials: Optional[int] = None,
                    sharpe_variance: Optional[float] = None,
                    each: Literal[False] = False) -> float: ...


@overload
def deflated_sharpe(returns: pd.DataFrame, *, trials: Optional[int] = None,
                    sharpe_variance: Optional[float] = None,
                    each: Literal[True]) -> pd.Series: ...


def deflated_sharpe(returns: pd.DataFrame, *, trials: Optional[int] = None,
                    sharpe_variance: Optional[float] = None,
                    each: bool = False) -> Union[float, pd.Series]:
    """The deflated Sharpe ratio (DSR) of the best run: the probability that its true
    Sharpe ratio exceeds the highest Sharpe ratio that ``trials`` runs without any
    skill would be expected to show.

    Bailey and López de Prado, "The Deflated Sharpe Ratio" (2014):
    ``DSR = PSR(SR0)``, ``probabilistic_sharpe`` of the best run against the benchmark
    ``SR0 = expected_max_sharpe(N, V)``, where

    - SR is the run's per-bar Sharpe ratio, mean / std (ddof=1) of its returns, not
      annualised (the table's ``sharpe`` divided by ``sqrt(periods_per_year)``), and
      T the number of its returns;
    - skew and kurtosis are the population moments of its returns (kurtosis 3 for
      normal returns);
    - N is ``trials``, by default the runs that have a Sharpe ratio, and V is
      ``sharpe_variance``, by default the variance (ddof=1) of those runs' per-bar
      Sharpe ratios.

    Each run is measured over its own non-NaN bars. Runs without a Sharpe ratio (failed,
    flat, or fewer than 2 returns) are neither the best nor counted in N and V; pass
    ``trials`` to count every attempt, or a smaller effective number of independent
    trials when runs are much alike (the paper's advice). A value above 0.95 says the best
    run's Sharpe is unlikely to come from the search alone.

    Parameters
    ----------
    returns : DataFrame
        Bar returns, bars x runs (``bar_returns(equity)``), NaN where a run is not live.
    trials : int, optional
        N, the number of independent trials.
    sharpe_variance : float, optional
        V, the variance of the trials' per-bar Sharpe ratios.
    each : bool
        False: the best run's DSR (float). True: every run's probabilistic Sharpe
        ratio against the same ``SR0`` (Series indexed by the runs, NaN for a run
        without a Sharpe ratio).
    """
    inputs = _deflation_inputs(returns, trials, sharpe_variance)
    if each:
        bars, sharpe, skew, kurt = inputs.moments
        return pd.Series(psr(sharpe, bars, skew, kurt, inputs.benchmark),
                         index=returns.columns, name="deflated_sharpe")
    return _deflation(returns, inputs).value


class Deflation(NamedTuple):
    """What ``deflated_sharpe`` weighed for the best run, beside its value."""

    # The best run's deflated Sharpe ratio: deflated_sharpe(returns). NaN without a best run.
    value: float
    # N: the trials it was deflated for.
    trials: int
    # V: the variance of the trials' per-bar Sharpe ratios.
    sharpe_variance: float
    # SR0 = expected_max_sharpe(N, V), per bar: the best Sharpe N runs without skill show.
    expected_max_sharpe: float
    # The best run: its column label (None when no run has a Sharpe ratio), per-bar Sharpe
    # ratio and number of returns.
    best: object
    sharpe: float
    bars: int


class _Inputs(NamedTuple):
    moments: tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]
    trials: int
    variance: float
    benchmark: float


def _deflation_inputs(returns: pd.DataFrame, trials: Optional[int],
                      sharpe_variance: Optional[float]) -> _Inputs:
    values = _check_frame(returns)
    moments = _moments(values)
    sharpe = moments[1]
    valid = ~np.isnan(sharpe)
    if trials is None:
        if not valid.any():
            raise ValueError("returns must hold at least 1 run with a Sharpe ratio "
                             "(2 returns that vary), got none")
        trials = int(valid.sum())
    if sharpe_variance is None:
        if valid.sum() < 2:
            raise ValueError("returns must hold at least 2 runs with a Sharpe ratio to "
                             f"estimate their variance, got {int(valid.sum())}: pass "
                             "sharpe_variance=")
        sharpe_variance = float(np.var(sharpe[valid], ddof=1))
    benchmark = expected_max_sharpe(trials, sharpe_variance)
    return _Inputs(moments, int(trials), float(sharpe_variance), benchmark)


def _deflation(returns: pd.DataFrame, inputs: _Inputs) -> Deflation:
    bars, sharpe, skew, kurt = inputs.moments
    common = (inputs.trials, inputs.variance, inputs.benchmark)
    if np.isnan(sharpe).all():
        return Deflation(math.nan, *common, None, math.nan, 0)
    best = int(np.nanargmax(sharpe))
    pick = slice(best, best + 1)
    value = float(psr(sharpe[pick], bars[pick], skew[pick], kurt[pick], inputs.benchmark)[0])
    return Deflation(value, *common, returns.columns[best], float(sharpe[best]), int(bars[best]))


def deflation(returns: pd.DataFrame, *, trials: Optional[int] = None,
              sharpe_variance: Optional[float] = None) -> Deflation:
    """The best run's deflated Sharpe ratio with what it was computed from: ``.value``
    (``deflated_sharpe(returns, ...)``), the ``.trials`` N and ``.sharpe_variance`` V it
    used (given, or by default estimated as ``deflated_sharpe`` describes),
    ``.expected_max_sharpe`` SR0, and the best run's column label, per-bar Sharpe ratio and
    number of returns (``.best``, ``.sharpe``, ``.bars``). Arguments as ``deflated_sharpe``.
    """
    return _deflation(returns, _deflation_inputs(returns, trials, sharpe_variance))


class PBOResult(NamedTuple):
    """The outcome of ``pbo``, one entry per combination of in-sample blocks (in
    ``itertools.combinations`` order)."""

    # Share of combinations whose in-sample winner ranked in the lower half out of
    # sample (logit <= 0).
    pbo: float
    # log(w / (1 - w)), w the winner's out-of-sample rank / (runs + 1).
    logits: np.ndarray
    combinations: int
    # The winner's metric in sample and out of sample.
    in_sample: np.ndarray
    out_of_sample: np.ndarray
    # The winner of each combination: labels of the columns of ``returns``.
    chosen: pd.Index
    # Bars compared: where every run is live, the oldest dropped to make equal blocks.
    bars: int


Metric = Union[Literal["sharpe", "mean"], Callable[[np.ndarray], np.ndarray]]


def pbo(returns: pd.DataFrame, splits: int = 16, metric: Metric = "sharpe") -> PBOResult:
    """Probability of backtest overfitting by combinatorially symmetric cross-validation
    (Bailey, Borwein, López de Prado and Zhu, "The Probability of Backtest
    Overfitting", 2016).

    The bars are cut into ``splits`` (S) contiguous blocks of equal length. Each of the
    C(S, S/2) ways to pick S/2 blocks is an in-sample set, the other blocks its
    out-of-sample set. In each, the run with the best in-sample ``metric`` is chosen and
    its out-of-sample metric ranked among all runs' (1 = worst, N = best); with
    ``w = rank / (N + 1)`` the logit is ``log(w / (1 - w))``. PBO is the share of
    logits <= 0: how often the in-sample winner does no better than the median run out of
    sample. Pure noise gives about 0.5 (a little more with an odd number of runs, whose
    median rank gives logit 0); a search that found something real, near 0.

    Bars: only those where every run has a return are compared, so that all runs are
    measured on the same dates (a run that starts late shortens the comparison for all);
    runs without any return (failed runs) are left out. When the bars do not divide into
    S equal blocks, the oldest remainder is dropped.

    Ties: among runs tied in sample the first (in column order) is chosen; tied runs out
    of sample share their mean rank. A NaN metric ranks below every number. With
    ``"sharpe"``, a run flat over a whole set (no return, no risk) has Sharpe 0 there.

    Parameters
    ----------
    returns : DataFrame
        Bar returns, bars x runs (``bar_returns(equity)``).
    splits : int
        S, even and at least 2, at most half the bars compared (two bars per block).
        The work grows as C(S, S/2): 12,870 combinations for 16, 184,756 for 20.
    metric : "sharpe", "mean" or callable
        ``"sharpe"``: per-bar Sharpe ratio (mean / std, ddof=1); ``"mean"``: mean
        return; both per bar, not annualised. A callable gets the returns of one set
        (bars x runs ndarray, the blocks in date order) and returns one number per run;
        slower, as it runs once per set.
    """
    values = _check_frame(returns)
    check_whole(splits, "splits", Bounds(2), even=True)
    if not (callable(metric) or metric in ("sharpe", "mean")):
        raise ValueError(f"metric must be 'sharpe', 'mean' or a function of a returns "
                         f"array, got {metric!r}")
    splits = int(splits)
    ran = ~np.isnan(values).all(axis=0)
    if ran.sum() < 2:
        raise ValueError(f"returns must hold at least 2 runs with returns, got {int(ran.sum())}")
    values = values[:, ran]
    values = values[~np.isnan(values).any(axis=1)]
    length = len(values) // splits
    if length < 2:
        raise ValueError(f"splits must be at most {len(values) // 2} (two bars per block) "
                         f"for the {len(values)} bars on which all {values.shape[1]} runs "
                         f"are live, got {splits}")
    values = values[len(values) - length * splits:]
    sets = list(itertools.combinations(range(splits), splits // 2))
    # Every set's out-of-sample complement is itself one of the sets: measure each once.
    position = {s: i for i, s in enumerate(sets)}
    other = np.array([position[tuple(b for b in range(splits) if b not in s)] for s in sets])
    blocks = values.reshape(splits, length, -1)
    if callable(metric):
        measured = _sets_by_call(blocks, np.array(sets), metric)
    else:
        measured = _sets_by_blocks(blocks, np.array(sets), metric)
    inside, outside = measured, measured[other]

    runs = values.shape[1]
    ranked_in = np.where(np.isnan(inside), -np.inf, inside)
    ranked_out = np.where(np.isnan(outside), -np.inf, outside)
    winner = np.argmax(ranked_in, axis=1)
    rows = np.arange(len(sets))
    mine = ranked_out[rows, winner][:, None]
    rank = (ranked_out < mine).sum(axis=1) + ((ranked_out == mine).sum(axis=1) + 1) / 2.0
    share = rank / (runs + 1.0)
    logits = np.log(share / (1.0 - share))
    return PBOResult(
        pbo=float(np.mean(logits <= 0.0)), logits=logits, combinations=len(sets),
        in_sample=inside[rows, winner], out_of_sample=outside[rows, winner],
        chosen=returns.columns[ran][winner], bars=len(values))


def _sets_by_blocks(blocks: np.ndarray, sets: np.ndarray, metric: str) -> np.ndarray:
    """Each set's metric (sets x runs) from per-block means and squared deviations, so
    the sets' bars are never gathered. Every run goes through the same operations in
    the same order (no matrix products, whose kernels may round columns differently),
    so identical runs stay exactly tied."""
    splits, length, runs = blocks.shape
    half = splits // 2
    means = blocks.mean(axis=1)
    squares = ((blocks - means[:, None, :]) ** 2).sum(axis=1)
    out = np.empty((len(sets), runs))
    step = max(1, 2_000_000 // (half * runs))
    for start in range(0, len(sets), step):
        pick = sets[start:start + step]
        picked = means[pick]
        mean = picked.sum(axis=1) / half
        if metric == "mean":
            out[start:start + step] = mean
            continue
        # Deviations within the blocks plus the spread of the block means around the set's.
        m2 = (squares[pick].sum(axis=1)
              + length * ((picked - mean[:, None, :]) ** 2).sum(axis=1))
        std = np.sqrt(m2 / (half * length - 1))
        with np.errstate(all="ignore"):
            sharpe = mean / std
        out[start:start + step] = np.where((std == 0) & (mean == 0), 0.0, sharpe)
    return out


def _sets_by_call(blocks: np.ndarray, sets: np.ndarray,
                  metric: Callable[[np.ndarray], np.ndarray]) -> np.ndarray:
    runs = blocks.shape[2]
    out = np.empty((len(sets), runs))
    for i, pick in enumerate(sets):
        got = np.asarray(metric(blocks[pick].reshape(-1, runs)), dtype=np.float64)
        if got.shape != (runs,):
            raise ValueError(f"metric must return one number per run, shape ({runs},), "
                             f"got shape {got.shape}")
        out[i] = got
    return out
