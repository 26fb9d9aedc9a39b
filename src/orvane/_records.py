"""The engine's rules as read from Python: the layout of the records a run leaves behind, how trades decode (exit reasons, returns, drift), the look-ahead
window's blocks, and the action codes with their words, their order and which need doing.

Everything the front knows about the engine's behaviour lives here; the result receives the
finished tables.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

from orvane import _execution, _native
from orvane._common import show
from orvane.stats import group_order

if TYPE_CHECKING:
    from orvane.inputs import Inputs

__all__ = ["RunRecord", "Market", "read_run", "ACTIONS", "action_words", "action_tag",
           "to_act_on", "ordered_actions", "result_fields", "window_table", "EXCURSIONS",
           "SIDES", "EXIT_REASONS"]


# ---------------------------------------------------------------- record layout

# One excursion block per sampled offset of the window, then the block at the exit.
EXCURSIONS = ("mae", "gmfe", "bmfe", "mdd", "profitable_bars", "return")
BLOCK = len(EXCURSIONS)


class Market(NamedTuple):
    """The prices a run traded and marked at, bars up to its end x price tickers."""

    dates: pd.DatetimeIndex
    tickers: pd.Index
    trade: np.ndarray
    close: np.ndarray


@dataclass(frozen=True)
class RunRecord:
    """What one engine run leaves behind, copied out of the engine's per-process state."""

    equity: np.ndarray        # value per price bar, starting capital 1.0
    trades: np.ndarray        # [n, 3] int64: sid, entry bar, exit bar (-1 while open)
    positions: np.ndarray     # weight at entry, signed
    excursions: np.ndarray    # [n, BLOCK * blocks] excursion records, exit block last
    # Each trade's value at its exit (1 + return) as the engine sold it.
    exits: np.ndarray
    actions: Dict[int, str]   # sid -> action code
    weights: Dict[int, float]       # sid -> weight of the last rebalance
    next_weights: Dict[int, float]  # sid -> weight after the next rebalance
    weight_row: int
    next_weight_row: int
    # The engine's ledger: per bar cash, long_value, short_value, fees, tax, names_held;
    # per trade record entry/exit notional, exit_price, costs, pnl (None when not kept).
    ledger: Optional[Dict[str, Any]] = None
    # Whether the run had financing (interest, borrow fees, dividends) switched on.
    financed: bool = False

    @property
    def executed(self) -> bool:
        """Whether the run had execution by size and liquidity switched on (its ledger then
        holds the costs by kind and the cap's events)."""
        return self.ledger is not None and _native.COST_KINDS[0] in self.ledger


def read_run(equity: Any, columns: Tuple[np.ndarray, ...],
             operations: Dict[str, Any], ledger: Optional[Dict[str, Any]] = None,
             financed: bool = False) -> RunRecord:
    """The engine's per-run records in the layout above: ``columns`` are the trades, trade
    positions, excursion records and exit values as the engine hands them over."""
    trades, positions, excursions, exits = columns
    if not len(trades):
        excursions = np.empty((0, BLOCK))
    return RunRecord(
        equity=np.array(equity, dtype=np.float64),
        trades=trades,
        positions=positions,
        excursions=excursions,
        exits=exits,
        actions=dict(operations.get("actions", {})),
        weights=dict(operations.get("weights", {})),
        next_weights=dict(operations.get("next_weights", {})),
        weight_row=int(operations.get("weight_time", -1)),
        next_weight_row=int(operations.get("next_weight_time", -1)),
        ledger=ledger,
        financed=financed,
    )


# ---------------------------------------------------------------- action codes

class Action(NamedTuple):
    code: str
    words: str
    rank: int      # order of the next actions: what needs doing first, plain holds last
    to_do: bool    # something to do at the next bar or rebalance
    tag: str       # how the report marks it: "enter", "exit", "rule" (an exit rule) or ""
    # The command line's one-line group of tickers that need nothing, or "" when listed.
    group: str = ""
    # An exit the engine carries out at the next bar, rebalance or not.
    exits_next_bar: bool = False


