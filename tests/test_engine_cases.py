"""Small hand-worked backtests: trading costs, sizing, price gaps, column mapping,
delisting and the weight calendar. Expected values repeat the engine's float
operations in the same order, so most comparisons are exact."""
import math
import traceback

import numpy as np
import pytest

from orvane.core import tidemark as tm
from orvane.core import tradeloom as tl

F, T = 0.001, 0.003
NAN = float("nan")


def cols(*series):
    return np.column_stack([np.asarray(s, dtype=float) for s in series])


def run(price, weights, *, close=None, low=None, pi=None, pos_index=None, resample=None,
        price_cols=None, pos_cols=None, **kw):
    """Price rows dated 10, 20, ...; weight row k dated like price row k; every
    price row on the calendar; close, high, low and open equal to the trading price."""
    price = np.array(price, dtype=float).reshape(len(price), -1)
    n, c = price.shape
    pi = np.arange(1, n + 1, dtype=np.int64) * 10 if pi is None else np.array(pi, dtype=np.int64)
    w = np.array(weights, dtype=float)
    w = w.reshape(1, -1) if w.ndim == 1 else w
    pos_index = pi[: len(w)] if pos_index is None else np.array(pos_index, dtype=np.int64)
    resample = pi if resample is None else np.array(resample, dtype=np.int64)
    close = price if close is None else np.array(close, dtype=float).reshape(n, -1)
    low = price if low is None else np.array(low, dtype=float).reshape(n, -1)
    names = ["A", "B", "C", "D"]
    pc = np.array(names[:c] if price_cols is None else price_cols, dtype=object)
    wc = np.array(names[: w.shape[1]] if pos_cols is None else pos_cols, dtype=object)
    kw.setdefault("fee_ratio", F)
    kw.setdefault("tax_ratio", T)
    return tl.backtest_(price, close, price, low, price, pi, pc, w, pos_index, wc, resample, **kw)


def trades():
    return [[int(x) for x in t] for t in tm.trades]


def sizes():
    return [float(x) for x in tm.trade_positions]


def sp(o, n, cash, f=F, t=T):
    """Book value (None: not held) and cash after moving one holding from o to n."""
    if n == 0:
        return None, (cash if o is None else cash + (o - abs(o) * (f + t)))
    o = 0.0 if o is None else o
    amount = n - o
    entry = (n >= 0 and amount > 0) or (n <= 0 and amount < 0)
    cost = abs(amount) * f if entry else abs(amount) * (f + t)
    if amount > 0:
        return o + (amount - cost), cash - amount
    return o + amount, cash + (-amount - cost)


@pytest.mark.parametrize("w", [1.0, -1.0])
def test_single_stock_long_and_short(w):
    # row 0 decides, row 1 buys (long: fee out of the position) or sells short
    # (fee out of the proceeds); later rows scale the book by price ratios.
    cret = run([10.0, 10.0, 11.0, 12.0], [w])
    p, cash = sp(None, w, 1.0)
    exp = [1.0, cash + (p * 10.0) / 10.0]
    for a, b in ((10.0, 11.0), (11.0, 12.0)):
        p = p * (b / a)
        exp.append(cash + (p * b) / b)
    assert cret.dtype == np.float64 and cret.tolist() == exp
    assert trades() == [[0, 1, -1]] and sizes() == [w]
    ops = tl.get_stock_operations()
    assert list(ops) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    assert ops == {"actions": {}, "weights": {0: w}, "next_weights": {0: w},
                   "weight_time": 0, "next_weight_time": 0}


# long opened, enlarged, reduced, flipped short, short enlarged, reduced,
# covered into a long, closed: every line of the cost table in turn
COST_WEIGHTS = [0.5, 1.0, 0.5, -0.5, -1.0, -0.5, 0.5, 0.0]


@pytest.mark.parametrize("retain,periodic,cut", [
    (False, True, True),      # each kept holding is cut into a new trade record
    ([1], True, False),       # retaining costs keeps one record
    (0, 0, False),            # without periodic rebalancing likewise
])
def test_cost_table_and_trade_cutting(retain, periodic, cut):
    cret = run([10.0] * 9, [[w] for w in COST_WEIGHTS],
               retain_cost_when_rebalance=retain, periodically_rebalance=periodic)
    assert tl.RETAIN_COST_WHEN_REBALANCE is bool(retain)
    assert tl.RESAMPLE is bool(periodic)
    # constant price: r = 1 every row; weight row k trades on row k + 1
    p, cash, exp, entries = None, 1.0, [1.0], []
    for w in COST_WEIGHTS:
        bal = cash if p is None else cash + p
        target = w * (bal / max(abs(w), 1.0))
        entries.append(target / bal)
        p, cash = sp(p, target, cash)
        exp.append(cash if p is None else cash + (p * 10.0) / 10.0)
    assert cret.tolist() == exp
    if cut:
        assert trades() == [[0, k, k + 1] for k in range(1, 8)]
        assert sizes() == entries[:7]
    else:
        assert trades() == [[0, 1, 8]] and sizes() == [0.5]
    ops = tl.get_stock_operations()
    assert ops == {"actions": {}, "weights": {}, "next_weights": {},
                   "weight_time": 7, "next_weight_time": 7}


