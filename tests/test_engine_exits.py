"""Stop-loss, take-profit and trailing exits under both exit rules, pending-exit
bookkeeping, the end-of-run action tags and the trade rows built from them.

Most cases trade stock "A" as sid 1 next to a never-held "D" (sid 0), so the
sign of an exit record is visible; price rows are dated 10, 20, ..."""
import numpy as np
import pytest

from orvane.core import tidemark as tm
from orvane.core import tradeloom as tl

from test_engine_cases import sp, trades

F, T = 0.001, 0.003
PI = [10, 20, 30, 40, 50, 60]


def run(a, w=1.0, *, close=None, high=None, low=None, open_=None, weights=None,
        pos_rows=(0,), solo=False, **kw):
    """`a`: trading prices of A; close/high/low/open: {row: value} overrides of
    A's column (all default to the trading price); weight rows dated on pos_rows."""
    n = len(a)
    base = np.column_stack([np.full(n, 50.0), np.asarray(a, dtype=float)])

    def with_(over):
        m = base.copy()
        for r, v in (over or {}).items():
            m[r, 1] = v
        return m[:, 1:] if solo else m

    price = base[:, 1:] if solo else base
    pi = np.array(PI[:n], dtype=np.int64)
    wt = np.array(weights if weights is not None else [[0.0, w]], dtype=float)
    wt = wt[:, 1:] if solo else wt
    labels = np.array(["A"] if solo else ["D", "A"], dtype=object)
    kw.setdefault("fee_ratio", F)
    kw.setdefault("tax_ratio", T)
    return tl.backtest_(price, with_(close), with_(high), with_(low), with_(open_), pi,
                        labels, wt, pi[list(pos_rows)], labels.copy(), pi, **kw)


def ops():
    return tl.get_stock_operations()


def close_rule_path(a, c, w, exit_row):
    """creturn of weight w bought on row 1 and sold at the trading price of exit_row."""
    p, cash = sp(None, w, 1.0)
    out = [1.0, cash + (p * c[1]) / a[1]]
    for d in range(2, len(a)):
        if p is not None:
            p = p * (a[d] / a[d - 1])
            if d == exit_row:
                p, cash = sp(p, 0.0, cash)
        out.append(cash if p is None else cash + (p * c[d]) / a[d])
    return out


def trade_row(label, entry, exit_, size, n, touched):
    if exit_ == -1:
        return [label, PI[entry], -1, PI[entry - 1], -1, size, n - entry, entry, -1]
    sig = PI[exit_] if touched else PI[exit_ - 1]
    return [label, PI[entry], PI[exit_], PI[entry - 1], sig, size, exit_ - entry, entry, exit_]


CLOSE_CASES = {
    # a long whose close return equals 1 - stop_loss stays (strict <)
    "long-stop-at-level": ([100, 100, 90, 95, 95], {}, 1.0, dict(stop_loss=0.1), None, None),
    "long-stop-below": ([100, 100, 90, 95, 95], {2: 89}, 1.0, dict(stop_loss=0.1), 3, "sl_"),
    # take profit triggers at equality (>=)
    "long-tp-at-level": ([100, 100, 120, 95, 95], {}, 1.0, dict(take_profit=0.2), 3, "tp_"),
    "long-tp-below": ([100, 100, 120, 95, 95], {2: 119}, 1.0, dict(take_profit=0.2), None, None),
    "short-stop": ([100, 100, 110, 95, 95], {}, -1.0, dict(stop_loss=0.1, take_profit=0.2), 3, "sl_"),
    "short-tp": ([100, 100, 80, 95, 95], {2: 79}, -1.0, dict(stop_loss=0.1, take_profit=0.2), 3, "tp_"),
    "short-default-doubles": ([100, 100, 200, 150, 150], {}, -1.0, {}, 3, "sl_"),
    "long-default-never": ([100, 100, 1, 1, 1], {}, 1.0, {}, None, None),
    # found on row 3 (max 1.12 arms the trail: level 1.07), found again on
    # row 4 while being sold there; the repeat finding is dropped
    "long-trail-armed": ([100, 100, 112, 106, 106], {}, 1.0,
                         dict(trail_stop=0.05, trail_stop_activation=0.1), 4, "sl_"),
    "long-trail-unarmed": ([100, 100, 108, 102, 102], {}, 1.0,
                           dict(trail_stop=0.05, trail_stop_activation=0.1), None, None),
    "short-trail-armed": ([100, 100, 88, 94, 94], {}, -1.0,
                          dict(trail_stop=0.05, trail_stop_activation=0.1), 4, "sl_"),
    "short-trail-unarmed": ([100, 100, 92, 97, 97], {}, -1.0,
                            dict(trail_stop=0.05, trail_stop_activation=0.1), None, None),
}