ACTIONS: Tuple[Action, ...] = (
    Action("sl", "stop-loss hit at the last close: sell at the next bar", 0, True, "rule",
           exits_next_bar=True),
    Action("tp", "take-profit hit at the last close: sell at the next bar", 0, True, "rule",
           exits_next_bar=True),
    Action("sl_enter", "stop-loss exit at the next bar, then back in at the next rebalance", 1,
           True, "rule", exits_next_bar=True),
    Action("tp_enter", "take-profit exit at the next bar, then back in at the next rebalance",
           1, True, "rule", exits_next_bar=True),
    Action("carry", "trade on toward the target at the next bar: the participation cap left "
                    "it short", 2, True, "enter"),
    Action("enter", "open the position at the next rebalance", 2, True, "enter"),
    Action("exit", "close the position at the next rebalance", 3, True, "exit"),
    Action("sl_", "stopped out since the last rebalance", 4, False, "rule",
           "exited by a stop since the last rebalance"),
    Action("tp_", "took profit since the last rebalance", 4, False, "rule",
           "exited by a take-profit since the last rebalance"),
    Action("hold", "keep the position, resized at the next rebalance", 5, False, "",
           "held unchanged"),
    Action("", "no action", 6, False, ""),
)
_BY_CODE = {a.code: a for a in ACTIONS}
EXITS_NEXT_BAR = frozenset(a.code for a in ACTIONS if a.exits_next_bar)
_UNKNOWN_RANK = len(ACTIONS)


def action_words(code: str) -> str:
    action = _BY_CODE.get(code)
    return action.words if action else code


def action_tag(code: str) -> str:
    """The report's mark for an action code ("rule" for an unknown one)."""
    action = _BY_CODE.get(code)
    return action.tag if action else "rule"


def to_act_on(actions: pd.DataFrame) -> pd.Series:
    """Mask of the tickers with something to do at the next bar or rebalance."""
    codes = actions["code"].fillna("").astype(str)
    todo = {a.code for a in ACTIONS if a.to_do}
    return codes.isin(todo)


def ordered_actions(actions: pd.DataFrame) -> pd.DataFrame:
    """The tickers with something held, due or tagged, most urgent action first.

    Same columns as ``result.actions`` (code "" where the engine tagged nothing).
    """
    codes = actions["code"].fillna("").astype(str)
    keep = (codes != "") | (actions["weight"].fillna(0) != 0) | (actions["next_weight"].fillna(0) != 0)
    if "target" in actions:
        keep |= actions["target"].fillna(0) != 0
    frame = actions[keep].assign(code=codes[keep])
    rank = [(_BY_CODE[c].rank if c in _BY_CODE else _UNKNOWN_RANK) for c in frame["code"]]
    order = pd.DataFrame({"rank": rank, "ticker": frame.index.astype(str)})
    return frame.iloc[order.sort_values(["rank", "ticker"], kind="stable").index]


def _action_table(data: Inputs, rec: RunRecord) -> pd.DataFrame:
    next_weights = dict(rec.next_weights)
    actions = dict(rec.actions)
    if rec.executed and rec.ledger is not None and not (data.schedule.bar >= len(data.dates)).any():
        # Without a rebalance pending, the next bar trades the targets the cap left unfilled.
        for sid, weight in zip(rec.ledger["carried_sid"], rec.ledger["carried_weight"]):
            sid = int(sid)
            if actions.get(sid, "") not in EXITS_NEXT_BAR:
                actions[sid] = "carry"
                next_weights[sid] = float(weight)
    sids = sorted(set(actions) | set(rec.weights) | set(next_weights))
    idx = pd.Index(data.pos_columns[sids] if sids else [], dtype=object, name="ticker")
    code = [actions.get(s, "") for s in sids]
    return pd.DataFrame({
        "weight": np.array([float(rec.weights.get(s, 0.0)) for s in sids], dtype=np.float64),
        "next_weight": np.array([float(next_weights.get(s, 0.0)) for s in sids], dtype=np.float64),
        "action": [action_words(c) for c in code],
        "code": code,
    }, index=idx)


