"""Live against backtest: a book's fills matched with the engine's, and the gap between
their P&L at one capital split into causes that add up to it exactly.

Per ticker, live fills meet the engine's on the same bar and side first, then in time
order by side (a late or early fill) unless the run turned the other way in between;
what is left of either is missed or unplanned.
Every share is marked at the run's last close, so each cause is money at the end of the
period, and their sum is live P&L - backtest P&L.
"""

from __future__ import annotations

import math
import os
import pathlib
import warnings
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

import numpy as np
import pandas as pd

from orvane._causes import CAUSE_WORDS, CAUSES, KINDS, TRADE_CAUSES, signed_money as _signed
from orvane._checks import Bounds, check_real, check_whole
from orvane._common import day, money, show
from orvane._html import cannot_write, writable_path
from orvane._shapes import FILL_COLUMNS, find_columns
from orvane._values import Source, numbers, ticker_keys
from orvane.io import read_fills, read_table
from orvane.result import BacktestResult

__all__ = ["CAUSES", "TRADE_CAUSES", "Reconciliation", "reconcile"]

_MONEY = Bounds(0.0, math.inf, low_open=True)


@dataclass(frozen=True, repr=False, eq=False)
class Reconciliation:
    """What a live book did against what a run said it would, in money at ``capital``.

    Made by ``orvane.reconcile``.  The causes (``CAUSES``) add up to ``gap``, live P&L -
    backtest P&L, exactly (to float rounding); each is money at the end of the period:
    a share's cause is valued with the run's last close of its ticker.

    Attributes
    ----------
    totals : Series
        Money per cause (``CAUSES``).
    gap, live_pnl, backtest_pnl : float
        ``live_pnl - backtest_pnl``; the book's P&L marked at the run's prices (its fills,
        the positions it held before, ``income``); the run's at ``capital``.
    fills : DataFrame
        One row per piece: a live fill matched with an engine fill (``kind`` "matched"),
        or the part of either left unmatched ("missed": the engine's; "unplanned": the
        book's): ``ticker``, ``kind``, ``shares`` (signed), ``run_date``, ``run_price``,
        ``live_date``, ``live_price``, ``bar_price`` (the run's trading price on the live
        fill's bar; the run's own fill price on its own bar), ``fill`` (the live fill's row,
        counted from 0 as given; -1 for a missed piece) and its ``id`` when the fills have
        one, ``rebalance``, and money per trade cause with its ``total``.
    rebalances : DataFrame
        Per rebalance date (each piece goes to the last rebalance on or before its bar):
        money per trade cause, ``total`` and ``cumulative``.
    names : DataFrame
        Per ticker: money per cause, ``total``, and the shares each side held at the end
        (``run_shares``, ``live_shares``); its carry is the shares held from before (the
        income part of carry is the book's, not a ticker's).
    """

    _totals: pd.Series
    _fills: pd.DataFrame
    _rebalances: pd.DataFrame
    _names: pd.DataFrame
    capital: float
    live_pnl: float
    backtest_pnl: float
    start: pd.Timestamp
    end: pd.Timestamp
    warnings: Tuple[str, ...] = ()

    @property
    def totals(self) -> pd.Series:
        return self._totals.copy()

    @property
    def gap(self) -> float:
        return self.live_pnl - self.backtest_pnl

    @property
    def fills(self) -> pd.DataFrame:
        return self._fills.copy()

    @property
    def rebalances(self) -> pd.DataFrame:
        return self._rebalances.copy()

    @property
    def names(self) -> pd.DataFrame:
        return self._names.copy()

    def top(self, n: int = 10) -> pd.DataFrame:
        """The ``n`` tickers whose causes move the gap most (by the size of their total)."""
        n = check_whole(n, "n", Bounds(1, math.inf))
        order = np.argsort(-self._names["total"].abs().to_numpy(), kind="stable")
        return self._names.iloc[order[:n]].copy()

    def to_frame(self) -> pd.DataFrame:
        """One row per cause and one for the ``gap``: ``money``, ``of_capital`` (a fraction)
        and ``what`` the cause is."""
        money_ = pd.concat([self._totals, pd.Series({"gap": self.gap})])
        return pd.DataFrame({"money": money_, "of_capital": money_ / self.capital,
                             "what": [*(CAUSE_WORDS[c] for c in CAUSES), "live P&L - backtest P&L"]})

    def text(self) -> str:
        """The totals as the command line prints them."""
        width = max(len(c) for c in CAUSES)
        share = self.gap / self.capital
        share = 0.0 if abs(share) < 5e-5 else share  # float dust reads 0.00 %, unsigned
        lines = [f"Live against backtest, {day(self.start)} to {day(self.end)}, capital "
                 f"{money(self.capital)}",
                 f"  backtest P&L {_signed(self.backtest_pnl)}, live P&L {_signed(self.live_pnl)}: "
                 f"gap {_signed(self.gap)} ({share:+.2%} of capital)".replace("+0.00%", "0.00%")]
        for cause, value in self._totals.items():
            lines.append(f"  {cause:<{width}}  {_signed(value):>14}  {CAUSE_WORDS[str(cause)]}")
        top = self.top(5)
        if len(top):
            lines.append("  largest by name: " + ", ".join(
                f"{name} {_signed(value)}" for name, value in top["total"].items()))
        return "\n".join(lines)

    def save(self, folder: Union[str, os.PathLike]) -> Dict[str, pathlib.Path]:
        """Write the tables as CSV into ``folder`` (created if needed):
        ``reconcile-causes.csv`` (``to_frame()``), ``reconcile-rebalances.csv``,
        ``reconcile-names.csv`` and ``reconcile-pieces.csv`` (``fills``).  Returns a dict
        name -> path."""
        folder = writable_path(folder, "folder")
        tables = {"causes": self.to_frame(), "rebalances": self._rebalances, "names": self._names,
                  "pieces": self._fills}
        written = {}
        try:
            folder.mkdir(parents=True, exist_ok=True)
            for name, frame in tables.items():
                written[name] = folder / f"reconcile-{name}.csv"
                frame.to_csv(written[name], index=name != "pieces")
        except OSError as exc:
            raise cannot_write(folder, exc) from None
        return written

    def plot(self, *, title: Optional[str] = "Live against backtest",
             figsize: Any = (8.0, 4.5)) -> Any:
        """A waterfall from the backtest's P&L through each cause to the live P&L."""
        from orvane.plotting import plot_reconciliation

        return plot_reconciliation(self, title=title, figsize=figsize)

    def plot_gap(self, *, title: Optional[str] = "Gap by rebalance",
                 figsize: Any = (8.0, 3.5)) -> Any:
        """Each rebalance's gap (its trade causes) and their running sum over time."""
        from orvane.plotting import plot_reconciliation_gap

        return plot_reconciliation_gap(self, title=title, figsize=figsize)

    def report(self, path: Union[str, os.PathLike], *,
               title: str = "Live against backtest") -> Any:
        """Write the HTML page (a folder gets ``orvane-reconciliation.html``); returns its path."""
        from orvane._reconcile_report import write_reconciliation_report

        return write_reconciliation_report(self, path, title=title)

    def __repr__(self) -> str:
        return f"<Reconciliation\n{self.text()}>"


