"""Statistics of the trade table: per record (win rate, profit factor, excursions), per
holding (records a rebalance split, joined again), turnover and time in market.  The
table's columns are read once into arrays (``TradeFigures``).
"""

from __future__ import annotations

import warnings
from typing import NamedTuple, Optional, Tuple

import numpy as np
import pandas as pd

from orvane import _native
from orvane.stats._returns import quiet


class TradeFigures(NamedTuple):
    """The trade table's columns the statistics read, as arrays (one row per record)."""

    ret: np.ndarray        # return, NaN while unknown
    bars_held: np.ndarray  # whole numbers (any dtype)
    mae: np.ndarray
    gmfe: np.ndarray
    weight: np.ndarray     # signed weight at entry
    key: np.ndarray        # one integer per ticker
    short: np.ndarray
    # Entry and exit dates as int64 in the unit of the equity's dates (NaT's while open).
    entry: np.ndarray
    exit: np.ndarray
    # Their positions among the equity's dates (the exit len(equity) while open), when
    # made against those dates.
    bars: Optional[Tuple[np.ndarray, np.ndarray]] = None
    # pnl, money in units of the starting capital, when the table has it: it decides
    # which records won.
    pnl: Optional[np.ndarray] = None


NAT = np.iinfo(np.int64).min  # NaT as int64 nanoseconds


def float_column(trades: pd.DataFrame, name: str) -> np.ndarray:
    return trades[name].to_numpy(dtype=np.float64)


def trade_figures(trades: pd.DataFrame, keys: Optional[np.ndarray] = None,
                  index: Optional[pd.DatetimeIndex] = None) -> TradeFigures:
    """The arrays of a trade table; ``keys`` numbers its tickers when the caller knows them
    (else they are factorised from the ``ticker`` column); ``index``, the equity's dates,
    sets the unit of the entry and exit stamps (else the table's own) and gives ``bars``."""
    if not len(trades):
        empty = np.zeros(0)
        ns = np.zeros(0, dtype=np.int64)
        figures = TradeFigures(empty, empty, empty, empty, empty, ns, np.zeros(0, dtype=bool),
                               ns, ns)
    else:
        if keys is None:
            keys = pd.factorize(trades["ticker"].to_numpy())[0]
        figures = TradeFigures(
            ret=float_column(trades, "return"), bars_held=float_column(trades, "bars_held"),
            mae=float_column(trades, "mae"), gmfe=float_column(trades, "gmfe"),
            weight=float_column(trades, "weight"), key=np.asarray(keys),
            short=np.asarray(trades["side"].to_numpy() == "short"),
            entry=_stamps(trades["entry_date"], index), exit=_stamps(trades["exit_date"], index),
            pnl=float_column(trades, "pnl") if "pnl" in trades.columns else None)
    return figures if index is None else figures._replace(bars=open_bars(figures, index))


def _stamps(dates: pd.Series, index: Optional[pd.DatetimeIndex]) -> np.ndarray:
    stamps = pd.DatetimeIndex(dates)
    if index is not None and stamps.dtype != index.dtype:
        stamps = stamps.astype(index.dtype)
    return stamps.asi8


def mean_known(values: np.ndarray) -> float:
    """Mean of the known values (NaN skipped, as pandas does), NaN without any."""
    if not len(values):
        return float("nan")
    total = values.sum()
    if np.isnan(total):
        known = values[~np.isnan(values)]
        return float(known.sum() / len(known)) if len(known) else float("nan")
    return float(total / len(values))


def _floats(values: Optional[np.ndarray]) -> np.ndarray:
    # None (a caller's slip) becomes a 0-d array, which the native sums refuse.
    return np.asarray(values, dtype=np.float64)


def record_stats(ret: np.ndarray, bars_held: Optional[np.ndarray], mae: Optional[np.ndarray],
                 gmfe: Optional[np.ndarray], means: bool = True, pnl: Optional[np.ndarray] = None) -> dict:
    # A record wins or loses by its money where known: an intrabar exit's return reads
    # the bar's close, and a stop filled below its entry may close above it.  NaN money
    # is neither a winner nor a loser.  One native pass, compensated sums.
    ret = _floats(ret)
    money = ret if pnl is None else _floats(pnl)
    columns = (_floats(bars_held), _floats(mae), _floats(gmfe)) if means else (None, None, None)
    sums = dict(zip(_native.RECORD_STATS, _native.record_stats(money, ret, *columns)))
    n, known, won, gains, lost = (sums[k] for k in _native.RECORD_STATS[:5])
    if not known:
        profit_factor = float("nan")
    elif lost < 0:
        profit_factor = gains / -lost
    else:
        profit_factor = float("inf") if gains > 0 else float("nan")
    out = {
        "trades": n,
        "win_rate": won / known if known else float("nan"),
        "profit_factor": profit_factor,
    }
    if not means:
        return out
    # The means are statistics of their own, under the kernel's names.
    return {**out, **{name: sums[name] for name in _native.RECORD_STATS[5:]}}