# ---------------------------------------------------------------- trades

SIDES = ("long", "short")
EXIT_REASONS = ("rebalance", "exit_rule", "delisted", "open")
_REBALANCE, _EXIT_RULE, _DELISTED, _OPEN = range(len(EXIT_REASONS))


def _exit_reasons(data: Inputs, sid: np.ndarray, entry: np.ndarray,
                  exit_: np.ndarray) -> np.ndarray:
    """Codes into EXIT_REASONS per trade (see ``BacktestResult.trades``)."""
    reason = np.full(len(sid), _EXIT_RULE, dtype=np.int8)
    is_open = exit_ < 0
    plan = data.schedule
    done = plan.bar < len(data.price_index)
    bars, rows = plan.bar[done], plan.weight_row[done]
    if len(bars):
        # The rebalance at or after each bar, read per trade from a table of the bars.
        after = np.clip(np.searchsorted(bars, np.arange(len(data.price_index))), 0, len(bars) - 1)
        at = after[exit_]  # an open trade's -1 reads a valid row; on_rebalance drops it
        on_rebalance = ~is_open & (bars[at] == exit_)
        target = data.weights[rows[at], sid]
        key = len(data.price_index) + 1
        # In ticker and entry order the entries are sorted and the exits nearly so: the
        # search for each exit among the entries then walks memory in order.
        order = group_order(sid, entry)
        entries = (sid * key + entry)[order]
        wanted = (sid * key + exit_)[order]
        reenters = np.empty(len(sid), dtype=bool)
        reenters[order] = entries[np.minimum(np.searchsorted(entries, wanted),
                                             len(entries) - 1)] == wanted
        reason[on_rebalance & ((target == 0) | reenters)] = _REBALANCE
    if data.delisting_bars is not None:
        reason[~is_open & (data.delisting_bars[sid] == exit_)] = _DELISTED
    reason[is_open] = _OPEN
    return reason