# ---------------------------------------------------------------- reconcile

def reconcile(result: BacktestResult, fills: Union[str, os.PathLike, pd.DataFrame],
              capital: Optional[float] = None,
              positions: Union[pd.Series, Mapping[str, float], str, os.PathLike, None] = None, *,
              income: Optional[float] = None, dayfirst: Optional[bool] = None) -> Reconciliation:
    """Split the gap between a live book's P&L and a backtest's into its causes.

    Parameters
    ----------
    result : BacktestResult
        The run of the weights that made the live orders, over the period the fills cover,
        with ``capital`` (the book trades whole shares: so must the run it is held to).
    fills : path or DataFrame
        The book's fills, as ``orvane.read_fills`` reads them (a frame it made is taken as
        it is); every ticker among the run's prices, every date a bar from ``result.start``
        to ``result.end``.
    capital : float, optional
        Money; the run's own ``capital``, which it must equal when given.
    positions : Series, mapping ticker -> shares or path, optional
        The shares the book holds at the end of the period (a broker's statement; a file
        has columns ticker and shares).  What its
        fills do not explain it held from the start, and the move of those shares over the
        period is carry.  By default the fills alone: the book started flat, as the run.
    income : float, optional
        Money the book earned over the period that its fills do not show (interest, borrow
        fees as negative, dividends).  The run's own financing and dividends count against
        it in carry; a run with financing and no ``income`` is warned of.
    dayfirst : bool, optional
        As for ``read_fills``.

    Returns
    -------
    Reconciliation

    Causes, per share (bought > 0, sold < 0) and in money at the end of the period
    (``P_end``: the ticker's last close of the run):

    - price: shares matched x (bar price - live price), the bar price being the run's
      trading price on the live fill's bar (its own fill price on its own bar);
    - timing: shares matched x (run's fill price - bar price);
    - missed: - shares the run traded and the book did not x (P_end - run's price), plus
      their share of the run's costs;
    - unplanned: shares the book traded and the run did not x (P_end - live price), less
      their fees and taxes;
    - costs: the run's costs (its fees, taxes and modelled execution costs) - the book's
      fees and taxes, on the shares matched;
    - carry: shares held from before x (P_end - the close of ``result.start``), plus
      ``income`` less the run's income (its P&L its fills do not make: financing and
      dividends).
    """
    if not isinstance(result, BacktestResult):
        raise TypeError(f"result must be a BacktestResult (orvane.backtest's), got "
                        f"{type(result).__name__}")
    market, engine = result._market, result._fills
    if market is None or engine is None:
        raise ValueError("reconcile needs the run's fills, which this result does not hold; "
                         "run it with orvane.backtest")
    run_capital = result.settings.get("capital")
    if not run_capital:
        raise ValueError("reconcile needs a run with capital: a book trades whole shares, so the "
                         "run it is held to must too; run the backtest with capital=N, N the "
                         "book's money")
    run_capital = float(run_capital)
    if capital is not None:
        given = check_real(capital, "capital", _MONEY, what="a positive amount of money")
        if given != run_capital:
            raise ValueError(f"capital={money(given)} is not the run's capital ({money(run_capital)}): "
                             "its whole shares were sized at that; run the backtest again with "
                             f"capital={given:.0f}")
    if result.ruined:
        raise ValueError(f"the run was ruined on {day(result.end)}: it holds no book to compare "
                         "with after it; reconcile a run that is not")
    live = read_fills(fills, dayfirst=dayfirst)
    notes: List[str] = []
    dates, tickers = market.dates, market.tickers
    first, last = int(dates.get_loc(result.start)), len(dates) - 1
    live_bar, live_col = _place(live, dates, tickers, first, last, result)
    marks = pd.DataFrame(market.close).ffill().to_numpy()
    end_price = marks[last]
    start_price = marks[first]

    # A fill of no whole share moved no money the book could match.
    engine = engine[engine["shares"].to_numpy() != 0]
    run_bar = dates.get_indexer(engine["date"])
    run_col = tickers.get_indexer(engine["ticker"])
    run_q = engine["shares"].to_numpy(dtype=np.float64)
    run_p = engine["price"].to_numpy(dtype=np.float64)
    run_cost = engine["costs"].to_numpy(dtype=np.float64) * run_capital
    live_q = live["shares"].to_numpy(dtype=np.float64)
    live_p = live["price"].to_numpy(dtype=np.float64)
    live_cost = (live["fee"] + live["tax"]).to_numpy(dtype=np.float64)

    unmarked = np.unique(live_col[~np.isfinite(end_price[live_col])])
    if len(unmarked):
        raise ValueError(f"fills: {show(tickers[unmarked])} have no close up to the run's end "
                         f"({day(result.end)}), nothing to value their shares at")

    pieces = _match(run_bar, run_col, run_q, live_bar, live_col, live_q)
    kind, e, f, m = pieces
    with np.errstate(invalid="ignore"):
        frame = _piece_table(kind, e, f, m, market, engine, live, run_bar, live_bar, run_col,
                             live_col, run_p, live_p, run_cost, run_q, live_cost, live_q, end_price)
    frame["rebalance"] = _rebalance_of(frame, result)
    notes += _suspicious(frame, live_q * live_p, run_q * run_p, run_capital, live_cost)

    # Carry: shares held from before the first bar, and income beside the fills.
    held_live = pd.Series(live_q).groupby(live_col).sum()
    live_end = pd.Series(0.0, index=tickers)
    live_end.iloc[held_live.index.to_numpy()] = held_live.to_numpy()
    before = pd.Series(0.0, index=tickers)
    if positions is not None:
        stated = _positions(positions, tickers)
        before = stated - live_end
        live_end = stated
        bad = (before != 0).to_numpy() & ~(np.isfinite(start_price) & np.isfinite(end_price))
        if bad.any():
            name = tickers[np.flatnonzero(bad)[0]]
            raise ValueError(f"positions: {name} holds {stated[name]:,.0f} shares at the end and its "
                             f"fills explain {stated[name] - before[name]:,.0f}, so the book held "
                             f"{before[name]:,.0f} from {day(result.start)}, when {name} had no "
                             "price; correct positions")
    held = before.to_numpy() != 0
    carry_names = np.where(held, before.to_numpy() * (end_price - np.where(held, start_price, 0.0)), 0.0)

    equity = result.equity
    backtest = run_capital * (float(equity.iloc[-1]) - float(equity.iloc[0]))
    run_trading = float(np.sum(run_q * (end_price[run_col] - run_p)) - run_cost.sum())
    run_income = backtest - run_trading
    if income is None:
        live_income = 0.0
        if result._cash_flows is not None and abs(run_income) >= 0.5:
            notes.append(f"the run's financing and dividends ({_signed(run_income)}) count in carry: "
                         "fills do not show the book's; pass income= (the money it earned from "
                         "interest, borrow and dividends) to compare them")
    else:
        live_income = check_real(income, "income", what="an amount of money")
    # The book's P&L from its own positions, apart from the causes' algebra.
    ends = live_end.to_numpy()
    live_pnl = float(np.sum(np.where(ends != 0, ends * end_price, 0.0))
                     - np.sum(np.where(held, before.to_numpy() * np.where(held, start_price, 0.0), 0.0))
                     - np.sum(live_q * live_p) - live_cost.sum() + live_income)

    carry_total = float(carry_names.sum()) + live_income - run_income
    totals = pd.Series({**{c: float(frame[c].sum()) for c in TRADE_CAUSES}, "carry": carry_total},
                       name="money")
    names = _name_table(frame, tickers, carry_names, run_q, run_col, live_end)
    for note in notes:
        warnings.warn(note, UserWarning, stacklevel=2)
    return Reconciliation(
        _totals=totals, _fills=frame, _rebalances=_rebalance_table(frame), _names=names,
        capital=run_capital, live_pnl=live_pnl, backtest_pnl=backtest, start=result.start,
        end=result.end, warnings=tuple(notes))