@pytest.mark.parametrize("wa,wb,ops_w", [
    (0.5, 0.25, {0: 0.5, 1: 0.25}),     # gross 0.75: used as they are
    (2.0, 2.0, {0: 0.5, 1: 0.5}),       # gross 4: scaled to sum 1
    (2.0, -2.0, {0: 0.5, 1: -0.5}),
])
def test_gross_weight_scaling(wa, wb, ops_w):
    cret = run(cols([10, 10, 12], [10, 10, 8]), [wa, wb])
    ratio = 1.0 / max(abs(wa) + abs(wb), 1.0)
    pa, cash = sp(None, wa * ratio, 1.0)
    pb, cash = sp(None, wb * ratio, cash)
    exp = [1.0, (cash + (pa * 10.0) / 10.0) + (pb * 10.0) / 10.0]
    pa, pb = pa * (12.0 / 10.0), pb * (8.0 / 10.0)
    exp.append((cash + (pa * 12.0) / 12.0) + (pb * 8.0) / 8.0)
    assert cret.tolist() == exp
    assert trades() == [[0, 1, -1], [1, 1, -1]] and sizes() == [wa * ratio, wb * ratio]
    ops = tl.get_stock_operations()
    assert ops["weights"] == ops_w and ops["next_weights"] == ops_w


@pytest.mark.parametrize("w,targets", [([0.8, -0.2], [0.5, -0.2]), ([0.2, -0.8], [0.2, -0.5])])
def test_position_limit_caps_both_sides(w, targets):
    cret = run(cols([10, 10, 12], [10, 10, 8]), w, position_limit=0.5)
    pa, cash = sp(None, targets[0], 1.0)
    pb, cash = sp(None, targets[1], cash)
    pa, pb = pa * (12.0 / 10.0), pb * (8.0 / 10.0)
    assert cret[2] == (cash + (pa * 12.0) / 12.0) + (pb * 8.0) / 8.0
    assert sizes() == targets
    # the record is clipped to the limit as well
    assert tl.get_stock_operations()["weights"] == dict(enumerate(targets))


def test_position_limit_with_negative_balance():
    # A is shorted with half the capital (capped), then quadruples: balance
    # 1.5 - 2.0 = -0.5.  The next row asks for +0.8 of that: -0.4, capped at
    # 0.5 * |-0.5| = 0.25 keeping its sign, so A is covered down to -0.25; B's
    # zero target stays zero instead of opening a position.
    cret = run(cols([10, 10, 40, 40, 50], [10] * 5), [[-1.0, 0.0], [0.8, 0.0]],
               pos_index=[10, 30], position_limit=0.5, stop_loss=10.0,
               fee_ratio=0.0, tax_ratio=0.0)
    assert cret.tolist() == [1.0, 1.0, -0.5, -0.5, -0.25 + (-0.3125 * 50.0) / 50.0]
    assert trades() == [[0, 1, 3], [0, 3, -1]]
    assert sizes() == [-0.5, 0.5]   # -0.25 / -0.5


def test_nan_weight_turns_weights_into_money_amounts():
    # gross weight is NaN, so the ratio falls back to 1.0: A gets 2.0 money
    # units (not half the capital); the NaN target makes cash NaN.
    cret = run(cols([10, 10, 11], [10, 10, 10]), [2.0, NAN], position_limit=3.0)
    assert cret[0] == 1.0 and np.isnan(cret[1:]).all()
    assert trades() == [[0, 1, -1], [1, 1, -1]]
    assert sizes()[0] == 2.0 and math.isnan(sizes()[1])
    w = tl.get_stock_operations()["weights"]
    assert list(w) == [0, 1] and w[0] == 2.0 and math.isnan(w[1])