def trade_columns(data: Inputs, rec: RunRecord, settings: Dict[str, Any],
                  end: Optional[int] = None, table: bool = True) -> Dict[str, np.ndarray]:
    """The trade table's values as arrays by bar and sid (the table is built from them, the
    statistics read them directly).  ``end``: the bar a ruined result ends on; later entries
    are dropped and trades running past it are open there, with no return.  Without
    ``table``, only what the statistics read: no exit reasons (worked out only where returns
    need them), ``bmfe``, ``mdd`` or ``profitable_bars``."""
    sid, entry, exit_ = rec.trades[:, 0], rec.trades[:, 1], rec.trades[:, 2]
    if table:
        reason = _exit_reasons(data, sid, entry, exit_)
    is_open = exit_ < 0
    at_exit = rec.excursions[:, -BLOCK:]
    cols = {
        "sid": sid,
        "entry": entry,
        "exit": exit_,
        "weight": rec.positions,
        "bars_held": np.where(is_open, len(data.price_index) - 1 - entry, exit_ - entry),
        # Net of the exit's costs whatever the window: the engine's own value of the exit.
        "return": rec.exits - 1.0,
        "mae": at_exit[:, 0],
        "gmfe": at_exit[:, 1],
    }
    if table:
        cols.update(reason=reason, bmfe=at_exit[:, 2], mdd=at_exit[:, 3],
                    profitable_bars=at_exit[:, 4].astype(np.int64))
    if rec.ledger is not None:
        # Money per trade record, costs it caused included (resizes while held too).
        for name in LEDGER_COLUMNS + (("financing",) if rec.financed else ()):
            cols[name] = np.asarray(rec.ledger[name], dtype=np.float64)
        capital = settings.get("capital")
        if capital and table:
            # Whole lots at the entry's trading price; rint drops the float rounding.
            price = data.trade[entry, data.price_col[sid]]
            cols["shares"] = np.rint(np.asarray(rec.ledger["entry_value"]) * capital / price)
        # A flip (long straight to short or back) cuts the record as a split does, but
        # sells the old side: its fee (no tax, the engine books the flip as one entry)
        # belongs to the record it closes.
        flip = rec.ledger.get("flip")
        if flip is not None and settings["fee"]:
            flip = np.asarray(flip, dtype=bool)
            cols["return"] = np.where(flip, (1.0 + cols["return"]) * (1.0 - settings["fee"]) - 1.0,
                                      cols["return"])
    if rec.executed and rec.ledger is not None:
        for name in EXECUTION_COLUMNS:
            cols[name] = np.asarray(rec.ledger[name])
    if end is not None:
        kept = entry <= end
        cols = {name: values[kept] for name, values in cols.items()}
        past = (cols["exit"] < 0) | (cols["exit"] > end)
        cols["exit"] = np.where(past, -1, cols["exit"])
        if table:
            cols["reason"] = np.where(past, _OPEN, cols["reason"]).astype(np.int8)
        cols["return"] = np.where(past, np.nan, cols["return"])
        cols["bars_held"] = np.where(past, end - cols["entry"], cols["bars_held"])
        if rec.ledger is not None and "ruin_pnl" in rec.ledger:
            # Marked where the result ends, so the trades add up to its equity there.
            for name, there in (("exit_price", "ruin_price"), ("pnl", "ruin_pnl"),
                                ("costs", "ruin_costs"), ("financing", "ruin_financing")):
                if name in cols:
                    marked = np.asarray(rec.ledger[there], dtype=np.float64)[kept]
                    cols[name] = np.where(past, marked, cols[name])
    return cols


LEDGER_COLUMNS = ("exit_price", "pnl", "costs")
# A run with execution costs: each record's costs by kind (money, in ``costs`` already), the
# largest share of ADV one of its trades took, and whether the cap cut one of them.
EXECUTION_COLUMNS = ("slippage_cost", "spread_cost", "impact_cost", "participation", "capped")


def _trade_table(data: Inputs, cols: Dict[str, np.ndarray]) -> pd.DataFrame:
    entry, exit_ = cols["entry"], cols["exit"]
    is_open = exit_ < 0
    dates = data.dates
    # The signal is the weight row in force on the bar before the entry.
    signal_bar = data.price_index[np.maximum(entry - 1, 0)]
    signal_row = np.maximum(np.searchsorted(data.pos_index, signal_bar, side="right") - 1, 0)
    table = {
        "ticker": data.pos_columns[cols["sid"]],
        # Fixed vocabularies: categoricals cost no string per trade.
        "side": pd.Categorical.from_codes((cols["weight"] <= 0).astype(np.int8), SIDES),
        "entry_date": dates.take(entry).array,
        "exit_date": dates.take(np.where(is_open, 0, exit_)).where(~is_open).array,
        "signal_date": data.weight_dates.take(signal_row).array,
        "weight": cols["weight"],
        "bars_held": cols["bars_held"],
        "return": cols["return"],
        "exit_reason": pd.Categorical.from_codes(cols["reason"], EXIT_REASONS),
        **{name: cols[name] for name in ("mae", "gmfe", "bmfe", "mdd", "profitable_bars")},
        **{name: cols[name] for name in LEDGER_COLUMNS + ("financing", "shares") + EXECUTION_COLUMNS
           if name in cols},
    }
    # No columns= here: older pandas then boxes every date into a Timestamp.
    return pd.DataFrame(table)


