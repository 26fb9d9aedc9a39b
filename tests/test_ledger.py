"""The opt-in ledger of tradeloom and the identities that tie it to creturn."""
import math
import subprocess
import sys

import numpy as np
import pytest

from orvane.core import tidemark as tm
from orvane.core import tradeloom as tl
from orvane.datasets import core_layout

from conftest import run_layout
from test_engine_reference import DAY, T0, engine_run, market

# name, engine settings, resized weights, extra delistings
SETTINGS = [
    ("plain", {}, False, False),
    ("costly-close-stops", dict(fee_ratio=0.01, tax_ratio=0.02, stop_loss=0.05, take_profit=0.1), False, False),
    ("intrabar-stops", dict(stop_loss=0.05, take_profit=0.08, trail_stop=0.04, touched_exit=True), False, False),
    ("resized", dict(stop_loss=0.1), True, False),
    ("resized-retain", dict(retain_cost_when_rebalance=True, stop_loss=0.08), True, False),
    ("not-periodic", dict(periodically_rebalance=False, take_profit=0.1), True, False),
    ("delisted-intrabar", dict(touched_exit=True, stop_loss=0.1), True, True),
    ("delisted-close", dict(stop_loss=0.1, stop_trading_next_period=False), True, True),
    ("levered", dict(position_limit=0.3, fee_ratio=0.003), True, True),
]
IDS = [s[0] for s in SETTINGS]


def random_market(seed, resize, delist):
    layout = core_layout(300, 30, seed, top_k=4, gap_ratio=0.02)  # longs, shorts and NaN gaps
    rng = np.random.default_rng(seed)
    if resize:  # targets that change between rebalances: kept holdings trade the difference
        layout.pos_values = layout.pos_values * rng.uniform(0.4, 1.6, layout.pos_values.shape)
    if delist:
        held = np.flatnonzero(layout.pos_values.any(axis=0))
        picked = rng.choice(held, min(len(held), 15), replace=False)
        layout.delisting_bars = layout.delisting_bars.copy()
        layout.delisting_bars[picked] = rng.integers(60, 300, len(picked))
    return layout


@pytest.fixture
def recording():
    was = tl.record_ledger(True)
    yield
    tl.record_ledger(was)


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("name, kw, resize, delist", SETTINGS, ids=IDS)
def test_ledger_reconciles_with_creturn(recording, name, kw, resize, delist, seed):
    layout = random_market(seed, resize, delist)
    creturn = run_layout(layout, **kw)
    led = tl.get_ledger()
    trades = [tuple(int(x) for x in t) for t in tm.trades]
    assert trades == list(zip(led["trade_sid"].tolist(), led["entry_row"].tolist(), led["exit_row"].tolist()))
    assert len(trades) > 10
    # The trades' P&L, open ones marked at the last close, is the run's.
    assert led["unlisted_pnl"] == 0.0
    assert abs(math.fsum(led["pnl"]) - (creturn[-1] - 1.0)) <= 1e-9 * max(1.0, abs(creturn[-1]))
    assert math.fsum(led["costs"]) == pytest.approx(math.fsum(led["fees"]) + math.fsum(led["tax"]), rel=1e-12)
    # cash + long + short is creturn before long and short are rounded: the exact sum
    # of the three doubles is within one ulp of the largest of them and creturn.
    cash, lv, sv = led["cash"], led["long_value"], led["short_value"]
    assert (lv >= 0).all() and (sv <= 0).all()
    for d in range(len(creturn)):
        gap = abs(math.fsum([cash[d], lv[d], sv[d]]) - creturn[d])
        assert gap <= math.ulp(max(abs(creturn[d]), lv[d], -sv[d])), d
    first = int(np.searchsorted(layout.price_index, layout.pos_index[0]))
    assert (cash[:first] == 1.0).all() and not led["names_held"][:first].any()
    # A close-rule exit fills at the bar's trading price, an intrabar one within the bar.
    closed = np.flatnonzero((led["exit_row"] >= 0) & (led["exit_notional"] > 0))
    row, col = led["exit_row"][closed], led["trade_sid"][closed]  # price column = sid here
    fill, price = led["exit_price"][closed], layout.price_values[row, col]
    ok = ~np.isnan(price)
    if kw.get("touched_exit"):
        assert (fill[ok] >= layout.low_values[row, col][ok] * (1 - 1e-12)).all()
        assert (fill[ok] <= layout.high_values[row, col][ok] * (1 + 1e-12)).all()
    else:
        assert np.array_equal(fill[ok], price[ok])
    if delist:
        assert (row == layout.delisting_bars[col]).any()  # delisting sales happened


@pytest.mark.parametrize("name, kw, resize, delist", SETTINGS[1:4], ids=IDS[1:4])
def test_recording_changes_no_result(name, kw, resize, delist):
    layout = random_market(7, resize, delist)
    seen = []
    for on in (False, True, False):
        was = tl.record_ledger(on)
        try:
            creturn = run_layout(layout, **kw)
        finally:
            tl.record_ledger(was)
        seen.append((creturn.tobytes(), [list(map(int, t)) for t in tm.trades],
                     np.asarray(tm.trade_positions).tobytes(), [r.tobytes() for r in tm.tidemark],
                     tl.get_stock_operations(), tl.get_ledger() is None))
    assert seen[0] == seen[2] and seen[0][:5] == seen[1][:5]
    assert [s[5] for s in seen] == [True, False, True]


