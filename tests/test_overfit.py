"""Overfitting measures: hand-worked small cases, the known behaviour of pure noise and of
one real edge among noise, and both methods through a real sweep."""

import math
from statistics import NormalDist

import numpy as np
import pandas as pd
import pytest

from orvane import datasets
from orvane.sweep import sweep
from orvane.stats.overfit import (_norm_cdf, _norm_ppf, bar_returns, deflated_sharpe, deflation,
                                  expected_max_sharpe, pbo, probabilistic_sharpe)

pytestmark = [pytest.mark.filterwarnings("ignore:weights. :UserWarning"),
              pytest.mark.filterwarnings("ignore:.* runs warned")]

GAMMA = 0.5772156649015329


@pytest.mark.parametrize("p, quantile", [
    (0.975, 1.959963984540054), (0.5, 0.0), (0.999, 3.090232306167813),
    (0.8413447460685429, 1.0), (0.02425, -1.972961051311885),  # Acklam's region boundary
    (1e-10, -6.361340902404056), (1e-300, -37.0470962993612),
    (0.3, -0.5244005127080407), (0.45, -0.125661346855074),  # the centre's own formula
    (0.0, -math.inf), (1.0, math.inf),
    (1.5, math.nan), (-0.25, math.nan), (math.nan, math.nan),   # no probability
])
def test_normal_quantile(p, quantile):
    assert _norm_ppf(p) == pytest.approx(quantile, rel=1e-14, abs=1e-15, nan_ok=True)


@pytest.mark.parametrize("extra", [
    None,
    [0.25] * 4,                        # a constant gain: no risk, so no Sharpe ratio
    [-0.25] * 4,
    [0.0] * 4,
    [0.5, np.nan, np.nan, np.nan],     # one return
], ids=["three runs", "constant gain", "constant loss", "flat", "one return"])
def test_deflated_sharpe_of_a_tiny_search_by_hand(extra):
    # Run a: mean 0.01, deviations (1, -2, 2, -1) / 100: per-bar Sharpe sqrt(0.3), skew 0,
    # kurtosis (1 + 16 + 16 + 1) / 4 / 2.5**2 = 1.36. Runs b, c: mean 0, Sharpe 0.
    # A run without a Sharpe ratio is neither a trial nor the best, nor has a value.
    returns = pd.DataFrame({"a": [0.02, -0.01, 0.03, 0.0], "b": [0.01, -0.01, 0.01, -0.01],
                            "c": [0.01, -0.02, 0.01, 0.0]})
    if extra is not None:
        returns["x"] = extra
    sr, variance = math.sqrt(0.3), 0.1  # var([sr, 0, 0], ddof=1) = sr**2 / 3
    # Z^-1(1 - 1/3) and Z^-1(1 - 1/(3e)) from tables.
    sr0 = math.sqrt(variance) * ((1 - GAMMA) * 0.43072729929545744 + GAMMA * 1.161956928912733)
    assert expected_max_sharpe(3, variance) == pytest.approx(sr0, rel=1e-12)
    best = _norm_cdf((sr - sr0) * math.sqrt(3) / math.sqrt(1 + 0.36 / 4 * 0.3))
    assert deflated_sharpe(returns) == pytest.approx(best, rel=1e-12)
    # A Sharpe of 0 leaves only the benchmark: Z(-SR0 * sqrt(T - 1)).
    each = deflated_sharpe(returns, each=True)
    assert each[list("abc")].tolist() == pytest.approx([best] + [_norm_cdf(-sr0 * math.sqrt(3))] * 2,
                                                       rel=1e-12)
    found = deflation(returns)
    assert (found.best, found.trials, found.bars) == ("a", 3, 4)
    assert found.sharpe_variance == pytest.approx(variance, rel=1e-12)
    if extra is not None:
        assert math.isnan(each["x"])