# A fill this far from the run's price on its bar is in another unit, not a bad fill;
# a book trading outside these shares of the run's money is of another size.
_FAR = 0.25
_SIZED = (0.5, 2.0)
# Fees and taxes below this share of the money traded were not written in money.
_PAID = 1e-6


def _suspicious(frame: pd.DataFrame, live: np.ndarray, run: np.ndarray,
                capital: float, paid: np.ndarray) -> List[str]:
    """Fills that look misread rather than badly filled (money traded per fill, each
    side; the book's fees and taxes): said, not refused."""
    notes = []
    costs, turnover = float(paid.sum()), float(np.abs(live).sum())
    if 0 < costs < _PAID * turnover:
        notes.append(f"fills: fees and taxes come to {costs / turnover:.1e} of the money traded: "
                     "fractions rather than money? (result.fills gives them as fractions of the "
                     "starting capital: multiply by capital)")
    if len(live) and (live > 0).all() and (run < 0).any():
        notes.append(f"fills: every one of the {len(live)} fills buys while the run sold "
                     f"{int((run < 0).sum())} times: if the file has a side column, name it "
                     "side; if sold shares are positive, make them negative")
    traded = np.abs(live).sum() / np.abs(run).sum() if len(live) and len(run) else 1.0
    if not _SIZED[0] <= traded <= _SIZED[1]:
        notes.append(f"fills: the book traded {traded:.0%} of the money the run traded: is "
                     f"capital ({money(capital)}) the book's?")
    with np.errstate(invalid="ignore", divide="ignore"):
        off = np.abs(frame["live_price"] / frame["bar_price"] - 1.0).to_numpy()
    far = np.flatnonzero(off > _FAR)
    if len(far):
        row = frame.iloc[far[0]]
        notes.append(f"fills: {len(far)} priced more than {_FAR:.0%} away from the run's price on "
                     f"their bar (the first: {row['ticker']} on {day(row['live_date'])} at "
                     f"{row['live_price']:,.4g} against {row['bar_price']:,.4g}): prices in "
                     "another unit or currency, or not adjusted as the run's are?")
    return notes


