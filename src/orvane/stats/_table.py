"""The statistics table: one row per statistic of ``summary``, in its order, with what
every reader needs to know of it (label, report group, text form, better side, inputs,
where it is shown).  Labels, the reports' groups and columns and the walk-forward's
direction are all read from here.
"""

from __future__ import annotations

import math
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Tuple

import pandas as pd

from orvane._checks import check_flag

RETURNS = "Returns"
RISK = "Risk"
BENCHMARK = "Against the benchmark"
TRADES = "Trade records"
BOOK = "Holdings and book"
FINANCING = "Financing"
EXECUTION = "Execution"
GROUP_NOTES = {TRADES: "one record per position and rebalance segment: a holding kept across "
                       "rebalances counts once per segment; a record wins or loses by its "
                       "money (pnl), not its return",
               BOOK: "a holding is a position from entry to final exit; exposure and costs "
                     "from the engine's book"}

KINDS = ("date", "recovery", "pct", "ratio", "int", "float", "times")
NEEDS = ("equity", "trades", "benchmark", "book", "financing", "execution", "ruin")


class Statistic(NamedTuple):
    name: str
    label: str
    group: str               # the report's section heading
    kind: str                # text form, see ``text``
    better: Optional[bool]   # True: higher is better, False: lower, None: neither by itself
    # equity, trades; benchmark (only with one), book (the round trips and the engine's
    # ledger, when the result has them), ruin (only when the equity reached 0)
    needs: str
    card: Optional[int] = None      # position among the report's headline cards
    sweep: Optional[int] = None     # position among the sweep report's columns
    notebook: Optional[int] = None  # position in a notebook's table of a result