def test_two_runs_of_two_returns_are_enough():
    # a: mean 1/4, deviations +-1/8, std (ddof=1) sqrt(2) / 8: Sharpe sqrt(2); skew 0 and
    # kurtosis 1 (two points). b: mean 0. V = var([sqrt(2), 0], ddof=1) = 1, and with N = 2
    # SR0 = (1 - g) * Z^-1(1/2) + g * Z^-1(1 - 1/(2e)), Z^-1(1/2) = 0.
    returns = pd.DataFrame({"a": [0.375, 0.125], "b": [0.125, -0.125]})
    sr0 = GAMMA * NormalDist().inv_cdf(1 - 1 / (2 * math.e))
    found = deflation(returns)
    assert (found.best, found.trials, found.bars) == ("a", 2, 2)
    assert (found.sharpe, found.sharpe_variance) == pytest.approx((math.sqrt(2), 1.0), rel=1e-14)
    assert found.expected_max_sharpe == pytest.approx(sr0, rel=1e-12)
    # T - 1 = 1 and a spread of 1 - 0 + 0: Z(SR - SR0).
    assert found.value == pytest.approx(NormalDist().cdf(math.sqrt(2) - sr0), rel=1e-12)


@pytest.mark.parametrize("trials, variance, want", [
    (1, 0.25, 0.0),     # one trial is no search
    (1, 0.0, 0.0),
    (2, 0.25, 0.5 * GAMMA * NormalDist().inv_cdf(1 - 1 / (2 * math.e))),
    (10, 0.04, 0.2 * ((1 - GAMMA) * NormalDist().inv_cdf(0.9)
                      + GAMMA * NormalDist().inv_cdf(1 - 1 / (10 * math.e)))),
    (10, 0.0, 0.0),     # trials that never vary expect no Sharpe ratio above their own
])
def test_expected_max_sharpe_by_hand(trials, variance, want):
    assert expected_max_sharpe(trials, variance) == pytest.approx(want, rel=1e-12, abs=0)


@pytest.mark.parametrize("trials, variance", [(None, None), (100, None), (None, 0.01), (7, 0.002)])
def test_deflation_gives_the_trials_and_variance_it_used(trials, variance):
    rng = np.random.default_rng(3)
    returns = pd.DataFrame(rng.normal(0.0005, 0.01, (300, 6)), columns=list("abcdef"))
    returns.iloc[:50, 2] = np.nan  # a late start: measured on its own bars
    returns["flat"] = 0.0          # no Sharpe ratio: not a trial
    found = deflation(returns, trials=trials, sharpe_variance=variance)
    # Directly: per-bar mean / std (ddof=1) of each run's returns; pandas skips the NaN.
    sharpe = (returns.mean() / returns.std(ddof=1)).dropna()
    assert list(sharpe.index) == list("abcdef")
    assert found.trials == (trials or 6)
    assert found.sharpe_variance == pytest.approx(variance or sharpe.var(ddof=1), rel=1e-12)
    assert found.expected_max_sharpe == pytest.approx(
        expected_max_sharpe(found.trials, found.sharpe_variance), rel=1e-15)
    assert found.best == sharpe.idxmax() and found.sharpe == pytest.approx(sharpe.max(), rel=1e-12)
    assert found.bars == returns[found.best].count()
    assert found.value == deflated_sharpe(returns, trials=trials, sharpe_variance=variance)


def test_deflation_without_a_sharpe_ratio_has_no_best_run():
    found = deflation(pd.DataFrame({"a": [0.0, 0.0, 0.0]}), trials=3, sharpe_variance=0.01)
    assert math.isnan(found.value) and found.best is None and found.bars == 0
    assert (found.trials, found.sharpe_variance) == (3, 0.01)


@pytest.mark.parametrize("args, want", [
    # Defaults (skew 0, kurtosis 3, benchmark 0): Z(0.1 * sqrt(100) / sqrt(1 + 2 / 4 * 0.01)).
    ((0.1, 101), _norm_cdf(1 / math.sqrt(1.005))),
    ((1.0, 10, 1.0, 1.0), math.nan),   # 1 - skew * SR + (kurtosis - 1) / 4 * SR**2 = 0
    ((1.0, 10, 3.0, 1.0), math.nan),   # ... below 0
    ((0.1, 1), math.nan),              # one return
])
def test_probabilistic_sharpe_by_hand(args, want):
    assert probabilistic_sharpe(*args) == pytest.approx(want, rel=1e-14, nan_ok=True)


