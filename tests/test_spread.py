"""Spread estimates from open/high/low/close on simulated markets of known spread."""

import numpy as np
import pytest

from orvane import _spread
from orvane._spread import edge_spread

pytestmark = pytest.mark.filterwarnings("error")


def market(spread, bars=3000, names=4, prints=200, drift=0.0, idle=0.0, seed=1):
    """Bars of `prints` trades at a random walk +- half the spread on a random side; an idle
    bar has no trade and repeats the last close."""
    rng = np.random.default_rng(seed)
    walk = np.cumsum(rng.normal(drift / prints, 0.01 / prints**0.5, (bars * prints, names)), 0)
    x = np.exp(walk + rng.choice([-0.5, 0.5], walk.shape) * spread).reshape(bars, prints, names)
    quiet = (rng.random((bars, names)) < idle) & (np.arange(bars) > 0)[:, None]
    last = np.maximum.accumulate(np.where(quiet, 0, np.arange(bars)[:, None]), axis=0)
    flat = np.take_along_axis(x[:, -1], last, axis=0)
    return [np.where(quiet, flat, a) for a in (x[:, 0], x.max(1), x.min(1), x[:, -1])]


def moment_form(o, h, l, c):
    """One name's estimate from its explicit per-pair terms (centred on the traded pairs)."""
    o, h, l, c = np.log([o, h, l, c])
    m, ok = (h + l) / 2, np.isfinite(o + h + l + c)
    ok = ok[1:] & ok[:-1]
    tau = ((h[1:] != l[1:]) | (l[1:] != c[:-1]))[ok]
    fo = np.mean(tau * (1.0 * (o[1:] != h[1:]) + (o[1:] != l[1:]))[ok])
    fc = np.mean(tau * (1.0 * (c[:-1] != h[:-1]) + (c[:-1] != l[:-1]))[ok])
    r1, r2, r3, r4, r5 = (r[ok] for r in (m[1:] - o[1:], o[1:] - m[:-1], m[1:] - c[:-1],
                                          c[:-1] - m[:-1], o[1:] - c[:-1]))
    d1, d3, d5 = (np.where(tau, r - r[tau].mean(), 0.0) for r in (r1, r3, r5))
    x1, x2 = -4 * (d1 * r2 / fo + d3 * r4 / fc), -4 * (d1 * r5 / fo + d5 * r4 / fc)
    s2 = (x2.var() * x1.mean() + x1.var() * x2.mean()) / (x1.var() + x2.var())
    return np.sqrt(max(s2, 0.0))


@pytest.mark.parametrize("spread, kw", [
    (0.005, {}), (0.01, {}), (0.02, {}),
    (0.01, {"drift": 0.01}),                 # 1 % a bar: uncentred products read ~0
    (0.01, {"prints": 5, "idle": 0.3}),      # opens and closes often the high or low
])
def test_recovers_the_spread(spread, kw):
    np.testing.assert_allclose(edge_spread(*market(spread, **kw), None), spread, rtol=0.10)


def test_no_spread_is_floored_at_zero():
    prices = market(0.0, names=8)
    whole, rolling = edge_spread(*prices, None), edge_spread(*prices, 21)[2:]
    for est in (whole, rolling):
        assert np.isfinite(est).all() and (est >= 0).all() and (est == 0).any()
    assert whole.max() < 0.001


@pytest.mark.parametrize("drift, idle", [(0.0, 0.0), (0.05, 0.3)])
def test_whole_sample_is_the_moment_form(drift, idle):
    prices = market(0.01, bars=400, names=3, prints=8, drift=drift, idle=idle)
    prices[2][100:103, 1] = np.nan
    expect = [moment_form(*(a[:, j] for a in prices)) for j in range(3)]
    np.testing.assert_allclose(edge_spread(*prices, None), expect, rtol=1e-10)


# One name a block, in slices of 5 bars (a 22-bar window leaves a slice at its last row).
@pytest.mark.parametrize("cells", [None, (5, 1)])
@pytest.mark.parametrize("window, cut", [(3, 40), (22, 199), (10_000, 120)])
def test_row_t_is_the_whole_estimate_of_its_window_alone(window, cut, cells, monkeypatch):
    if cells:
        monkeypatch.setattr(_spread, "_SLICE_CELLS", cells[0])
        monkeypatch.setattr(_spread, "_KEPT_CELLS", cells[1])
    prices = market(0.01, bars=200, names=2, prints=20, idle=0.1)
    prices[0][50:53, 1] = np.nan
    rolling = edge_spread(*prices, window)
    for t in range(200):
        whole = edge_spread(*(a[max(0, t - window + 1):t + 1] for a in prices), None)
        np.testing.assert_allclose(rolling[t], whole, rtol=0, atol=1e-12, err_msg=f"row {t}")
    assert np.isnan(rolling[:2]).all() and np.isfinite(rolling).mean() > 0.5
    for a in prices:                         # later bars, however wild, leave rows alone
        a[cut:] *= np.random.default_rng(7).uniform(0.2, 5.0, a[cut:].shape)
    prices[1][cut + 1:cut + 3] = np.nan
    after = edge_spread(*prices, window)
    np.testing.assert_array_equal(after[:cut], rolling[:cut])
    assert not np.allclose(after[cut:], rolling[cut:], equal_nan=True)


@pytest.mark.parametrize("field, value", [(0, np.nan), (1, np.nan), (3, np.nan), (3, 0.0)])
def test_a_missing_bar_breaks_its_pairs(field, value):
    # The same bars twice around one missing bar: every sum doubles, the estimate stays.
    one = market(0.01, bars=500, names=2)
    gap = [np.ones((1, 2)) for _ in one]
    gap[field][:] = value
    twice = [np.concatenate([a, g, a]) for a, g in zip(one, gap)]
    twice[0][:, 1] = np.nan                  # a name without bars is NaN, alone
    np.testing.assert_allclose(edge_spread(*twice, None)[0], edge_spread(*one, None)[0],
                               rtol=1e-9)
    assert np.isnan(edge_spread(*twice, None)[1]) and np.isnan(edge_spread(*twice, 9)[:, 1]).all()


@pytest.mark.parametrize("bars, names, window, nans", [
    (1, 3, 5, 3), (1, 3, None, 3), (2, 2, 5, 4), (50, 1, 5, 2), (50, 1, None, 0), (4, 0, 5, 0),
])
def test_shapes(bars, names, window, nans):
    prices = [a[:bars, :names] for a in market(0.01, bars=max(bars, 2), names=max(names, 1))]
    est = edge_spread(*prices, window)
    assert est.shape == ((names,) if window is None else (bars, names))
    assert np.isnan(est).sum() == nans


@pytest.mark.parametrize("shapes, window", [
    ([(5, 2)] * 3 + [(5, 3)], 5), ([(5,)] * 4, None), ([(5, 2)] * 4, 1), ([(5, 2)] * 4, 2.5),
    ([(5, 2)] * 4, True),
])
def test_refuses(shapes, window):
    with pytest.raises(ValueError):
        edge_spread(*(np.ones(s) for s in shapes), window)