def window_table(blocks: Optional[np.ndarray], trades: pd.DataFrame, step: int) -> pd.DataFrame:
    """The excursion records at every sampled offset, one row per (trade, offset) written."""
    columns = ["trade", "ticker", "entry_date", "offset", *EXCURSIONS]
    if blocks is None or not len(blocks):
        return pd.DataFrame({c: [] for c in columns})
    n, width = blocks.shape
    count = width // BLOCK - 1
    values = blocks[:, : count * BLOCK].reshape(n, count, BLOCK)
    written = values[:, :, 4] != -1  # unwritten slots keep -1; bar counts never are
    trade, block = np.nonzero(written)
    picked = values[trade, block]
    frame = pd.DataFrame({
        "trade": trade,
        "ticker": trades["ticker"].to_numpy()[trade],
        "entry_date": trades["entry_date"].iloc[trade].to_numpy(),
        "offset": block * step,
    })
    for k, name in enumerate(EXCURSIONS):
        frame[name] = picked[:, k]
    frame["profitable_bars"] = frame["profitable_bars"].astype(np.int64)
    return frame


def _window_until(blocks: np.ndarray, entry: np.ndarray, end: Optional[int], step: int) -> np.ndarray:
    """The excursion records of the trades the result keeps: a ruined result ends on ``end``,
    so its trade table drops later entries and its windows the offsets past that bar."""
    if end is None:
        return blocks
    kept = blocks[entry <= end]
    count = kept.shape[1] // BLOCK - 1
    bars = entry[entry <= end, None] + np.arange(count) * step
    # Unwritten slots hold -1 in their bar count, as the engine leaves them.
    kept[:, 4: count * BLOCK: BLOCK][bars > end] = -1
    return kept


def _with_weight_now(actions: pd.DataFrame, drift: pd.Series) -> pd.DataFrame:
    """The action table with ``target``, the last rebalance's weight, and ``weight``, that
    target drifted to the last close."""
    target = actions["weight"]
    actions.insert(1, "target", target)
    with np.errstate(all="ignore"):
        actions["weight"] = target.to_numpy() * drift.reindex(actions.index).to_numpy(dtype=np.float64)
    return actions


def _drift(data: Inputs, equity: np.ndarray, done: np.ndarray, last_close: np.ndarray) -> np.ndarray:
    """Factor taking a weight set at the last rebalance to its weight at the last close:
    the ticker's move from that bar's trading price, over the portfolio's (costs ignored)."""
    if not len(done):
        return np.ones(len(data.price_col))
    bar = done[-1]
    # A ruined or overflowing book divides by 0 or infinity here: its drift is meaningless
    # and shows as NaN rather than as a warning.
    with np.errstate(all="ignore"):
        moved = last_close / data.trade[bar, data.price_col]
        moved = np.where(np.isfinite(moved), moved, 1.0)
        return moved * (equity[bar] / equity[-1])


# ---------------------------------------------------------------- the result's fields

