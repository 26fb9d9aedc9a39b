"""Live against backtest: a book's fills made from the run's own with known faults, each
fault found in its cause and nowhere else, and the causes adding up to the P&L gap."""

import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets
from orvane.cli import main
from orvane.reconcile import CAUSES

CAPITAL = 1e6
MARKET = datasets.synthetic_market(stocks=30, years=2, seed=4, trend=0.2)
CLOSE = MARKET["close"]
# The last ticker has prices and no weights: the run never trades it.
WEIGHTS = datasets.momentum(MARKET, top=5, bottom=5, lookback=42).drop(columns=CLOSE.columns[-1])


def quiet(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return call(*args, **kwargs)


RUN = quiet(orvane.backtest, WEIGHTS, MARKET, capital=CAPITAL)
RUN_FILLS = RUN.fills
END_PRICE = CLOSE.loc[:RUN.end].ffill().iloc[-1]


def book(fills=RUN_FILLS):
    """A broker's fills that are exactly the run's: its shares, prices and costs in money."""
    return pd.DataFrame({"date": fills["date"], "ticker": fills["ticker"], "shares": fills["shares"],
                         "price": fills["price"], "fee": fills["fee"] * CAPITAL,
                         "tax": fills["tax"] * CAPITAL})


def traded_once():
    """A ticker the run traded, and one it never did."""
    traded = RUN_FILLS["ticker"].unique()
    never = sorted(set(CLOSE.columns) - set(traded))
    assert never, "the market must hold a ticker the run never trades"
    return traded[0], never[0]


MISSED, EXTRA = traded_once()
LAST = CLOSE.index.get_loc(RUN.end)


def worse(live):
    live = live.copy()
    live["price"] = live["price"] * (1 + 5e-4 * np.sign(live["shares"]))
    return live, {"price": -(RUN_FILLS["shares"].abs() * RUN_FILLS["price"] * 5e-4).sum()}


def missed(live):
    gone = RUN_FILLS["ticker"] == MISSED
    lost = RUN_FILLS[gone]
    value = -(lost["shares"] * (END_PRICE[MISSED] - lost["price"])).sum() + lost["costs"].sum() * CAPITAL
    return live[~gone.to_numpy()], {"missed": value}


def late(live):
    live = live.copy()
    bar = CLOSE.index.get_indexer(live["date"])
    after = CLOSE.index[np.minimum(bar + 1, LAST)]
    later = CLOSE.stack().reindex(pd.MultiIndex.from_arrays([after, live["ticker"]])).to_numpy()
    # A fill on the last bar, or before a bar without a price, stays where it was.
    moved = (bar < LAST) & np.isfinite(later)
    live.loc[moved, "date"] = after[moved]
    live.loc[moved, "price"] = later[moved]
    ran = RUN_FILLS.loc[live.index]
    timing = (ran["shares"] * (ran["price"] - live["price"]))[moved].sum()
    return live, {"timing": timing}


def fees_doubled(live):
    live = live.copy()
    live["fee"] = live["fee"] * 2
    return live, {"costs": -(RUN_FILLS["fee"] * CAPITAL).sum()}


def extra(live):
    day = RUN.rebalance_dates[3]
    price = CLOSE.at[day, EXTRA]
    row = pd.DataFrame({"date": [day], "ticker": [EXTRA], "shares": [300.0], "price": [price],
                        "fee": [12.5], "tax": [0.0]})
    return pd.concat([live, row], ignore_index=True), {
        "unplanned": 300 * (END_PRICE[EXTRA] - price) - 12.5}


def live_pnl(live):
    """The book's P&L from its own shares and cash, apart from the causes' algebra."""
    held = live.groupby("ticker")["shares"].sum()
    value = (held * END_PRICE.reindex(held.index)).sum()
    return value - (live["shares"] * live["price"]).sum() - live["fee"].sum() - live["tax"].sum()


@pytest.mark.parametrize("faults", [
    (), (worse,), (missed,), (late,), (fees_doubled,), (extra,),
], ids=["identical", "5bp-worse", "one-name-missed", "one-bar-late", "fees-doubled", "extra-name"])
def test_each_fault_lands_in_its_cause_only(faults):
    live, expected = book(), {}
    for fault in faults:
        live, found = fault(live)
        expected.update(found)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # honest fills raise no alarm
        rec = orvane.reconcile(RUN, live, CAPITAL)
    for cause in CAUSES:
        assert rec.totals[cause] == pytest.approx(expected.get(cause, 0.0), rel=1e-9, abs=1e-6), cause
    assert (rec.fills["kind"] == "matched").all() == (not {missed, extra} & set(faults))


def test_every_fault_at_once_adds_up_to_the_gap():
    live = book()
    for fault in (worse, missed, late, fees_doubled, extra):
        live, _ = fault(live)
    rec = orvane.reconcile(RUN, live)
    backtest = CAPITAL * (RUN.equity.iloc[-1] - 1.0)
    assert rec.backtest_pnl == pytest.approx(backtest, rel=1e-12)
    assert rec.live_pnl == pytest.approx(live_pnl(live), rel=1e-12)
    gap = live_pnl(live) - backtest
    assert abs(rec.totals.sum() - gap) <= 1e-9 * abs(gap)
    assert all(abs(rec.totals[c]) > 1.0 for c in ("price", "timing", "missed", "unplanned", "costs"))
    # Every view of it sums to the same money.
    assert rec.rebalances["total"].sum() + rec.totals["carry"] == pytest.approx(gap, rel=1e-9)
    assert rec.rebalances["cumulative"].iloc[-1] == pytest.approx(rec.rebalances["total"].sum())
    assert rec.names["total"].sum() == pytest.approx(gap, rel=1e-9)
    assert rec.fills[list(CAUSES[:5])].sum().sum() == pytest.approx(rec.totals[:5].sum(), rel=1e-9)
    frame = rec.to_frame()
    assert frame.loc["gap", "money"] == pytest.approx(gap, rel=1e-9)
    assert rec.top(3).index[0] == rec.names["total"].abs().idxmax()


def test_a_fill_split_across_two_bars_is_partly_late():
    # Half the first trade on its bar, the rest the next day: only that half is timing.
    live = book()
    first = live.iloc[0]
    half = np.trunc(first["shares"] / 2)
    nxt = CLOSE.index[CLOSE.index.get_loc(first["date"]) + 1]
    price = CLOSE.at[nxt, first["ticker"]]
    live.loc[0, "shares"] = first["shares"] - half
    live.loc[0, ["fee", "tax"]] = live.loc[0, ["fee", "tax"]] * (first["shares"] - half) / first["shares"]
    rest = pd.DataFrame({"date": [nxt], "ticker": [first["ticker"]], "shares": [half],
                         "price": [price], "fee": [first["fee"] * half / first["shares"]],
                         "tax": [first["tax"] * half / first["shares"]]})
    rec = orvane.reconcile(RUN, pd.concat([live, rest], ignore_index=True))
    assert rec.totals["timing"] == pytest.approx(half * (first["price"] - price), rel=1e-12)
    for cause in ("price", "missed", "unplanned", "costs", "carry"):
        assert abs(rec.totals[cause]) < 1e-6, cause


def test_a_book_that_never_traded_missed_everything_and_one_without_a_run_is_unplanned():
    nothing = book().iloc[:0]
    rec = orvane.reconcile(RUN, nothing)
    assert rec.live_pnl == 0.0
    assert rec.totals["missed"] == pytest.approx(-rec.backtest_pnl, rel=1e-9)
    assert (rec.fills["kind"] == "missed").all() and "0.00% of capital" not in rec.text()
    idle = quiet(orvane.backtest, WEIGHTS * 0, MARKET, capital=CAPITAL)
    live = book().iloc[:6]
    rec = orvane.reconcile(idle, live)
    assert rec.backtest_pnl == 0.0 and (rec.fills["kind"] == "unplanned").all()
    assert rec.totals["unplanned"] == pytest.approx(live_pnl(live), rel=1e-9)
    assert "gap 0 (0.00% of capital)" in orvane.reconcile(RUN, book()).text()


def test_a_fill_after_the_run_turned_is_not_a_late_fill_of_what_it_turned_from():
    # The run bought a name and later sold it; the book did neither, and bought it after
    # the sale: the round trip is missed and the purchase unplanned, not a late buy.
    ticker = next(t for t, s in RUN_FILLS.groupby("ticker")["shares"] if list(np.sign(s)) == [1, -1])
    trip = RUN_FILLS[RUN_FILLS["ticker"] == ticker]
    after = CLOSE.index[CLOSE.index.get_loc(trip["date"].iloc[1]) + 2]
    price, shares = CLOSE.at[after, ticker], trip["shares"].iloc[0]
    live = book()
    live = pd.concat([live[live["ticker"] != ticker], pd.DataFrame(
        {"date": [after], "ticker": [ticker], "shares": [shares], "price": [price],
         "fee": [0.0], "tax": [0.0]})], ignore_index=True)
    rec = orvane.reconcile(RUN, live)
    missed = -(trip["shares"] * (END_PRICE[ticker] - trip["price"])).sum() + trip["costs"].sum() * CAPITAL
    assert rec.totals["missed"] == pytest.approx(missed, rel=1e-12)
    assert rec.totals["unplanned"] == pytest.approx(shares * (END_PRICE[ticker] - price), rel=1e-12)
    assert abs(rec.totals[["price", "timing", "costs", "carry"]]).max() < 1e-6


def test_positions_held_from_before_are_carry():
    live = book()
    ends = live.groupby("ticker")["shares"].sum()
    stated = ends.to_dict()
    stated[EXTRA] = stated.get(EXTRA, 0.0) + 200
    rec = orvane.reconcile(RUN, live, positions=stated)
    start = CLOSE.loc[:RUN.start].ffill().iloc[-1]
    assert rec.totals["carry"] == pytest.approx(200 * (END_PRICE[EXTRA] - start[EXTRA]), rel=1e-9)
    assert rec.names.at[EXTRA, "live_shares"] == stated[EXTRA]
    assert abs(rec.totals.drop("carry")).max() < 1e-6


def test_the_run_s_financing_is_carry_unless_the_book_s_income_is_given():
    run = quiet(orvane.backtest, WEIGHTS, MARKET, capital=CAPITAL, cash_rate=0.03, borrow_fee=0.02)
    income = run.cash_flows["total"].sum() * CAPITAL
    with pytest.warns(UserWarning, match="count in carry.*pass income="):
        rec = orvane.reconcile(run, book(run.fills))
    assert rec.totals["carry"] == pytest.approx(-income, rel=1e-9)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rec = orvane.reconcile(run, book(run.fills), income=income)
    assert abs(rec.totals["carry"]) < 1e-6


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_fills_read_from_a_broker_s_file(tmp_path, suffix):
    # Side and quantity, times of day, commissions written as negatives, an id.
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    live = book().iloc[:40]
    text = pd.DataFrame({
        "Exec ID": [f"x{i}" for i in range(len(live))],
        "Time": [f"{d:%Y-%m-%d} 15:{i % 60:02d}:00" for i, d in enumerate(live["date"])],
        "Symbol": live["ticker"],
        "Side": np.where(live["shares"] > 0, "BUY", "SELL"),
        "Qty": live["shares"].abs(),
        "Fill Price": live["price"],
        "Commission": -live["fee"],
        "Tax": live["tax"],
    })
    path = tmp_path / f"fills{suffix}"
    text.to_csv(path, index=False) if suffix == ".csv" else text.to_parquet(path)
    with pytest.warns(UserWarning, match="Commission is 0 or negative"):
        read = orvane.read_fills(path)
    assert list(read.columns) == ["date", "ticker", "shares", "price", "fee", "tax", "id"]
    np.testing.assert_array_equal(read["shares"], live["shares"])
    np.testing.assert_array_equal(read["fee"], live["fee"])  # decimals read to the last bit
    assert (read["date"].dt.normalize() == live["date"].to_numpy()).all()
    # Each piece names the broker's fill it came from.
    pieces = orvane.reconcile(RUN, read).fills
    matched = pieces[pieces["kind"] == "matched"]
    assert len(matched) == len(live)
    assert (matched["id"] == "x" + matched["fill"].astype(str)).all()
    # The frame, its dates as the index, reads the same.
    again = orvane.read_fills(live.set_index("date"))
    pd.testing.assert_frame_equal(again, orvane.read_fills(live))


GOOD = book().iloc[:3].reset_index(drop=True)


def edited(**cells):
    frame = GOOD.copy()
    for column, value in cells.items():
        frame[column] = frame[column].astype(object)
        frame.loc[1, column] = value
    return frame


@pytest.mark.parametrize("fills, message", [
    (GOOD.drop(columns="price"), "fills need columns .* missing: price"),
    (edited(price=0.0), "fills row 1: price 0.0 must be above 0"),
    (edited(price=-3.0), "price -3.0 must be above 0"),
    (edited(shares=0.0), "fills row 1: shares is 0"),
    (edited(shares="ten"), "shares 'ten' is not a number"),
    (edited(date="someday"), "fills row 1: date"),
    (GOOD.assign(side=["buy", "hold", "sell"], shares=[1, 2, 3]), "'hold' is not a side"),
    (GOOD.assign(side=["buy", "buy", "sell"], shares=[1, -2, 3]), "negative on a 'buy'"),
    (GOOD.assign(id=["a", "b", "a"]), "fill id 'a' twice .*rows 0 and 2"),
], ids=["no-price", "zero-price", "negative-price", "zero-shares", "text-shares", "bad-date",
        "bad-side", "side-against-sign", "repeated-id"])
def test_bad_fills_are_refused(fills, message):
    with pytest.raises(ValueError, match=message):
        orvane.read_fills(fills)


def cents(live):
    live = live.copy()
    live["price"] = live["price"] * 100
    return live


def unsigned(live):
    return live.assign(shares=live["shares"].abs())


def third(live):
    live = live.assign(shares=np.trunc(live["shares"] / 3), fee=live["fee"] / 3, tax=live["tax"] / 3)
    return live[live["shares"] != 0]


@pytest.mark.parametrize("edit, message", [
    (cents, r"priced more than 25% away from the run's price .* another unit"),
    (unsigned, "every one of the .* fills buys while the run sold"),
    (third, r"the book traded 3[23]% of the money the run traded: is capital \(1M\) the book's"),
    (lambda live: RUN_FILLS, r"fees and taxes come to .* fractions rather than money"),
], ids=["prices-in-cents", "sales-unsigned", "a-third-of-the-capital", "the-run-s-own-fills"])
def test_fills_that_look_misread_are_warned_of(edit, message):
    with pytest.warns(UserWarning, match=message):
        orvane.reconcile(RUN, edit(book()))


NO_CAPITAL = quiet(orvane.backtest, WEIGHTS, MARKET)


@pytest.mark.parametrize("call, error, message", [
    (lambda: orvane.reconcile(RUN, edited(ticker="ZZZ")), ValueError, r"unknown tickers \[ZZZ\]"),
    (lambda: orvane.reconcile(RUN, edited(date=RUN.start - pd.Timedelta(days=30))), ValueError,
     "outside the run"),
    (lambda: orvane.reconcile(RUN, edited(date=pd.Timestamp("2011-01-01"))), ValueError,
     "2011-01-01 .* is not a bar of the run's prices"),
    (lambda: orvane.reconcile(NO_CAPITAL, GOOD), ValueError, "needs a run with capital"),
    (lambda: orvane.reconcile(RUN, GOOD, 2e6), ValueError, "is not the run's capital"),
    (lambda: orvane.reconcile(RUN, GOOD, positions={"ZZZ": 5}), ValueError,
     r"positions: unknown tickers \[ZZZ\]"),
    (lambda: orvane.reconcile(RUN, GOOD, positions=[1, 2]), TypeError, "positions must be"),
    (lambda: orvane.reconcile(RUN.equity, GOOD), TypeError, "result must be a BacktestResult"),
], ids=["unknown-ticker", "before-the-run", "not-a-bar", "no-capital", "other-capital",
        "positions-unknown", "positions-list", "not-a-result"])
def test_what_cannot_be_reconciled_is_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_reconcile_command_writes_its_tables_and_page(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    CLOSE.to_csv(tmp_path / "close.csv")
    WEIGHTS.to_csv(tmp_path / "weights.csv")
    live, expected = missed(book())
    live.to_csv(tmp_path / "fills.csv", index=False)
    common = ["reconcile", "--prices", str(tmp_path / "close.csv"),
              "--weights", str(tmp_path / "weights.csv"), "--fills", str(tmp_path / "fills.csv"),
              "--out", str(tmp_path / "out")]
    assert main([*common, "--capital", "1000000"]) == 0
    out = capsys.readouterr().out
    assert f"missed {expected['missed']:+,.0f}".replace(" ", "") in out.replace(" ", "")
    causes = pd.read_csv(tmp_path / "out" / "reconcile-causes.csv", index_col=0)
    assert causes.at["missed", "money"] == pytest.approx(expected["missed"], rel=1e-9)
    pieces = pd.read_csv(tmp_path / "out" / "reconcile-pieces.csv")
    assert pieces["total"].sum() == pytest.approx(expected["missed"], rel=1e-9)
    assert (tmp_path / "out" / "orvane-reconciliation.html").is_file()
    # A broker's statement of the end: what the fills do not explain is carry.
    held = live.groupby("ticker")["shares"].sum().rename_axis("Symbol").rename("Quantity")
    held[EXTRA] = 100.0
    held.to_csv(tmp_path / "positions.csv")
    assert main([*common, "--capital", "1000000", "--positions", str(tmp_path / "positions.csv"),
                 "--no-report"]) == 0
    causes = pd.read_csv(tmp_path / "out" / "reconcile-causes.csv", index_col=0)
    start = CLOSE.loc[:RUN.start].ffill().iloc[-1][EXTRA]
    assert causes.at["carry", "money"] == pytest.approx(100 * (END_PRICE[EXTRA] - start), rel=1e-9)
    # Without capital, and with a fills file that is not there: one line, exit 2.
    assert main(common) == 2
    assert "needs --capital" in capsys.readouterr().err
    common[common.index("--fills") + 1] = str(tmp_path / "none.csv")
    assert main([*common, "--capital", "1000000"]) == 2
    assert "no such file" in capsys.readouterr().err


def test_editing_the_prices_after_the_run_leaves_its_reconciliation_alone():
    prices = CLOSE.copy()
    run = quiet(orvane.backtest, WEIGHTS, prices, capital=CAPITAL)
    live, _ = extra(book(run.fills))
    before = orvane.reconcile(run, live).totals
    prices.iloc[:, :] = prices.to_numpy() * 2
    pd.testing.assert_series_equal(orvane.reconcile(run, live).totals, before)