def _place(live: pd.DataFrame, dates: pd.DatetimeIndex, tickers: pd.Index, first: int, last: int,
           result: BacktestResult) -> Tuple[np.ndarray, np.ndarray]:
    """Each fill's bar (the last on or before its time, on its day) and price column."""
    col = tickers.get_indexer(live["ticker"])
    unknown = col < 0
    if unknown.any():
        names = pd.unique(live["ticker"][unknown])
        raise ValueError(f"fills: unknown tickers {show(names)} (row {int(np.argmax(unknown))}): "
                         "the run has no prices for them; reconcile against a run whose prices "
                         "hold every ticker the book traded")
    stamps = pd.DatetimeIndex(live["date"])
    if dates.tz is not None:
        stamps = stamps.tz_localize(dates.tz)
    bar = dates.searchsorted(stamps, side="right") - 1
    days = stamps.normalize()
    outside = np.asarray((days < dates[first].normalize()) | (days > dates[last].normalize()))
    if outside.any():
        row = int(np.argmax(outside))
        raise ValueError(f"fills: {day(stamps[row])} (row {row}) is outside the run, "
                         f"{day(result.start)} to {day(result.end)}; reconcile fills of the "
                         "run's period, or run the backtest over theirs")
    found = bar >= first
    found[found] = np.asarray(dates[bar[found]].normalize() == days[found])
    if not found.all():
        row = int(np.argmax(~found))
        raise ValueError(f"fills: {day(stamps[row])} (row {row}) is not a bar of the run's prices; "
                         "a fill is made on a trading day the prices hold")
    return bar, col