def result_fields(data: Inputs, rec: RunRecord, settings: Dict[str, Any],
                  warnings: Sequence[str]) -> Dict[str, Any]:
    """Keyword arguments of ``BacktestResult``: finished pandas objects of one run."""
    dates = data.dates
    tickers = pd.Index(data.pos_columns, dtype=object)
    done = data.schedule.bar[data.schedule.bar < len(dates)]
    last_close = data.close[-1, data.price_col]
    gone = (np.zeros(len(tickers), dtype=bool) if data.delisting_bars is None
            else data.delisting_bars >= 0)
    first = min(data.schedule.first_bar, len(dates) - 1)
    ruin = ruin_bar(rec.equity, first)
    cols = trade_columns(data, rec, settings, ruin)
    trades = _trade_table(data, cols)
    end = len(dates) - 1 if ruin is None else ruin
    drift = pd.Series(_drift(data, rec.equity, done, last_close), index=tickers)
    notes = list(warnings) + ruin_notes(rec.equity, dates, ruin) + book_notes(
        data, rec, settings, first, end)
    return {
        "_equity": pd.Series(rec.equity, index=dates, name="equity"),
        "_trades": trades,
        "_trade_keys": cols["sid"],
        "_actions": _with_weight_now(_action_table(data, rec), drift),
        "_warnings": tuple(notes),
        "_settings": dict(settings),
        "_start": dates[first],
        "_end": dates[len(dates) - 1 if ruin is None else ruin],
        "_ruined": ruin is not None,
        "_rebalance_pending": bool((data.schedule.bar >= len(dates)).any()),
        "_window": (_window_until(rec.excursions, rec.trades[:, 1], ruin, settings["window_step"])
                    if settings.get("window", 0) > 0 else None),
        "_weights": pd.DataFrame(data.weights, index=data.weight_dates, columns=tickers),
        "_rebalance_dates": dates[done],
        "_last_close": pd.Series(last_close, index=tickers),
        "_drift": drift,
        "_delisted": pd.Series(gone, index=tickers),
        "_next_cap": _next_cap(data, settings, tickers),
        "_held_shares": _held_shares(data, rec, settings, tickers, ruin),
        "_fills": _fills(data, rec, settings, end),
        "_market": _market(data, end),
        **_book_tables(rec, dates),
    }


def _fills(data: Inputs, rec: RunRecord, settings: Dict[str, Any],
           end: int) -> Optional[pd.DataFrame]:
    """Every trade the engine made up to ``end``, in order: money as fractions of the
    starting capital, and with capital the shares and money at it."""
    row, sid, value, price, fee, tax, costs = _native.LEDGER_FILLS
    ledger = rec.ledger
    if ledger is None or row not in ledger:
        return None
    rows = np.asarray(ledger[row], dtype=np.int64)
    kept = rows <= end
    frame = pd.DataFrame({
        "date": data.dates.take(rows[kept]),
        "ticker": data.pos_columns[np.asarray(ledger[sid], dtype=np.int64)[kept]],
        **{name: np.asarray(ledger[key], dtype=np.float64)[kept]
           for name, key in (("value", value), ("price", price), ("fee", fee), ("tax", tax),
                             ("costs", costs))},
    })
    capital = settings.get("capital")
    if capital:
        with np.errstate(invalid="ignore", divide="ignore"):
            frame.insert(3, "shares", np.rint(frame["value"] * capital / frame["price"]))
    return frame


def _market(data: Inputs, end: int) -> Market:
    """The prices the run traded and marked at, up to its end: copies, read-only (the
    engine's arrays may be the caller's own frames, which a result must not follow)."""
    close = data.close[:end + 1].copy()
    trade = close if data.trade is data.close else data.trade[:end + 1].copy()
    for array in (trade, close):
        array.flags.writeable = False
    return Market(data.dates[:end + 1], pd.Index(data.price_columns, dtype=object), trade, close)


def _held_shares(data: Inputs, rec: RunRecord, settings: Dict[str, Any], tickers: pd.Index,
                 ruin: Optional[int]) -> Optional[pd.Series]:
    """For a run with capital, the shares each ticker holds after the last bar: its open
    records' value at the last close, in shares of that close (whole lots, up to rounding)."""
    capital = settings.get("capital")
    if not capital or rec.ledger is None or ruin is not None:
        return None
    sid = np.asarray(rec.ledger["trade_sid"], dtype=np.int64)
    open_ = np.asarray(rec.ledger["exit_row"]) < 0
    value = np.bincount(sid[open_], np.asarray(rec.ledger["end_value"])[open_],
                        minlength=len(tickers))
    with np.errstate(invalid="ignore", divide="ignore"):
        shares = np.rint(value * capital / data.close[-1, data.price_col])
    return pd.Series(np.where(value == 0, 0.0, shares), index=tickers)