@pytest.mark.parametrize("px2,cl2", [(NAN, 11.0), (11.0, NAN)])
def test_nan_price_on_held_stock(px2, cl2):
    cret = run([10.0, 10.0, px2, 12.0], [1.0], close=[10.0, 10.0, cl2, 12.0])
    p, cash = sp(None, 1.0, 1.0)
    exp = [1.0, cash + (p * 10.0) / 10.0]
    if math.isnan(px2):
        # no move over the gap; booked in full against the last valid price
        exp.append(cash + p)
        p = p * (12.0 / 10.0)
    else:
        # a missing close only drops the close adjustment of the row
        p = p * (11.0 / 10.0)
        exp.append(cash + p)
        p = p * (12.0 / 11.0)
    exp.append(cash + (p * 12.0) / 12.0)
    assert cret.tolist() == exp


def test_rebalance_on_row_with_nan_price():
    # bought while the price is missing: the base becomes NaN, the next valid
    # price (8) becomes the base with r = 1, and only later moves count
    cret = run([10.0, NAN, 8.0, 12.0], [1.0])
    p, cash = sp(None, 1.0, 1.0)
    p3 = p * (12.0 / 8.0)
    assert cret.tolist() == [1.0, cash + p, cash + (p * 8.0) / 8.0, cash + (p3 * 12.0) / 12.0]
    assert trades() == [[0, 1, -1]]


def test_two_sids_sharing_a_price_column_both_move():
    cret = run([10.0, 10.0, 11.0, 12.0], [0.5, 0.5], price_cols=["A"], pos_cols=["A", "A"])
    p0, cash = sp(None, 0.5, 1.0)
    p1, cash = sp(None, 0.5, cash)
    exp = [1.0, (cash + (p0 * 10.0) / 10.0) + (p1 * 10.0) / 10.0]
    for a, b in ((10.0, 11.0), (11.0, 12.0)):
        p0, p1 = p0 * (b / a), p1 * (b / a)
        exp.append((cash + (p0 * b) / b) + (p1 * b) / b)
    assert cret.tolist() == exp
    assert trades() == [[0, 1, -1], [1, 1, -1]]


def test_two_sids_sharing_a_price_column_both_stopped_intrabar():
    # both sids measure the row-2 low (89) against the base 100 of the row
    # start, so both touch the 0.9 stop and are sold at that level
    cret = run([100.0, 100.0, 95.0, 95.0], [0.5, 0.5], low=[100.0, 100.0, 89.0, 95.0],
               price_cols=["A"], pos_cols=["A", "A"], touched_exit=True, stop_loss=0.1)
    p0, cash = sp(None, 0.5, 1.0)
    p1, cash = sp(None, 0.5, cash)
    r = 95.0 / 100.0
    for p in (p0, p1):
        v = ((p * r) / (1.0 * r)) * (1 - 0.1)
        cash = cash + (v - abs(v) * (F + T))
    assert cret.tolist()[2:] == [cash, cash]
    assert trades() == [[0, 1, 2], [1, 1, 2]]
    assert tl.get_stock_operations()["actions"] == {0: "sl_", 1: "sl_"}


def test_duplicate_price_label_and_unmapped_sid():
    # "A" appears twice among the price labels: the later column (halving) wins;
    # "Z" has no price label and is valued with price column 0 (doubling)
    px = cols([10, 10, 20], [10, 10, 40], [10, 10, 5])
    cret = run(px, [0.5, 0.5], price_cols=["B", "A", "A"], pos_cols=["A", "Z"])
    p0, cash = sp(None, 0.5, 1.0)
    p1, cash = sp(None, 0.5, cash)
    p0, p1 = p0 * (5.0 / 10.0), p1 * (20.0 / 10.0)
    assert cret[2] == (cash + (p0 * 5.0) / 5.0) + (p1 * 20.0) / 20.0


@pytest.mark.parametrize("bars", [[2, -1], [-1, -1]])
def test_delisting(bars):
    cret = run(cols([10, 10, 11, 12], [10] * 4), [0.5, 0.5],
               delisting_bars=np.array(bars, dtype=np.int64))
    pa, cash = sp(None, 0.5, 1.0)
    pb, cash = sp(None, 0.5, cash)
    exp = [1.0, (cash + (pa * 10.0) / 10.0) + (pb * 10.0) / 10.0]
    pa = pa * (11.0 / 10.0)
    if bars[0] == 2:
        # sold at book value on row 2, before the row's close valuation
        pa, cash = sp(pa, 0.0, cash)
        exp += [cash + (pb * 10.0) / 10.0] * 2
        assert trades() == [[0, 1, 2], [1, 1, -1]]
        # sold since the rebalance: listed with 0, its weight still divides
        assert tl.get_stock_operations()["weights"] == {0: 0.0, 1: 0.5}
    else:
        exp.append((cash + (pa * 11.0) / 11.0) + (pb * 10.0) / 10.0)
        pa = pa * (12.0 / 11.0)
        exp.append((cash + (pa * 12.0) / 12.0) + (pb * 10.0) / 10.0)
        assert trades() == [[0, 1, -1], [1, 1, -1]]
    assert cret.tolist() == exp
    assert tl.get_stock_operations()["next_weights"] == {0: 0.5, 1: 0.5}


