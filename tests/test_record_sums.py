"""The native sums behind the trade rows of every summary, against NumPy written out."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orvane import _kernels as kernels

NAT = np.iinfo(np.int64).min


def reference_stats(money, ret, bars, mae, gmfe):
    win, loss = money > 0, money <= 0

    def mean(x):
        x = x[~np.isnan(x)]
        return x.sum() / len(x) if len(x) else math.nan

    return ((len(money), int((win | loss).sum()), int(win.sum()), money[win].sum(), money[loss].sum()),
            (mean(ret[win]), mean(ret[loss]), mean(bars), mean(mae[win]), mean(gmfe[win]),
             mean(mae[loss]), mean(gmfe[loss])))


def close(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b or math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-15)


values = st.one_of(st.floats(-0.5, 2.0), st.just(0.0), st.just(-0.0), st.just(math.nan))


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(values, values, values), max_size=300), st.booleans())
def test_record_stats_are_numpys_masks_and_means(rows, strided):
    table = np.array(rows, dtype=np.float64).reshape(-1, 3)
    if strided:  # columns of a wider table, as the engine's records are read
        table = np.repeat(table, 2, axis=1)[:, ::2]
    money, ret, other = table[:, 0], table[:, 1], table[:, 2]
    got = kernels.record_stats(money, ret, other, ret, other)
    counts, means = reference_stats(money, ret, other, ret, other)
    assert got[:3] == counts[:3]
    assert all(close(a, b) for a, b in zip(got[3:], counts[3:] + means)), (got, counts, means)
    assert kernels.record_stats(money, ret, None, None, None) == got[:5]


@pytest.mark.parametrize("money, expected", [
    ([], (0, 0, 0, 0.0, 0.0)),
    ([math.nan, math.nan], (2, 0, 0, 0.0, 0.0)),
    ([-0.0, 0.0, 1e-300], (3, 3, 1, 1e-300, 0.0)),        # 0 loses, however signed
    ([math.inf, 1.0, -math.inf], (3, 3, 2, math.inf, -math.inf)),
    ([math.inf, -math.inf, 1.0], (3, 3, 2, math.inf, -math.inf)),
])
def test_record_stats_edges(money, expected):
    m = np.array(money, dtype=np.float64)
    assert kernels.record_stats(m, m, None, None, None) == expected


def test_record_stats_sum_long_columns_within_an_ulp_or_two():
    # 1 and then a million gains below its half ulp: a running sum loses every one.
    money = np.concatenate([[1.0], np.full(1_000_000, 1e-17)])
    gains = kernels.record_stats(money, money, None, None, None)[3]
    assert math.isclose(gains, math.fsum(money), rel_tol=2e-15) and gains > 1.0 + 9e-12
    for seed in range(4):
        rng = np.random.default_rng(seed)
        money = rng.normal(size=200_000) * 10.0 ** rng.integers(-8, 8, 200_000)
        _, _, _, won, lost = kernels.record_stats(money, money, None, None, None)
        assert math.isclose(won, math.fsum(money[money > 0]), rel_tol=3e-16)
        assert math.isclose(lost, math.fsum(money[money <= 0]), rel_tol=3e-16)


def blocked_sum(values):
    """The native sums written out: blocks of 128 plain additions, the blocks' sums added
    compensated (Neumaier)."""
    s = c = part = 0.0
    for k, x in enumerate(values, 1):
        part += x
        if k % 128 == 0 or k == len(values):
            t = s + part
            c += (s - t) + part if abs(s) >= abs(part) else (part - t) + s
            s, part = t, 0.0
    return s + c if math.isfinite(s) else s


@pytest.mark.parametrize("n", [1, 127, 128, 129, 256, 257, 1000])
def test_sums_end_their_blocks_every_128_values_bit_for_bit(n):
    # Values of many magnitudes: a block ended one value early or late rounds differently.
    rng = np.random.default_rng(n)
    money = rng.normal(size=n) * 10.0 ** rng.integers(-12, 12, n)
    money[0] = 1.0
    ret = rng.normal(size=n)
    ret[1::7] = math.nan
    got = kernels.record_stats(money, ret, ret, ret, ret)
    win = money > 0
    assert got[3] == blocked_sum(np.where(win, money, 0.0).tolist())
    assert got[4] == blocked_sum(np.where(win, 0.0, money).tolist())
    taken = win & ~np.isnan(ret)
    assert got[5] == blocked_sum(np.where(taken, ret, 0.0).tolist()) / taken.sum()
    # One holding of n records (each enters on the bar the one before left) among
    # one-record holdings of another ticker: its pnl and the turnover of the holdings'
    # first records, each summed in blocks of their own.
    key = np.where(np.arange(n) % 3 == 1, 5, 9).astype(np.int64)
    entry = np.arange(n, dtype=np.int64)
    exit_ = np.where(key == 9, entry + 1, entry + 2)
    for rows in (np.flatnonzero(key == 9), np.flatnonzero(key == 5)):
        entry[rows[1:]] = exit_[rows[:-1]]
    exit_[key == 5] = entry[key == 5] + 1000  # ticker 5's records never join
    weight = rng.normal(size=n) * 10.0 ** rng.integers(-12, 12, n)
    hret, hpnl, turnover = kernels.holding_sums(key, entry, np.zeros(n, bool), exit_, ret * 0.0, money, weight)
    joined = key == 9
    assert blocked_sum(money[joined].tolist()) in hpnl.tolist()
    starts = ~joined | (np.cumsum(joined) == 1)
    assert turnover == blocked_sum(np.abs(weight[starts]).tolist())
    assert len(hpnl) == (~joined).sum() + joined.any()


records = st.lists(st.tuples(st.integers(0, 4), st.booleans(), st.integers(0, 6), st.integers(-1, 6)),
                   max_size=60)


@settings(max_examples=300, deadline=None)
@given(records, st.sampled_from([0, 2**16, 2**40]))
def test_grouping_is_lexsort_and_continues_the_bar_a_record_left(rows, offset):
    # offset: ticker numbers past the counting sort's reach take the general sort
    key = np.array([r[0] for r in rows], dtype=np.int64) * (offset or 1) + offset
    short = np.array([r[1] for r in rows], dtype=bool)
    entry = np.array([r[2] for r in rows], dtype=np.int64)
    exit_ = np.array([NAT if r[3] < 0 else r[2] + r[3] for r in rows], dtype=np.int64)
    order, continues = kernels.group_records(key, entry, short, exit_)
    assert order.tolist() == np.lexsort((entry, key)).tolist()
    assert kernels.group_records(key, entry, None, None)[1] is None
    k, s, e, x = key[order], short[order], entry[order], exit_[order]
    expected = np.zeros(len(rows), dtype=bool)
    expected[1:] = (k[1:] == k[:-1]) & (s[1:] == s[:-1]) & (e[1:] == x[:-1]) & (x[:-1] != NAT)
    assert continues.tolist() == expected.tolist()

    rng = np.random.default_rng(len(rows))
    ret, pnl, weight = rng.normal(0, 0.1, (3, len(rows)))
    hret, hpnl, turnover = kernels.holding_sums(key, entry, short, exit_, ret, pnl, weight)
    first = np.flatnonzero(~continues)
    want_ret = np.multiply.reduceat(1.0 + ret[order], first) - 1.0 if len(first) else np.zeros(0)
    want_pnl = np.add.reduceat(pnl[order], first) if len(first) else np.zeros(0)
    # The holdings in either order (in the order they end when each ticker's records come
    # in entry order): compare them as (return, pnl) pairs.
    assert sorted(zip(hret, np.round(hpnl, 12))) == sorted(zip(want_ret, np.round(want_pnl, 12)))
    assert math.isclose(turnover, math.fsum(np.abs(weight[order])[~continues]), rel_tol=1e-15,
                        abs_tol=1e-300)
    assert kernels.holding_sums(key, entry, short, exit_, ret, None, weight)[1] is None


def test_holdings_join_a_tickers_records_in_its_own_order():
    # Ticker 7's records out of entry order take the sorted way; ticker 3's a split pair.
    key = np.array([3, 7, 3, 7, 7])
    entry = np.array([0, 5, 2, 0, 2])
    exit_ = np.array([2, 8, 4, 2, 5])
    short = np.zeros(5, dtype=bool)
    ret = np.array([0.1, 0.2, -0.5, 0.3, 0.4])
    got = kernels.holding_sums(key, entry, short, exit_, ret, ret, np.ones(5))
    assert got[0].tolist() == [1.1 * 0.5 - 1, 1.3 * 1.4 * 1.2 - 1] and got[2] == 2.0
    # In entry order, in one pass: holdings in the order they end (open ones by ticker).
    pick = [3, 0, 4, 1, 2]
    key, entry, exit_, ret = key[pick], entry[pick], exit_[pick], ret[pick]
    exit_[0] = 1  # ticker 7's first record now ends before its next: two holdings
    got = kernels.holding_sums(key, entry, short, exit_, ret, ret, np.ones(5))
    assert got[0].tolist() == [1.3 - 1, 1.1 * 0.5 - 1, 1.4 * 1.2 - 1] and got[2] == 3.0
    assert got[1].tolist() == [0.3, 0.1 - 0.5, 0.4 + 0.2]


@pytest.mark.parametrize("start, stop, bars, expected", [
    ([], [], 5, 0),
    ([1, 2], [3, 5], 5, 4),          # bars 1..4
    ([0], [9], 4, 4),                # open past the end
    ([2, 2], [2, 2], 4, 0),          # entered and left on one bar: never open
    ([3], [1], 5, 0),                # a stop before the start opens nothing
    ([0], [1], 0, 0),
])
def test_bars_with_open(start, stop, bars, expected):
    assert kernels.bars_with_open(np.array(start, dtype=np.int64), np.array(stop, dtype=np.int64),
                                  bars) == expected


@pytest.mark.parametrize("call, exc, message", [
    (lambda: kernels.record_stats(np.zeros(2), np.zeros(3), None, None, None), ValueError, "one length"),
    (lambda: kernels.record_stats(np.zeros(2, np.float32), np.zeros(2), None, None, None),
     ValueError, "money must be a 1-D float64"),
    (lambda: kernels.record_stats([0.0], np.zeros(1), None, None, None), TypeError, "'money'"),
    (lambda: kernels.group_records(np.zeros(2, np.int64), np.zeros(2, np.int64), np.zeros(2, bool), None),
     ValueError, "both be given"),
    (lambda: kernels.group_records(np.zeros((2, 1), np.int64), np.zeros(2, np.int64), None, None),
     ValueError, "key must be a 1-D int64"),
    (lambda: kernels.holding_sums(*[np.zeros(2, np.int64)] * 2, np.zeros(2, bool), None, np.zeros(2),
                                  None, np.zeros(2)), TypeError, "'exit'"),
    (lambda: kernels.bars_with_open(np.array([-1]), np.array([2]), 3), ValueError, "bar positions"),
    (lambda: kernels.bars_with_open(np.array([0]), np.array([2]), -1), ValueError, "0 or more"),
])
def test_record_sums_refuse_what_they_cannot_read(call, exc, message):
    with pytest.raises(exc, match=message):
        call()