@pytest.mark.parametrize("case", CLOSE_CASES.values(), ids=CLOSE_CASES.keys())
def test_close_rule(case):
    a, cover, w, kw, exit_row, tag = case
    c = [float(cover.get(d, x)) for d, x in enumerate(a)]
    a = [float(x) for x in a]
    cret = run(a, w, close=cover, **kw)
    assert cret.tolist() == close_rule_path(a, c, w, exit_row)
    labels = np.array(["D", "A"], dtype=object)
    rows, rec = tl.get_trade_stocks(labels, np.array(PI[:5], dtype=np.int64), False)
    assert rec is tl.get_trade_stocks(labels, np.array(PI[:5], dtype=np.int64), False)[1]
    assert rec == ops()
    if exit_row is None:
        assert rows == [trade_row("A", 1, -1, w, 5, False)]
        assert rec["actions"] == {} and rec["weights"] == {1: w} and rec["next_weights"] == {1: w}
    else:
        assert rows == [trade_row("A", 1, exit_row, w, 5, False)]
        assert rec["actions"] == {1: tag}
        # sold since the rebalance; stopped stocks are left out of the next weights
        assert rec["weights"] == {1: 0.0} and rec["next_weights"] == {}


INTRABAR_CASES = {
    # (a row 2, high, low, open, w, kwargs, exit level, tag)
    "long-low-touch": (95, 100, 89, 98, 1.0, dict(stop_loss=0.1), "min", "sl_"),
    "long-low-equal": (95, 100, 90, 98, 1.0, dict(stop_loss=0.1), "min", "sl_"),
    "long-gap-open": (90, 92, 84, 85, 1.0, dict(stop_loss=0.1), "open", "sl_"),
    # both levels touched: sold at the take-profit level, recorded as a stop
    "long-both": (100, 111, 89, 100, 1.0, dict(stop_loss=0.1, take_profit=0.1), "max", "sl_"),
    "long-tp": (105, 112, 95, 100, 1.0, dict(take_profit=0.1), "max", "tp_"),
    "short-stop": (105, 112, 95, 100, -1.0, dict(stop_loss=0.1), "max", "sl_"),
    "short-gap-open": (115, 118, 112, 113, -1.0, dict(stop_loss=0.1), "open", "sl_"),
    "short-tp": (85, 100, 79, 95, -1.0, dict(take_profit=0.2), "min", "tp_"),
    "long-no-touch": (95, 100, 91, 98, 1.0, dict(stop_loss=0.1), None, None),
}


@pytest.mark.parametrize("case", INTRABAR_CASES.values(), ids=INTRABAR_CASES.keys())
def test_intrabar_rule(case):
    p2, hi, lo, op, w, kw, level, tag = case
    a = [100.0, 100.0, float(p2), 95.0, 95.0]
    cret = run(a, w, high={2: hi}, low={2: lo}, open_={2: op}, touched_exit=True, **kw)
    labels = np.array(["D", "A"], dtype=object)
    rows, rec = tl.get_trade_stocks(labels, np.array(PI[:5], dtype=np.int64), 1)
    if level is None:
        assert cret.tolist() == close_rule_path(a, a, w, None)
        assert rows == [trade_row("A", 1, -1, w, 5, True)] and rec["actions"] == {}
        return
    p, cash = sp(None, w, 1.0)
    row1 = cash + (p * 100.0) / 100.0
    r = a[2] / 100.0
    p, cr = p * r, 1.0 * r
    entry_pos = p / cr
    sl, tp = kw.get("stop_loss", 1.0), kw.get("take_profit", float("inf"))
    max_r, min_r = (1 + tp, 1 - sl) if w > 0 else (1 + sl, 1 - tp)
    v = {"max": entry_pos * max_r, "min": entry_pos * min_r,
         "open": entry_pos * ((cr / r) * (op / 100.0))}[level]
    cash = cash + (v - abs(v) * (F + T))
    # sold inside row 2; the emptied entry adds nothing from then on
    assert cret.tolist() == [1.0, row1, cash, cash, cash]
    assert rows == [trade_row("A", 1, 2, w, 5, True)]
    assert trades() == [[1, 1, 2]]
    assert rec["actions"] == {1: tag}
    # the emptied entry counts as not held
    assert rec["weights"] == {1: 0.0} and type(rec["weights"][1]) is float