@quiet
def trade_stats(trades: pd.DataFrame) -> dict:
    """Statistics of the trade table (one row per trade record, open ones included).

    A record is one position over one rebalance segment: a holding kept across
    rebalances is split into one record each (``split_trades_on_rebalance``), so
    these are statistics of records, not of holdings from entry to final exit.

    Open trades count as marked at the last bar. A trade wins or loses by its
    money: with a ``pnl`` column (what the trade did to the portfolio, costs
    included) a winner has a pnl above 0, a loser a pnl of 0 or below; without
    one, by its return. So the win rate and the share of losers add up to 1,
    and a stopped trade whose return (read at the bar's close) is positive but
    whose fill lost money is a loser. Returns are per-trade fractions and every
    trade counts equally, whatever its size:

    - win_rate = winners / trades with a known pnl (return without one)
    - profit_factor = money won / money lost: sum of winners' pnl / |sum of
      losers' pnl| (returns without a pnl column; +inf when no trade lost and
      some won; NaN without trades)
    - avg_win, avg_loss = mean return of winners, of losers
    - avg_bars_held = mean bars held
    - avg_mae_*, avg_mfe_* = mean worst (mae) and best (gmfe) excursion of
      winners and of losers, fractions of the entry value
    """
    f = trade_figures(trades)
    return record_stats(f.ret, f.bars_held, f.mae, f.gmfe, pnl=f.pnl)


@quiet
def turnover(trades: pd.DataFrame, years: float) -> float:
    """Gross weight of the positions opened per year: sum of |weight at entry| / years.

    One-way and annualised, as a fraction of the portfolio: a gross-1 book that is
    replaced entirely every month turns over about 12 per year. A trade that
    continues a position kept across a rebalance (same ticker and side, entered
    on the bar the previous trade of the ticker ended) is not counted, nor is the
    resizing of kept positions.
    """
    if not years > 0:
        return float("nan")
    if trades.empty:
        return 0.0
    return holding_sums(trade_figures(trades))[2] / years


def group_order(key: np.ndarray, entry: np.ndarray) -> np.ndarray:
    """``np.lexsort((entry, key))``: records by ticker, then entry (in one native pass
    when a ticker's records come in entry order, as they usually do)."""
    return _native.group_records(np.asarray(key, dtype=np.int64), np.asarray(entry, dtype=np.int64),
                                 None, None)[0]


def _grouping(f: TradeFigures) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    return (np.asarray(f.key, dtype=np.int64), np.asarray(f.entry, dtype=np.int64),
            np.asarray(f.short, dtype=bool), np.asarray(f.exit, dtype=np.int64))


def segments(f: TradeFigures) -> Tuple[np.ndarray, np.ndarray]:
    """(order, continues): the records grouped by ticker and entry, and whether each
    continues the one before it (same ticker and side, entered on the bar it left: a
    position a rebalance split)."""
    order, continues = _native.group_records(*_grouping(f))
    assert continues is not None  # given short and exit
    return order, continues


def holding_sums(f: TradeFigures) -> Tuple[np.ndarray, Optional[np.ndarray], float]:
    """Per holding (the records ``segments`` joins) its compounded return and summed pnl
    (None without a pnl), and the gross weight the holdings opened with: one pass over
    the records when each ticker's come in entry order."""
    return _native.holding_sums(*_grouping(f), _floats(f.ret),
                                None if f.pnl is None else _floats(f.pnl), _floats(f.weight))


def holding_stats(f: TradeFigures, sums: Tuple[np.ndarray, Optional[np.ndarray], float]) -> dict:
    """The holdings' count, win rate, profit factor and mean bars (the ``trade_stats`` of
    ``round_trips``) from their ``holding_sums``, without building that table."""
    ret, pnl, _ = sums
    stats = record_stats(ret, None, None, None, means=False, pnl=pnl)
    # Bar counts are whole numbers: their sum is exact, in any order.
    stats["avg_bars_held"] = float(f.bars_held.sum() / len(ret)) if len(ret) \
        else float("nan")
    return stats