_S = Statistic
TABLE: Tuple[Statistic, ...] = (
    _S("start", "Start", RETURNS, "date", None, "equity"),
    _S("end", "End", RETURNS, "date", None, "equity"),
    _S("total_return", "Total return", RETURNS, "pct", True, "equity", card=0, sweep=2,
       notebook=0),
    _S("cagr", "CAGR", RETURNS, "pct", True, "equity", card=1, sweep=1, notebook=1),
    _S("annual_volatility", "Annual volatility", RISK, "pct", False, "equity", card=4, sweep=4,
       notebook=4),
    _S("sharpe", "Sharpe ratio", RISK, "ratio", True, "equity", card=2, sweep=0, notebook=2),
    _S("sortino", "Sortino ratio", RISK, "ratio", True, "equity"),
    _S("probabilistic_sharpe", "Probabilistic Sharpe (true above 0)", RISK, "pct", True,
       "equity"),
    # Drawdowns are negative: the highest is the mildest.
    _S("max_drawdown", "Max drawdown", RISK, "pct", True, "equity", card=3, sweep=3,
       notebook=3),
    _S("max_drawdown_peak", "Max drawdown peak", RISK, "date", None, "equity"),
    _S("max_drawdown_trough", "Max drawdown trough", RISK, "date", None, "equity"),
    _S("max_drawdown_recovery", "Max drawdown recovery", RISK, "recovery", None, "equity"),
    _S("calmar", "Calmar ratio", RISK, "ratio", True, "equity"),
    _S("skew", "Skew", RISK, "ratio", True, "equity"),
    # Fat tails cut both ways: a run with positive skew may welcome them.
    _S("kurtosis", "Excess kurtosis", RISK, "ratio", None, "equity"),
    _S("var_95", "VaR 95 % (one bar)", RISK, "pct", True, "equity"),
    _S("cvar_95", "CVaR 95 % (one bar)", RISK, "pct", True, "equity"),
    _S("best_day", "Best day", RETURNS, "pct", True, "equity"),
    _S("worst_day", "Worst day", RETURNS, "pct", True, "equity"),
    _S("best_month", "Best month", RETURNS, "pct", True, "equity"),
    _S("worst_month", "Worst month", RETURNS, "pct", True, "equity"),
    _S("best_year", "Best year", RETURNS, "pct", True, "equity"),
    _S("worst_year", "Worst year", RETURNS, "pct", True, "equity"),
    # The benchmark's own figures say nothing of the strategy's merit, nor do its beta,
    # correlation and tracking error by themselves.
    _S("benchmark_total_return", "Benchmark total return", BENCHMARK, "pct", None, "benchmark",
       notebook=7),
    _S("benchmark_cagr", "Benchmark CAGR", BENCHMARK, "pct", None, "benchmark"),
    _S("benchmark_max_drawdown", "Benchmark max drawdown", BENCHMARK, "pct", None, "benchmark"),
    _S("alpha", "Alpha (annual)", BENCHMARK, "pct", True, "benchmark", notebook=8),
    _S("beta", "Beta", BENCHMARK, "ratio", None, "benchmark", notebook=9),
    _S("correlation", "Correlation", BENCHMARK, "ratio", None, "benchmark"),
    _S("tracking_error", "Tracking error", BENCHMARK, "pct", None, "benchmark"),
    _S("information_ratio", "Information ratio", BENCHMARK, "ratio", True, "benchmark"),
    _S("up_capture", "Up capture", BENCHMARK, "ratio", True, "benchmark"),
    _S("down_capture", "Down capture", BENCHMARK, "ratio", False, "benchmark"),
    # Per trade record: one per position and rebalance segment, not per holding.
    _S("trades", "Trades", TRADES, "int", None, "trades", sweep=5, notebook=6),
    _S("win_rate", "Win rate (per record)", TRADES, "pct", True, "trades", card=5, notebook=5),
    _S("profit_factor", "Profit factor (records)", TRADES, "ratio", True, "trades"),
    _S("avg_win", "Average win (per record)", TRADES, "pct", True, "trades"),
    _S("avg_loss", "Average loss (per record)", TRADES, "pct", True, "trades"),
    _S("avg_bars_held", "Average bars per record", TRADES, "float", None, "trades"),
    _S("turnover", "Turnover (per year, resizes not counted)", TRADES, "times", False, "trades"),
    _S("time_in_market", "Time in market", TRADES, "pct", None, "trades"),
    _S("avg_mae_winners", "Average MAE, winners", TRADES, "pct", True, "trades"),
    _S("avg_mfe_winners", "Average MFE, winners", TRADES, "pct", True, "trades"),
    _S("avg_mae_losers", "Average MAE, losers", TRADES, "pct", True, "trades"),
    _S("avg_mfe_losers", "Average MFE, losers", TRADES, "pct", True, "trades"),
    _S("holdings", "Holdings (round trips)", BOOK, "int", None, "book"),
    _S("holding_win_rate", "Win rate (per holding)", BOOK, "pct", True, "book"),
    _S("holding_profit_factor", "Profit factor (holdings)", BOOK, "ratio", True, "book"),
    _S("avg_bars_per_holding", "Average bars per holding", BOOK, "float", None, "book"),
    _S("avg_gross_exposure", "Average gross exposure", BOOK, "pct", None, "book"),
    _S("avg_net_exposure", "Average net exposure", BOOK, "pct", None, "book"),
    _S("total_costs", "Costs paid (of capital 1.0)", BOOK, "pct", False, "book"),
    _S("return_before_costs", "Total return before costs", BOOK, "pct", True, "book"),
    # Only for a run with financing (cash_rate, borrow_fee, dividends); money of capital 1.0.
    _S("interest_earned", "Interest on cash (of capital 1.0)", FINANCING, "pct", True,
       "financing"),
    _S("borrow_paid", "Borrow fees paid (of capital 1.0)", FINANCING, "pct", False, "financing"),
    _S("dividends_received", "Dividends received by longs", FINANCING, "pct", True, "financing"),
    _S("dividends_paid", "Dividends paid by shorts", FINANCING, "pct", False, "financing"),
    # Neither by itself: what financing did to the run, not how good the strategy is.
    _S("return_before_financing", "Total return less financing flows", FINANCING, "pct", None,
       "financing"),
    # Only for a run with execution costs or a participation cap; money of capital 1.0,
    # in total_costs too.
    _S("slippage_paid", "Slippage paid (of capital 1.0)", EXECUTION, "pct", False, "execution"),
    _S("spread_paid", "Spread paid (of capital 1.0)", EXECUTION, "pct", False, "execution"),
    _S("impact_paid", "Market impact paid (of capital 1.0)", EXECUTION, "pct", False,
       "execution"),
    _S("avg_participation", "Average participation (share of ADV, per record)", EXECUTION,
       "pct", False, "execution"),
    _S("p95_participation", "95th percentile participation", EXECUTION, "pct", False,
       "execution"),
    _S("capped_trades", "Trade records the cap cut", EXECUTION, "int", False, "execution"),
    _S("avg_shortfall", "Average shortfall (gross weight unfilled)", EXECUTION, "pct", False,
       "execution"),
    _S("ruined_on", "Equity reached 0 on", RETURNS, "date", None, "ruin"),
)
del _S