def test_switch_is_off_at_import():
    code = "from orvane.core import tradeloom as t; print(t.record_ledger(False), t.get_ledger())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["False", "None"]


@pytest.mark.parametrize("field, bars, kw, fill", [
    ("low", [85.0, 85.0], dict(stop_loss=0.1), 90.0),
    ("high", [125.0, 125.0], dict(take_profit=0.2), 120.0),
    ("open_", [80.0, 80.0], dict(stop_loss=0.1), 80.0),  # gaps through the stop: fills at the open
], ids=["stop-level", "take-profit-level", "gap-through-open"])
def test_intrabar_exit_fills_at_the_touched_price(recording, field, bars, kw, fill):
    # one stock at 100, bought for 1.0 on row 1, touched on row 3
    prices = {field: [[100.0]] * 3 + [[b] for b in bars]}
    if field == "open_":
        prices["low"] = prices["open_"]
    m = market([[100.0]] * 5, **prices, pos_values=[[1.0]], pos_index=[T0], resample=[T0], touched_exit=True,
               fee_ratio=0.001, tax_ratio=0.003, **kw)
    creturn = engine_run(m)["creturn"]
    led = tl.get_ledger()
    sold = 0.999 * fill / 100.0  # the entry fee came out of the position
    assert led["exit_row"].tolist() == [3] and led["entry_notional"].tolist() == [1.0]
    assert led["exit_price"][0] == pytest.approx(fill, rel=1e-14)
    assert led["exit_notional"][0] == pytest.approx(sold, rel=1e-14)
    assert led["costs"][0] == pytest.approx(0.001 + sold * 0.004, rel=1e-12)
    assert led["pnl"][0] == pytest.approx(sold * 0.996 - 1.0, rel=1e-12) == creturn[-1] - 1.0
    assert led["tax"].tolist() == pytest.approx([0, 0, 0, sold * 0.003, 0], rel=1e-12)


@pytest.mark.parametrize("retain, expected", [
    # one record per stock: entry fee plus the resize (a buy pays the fee, a sale fee and tax)
    (True, [(0, 1, -1, 0.5, 0.0005 + 0.2997 * 0.001), (1, 1, -1, 0.5, 0.0005 + 0.2997 * 0.004)]),
    # the rebalance cuts each record first: the resize belongs to the record it opens
    (False, [(0, 1, 3, 0.5, 0.0005), (1, 1, 3, 0.5, 0.0005),
             (0, 3, -1, 0.0, 0.2997 * 0.001), (1, 3, -1, 0.0, 0.2997 * 0.004)]),
])
def test_resize_costs_belong_to_the_resized_trade(recording, retain, expected):
    # constant prices: bought 50/50 on row 1, moved to 80/20 of 0.999 on row 3
    m = market([[10.0, 10.0]] * 5, pos_values=[[0.5, 0.5], [0.8, 0.2]], pos_index=[T0, T0 + 2 * DAY],
               fee_ratio=0.001, tax_ratio=0.003, retain_cost_when_rebalance=retain)
    creturn = engine_run(m)["creturn"]
    led = tl.get_ledger()
    got = list(zip(led["trade_sid"].tolist(), led["entry_row"].tolist(), led["exit_row"].tolist()))
    assert got == [e[:3] for e in expected]
    assert led["entry_notional"].tolist() == pytest.approx([e[3] for e in expected], rel=1e-14)
    assert led["costs"].tolist() == pytest.approx([e[4] for e in expected], rel=1e-12)
    assert led["pnl"].tolist() == pytest.approx([-e[4] for e in expected], rel=1e-12)  # prices never move
    assert creturn[-1] == pytest.approx(1.0 - sum(e[4] for e in expected), rel=1e-14)


class Refuser:
    """stop_trading_next_period whose second truth test (the second rebalance) raises."""

    uses = 0

    def __bool__(self):
        self.uses += 1
        if self.uses == 2:
            raise LookupError("refused")
        return True


def refuse(weights, limit):
    raise KeyError("refused at the end of the run")


@pytest.mark.parametrize("where, exc", [("rows", ValueError), ("callback", LookupError), ("end", KeyError)])
def test_failed_run_leaves_no_ledger(recording, monkeypatch, where, exc):
    def fresh():
        return market([[10.0, 10.0], [11.0, 9.0], [12.0, 9.5], [11.0, 10.0], [12.0, 10.5]],
                      pos_values=[[0.5, -0.5], [0.3, 0.6]], pos_index=[T0, T0 + 2 * DAY])

    engine_run(fresh())
    assert tl.get_ledger() is not None
    m = fresh()
    if where == "rows":
        m["price"][3, 0] = 0.0  # a held stock at a zero trading price
    elif where == "callback":
        m["stop_trading_next_period"] = Refuser()
    else:
        monkeypatch.setattr(tl, "normalize_weight", refuse)  # fails building the run's record
    with pytest.raises(exc):
        engine_run(m)
    assert tl.get_ledger() is None