def test_a_skewed_runs_moments_by_hand():
    # Run a is (0, 0, 3) / 100: mean 1/100, deviations (-1, -1, 2) / 100, so per-bar Sharpe
    # 1 / sqrt(3) (std with ddof=1), skew m3 / m2**1.5 = 2 / 2**1.5 and kurtosis
    # m4 / m2**2 = 6 / 4. Run b only sets the variance of the Sharpe ratios.
    returns = pd.DataFrame({"a": [0.0, 0.0, 0.03], "b": [0.01, -0.01, 0.01]})
    sr0 = expected_max_sharpe(2, 0.25)
    want = probabilistic_sharpe(1 / math.sqrt(3), 3, skew=2 ** -0.5, kurtosis=1.5, benchmark=sr0)
    got = deflated_sharpe(returns, sharpe_variance=0.25, each=True)
    assert got["a"] == pytest.approx(want, rel=1e-12)
    assert want != pytest.approx(probabilistic_sharpe(1 / math.sqrt(3), 3, benchmark=sr0))


def test_the_papers_worked_example():
    # Annual Sharpe 2.5 over 1250 days (250 a year), skew -3, kurtosis 10, 100 trials whose
    # annual Sharpe ratios vary by 0.5: the paper reports SR0 = 0.1132 per day, DSR 0.9004.
    sr0 = expected_max_sharpe(100, 0.5 / 250)
    assert sr0 == pytest.approx(0.1132, abs=5e-5)
    dsr = probabilistic_sharpe(2.5 / math.sqrt(250), 1250, skew=-3, kurtosis=10, benchmark=sr0)
    assert dsr == pytest.approx(0.9004, abs=5e-5)


def block_returns(block_means, prefix):
    """Two bars per block, both at the block's value / 128 (sums stay exact, so ties do)."""
    bars = np.repeat(np.array(block_means, dtype=float), 2, axis=0) / 128
    return pd.DataFrame(np.vstack([prefix, bars]), columns=list("ABCDE"))


def test_pbo_of_four_runs_by_hand():
    # Set sums, in sample -> out of sample (first of tied winners chosen, mean rank):
    # {0,1} A  (3,3,0,3) -> (3,0,4,1): rank 3,   w .6    {0,2} A -> (2,2,3,4): rank 1.5, w .3
    # {0,3} A  (3,1,3,1) -> (3,2,1,3): rank 3.5, w .7    {1,2} A -> (3,1,3,1): rank 3.5, w .7
    # {1,3} D  (2,2,3,4) -> (4,1,1,0): rank 1,   w .2    {2,3} C -> (3,3,0,3): rank 1,   w .2
    means = [[2, 1, 0, 0, np.nan], [1, 2, 0, 3, np.nan], [2, 0, 1, 0, np.nan],
             [1, 0, 3, 1, np.nan]]
    # B not yet live on the first bar; the second is the remainder of 9 bars in 4 blocks,
    # dropped as the oldest; E failed.
    prefix = [[0.5, np.nan, 0.5, 0.5, np.nan], [9.0, -9.0, 9.0, 9.0, np.nan]]
    returns = block_returns(means, prefix)
    expected = np.log([1.5, 3 / 7, 7 / 3, 7 / 3, 1 / 4, 1 / 4])
    for metric in ("mean", lambda r: r.mean(axis=0)):
        got = pbo(returns, splits=4, metric=metric)
        np.testing.assert_allclose(got.logits, expected, rtol=1e-12)
        assert (got.pbo, got.combinations, got.bars) == (0.5, 6, 8)
        assert list(got.chosen) == list("AAAADC")
        np.testing.assert_array_equal(got.in_sample * 128, [1.5, 2, 1.5, 1.5, 2, 2])
        np.testing.assert_array_equal(got.out_of_sample * 128, [1.5, 1, 1.5, 1.5, 0, 0])