def _match(run_bar: np.ndarray, run_col: np.ndarray, run_q: np.ndarray, live_bar: np.ndarray,
           live_col: np.ndarray, live_q: np.ndarray) -> Tuple[np.ndarray, ...]:
    """Pieces (kind, engine fill, live fill, signed shares): per ticker and side, the same
    bar first, then in time order within the run's trades that way; each fill's shares are
    used once."""
    left_e, left_f = np.abs(run_q).astype(np.float64), np.abs(live_q).astype(np.float64)
    out: List[Tuple[int, int, int, float]] = []
    by_e: Dict[Tuple[int, int], List[int]] = {}
    by_f: Dict[Tuple[int, int], List[int]] = {}
    for i in np.argsort(run_bar, kind="stable"):
        by_e.setdefault((int(run_col[i]), int(np.sign(run_q[i]))), []).append(int(i))
    for j in np.argsort(live_bar, kind="stable"):
        by_f.setdefault((int(live_col[j]), int(np.sign(live_q[j]))), []).append(int(j))
    for key, fs in by_f.items():
        es = by_e.get(key, [])
        sign = float(key[1])
        # Same bar first: a fill made when the run traded is that trade.
        at: Dict[int, List[int]] = {}
        for i in es:
            at.setdefault(int(run_bar[i]), []).append(i)
        for j in fs:
            for i in at.get(int(live_bar[j]), ()):
                take = min(left_e[i], left_f[j])
                if take > 0:
                    out.append((0, i, j, sign * take))
                    left_e[i] -= take
                    left_f[j] -= take
        # Then in time order: a late (or early) fill of a trade the run made, as long as
        # the run did not turn the other way in between (then its trade was missed, and
        # the book's fill is its own).
        turns = np.sort(run_bar[by_e.get((key[0], -key[1]), [])])
        for j in fs:
            for i in es:
                if left_f[j] <= 0:
                    break
                if left_e[i] <= 0 or _turned(turns, int(run_bar[i]), int(live_bar[j])):
                    continue
                take = min(left_e[i], left_f[j])
                out.append((0, i, j, sign * take))
                left_e[i] -= take
                left_f[j] -= take
    for i in np.flatnonzero(left_e > 0):
        out.append((1, int(i), -1, float(np.sign(run_q[i]) * left_e[i])))
    for j in np.flatnonzero(left_f > 0):
        out.append((2, -1, int(j), float(np.sign(live_q[j]) * left_f[j])))
    if not out:
        return (np.zeros(0, np.int64),) * 3 + (np.zeros(0),)
    kind, e, f, m = (np.array(x) for x in zip(*out))
    return kind.astype(np.int64), e.astype(np.int64), f.astype(np.int64), m.astype(np.float64)