@pytest.mark.parametrize("t1,entry", [(29, 2), (30, 3)])
def test_weight_row_on_or_just_before_a_price_date(t1, entry):
    # a row dated on price row 2 comes into force there and trades on row 3;
    # one dated just before comes into force on row 1 and trades on row 2
    cret = run([10.0, 10.0, 20.0, 40.0], [[0.0], [1.0]], pos_index=[10, t1])
    p, cash = sp(None, 1.0, 1.0)
    px = [10.0, 10.0, 20.0, 40.0]
    exp = [1.0] * entry + [cash + (p * px[entry]) / px[entry]]
    if entry == 2:
        p = p * (40.0 / 20.0)
        exp.append(cash + (p * 40.0) / 40.0)
    assert cret.tolist() == exp
    assert trades() == [[0, entry, -1]]
    ops = tl.get_stock_operations()
    assert ops["weight_time"] == 1 and ops["next_weight_time"] == 1


@pytest.mark.parametrize("resample,entry,actions", [
    ([5, 25, 99], 1, {0: "exit", 1: "enter"}),  # marks rows 0, 1 and 3
    ([5, 25], 1, {}),                             # row 3 unmarked
    ([25], 2, {}),                                # nothing before row 1
    ([], None, {}),
])
def test_calendar_dates_outside_the_price_rows(resample, entry, actions):
    cret = run(cols([10] * 4, [10] * 4), [[1.0, 0.0], [0.0, 0.5]], pos_index=[10, 30],
               resample=resample)
    p, cash = sp(None, 1.0, 1.0)
    if entry is None:
        assert cret.tolist() == [1.0] * 4 and trades() == []
    else:
        assert cret.tolist() == [1.0] * entry + [cash + (p * 10.0) / 10.0] * (4 - entry)
        assert trades() == [[0, entry, -1]]
    ops = tl.get_stock_operations()
    assert ops["actions"] == actions
    assert ops["next_weight_time"] == 1
    if entry is not None:
        # the second row (dated row 2) never met a calendar row in time
        assert ops["weight_time"] == 0 and ops["weights"] == {0: 1.0}
        assert ops["next_weights"] == {1: 0.5}


def test_rows_before_first_weight_date_hold_one():
    # rows 0 and 1 precede the first weight date: no schedule runs there, so
    # the first decision is on row 2 and the purchase on row 3
    cret = run([10.0, 20.0, 40.0, 80.0], [1.0], pos_index=[25])
    p, cash = sp(None, 1.0, 1.0)
    assert cret.tolist() == [1.0, 1.0, 1.0, cash + (p * 80.0) / 80.0]
    assert trades() == [[0, 3, -1]]


@pytest.mark.parametrize("row,bad,text", [
    (5, 0.0, "0.0"), (5, -0.0, "-0.0"), (5, math.inf, "inf"), (5, -math.inf, "-inf"),
    (5, -1.5, "-1.5"),
    (1, 0.0, "0.0"),   # the purchase row: caught by the close valuation
])
def test_invalid_trading_price(row, bad, text):
    px = [10.0] * 7
    px[row] = bad
    with pytest.raises(ValueError) as ei:
        run(px, [1.0], price_cols=["X1"], pos_cols=["X1"],
            retain_cost_when_rebalance=True, periodically_rebalance=False)
    assert str(ei.value) == (f"Invalid trading price for X1 at price row {row}: {text}. "
                             "Expected a positive finite price; check the trading-price dataset.")
    names = [f.name for f in traceback.extract_tb(ei.value.__traceback__)]
    assert names[-1] == "orvane.core.tradeloom.validate_trade_price"
    assert "orvane.core.tradeloom.backtest_" in names[:-1]
    # the settings of the failed run stay in place
    assert tl.RETAIN_COST_WHEN_REBALANCE is True and tl.RESAMPLE is False


def test_nan_price_is_not_invalid():
    cret = run([10.0, 10.0, NAN, NAN, 10.0], [1.0])
    p, cash = sp(None, 1.0, 1.0)
    assert cret.tolist() == [1.0, cash + (p * 10.0) / 10.0, cash + p, cash + p,
                             cash + ((p * (10.0 / 10.0)) * 10.0) / 10.0]