@quiet
def round_trips(trades: pd.DataFrame) -> pd.DataFrame:
    """One row per holding: the trade records of one position joined where a rebalance
    split it (same ticker and side, the next record entering on the bar the previous one
    left).  ``return`` compounds the records' returns; ``pnl``, ``costs`` and
    ``bars_held`` add up; ``records`` counts them; ``exit_date`` and ``exit_reason`` are
    the last record's; ``mae`` is the worst and ``gmfe`` the best record's excursion
    (each measured from its own record's entry).  Ordered like the trade table: by exit,
    open holdings last."""
    extra = [c for c in ("pnl", "costs") if c in trades.columns]
    columns = ["ticker", "side", "entry_date", "exit_date", "signal_date", "weight",
               "bars_held", "return", "exit_reason", "records", "mae", "gmfe", *extra]
    if trades.empty:
        return trades.iloc[:0].assign(records=np.zeros(0, dtype=np.int64))[columns]
    order, continues = segments(trade_figures(trades))
    first = np.flatnonzero(~continues)
    last = np.append(first[1:], len(order)) - 1
    heads, tails = order[first], order[last]

    def column(name: str) -> np.ndarray:
        return trades[name].to_numpy(dtype=np.float64)[order]

    table = trades.iloc[heads][["ticker", "side", "entry_date", "signal_date", "weight"]]
    table = table.reset_index(drop=True).assign(
        exit_date=trades["exit_date"].iloc[tails].to_numpy(),
        bars_held=np.add.reduceat(trades["bars_held"].to_numpy()[order], first),
        **{"return": np.multiply.reduceat(1.0 + column("return"), first) - 1.0},
        exit_reason=trades["exit_reason"].iloc[tails].to_numpy(),
        records=np.diff(np.append(first, len(order))),
        mae=np.minimum.reduceat(column("mae"), first),
        gmfe=np.maximum.reduceat(column("gmfe"), first),
    )
    for name in extra:
        table[name] = np.add.reduceat(column(name), first)
    table["exit_reason"] = pd.Categorical(table["exit_reason"],
                                          categories=trades["exit_reason"].cat.categories)
    ends = pd.DatetimeIndex(table["exit_date"]).asi8
    open_ = ends == NAT
    rank = np.lexsort((pd.DatetimeIndex(table["entry_date"]).asi8,
                       np.where(open_, np.iinfo(np.int64).max, ends)))
    return table.iloc[rank][columns].reset_index(drop=True)


@quiet
def time_in_market(trades: pd.DataFrame, index: pd.DatetimeIndex) -> float:
    """Share of the bars of ``index`` on which at least one trade is open.

    A trade is open from its entry bar up to, not including, its exit bar;
    trades without an exit date are open to the end.
    """
    index = pd.DatetimeIndex(index)
    return share_open(*open_bars(trade_figures(trades, index=index), index), len(index))


def exposure(trades: pd.DataFrame, index: pd.DatetimeIndex) -> float:
    """Deprecated name of ``time_in_market``: "exposure" is the book's long, short, gross
    and net table (``BacktestResult.exposure``)."""
    warnings.warn("orvane.stats.exposure is now orvane.stats.time_in_market",
                  DeprecationWarning, stacklevel=2)
    return time_in_market(trades, index)


def open_bars(f: TradeFigures, index: pd.DatetimeIndex) -> Tuple[np.ndarray, np.ndarray]:
    """Per record, the positions in ``index`` of its entry and exit (len(index) while open):
    ``f.bars`` when it has them, else found from the dates."""
    if f.bars is not None:
        return f.bars
    if not len(index) or not len(f.entry):
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    stamps = index.asi8
    return (stamps.searchsorted(f.entry),
            np.where(f.exit == NAT, len(index), stamps.searchsorted(f.exit)))


def share_open(start: np.ndarray, stop: np.ndarray, n: int) -> float:
    """Share of ``n`` bars with a record open: records open on bars start..stop-1."""
    if n == 0:
        return float("nan")
    return _native.bars_with_open(np.asarray(start, dtype=np.int64),
                                  np.asarray(stop, dtype=np.int64), n) / n