def _turned(turns: np.ndarray, a: int, b: int) -> bool:
    """Whether the run traded the other way strictly between bars ``a`` and ``b``."""
    lo, hi = min(a, b), max(a, b)
    return bool(np.searchsorted(turns, hi, "left") > np.searchsorted(turns, lo, "right"))


def _piece_table(kind: np.ndarray, e: np.ndarray, f: np.ndarray, m: np.ndarray, market: Any,
                 engine: pd.DataFrame, live: pd.DataFrame, run_bar: np.ndarray,
                 live_bar: np.ndarray, run_col: np.ndarray, live_col: np.ndarray,
                 run_p: np.ndarray, live_p: np.ndarray, run_cost: np.ndarray, run_q: np.ndarray,
                 live_cost: np.ndarray, live_q: np.ndarray, end_price: np.ndarray) -> pd.DataFrame:
    has_e, has_f = e >= 0, f >= 0

    def run_(values: np.ndarray, fill: float) -> np.ndarray:
        return _at(values, e, has_e, fill)

    def live_(values: np.ndarray, fill: float) -> np.ndarray:
        return _at(values, f, has_f, fill)

    col = np.where(has_e, run_(run_col, 0), live_(live_col, 0)).astype(np.int64)
    pe, pl = run_(run_p, np.nan), live_(live_p, np.nan)
    be, bl = run_(run_bar, -1).astype(np.int64), live_(live_bar, -1).astype(np.int64)
    # The run's price on the live fill's bar: its own fill on its own bar (an exit's level,
    # a delisting's last price), else that bar's trading price, else its close.
    trade = market.trade[np.maximum(bl, 0), col]
    close = market.close[np.maximum(bl, 0), col]
    bar_price = np.where(np.isfinite(trade), trade, np.where(np.isfinite(close), close, pl))
    bar_price = np.where(has_e & (be == bl), pe, bar_price)
    bar_price = np.where(has_f, bar_price, np.nan)
    # Each fill's costs shared among its pieces by their shares.
    share_e = run_(run_cost, 0.0) * np.abs(m) / np.abs(run_(run_q, 1.0))
    share_f = live_(live_cost, 0.0) * np.abs(m) / np.abs(live_(live_q, 1.0))
    live_date = np.full(len(m), np.datetime64("NaT"), dtype="datetime64[ns]")
    live_date[has_f] = live["date"].to_numpy(dtype="datetime64[ns]")[f[has_f]]
    mark = end_price[col]
    matched, missed, unplanned = kind == 0, kind == 1, kind == 2
    zero = np.zeros(len(m))
    causes = {
        "price": np.where(matched, m * (bar_price - pl), zero),
        "timing": np.where(matched, m * (pe - bar_price), zero),
        "missed": np.where(missed, share_e - m * (mark - pe), zero),
        "unplanned": np.where(unplanned, m * (mark - pl) - share_f, zero),
        "costs": np.where(matched, share_e - share_f, zero),
    }
    frame = pd.DataFrame({
        "ticker": market.tickers.take(col),
        "kind": pd.Categorical.from_codes(kind, KINDS) if len(kind) else pd.Categorical([], KINDS),
        "shares": m,
        "run_date": market.dates.take(np.maximum(be, 0)).where(has_e),
        "run_price": pe,
        "live_date": pd.DatetimeIndex(live_date),
        "live_price": pl,
        "bar_price": bar_price,
        "fill": np.where(has_f, f, -1),
        **causes,
    })
    if "id" in live:
        ids = np.full(len(m), None, dtype=object)
        ids[has_f] = live["id"].to_numpy(dtype=object)[f[has_f]]
        frame.insert(frame.columns.get_loc("fill") + 1, "id", ids)
    frame["total"] = sum(causes.values())
    order = np.lexsort((frame["fill"].to_numpy(), np.where(has_e, be, bl)))
    return frame.iloc[order].reset_index(drop=True)