def _next_cap(data: Inputs, settings: Dict[str, Any], tickers: pd.Index) -> Optional[pd.Series]:
    """With a participation cap, the money each ticker may trade on the bar after the last:
    max_participation of its money ADV over the bars up to the last one."""
    share = settings.get("max_participation")
    if share is None or data.volume is None:
        return None
    adv = _execution.last_adv(data.close, data.volume, int(settings["adv_window"]))
    return pd.Series(share * adv[data.price_col], index=tickers)


def book_columns(rec: RunRecord) -> Dict[str, np.ndarray]:
    """Exposure per bar as fractions of equity, from the ledger (which the run must hold)."""
    ledger = rec.ledger
    assert ledger is not None
    long_, short = ledger["long_value"], ledger["short_value"]
    # Of the book's absolute value: on a ruin bar (equity at or below 0) a share of it
    # would turn the short side positive.
    equity = np.abs(rec.equity)
    with np.errstate(all="ignore"):
        return {
            "long": long_ / equity,
            "short": short / equity,
            "gross": (long_ - short) / equity,
            "net": (long_ + short) / equity,
            "cash": ledger["cash"] / equity,
            "names": np.asarray(ledger["names_held"], dtype=np.int64),
        }


def _book_tables(rec: RunRecord, dates: pd.DatetimeIndex) -> Dict[str, Any]:
    """Exposure (fractions of equity) and costs (money) per bar, from the ledger."""
    if rec.ledger is None:
        return {"_exposure": None, "_costs": None, "_cash_flows": None, "_shortfall": None}
    exposure = pd.DataFrame(book_columns(rec), index=dates)
    costs = pd.DataFrame({"fees": rec.ledger["fees"], "tax": rec.ledger["tax"]}, index=dates)
    costs["total"] = costs["fees"] + costs["tax"]
    if rec.executed:
        for kind in _native.COST_KINDS:
            costs[kind] = rec.ledger[kind]
            costs["total"] = costs["total"] + costs[kind]
        costs = costs[[c for c in costs.columns if c != "total"] + ["total"]]
    flows = None
    if rec.financed:
        flows = pd.DataFrame({name: rec.ledger[name] for name in _native.FLOWS}, index=dates)
        total = flows[_native.FLOWS[0]]
        for name in _native.FLOWS[1:]:
            total = total + flows[name]
        flows["total"] = total
        # The shorts' part of the dividends, already in them: not a flow of its own.
        flows["dividends_paid"] = rec.ledger["dividends_paid"]
    events = None
    if rec.executed:
        events = {name: np.asarray(rec.ledger[name])
                  for name in ("shortfall_row", "shortfall_sid", "shortfall")}
    return {"_exposure": exposure, "_costs": costs, "_cash_flows": flows, "_shortfall": events}


def flip_notes(data: Inputs, settings: Dict[str, Any]) -> List[str]:
    """A warning when positions go straight from long to short (or back) at a rebalance
    while kept positions stay one record: the engine then keeps the flipped position in
    the record of its first side."""
    if settings["split_trades_on_rebalance"] and not settings["keep_costs_on_rebalance"]:
        return []
    plan = data.schedule
    held = data.weights[plan.weight_row[plan.bar < len(data.dates)]]
    flipped = np.flatnonzero((held[1:] * held[:-1] < 0).any(axis=0))
    if not len(flipped):
        return []
    option = ("keep_costs_on_rebalance=True" if settings["keep_costs_on_rebalance"]
              else "split_trades_on_rebalance=False")
    return [f"weights: {len(flipped)} tickers go straight from long to short or back at a "
            f"rebalance ({show(data.pos_columns[flipped], total=len(flipped))}); with {option} "
            "the engine keeps such a position in one trade record, so the trade table shows "
            "it on its first side until it closes (the equity and the records' pnl are "
            "right); run with split_trades_on_rebalance=True and keep_costs_on_rebalance="
            "False for a record per side"]