@pytest.mark.parametrize("other, chosen, sharpe", [
    ([-1, -3, -1, -3], "ZZ", 0.0),     # flat at 0: Sharpe 0, above a losing run
    ([1, 1, 1, 1], "OO", math.inf),    # a constant gain: no risk, Sharpe +inf
], ids=["losing run", "constant gain"])
def test_pbo_of_runs_without_risk(other, chosen, sharpe):
    returns = pd.DataFrame({"Z": [0.0] * 4, "O": np.array(other) / 100})
    got = pbo(returns, splits=2)
    assert "".join(got.chosen) == chosen
    assert list(got.in_sample) == list(got.out_of_sample) == [sharpe] * 2


def _mean_of_moving_runs(r):
    moved = r.max(axis=0) > r.min(axis=0)
    return np.where(moved, r.mean(axis=0), np.nan)


@pytest.mark.parametrize("last, metric", [
    ([0.0] * 4, _mean_of_moving_runs),      # a run without a metric ranks below any number
    ([-0.5, -1.5, -0.5, -1.5], "mean"),     # a run below every other
], ids=["no metric", "lowest metric"])
def test_pbo_counts_a_winner_at_the_median_as_overfit(last, metric):
    # Block means: A 1 then 2, B 2 then 1 (in 128ths); Z never wins nor outranks. Each
    # in-sample winner (B, then A) is the middle of three out of sample: rank 2,
    # w = 2 / 4, logit 0, which counts as overfit.
    a, b = np.array([0.5, 1.5, 1.5, 2.5]), np.array([1.5, 2.5, 0.5, 1.5])
    returns = pd.DataFrame({"Z": last, "A": a, "B": b}) / 128
    got = pbo(returns, splits=2, metric=metric)
    assert list(got.chosen) == ["B", "A"]
    assert list(got.logits) == [0.0, 0.0] and got.pbo == 1.0
    assert list(got.in_sample * 128) == [2.0, 2.0] and list(got.out_of_sample * 128) == [1.0, 1.0]


def test_block_sharpe_equals_sharpe_of_the_gathered_bars_and_keeps_ties():
    rng = np.random.default_rng(5)
    values = rng.normal(0.0005, 0.01, (60, 6))
    values[:, 1] += 0.003
    values[:, 4] = values[:, 1]  # a duplicate of the best run, as inert options make
    returns = pd.DataFrame(values)
    fast = pbo(returns, splits=6)
    slow = pbo(returns, splits=6, metric=lambda r: r.mean(axis=0) / r.std(axis=0, ddof=1))
    np.testing.assert_allclose(fast.in_sample, slow.in_sample, rtol=1e-10)
    np.testing.assert_allclose(fast.out_of_sample, slow.out_of_sample, rtol=1e-10)
    np.testing.assert_array_equal(fast.logits, slow.logits)
    assert 1 in set(fast.chosen) and 4 not in set(fast.chosen)


def noise(seed, edge=None):
    values = np.random.default_rng(seed).normal(0.0, 0.01, (1000, 200))
    if edge is not None:
        values[:, 7] += edge * 0.01  # per-bar Sharpe `edge`
    return pd.DataFrame(values)


def test_pure_noise_is_overfit_and_not_significant():
    # The 12,870 splits of one matrix share their bars: across 30 seeds one matrix's PBO
    # had a standard deviation of 0.15, so 10 seeds average to 0.5 +- 0.05; 0.15 is 3 sd.
    found = [(pbo(noise(seed)).pbo, deflated_sharpe(noise(seed))) for seed in range(10)]
    pbos, dsrs = np.array(found).T
    assert abs(pbos.mean() - 0.5) < 0.15
    assert dsrs.max() < 0.95


def test_one_real_edge_among_noise_is_found():
    returns = noise(0, edge=0.25)
    result = pbo(returns)
    assert result.pbo < 0.05 and (result.chosen == 7).mean() > 0.95
    assert deflated_sharpe(returns) > 0.95