STATISTICS: Dict[str, Statistic] = {s.name: s for s in TABLE}
# Names statistics had in earlier versions (a sweep store may hold them).
RENAMED = {"exposure": "time_in_market"}

# The views other modules read.
LABELS = {s.name: (s.label, s.kind) for s in TABLE}
BENCHMARK_NAMES = tuple(s.name for s in TABLE if s.needs == "benchmark")
BOOK_NAMES = tuple(s.name for s in TABLE if s.needs == "book")
NUMERIC = tuple(s.name for s in TABLE if s.kind not in ("date", "recovery"))


_BY_NAME = {s.name: s for s in TABLE}


def metric_direction(metric: str, maximize: Optional[bool] = None) -> bool:
    """True when a higher ``metric`` (a numeric column of ``stats()``) is better: as
    ``maximize`` says, or by default as the statistic's row says (an error for a statistic better neither high nor low by itself)."""
    if not isinstance(metric, str) or metric not in NUMERIC:
        raise ValueError(f"metric must be a numeric statistic of stats() "
                         f"({', '.join(NUMERIC)}), got {metric!r}")
    if maximize is None:
        better = _BY_NAME[metric].better
        if better is None:
            raise ValueError(f"maximize must be True or False for metric={metric!r}, which is "
                             "better neither high nor low by itself, got None")
        return better
    return bool(check_flag(maximize, "maximize"))


def _placed(field: str) -> Tuple[str, ...]:
    shown = [s for s in TABLE if getattr(s, field) is not None]
    return tuple(s.name for s in sorted(shown, key=lambda s: getattr(s, field)))


CARDS = _placed("card")
SWEEP_COLUMNS = _placed("sweep")
NOTEBOOK = _placed("notebook")


def grouped(names: Iterable[str]) -> List[Tuple[str, str, List[str]]]:
    """(heading, note, names) per report group that holds some of ``names``, groups in
    the order the table first uses them, names in the order given; a name the table does
    not know joins the last group."""
    headings = list(dict.fromkeys(s.group for s in TABLE))
    members: Dict[str, List[str]] = {h: [] for h in headings}
    for name in names:
        known = STATISTICS.get(name)
        members[known.group if known is not None else headings[-1]].append(name)
    return [(h, GROUP_NOTES.get(h, ""), members[h]) for h in headings if members[h]]


def text(value: Any, kind: str) -> str:
    """A statistic's value as text by its ``kind``: "pct" 12.34%, "ratio" 1.23, "float"
    1.2, "times" 1.23x, "int" 1,234, "date" and "recovery" YYYY-MM-DD, with thousands
    separators, and three significant digits from a million on (1.23e+27%).  Missing
    reads "n/a", and "not yet" for a recovery."""
    if value is None or (not isinstance(value, str) and pd.isna(value)):
        return "not yet" if kind == "recovery" else "n/a"
    if kind in ("date", "recovery"):
        return pd.Timestamp(value).strftime("%Y-%m-%d")
    if kind == "int":
        return f"{int(value):,}"
    value = float(value)
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    # Beyond a million (of percent, for "pct") digits say nothing: three significant ones.
    shown = value * 100 if kind == "pct" else value
    unit = {"pct": "%", "times": "x"}.get(kind, "")
    if abs(shown) >= _HUGE:
        return f"{shown:.3g}{unit}"
    if kind == "pct":
        return f"{value:,.2%}"
    if kind == "times":
        return f"{value:,.2f}x"
    if kind == "float":
        return f"{value:,.1f}"
    return f"{value:,.2f}"


_HUGE = 1e6