@pytest.mark.parametrize("stop_next", [True, False])
def test_emptied_entry_is_not_tested_again(stop_next):
    # sold at the stop on row 2; on row 3 the high would reach the short-side
    # stop of an empty entry, which must not add a second exit record
    a = [100.0, 100.0, 95.0, 100.0, 100.0]
    run(a, high={3: 115.0}, low={2: 89.0}, open_={2: 98.0}, touched_exit=True,
        stop_loss=0.1, stop_trading_next_period=stop_next)
    rec = ops()
    assert rec["actions"] == {1: "sl_"}
    assert rec["next_weights"] == ({} if stop_next else {1: 1.0})
    assert trades() == [[1, 1, 2]]


def test_emptied_entry_still_validated():
    with pytest.raises(ValueError, match=r"^Invalid trading price for A at price row 3: 0\.0\. "):
        run([100.0, 100.0, 95.0, 0.0, 100.0], low={2: 89.0}, touched_exit=True, stop_loss=0.1)


@pytest.mark.parametrize("stop_next", [True, False])
def test_pending_exit_and_rebalance_on_same_row(stop_next):
    # stop found on row 2; a new weight row (0.5) trades on row 3.  With
    # stop_trading_next_period false the rebalance sets the stock anyway, so
    # the pending exit is skipped; otherwise it is sold and not bought back.
    a = [100.0, 100.0, 85.0, 95.0, 95.0]
    cret = run(a, weights=[[0.0, 1.0], [0.0, 0.5]], pos_rows=(0, 2), stop_loss=0.1,
               stop_trading_next_period=stop_next)
    p, cash = sp(None, 1.0, 1.0)
    p = p * (85.0 / 100.0) * (95.0 / 85.0)
    if stop_next:
        p, cash = sp(p, 0.0, cash)
        assert cret[3] == cret[4] == cash
        assert trades() == [[1, 1, 3]]
        assert ops()["weights"] == {} and ops()["next_weights"] == {}
    else:
        bal = cash + p
        target = 0.5 * (bal / 1.0)
        p, cash = sp(p, target, cash)
        assert cret[3] == cash + (p * 95.0) / 95.0
        assert trades() == [[1, 1, 3], [1, 3, -1]]
        assert [float(x) for x in tm.trade_positions] == [1.0, target / bal]
        assert ops()["weights"] == {1: 0.5} and ops()["next_weights"] == {1: 0.5}
    assert ops()["actions"] == {}


def test_pending_exit_of_stock_closed_by_rebalance():
    # stop found on row 2 while the row's rebalance closes the stock: the
    # pending exit of row 3 finds nothing to sell and records nothing
    a = [100.0, 100.0, 85.0, 95.0, 95.0]
    cret = run(a, weights=[[0.0, 1.0], [0.0, 0.0]], pos_rows=(0, 1), stop_loss=0.1)
    p, cash = sp(None, 1.0, 1.0)
    p, cash = sp(p * (85.0 / 100.0), 0.0, cash)
    assert cret.tolist()[2:] == [cash] * 3
    assert trades() == [[1, 1, 2]]
    assert ops()["actions"] == {}


@pytest.mark.parametrize("stop_next", [True, False])
def test_stop_trading_next_period_at_next_rebalance(stop_next):
    # stopped on row 3; the next weight row (same weight) trades on row 4
    a = [100.0, 100.0, 85.0, 95.0, 95.0, 95.0]
    cret = run(a, weights=[[0.0, 1.0], [0.0, 1.0]], pos_rows=(0, 3), stop_loss=0.1,
               stop_trading_next_period=stop_next)
    p, cash = sp(None, 1.0, 1.0)
    p, cash = sp(p * (85.0 / 100.0) * (95.0 / 85.0), 0.0, cash)
    assert cret[3] == cash
    if stop_next:
        assert cret[4] == cret[5] == cash and trades() == [[1, 1, 3]]
    else:
        p, cash = sp(None, 1.0 * (cash / 1.0), cash)
        assert cret[4] == cret[5] == cash + (p * 95.0) / 95.0
        assert trades() == [[1, 1, 3], [1, 4, -1]]
    assert ops()["actions"] == {}