@pytest.mark.parametrize("curve, expected", [
    ([np.nan, 100, 110, 121], [np.nan, .1, .1]),     # a late start
    ([100, 110, 0, np.nan], [.1, -1, np.nan]),       # ruined
    ([100, 110, 0, 5], [.1, -1, np.nan]),            # nothing left to grow from
    ([100, -10, 5, 10], [-1.1, np.nan, 1]),          # below 0: no return until above it
], ids=["late", "ruined", "from zero", "below zero"])
def test_bar_returns_are_nan_where_a_run_is_not_live(curve, expected):
    equity = pd.DataFrame({"run": curve, "steady": [100.0, 100, 100, 100]})
    got = bar_returns(equity)
    np.testing.assert_allclose(got["run"].to_numpy(), expected, rtol=1e-15)
    assert (got["steady"] == 0).all() and got.index.equals(equity.index[1:])


FRAME = pd.DataFrame(np.random.default_rng(1).normal(0, 0.01, (20, 3)))


@pytest.mark.parametrize("call, message", [
    (lambda: pbo(FRAME, splits=3), r"splits must be an even whole number, at least 2, got 3"),
    (lambda: pbo(FRAME, splits=0), r"splits must be an even .*, got 0"),
    (lambda: pbo(FRAME, splits=12), r"splits must be at most 10 .* 20 bars .* 3 runs"),
    (lambda: pbo(FRAME[[0]], splits=2), r"at least 2 runs with returns, got 1"),
    (lambda: pbo(FRAME, metric="sortino"), r"metric must be 'sharpe', 'mean' or a function"),
    (lambda: pbo(FRAME, splits=2, metric=lambda r: r.mean()), r"one number per run, shape \(3,\)"),
    (lambda: pbo(FRAME.to_numpy()), r"returns must be a DataFrame .*, got ndarray"),
    (lambda: deflated_sharpe(FRAME, trials=0), r"trials must be a whole number, at least 1 .*, got 0"),
    (lambda: deflated_sharpe(FRAME, sharpe_variance=-1.0), r"sharpe_variance must be .*-1.0"),
    (lambda: deflated_sharpe(FRAME[[0]]), r"at least 2 runs .*got 1: pass sharpe_variance="),
])
def test_bad_arguments_are_named(call, message):
    with pytest.raises((ValueError, TypeError), match=message):
        call()


def test_both_measures_through_a_sweep():
    market = datasets.synthetic_market(stocks=20, years=2, seed=1)
    grid = {"lookback": [21, 63], "rebalance": ["M", "W"], "top": [3, 5]}
    res = sweep(market, grid, strategy=datasets.momentum, workers=1, progress=False,
                keep=("stats", "equity"))
    each = res.deflated_sharpe(each=True)
    assert each.index.equals(res.table.index) and each.between(0, 1).all()
    # The per-bar Sharpe of the kept equity picks the table's best annualised Sharpe.
    assert res.deflated_sharpe() == each[res.table["sharpe"].idxmax()]
    found = res.deflation()
    assert found.value == res.deflated_sharpe() and found.best == res.table["sharpe"].idxmax()
    split = res.pbo(splits=4)
    assert split.combinations == 6 and set(split.chosen) <= set(res.table.index)
    assert 0 <= split.pbo <= 1 and np.isfinite(split.logits).all()
    bare = sweep(market, {"lookback": [21]}, strategy=datasets.momentum, workers=1,
                 progress=False)
    for method in (bare.pbo, bare.deflated_sharpe, bare.deflation):
        with pytest.raises(ValueError, match=r"needs the runs' equity curves.*keep=\(\.\.\., "):
            method()


def test_the_sweep_s_old_name_for_these_functions_still_imports():
    from orvane.sweep import overfit as old
    from orvane.stats import overfit

    assert old.__all__ == overfit.__all__
    assert all(getattr(old, name) is getattr(overfit, name) for name in overfit.__all__)