def ruin_notes(equity: np.ndarray, dates: pd.DatetimeIndex, ruin: Optional[int]) -> List[str]:
    if ruin is None:
        return []
    return [f"equity reached {equity[ruin]:.4g} on {dates[ruin].date()}: a book worth nothing "
            "cannot hold positions as fractions of itself, so the result ends there (trades "
            "still open then are marked at that bar's close, without a return; full_equity shows what the "
            "engine went on computing)"]


# Cash below this share of the book's value (negative) is borrowing, not costs paid.
_BORROWED = 0.02
# Below this share of the target gross held, whole lots have changed the book materially.
_LOTS_HELD = 0.75


def book_notes(data: Inputs, rec: RunRecord, settings: Dict[str, Any], first: int,
               end: int) -> List[str]:
    """What the book did that the user may not have meant, read from the ledger over the
    live bars ``first`` to ``end``: cash borrowed at no cost, and whole lots that leave
    much of the targets unheld."""
    ledger = rec.ledger
    if ledger is None or end < first:
        return []
    notes = []
    live = slice(first, end + 1)
    equity = rec.equity[live]
    cash = np.asarray(ledger["cash"], dtype=np.float64)[live]
    with np.errstate(invalid="ignore", divide="ignore"):
        borrowed = -cash / equity
    # A book at gross 1 runs a little short of cash by the costs it pays: no leverage.
    owing = borrowed > _BORROWED
    if settings.get("cash_rate") is None and owing.any():
        notes.append(f"the book holds more than it is worth on {int(owing.sum())} of "
                     f"{len(equity)} bars, borrowing {float(np.mean(borrowed[owing])):.1%} of its "
                     "value on average, at no cost: without cash_rate borrowed cash is free; "
                     "pass cash_rate (the annual rate charged on negative cash, e.g. 0.05)")
    if settings.get("capital"):
        plan = data.schedule
        traded = (plan.bar >= first) & (plan.bar <= end)
        rows, bars = plan.weight_row[traded], plan.bar[traded]
        if len(rows):
            block = np.abs(data.weights[rows])
            gross = block.sum(axis=1)
            limit = settings["max_gross"]
            with np.errstate(invalid="ignore", divide="ignore"):
                scaled = block * np.where(gross > limit, limit / gross, 1.0)[:, None]
                target = np.minimum(scaled, settings["position_limit"]).sum(axis=1)
                held = (np.asarray(ledger["long_value"])[bars]
                        - np.asarray(ledger["short_value"])[bars]) / rec.equity[bars]
            if rec.executed:
                # What the cap left unfilled is its own note, not the lots'.
                held = held + _execution.gross_shortfall(ledger, len(rec.equity))[bars]
            aimed, kept = float(np.mean(target)), float(np.mean(held))
            if aimed > 0 and kept < _LOTS_HELD * aimed:
                wanted = np.flatnonzero((block > 0).any(axis=0))
                never = sorted(str(data.pos_columns[k]) for k in
                               np.setdiff1d(wanted, rec.trades[:, 0]))
                notes.append(
                    f"whole lots leave {1 - kept / aimed:.0%} of the target gross unheld: the "
                    f"rebalances held a gross of {kept:.3g} on average against targets of "
                    f"{aimed:.3g} (capital={settings['capital']:,g}, lot={settings['lot']})"
                    + (f"; never bought: {show(never)}" if never else "")
                    + "; a larger capital or a smaller lot holds the targets more closely")
    if rec.executed:
        capped = np.asarray(ledger["capped"], dtype=bool)
        notes += _execution.notes_of_run(data, ledger, settings, int(capped.sum()), len(capped))
    return notes


def ruin_bar(equity: np.ndarray, first: int) -> Optional[int]:
    """The first live bar whose equity is 0 or below (only shorts can get there)."""
    gone = np.flatnonzero(equity[first:] <= 0.0)
    return first + int(gone[0]) if len(gone) else None