@pytest.mark.parametrize("retain", [False, True])
def test_retained_costs_keep_the_return_record(retain):
    # a rebalance on row 3 to the same weight trades nothing (cost 0).  Without
    # retained costs the return is measured from there (80/90 stays above the
    # 0.85 stop); with them from the first purchase (0.8: stopped, sold row 5).
    a = [100.0, 100.0, 90.0, 90.0, 80.0, 80.0]
    cret = run(a, weights=[[0.0, 1.0], [0.0, 1.0]], pos_rows=(0, 2), stop_loss=0.15,
               retain_cost_when_rebalance=retain)
    p, cash = sp(None, 1.0, 1.0)
    p = p * (90.0 / 100.0) * (90.0 / 90.0)
    p, cash2 = sp(p, 1.0 * ((cash + p) / 1.0), cash)
    assert cash2 == cash    # unchanged holding: no cost
    p = p * (80.0 / 90.0)
    assert cret[4] == cash + (p * 80.0) / 80.0
    if retain:
        p, cash = sp(p * (80.0 / 80.0), 0.0, cash)
        assert cret[5] == cash
        assert trades() == [[1, 1, 5]] and ops()["actions"] == {1: "sl_"}
    else:
        assert trades() == [[1, 1, 3], [1, 3, -1]] and ops()["actions"] == {}


@pytest.mark.parametrize("a,kw,stop_next,pos_rows,tag,next_w", [
    ([100, 100, 85], dict(stop_loss=0.1), True, (0,), "sl", {}),
    ([100, 100, 85], dict(stop_loss=0.1), False, (0,), "sl", {1: 1.0}),
    # a weight row dated on the last row, with a pending rebalance
    ([100, 100, 85], dict(stop_loss=0.1), False, (0, 2), "sl_enter", {1: 1.0}),
    ([100, 100, 85], dict(stop_loss=0.1), True, (0, 2), "sl", {}),
    ([100, 100, 125], dict(take_profit=0.2), False, (0, 2), "tp_enter", {1: 1.0}),
])
def test_exit_pending_at_end_of_run(a, kw, stop_next, pos_rows, tag, next_w):
    run([float(x) for x in a], weights=[[0.0, 1.0]] * len(pos_rows), pos_rows=pos_rows,
        stop_trading_next_period=stop_next, **kw)
    rec = ops()
    assert rec["actions"] == {1: tag} and rec["next_weights"] == next_w
    assert rec["weight_time"] == 0 and rec["next_weight_time"] == len(pos_rows) - 1
    assert trades() == [[1, 1, -1]]


@pytest.mark.parametrize("stop_next,tag", [(True, "sl_"), (False, "enter")])
def test_carried_out_exit_versus_pending_rebalance_tag(stop_next, tag):
    # stopped on row 3; a weight row dated on the last row asks for the stock again
    run([100.0, 100.0, 85.0, 95.0, 95.0], weights=[[0.0, 1.0], [0.0, 1.0]], pos_rows=(0, 4),
        stop_loss=0.1, stop_trading_next_period=stop_next)
    rec = ops()
    assert rec["actions"] == {1: tag}
    assert rec["next_weights"] == ({} if stop_next else {1: 1.0})


def test_carried_out_exit_found_again_is_not_pending():
    # found on row 2, found again on row 3 while sold there: nothing stays pending
    run([100.0, 100.0, 85.0, 80.0], stop_loss=0.1, stop_trading_next_period=False)
    assert ops()["actions"] == {1: "sl_"} and trades() == [[1, 1, 3]]


@pytest.mark.parametrize("a,tag", [([100.0, 100.0, 125.0], "sl"), ([100.0, 100.0, 125.0, 110.0], "sl_")])
def test_sid_zero_take_profit_reads_as_stop(a, tag):
    run(a, solo=True, take_profit=0.2)
    assert ops()["actions"] == {0: tag}


@pytest.mark.parametrize("touched", [False, True])
@pytest.mark.parametrize("ask", [False, True])
def test_trade_rows_open_and_closed(touched, ask):
    # A (sid 0) is stopped, B (sid 1) stays open; exit_signal_time follows the
    # flag given to get_trade_stocks
    n = 5
    px = np.column_stack([[100.0, 100.0, 85.0, 95.0, 95.0], np.full(n, 50.0)])
    low = px.copy()
    low[2, 0] = 84.0
    pi = np.array(PI[:n], dtype=np.int64)
    labels = np.array(["A", "B"], dtype=object)
    tl.backtest_(px, px, px, low, px, pi, labels, np.array([[0.5, 0.5]]), pi[:1], labels, pi,
                 stop_loss=0.1, touched_exit=touched)
    rows, rec = tl.get_trade_stocks(labels, pi, ask)
    exit_row = 2 if touched else 3
    assert rows == [trade_row("A", 1, exit_row, 0.5, n, ask), trade_row("B", 1, -1, 0.5, n, ask)]
    assert rec is tl.get_trade_stocks(labels, pi, None)[1]
    assert rows == tl.get_trade_stocks(labels, pi, ask)[0]