def _at(values: np.ndarray, index: np.ndarray, given: np.ndarray, fill: float) -> np.ndarray:
    """values[index] where ``given``, ``fill`` elsewhere (either side may have no fills)."""
    out = np.full(len(index), fill, dtype=np.float64)
    out[given] = values[index[given]]
    return out


def _rebalance_of(frame: pd.DataFrame, result: BacktestResult) -> pd.Series:
    """The last rebalance on or before each piece's bar (the run's fill's, else the book's)."""
    when = frame["run_date"].fillna(frame["live_date"].dt.normalize())
    dates = result.rebalance_dates
    if not len(dates):
        return pd.Series(result.start, index=frame.index)
    at = np.maximum(dates.searchsorted(pd.DatetimeIndex(when), side="right") - 1, 0)
    return pd.Series(dates.take(at), index=frame.index)


def _rebalance_table(frame: pd.DataFrame) -> pd.DataFrame:
    table = frame.groupby("rebalance")[[*TRADE_CAUSES, "total"]].sum()
    table.index.name = "rebalance"
    table["cumulative"] = table["total"].cumsum()
    return table


def _name_table(frame: pd.DataFrame, tickers: pd.Index, carry: np.ndarray, run_q: np.ndarray,
                run_col: np.ndarray, live_end: pd.Series) -> pd.DataFrame:
    table = frame.groupby("ticker")[list(TRADE_CAUSES)].sum().reindex(tickers, fill_value=0.0)
    table["carry"] = carry
    table["total"] = table[list(CAUSES)].sum(axis=1)
    run_end = np.bincount(run_col, run_q, minlength=len(tickers)) if len(run_q) else np.zeros(len(tickers))
    table["run_shares"] = run_end
    table["live_shares"] = live_end.to_numpy()
    touched = table["run_shares"].ne(0) | table["live_shares"].ne(0) | table.index.isin(frame["ticker"]) \
        | (carry != 0)
    table = table[touched]
    table.index.name = "ticker"
    return table


def _positions(positions: Any, tickers: pd.Index) -> pd.Series:
    """The book's shares per ticker at the end, on the run's tickers (0 where not given)."""
    if isinstance(positions, (str, os.PathLike)):
        positions = _read_positions(positions)
    if isinstance(positions, Mapping) and not isinstance(positions, pd.Series):
        positions = pd.Series(dict(positions), dtype=object)
    if not isinstance(positions, pd.Series):
        raise TypeError("positions must be a Series or mapping ticker -> shares (or a file of "
                        f"ticker and shares), got {type(positions).__name__}")
    given = pd.to_numeric(positions.astype(object), errors="coerce").astype(np.float64)
    given.index = pd.Index([str(t).strip() for t in positions.index], dtype=object)
    bad = ~np.isfinite(given.to_numpy())
    if bad.any():
        name = given.index[int(np.argmax(bad))]
        raise ValueError(f"positions: {name} holds {positions.iloc[int(np.argmax(bad))]!r}, not a "
                         "number of shares")
    if given.index.has_duplicates:
        raise ValueError(f"positions: {show(given.index[given.index.duplicated()].unique())} given "
                         "twice; give each ticker once")
    unknown = given.index.difference(tickers)
    unknown = unknown[given.reindex(unknown).to_numpy() != 0]
    if len(unknown):
        raise ValueError(f"positions: unknown tickers {show(unknown)}: the run has no prices for "
                         "them")
    return given.reindex(tickers).fillna(0.0)


def _read_positions(path: Union[str, os.PathLike]) -> pd.Series:
    """A file of positions: columns ticker and shares (or quantity)."""
    source = Source(path)
    frame = read_table(path)
    found = find_columns(frame.columns, source, ("ticker", "shares"), spellings=FILL_COLUMNS)
    missing = [c for c in ("ticker", "shares") if c not in found]
    if missing:
        raise ValueError(f"{source}: positions need columns ticker and shares; missing: "
                         f"{', '.join(missing)}; got columns {show(frame.columns)}")
    tickers = ticker_keys(frame[found["ticker"]], source, found["ticker"])
    shares = numbers(frame[found["shares"]], source, found["shares"])
    return pd.Series(shares, index=pd.Index(tickers, dtype=object))
