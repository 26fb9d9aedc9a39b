"""The engine against the pure-Python model on books wider than one 64-sid word:
holdings on both sides of word boundaries, shared and unmapped price columns,
delisting rows for every sid (looked up by row) or for only some (the book scan),
and sampled excursion windows."""
import numpy as np
import pytest

from test_engine_reference import DAY, T0, assert_same, engine_run, market, reference_run

NSID = 140
EDGES = [0, 1, 62, 63, 64, 65, 126, 127, 128, 129]


def wide_market(seed, *, held_below, delisting, **settings):
    rng = np.random.default_rng(seed)
    n, nw = 70, 6
    price = 50.0 * np.exp(np.cumsum(rng.normal(0, 0.03, (n, NSID)), axis=0))
    price[rng.random((n, NSID)) < 0.03] = np.nan
    close = price * np.exp(rng.normal(0, 0.02, (n, NSID)))
    high = np.fmax(price, close) * 1.03
    low = np.fmin(price, close) * 0.97
    weights = np.zeros((nw, NSID))
    for row in weights:
        picks = rng.choice(held_below, 24, replace=False)
        picks = np.union1d(picks, rng.choice([e for e in EDGES if e < held_below], 4, replace=False))
        row[picks] = rng.choice([0.04, -0.02, 0.03], len(picks))
    names = [f"S{i}" for i in range(NSID)]
    pos_names = list(names)
    pos_names[65] = names[64]  # two sids on one price column
    pos_names[127] = "unlisted"  # no price column: reads column 0
    bars = None
    if delisting == "every sid":
        bars = np.full(NSID, -1, dtype=np.int64)
        bars[[3, 64, 100, 128]] = [40, 45, 50, 55]
    elif delisting == "some sids":
        bars = np.full(held_below + 3, -1, dtype=np.int64)
        bars[[2, 63, held_below - 1]] = [30, 41, 52]
    return market(price, close, high, low, price.copy(), price_columns=names, pos_columns=pos_names,
                  pos_values=weights, pos_index=[T0 + (1 + 11 * k) * DAY for k in range(nw)],
                  fee_ratio=0.001425, tax_ratio=0.003, delisting_bars=bars, **settings)


@pytest.mark.parametrize("delisting, held_below", [("every sid", NSID), ("some sids", 130), (None, NSID)])
@pytest.mark.parametrize("settings", [
    {"stop_loss": 0.05, "take_profit": 0.08, "tidemark_window": 20, "tidemark_window_step": 5},
    {"stop_loss": 0.04, "trail_stop": 0.03, "touched_exit": True, "tidemark_window": 7,
     "tidemark_window_step": 3, "stop_trading_next_period": False},
    {"stop_loss": 0.06, "retain_cost_when_rebalance": True, "tidemark_window": 0},
])
@pytest.mark.parametrize("seed", [1, 2])
def test_wide_book_matches_reference(seed, delisting, held_below, settings):
    m = wide_market(seed, held_below=held_below, delisting=delisting, **settings)
    got = engine_run(m)
    assert len(got["trades"]) > 50  # the book really spans the words
    assert {t[0] for t in got["trades"]} & {63, 64, 127, 128}
    assert_same(got, reference_run(m))


def test_delisting_rows_shorter_than_the_book_still_fail_on_a_held_sid():
    # the by-row lookup needs a row for every sid; with fewer, the checked scan raises
    m = wide_market(3, held_below=NSID, delisting="some sids")
    m["delisting_bars"] = m["delisting_bars"][:60].copy()
    with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
        engine_run(m)
