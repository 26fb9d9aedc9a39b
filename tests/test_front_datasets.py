import numpy as np
import pandas as pd
import pytest

from orvane.datasets import Market, momentum, synthetic_market


@pytest.fixture(scope="module")
def market():
    return synthetic_market(stocks=120, years=4, seed=11)


def test_market_is_deterministic_ohlc_with_gaps_listings_and_delistings(market):
    again = synthetic_market(stocks=120, years=4, seed=11)
    for field in ("open", "high", "low", "close", "volume"):
        pd.testing.assert_frame_equal(market[field], again[field])
    assert not market.close.equals(synthetic_market(stocks=120, years=4, seed=12).close)
    assert isinstance(market, Market) and dict(market).keys() == {"open", "high", "low", "close",
                                                                  "volume"}
    close = market.close
    assert close.shape == (4 * 252, 120) and close.index.is_monotonic_increasing
    valid = close.notna().to_numpy()
    first = valid.argmax(axis=0)
    last = len(close) - 1 - valid[::-1].argmax(axis=0)
    assert (first > 0).sum() >= 120 // 10                          # late listings
    assert list(close.columns[last < len(close) - 1]) == list(market.delistings.index)
    assert (market.delistings == close.index[last[last < len(close) - 1]]).all()
    inside = np.arange(len(close))[:, None]
    gaps = ~valid & (inside > first) & (inside < last)
    assert gaps.any()                                              # holes inside a listing
    ok = valid & market.low.notna().to_numpy()
    assert (market.low.to_numpy()[ok] <= np.minimum(market.open, close).to_numpy()[ok]).all()
    assert (market.high.to_numpy()[ok] >= np.maximum(market.open, close).to_numpy()[ok]).all()
    assert market.sectors.index.equals(close.columns) and market.sectors.nunique() > 5


def test_volumes_spread_liquidity_over_orders_of_magnitude(market):
    volume, close = market.volume.to_numpy(), market.close.to_numpy()
    # Whole shares on every bar with a price, none without one.
    assert (np.isnan(volume) == np.isnan(close)).all()
    known = volume[~np.isnan(volume)]
    assert (known >= 0).all() and (known == np.round(known)).all()
    # Money traded a day per name: a capacity question has small and large names.
    adv = np.nanmean(volume * close, axis=0)
    assert adv.max() / adv.min() > 1e3
    # Busier on the days of large moves.
    moves = np.abs(np.diff(np.log(close), axis=0))
    big = moves > np.nanquantile(moves, 0.9)
    money = (volume * close)[1:] / adv
    assert np.nanmean(money[big]) > 1.2 * np.nanmean(money[~big & ~np.isnan(moves)])


def test_a_trend_is_a_drift_momentum_can_catch_and_changes_nothing_else(market):
    assert synthetic_market(stocks=120, years=4, seed=11, trend=0.0).close.equals(market.close)
    trending = synthetic_market(stocks=120, years=4, seed=11, trend=0.5)
    close = trending.close
    assert close.isna().equals(market.close.isna())
    ok = close.notna().to_numpy()
    assert (trending.low.to_numpy()[ok] <= np.minimum(trending.open, close).to_numpy()[ok]).all()
    assert (trending.high.to_numpy()[ok] >= np.maximum(trending.open, close).to_numpy()[ok]).all()
    # A drift that lasts: a half-year's returns foretell the next half-year's far better
    # than the fixed drifts of the walk alone do.
    def edge(prices):
        past = np.log(prices.iloc[378] / prices.iloc[252])
        future = np.log(prices.iloc[504] / prices.iloc[378])
        both = past.notna() & future.notna()
        return np.corrcoef(past[both], future[both])[0, 1]
    assert edge(close) > 0.4 and edge(market.close) < 0.2


@pytest.mark.parametrize("top, bottom", [(10, 10), (12, 0), (5, 15)])
def test_momentum_ranks_past_returns_with_equal_weights(market, top, bottom):
    weights = momentum(market, lookback=63, skip=10, top=top, bottom=bottom)
    close = market.close
    assert weights.index.isin(close.index).all()
    assert (weights.index.to_period("M").value_counts() == 1).all()
    row = weights.index[-1]
    at = close.index.get_loc(row)
    score = close.iloc[at - 10] / close.iloc[at - 73] - 1
    w = weights.loc[row]
    assert (w > 0).sum() == top and (w < 0).sum() == bottom
    assert np.isclose(w.abs().sum(), 1.0) and np.allclose(w[w != 0].abs(), 1 / (top + bottom))
    eligible = score.notna() & close.loc[row].notna()
    if top:
        assert score[w > 0].min() >= score[eligible & (w <= 0)].max()
    if bottom:
        assert score[w < 0].max() <= score[eligible & (w >= 0)].min()
    held = weights.to_numpy() != 0
    assert close.loc[weights.index].notna().to_numpy()[held].all()


@pytest.mark.parametrize("options, error, message", [
    (dict(lookback=2.5), TypeError, r"lookback must be a whole number of bars, at least 1, got float 2.5"),
    (dict(lookback=10**100), ValueError, r"lookback must be a whole number of bars that fits a 32-bit"),
    (dict(top=0, bottom=0), ValueError, r"top \+ bottom must be at least 1"),
    (dict(skip=-1), ValueError, r"skip must be a whole number of bars, at least 0, got -1"),
    (dict(rebalance=None), ValueError, r"got None, which is not a calendar frequency"),
])
def test_momentum_refuses_parameters_it_would_have_bent(options, error, message):
    market = synthetic_market(stocks=6, years=1, seed=5)
    with pytest.raises(error, match=message):
        momentum(market, **options)
