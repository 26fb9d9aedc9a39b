"""The summary of a run: its figures (equity, trade arrays, the book), built one way for a
result and for the engine's records, and every statistic of the table computed on them,
as values (``summary``) or as text (``format_summary``).
"""

from __future__ import annotations

import functools
from typing import Any, Dict, NamedTuple, Optional, Tuple

import numpy as np
import pandas as pd

from orvane import _execution, _native
from orvane.stats._calendar import extremes
from orvane.stats._drawdowns import calmar_ratio, max_drawdown
from orvane.stats._relative import benchmark_stats
from orvane.stats._returns import (DAYS_PER_YEAR, annual_volatility, cagr, check_rate,
                                   _probabilistic_sharpe_ratio, equity_returns, kurtosis,
                                   periods_per_year, quiet, sharpe_ratio, skewness,
                                   sortino_ratio, tail_risk, total_return)
from orvane.stats._table import RENAMED, STATISTICS, TABLE, text
from orvane.stats._trades import (TradeFigures, float_column, holding_stats, holding_sums,
                                  mean_known, open_bars, record_stats, share_open,
                                  trade_figures)


def live_equity(result: Any) -> pd.Series:
    """The result's equity from its first simulated date (``start``) on, without NaN.

    Bars before the first weight date only hold the starting value and would
    dilute every per-bar statistic.
    """
    equity = result.equity
    start = getattr(result, "start", None)
    if start is not None and not pd.isna(start):
        equity = equity.loc[start:]
    return equity.dropna()


class RunFigures(NamedTuple):
    """What ``summary`` reads of a run (made by ``run_figures``)."""

    equity: pd.Series                # the live equity
    trades: TradeFigures
    holdings: bool                   # with the per-holding rows
    gross: Optional[np.ndarray]      # gross and net exposure per live bar, from the book
    net: Optional[np.ndarray]
    paid: Optional[float]            # costs paid over the live bars
    # Financing over the live bars, money into the book: interest, borrow, dividends and
    # the longs' dividends (None for a run without financing).
    flows: Optional[Dict[str, float]]
    ruined: bool
    # Execution over the live bars: costs by kind (money), capped trade records and the
    # mean gross shortfall (None for a run without execution costs).
    execution: Optional[Dict[str, float]]
    # Per record, the positions in ``equity`` of its entry and exit (len(equity) while open).
    open_bars: Tuple[np.ndarray, np.ndarray]


def run_figures(equity: pd.Series, trades: TradeFigures, *, holdings: bool = True,
                gross: Optional[np.ndarray] = None, net: Optional[np.ndarray] = None,
                costs: Optional[np.ndarray] = None, ruined: bool = False,
                flows: Optional[Dict[str, np.ndarray]] = None,
                execution: Optional[Dict[str, np.ndarray]] = None) -> RunFigures:
    """The figures of one run, whoever holds it: a result's tables or the engine's records.

    ``equity`` is the live equity (no NaN); ``trades`` the trade arrays, their dates in
    the unit of ``equity``'s, with their ``bars`` in it when the caller knows them;
    ``holdings`` whether the holding rows apply; ``gross``,
    ``net`` and ``costs`` (paid per bar) cover the live bars and come from the engine's
    book (None without one); ``ruined``, whether the equity reached 0 on its last bar;
    ``flows``, a financed run's flows (the engine's ``FLOWS``) and the shorts' part of
    its dividends, ``dividends_paid``, per live bar; ``execution``, a run's execution costs
    by kind (``COST_KINDS``) and its gross ``shortfall`` per live bar, with ``capped``, the
    trade records the cap cut.
    """
    if gross is None or net is None or costs is None:
        gross = net = None
        paid = None
    else:
        paid = float(np.nansum(costs))
    money = None
    if flows is not None:
        money = {name: float(np.nansum(flows[name])) for name in (*_native.FLOWS, "dividends_paid")}
    spent = None
    if execution is not None:
        spent = {kind: float(np.nansum(execution[kind])) for kind in _native.COST_KINDS}
        spent["capped"] = float(np.sum(execution["capped"]))
        share = np.asarray(execution["participation"], dtype=np.float64)
        share = share[~np.isnan(share)]
        spent["participation"] = float(np.mean(share)) if len(share) else float("nan")
        spent["p95"] = float(np.percentile(share, 95)) if len(share) else float("nan")
        gap = np.asarray(execution["shortfall"], dtype=np.float64)
        spent["shortfall"] = float(np.mean(gap)) if len(gap) else float("nan")
    return RunFigures(equity=equity, trades=trades, holdings=holdings, gross=gross, net=net,
                      paid=paid, ruined=ruined, open_bars=open_bars(trades, equity.index),
                      flows=money, execution=spent)


def result_figures(result: Any) -> RunFigures:
    """``run_figures`` of a result (a ``BacktestResult`` or an object with its attributes)."""
    trades = getattr(result, "_trades", None)
    if not isinstance(trades, pd.DataFrame):
        trades = result.trades
    book: Dict[str, np.ndarray] = {}
    try:
        exposure, costs = result.exposure, result.costs
    except (AttributeError, ValueError):
        pass
    else:
        book = {"gross": float_column(exposure, "gross"), "net": float_column(exposure, "net"),
                "costs": float_column(costs, "total")}
    equity = live_equity(result)
    flows = None
    if getattr(result, "_cash_flows", None) is not None and "financing" in trades:
        cash = result.cash_flows
        flows = {name: float_column(cash, name) for name in (*_native.FLOWS, "dividends_paid")}
    execution = None
    if getattr(result, "_shortfall", None) is not None and "costs" in book:
        cost = result.costs
        execution = {kind: float_column(cost, kind) for kind in _native.COST_KINDS}
        execution["capped"] = np.asarray(trades["capped"], dtype=bool)
        execution["participation"] = np.asarray(trades["participation"], dtype=np.float64)
        full = result._equity
        gap = pd.Series(_execution.gross_shortfall(result._shortfall, len(full)), index=full.index)
        execution["shortfall"] = gap.loc[result.start:result.end].to_numpy()
    return run_figures(
        equity, trade_figures(trades, getattr(result, "_trade_keys", None), equity.index),
        holdings=isinstance(trades, pd.DataFrame) and hasattr(result, "round_trips"),
        ruined=bool(getattr(result, "ruined", False)), flows=flows, execution=execution,
        **book)


@quiet
def summary(result: Any, risk_free: float = 0.0, benchmark: Optional[pd.Series] = None) -> pd.Series:
    """Every statistic of a backtest result as one Series (object dtype).

    Computed on ``live_equity(result)`` and the trade table. See the functions of
    this package for each formula. The index names are the rows of ``STATISTICS``, in
    its order.
    ``risk_free`` is an annual rate (fraction) for the Sharpe and Sortino ratios
    and alpha. ``benchmark`` is a benchmark value curve on the result's dates (NaN
    where it has no data), by default the result's own ``benchmark``; with one, the
    benchmark rows follow the per-bar rows (see ``benchmark_stats``). Without one
    they are left out, as is ``ruined_on`` unless the equity reached 0.

    The trade rows count trade records, one per position and rebalance segment (a
    holding kept across rebalances is a new record at each, see
    ``split_trades_on_rebalance``), not holdings from entry to final exit.
    """
    risk_free = check_rate(risk_free)
    if benchmark is None:
        # The curve as aligned (NaN on bars without a value of their own), not the filled one.
        benchmark = getattr(result, "_benchmark", None)
        if not isinstance(benchmark, pd.Series):
            benchmark = getattr(result, "benchmark", None)
    return figures_summary(result_figures(result), risk_free, benchmark)


@quiet
def figures_summary(fig: RunFigures, risk_free: float = 0.0,
                    benchmark: Optional[pd.Series] = None) -> pd.Series:
    """``summary`` of a result's figures (``risk_free`` already checked)."""
    equity = fig.equity
    returns = equity_returns(equity)
    periods = periods_per_year(equity.index)
    depth, peak, trough, recovery = max_drawdown(equity)
    growth = cagr(equity)
    years = (
        (equity.index[-1] - equity.index[0]) / pd.Timedelta(days=DAYS_PER_YEAR)
        if len(equity) > 1 else float("nan")
    )
    var, cvar = tail_risk(returns, 0.95)
    values = {
        "start": equity.index[0] if len(equity) else pd.NaT,
        "end": equity.index[-1] if len(equity) else pd.NaT,
        "total_return": total_return(equity),
        "cagr": growth,
        "annual_volatility": annual_volatility(returns, periods),
        "sharpe": sharpe_ratio(returns, periods, risk_free),
        "sortino": sortino_ratio(returns, periods, risk_free),
        "probabilistic_sharpe": _probabilistic_sharpe_ratio(returns, periods, risk_free),
        "max_drawdown": depth,
        "max_drawdown_peak": peak,
        "max_drawdown_trough": trough,
        "max_drawdown_recovery": recovery,
        "calmar": calmar_ratio(growth, depth),
        "skew": skewness(returns),
        "kurtosis": kurtosis(returns),
        "var_95": var,
        "cvar_95": cvar,
    }
    values.update(extremes(returns, periods))
    if isinstance(benchmark, pd.Series):
        curve = benchmark.reindex(equity.index)
        values.update(benchmark_stats(returns, curve, periods, risk_free))
    f = fig.trades
    values.update(record_stats(f.ret, f.bars_held, f.mae, f.gmfe, pnl=f.pnl))
    held = holding_sums(f)
    values["turnover"] = held[2] / years if years > 0 else float("nan")
    values["time_in_market"] = share_open(*fig.open_bars, len(equity))
    values.update(_book_stats(fig, held))
    values.update(_financing_stats(fig))
    values.update(_execution_stats(fig))
    if fig.ruined:
        values["ruined_on"] = equity.index[-1]
    # A row whose inputs the run lacks (a benchmark, the book, a ruin) is left out.
    names = tuple(s.name for s in TABLE if s.name in values)
    # A sweep's runs share their rows: the index is built once (a copy each, for its name).
    return Statistics([values[name] for name in names], index=_row_index(names).copy(),
                      dtype=object, name="stats")


class Statistics(pd.Series):
    """The statistics of a run: a Series that answers a statistic's old name (``RENAMED``)
    with its new one instead of a bare KeyError.  What is derived from it is a Series."""

    @property
    def _constructor(self) -> type:
        return pd.Series

    def __getitem__(self, key: Any) -> Any:
        try:
            return super().__getitem__(key)
        except KeyError:
            if isinstance(key, str) and key in RENAMED and RENAMED[key] in self.index:
                new = RENAMED[key]
                raise KeyError(f"{key!r} is now {new!r}: stats()[{new!r}]") from None
            raise


@functools.lru_cache(maxsize=16)
def _row_index(names: Tuple[str, ...]) -> pd.Index:
    return pd.Index(names)


def _book_stats(fig: RunFigures, held: Tuple[np.ndarray, Optional[np.ndarray], float]) -> dict:
    """Per holding (round trip) and from the engine's book (exposure, costs), when the
    result has them.

    - holdings, holding_win_rate, holding_profit_factor, avg_bars_per_holding: the trade
      statistics of ``result.round_trips()`` (a holding kept across rebalances counts once)
    - avg_gross_exposure, avg_net_exposure: mean of ``result.exposure`` gross and net
      over the live bars (fractions of equity)
    - total_costs: fees and tax paid, in units of the starting capital
    - return_before_costs: total return with the costs added back (not compounded)
    """
    out: dict = {}
    if fig.holdings:
        per = holding_stats(fig.trades, held)
        out.update(holdings=per["trades"], holding_win_rate=per["win_rate"],
                   holding_profit_factor=per["profit_factor"],
                   avg_bars_per_holding=per["avg_bars_held"])
    if fig.gross is None or fig.net is None or fig.paid is None:
        return out
    equity = fig.equity
    out.update(avg_gross_exposure=mean_known(fig.gross), avg_net_exposure=mean_known(fig.net),
               total_costs=fig.paid,
               return_before_costs=total_return(equity) + fig.paid / float(equity.iloc[0])
               if len(equity) else float("nan"))
    return out


def _financing_stats(fig: RunFigures) -> dict:
    """Of a financed run, in units of the starting capital (1.0):

    - interest_earned: interest on cash, net of interest charged on negative cash
    - borrow_paid: borrow fees the shorts paid (0 or more)
    - dividends_received: by the longs; dividends_paid: by the shorts (0 or more)
    - return_before_financing: total return with every flow taken back (not compounded);
      not the return of the book run without financing, whose positions would differ
      once the flows move the equity the targets are sized on
    """
    money = fig.flows
    if money is None:
        return {}
    total = 0.0
    for name in _native.FLOWS:
        total += money[name]
    equity = fig.equity
    return {
        "interest_earned": money["interest"],
        "borrow_paid": -money["borrow"],
        "dividends_received": money["dividends"] - money["dividends_paid"],
        "dividends_paid": -money["dividends_paid"],
        "return_before_financing": (total_return(equity) - total / float(equity.iloc[0])
                                    if len(equity) else float("nan")),
    }


def _execution_stats(fig: RunFigures) -> dict:
    """Of a run with execution costs or a participation cap:

    - slippage_paid, spread_paid, impact_paid: each kind of execution cost paid over the
      live bars, in units of the starting capital (also in total_costs)
    - avg_participation, p95_participation: mean and 95th percentile over the trade
      records of the largest share of its money ADV one of a record's trades took (records
      of names without an ADV left out)
    - capped_trades: trade records of which the cap cut a trade
    - avg_shortfall: mean over the live bars of the sum over names of the absolute weight
      the cap (or a name without volume) left unfilled (``result.shortfall``)
    """
    spent = fig.execution
    if spent is None:
        return {}
    return {"slippage_paid": spent["slippage"], "spread_paid": spent["spread"],
            "impact_paid": spent["impact"], "avg_participation": spent["participation"],
            "p95_participation": spent["p95"], "capped_trades": int(spent["capped"]),
            "avg_shortfall": spent["shortfall"]}


def format_summary(stats: pd.Series) -> pd.Series:
    """The summary as readable text, indexed by label: percentages, dates, ratios.

    A drawdown not recovered by the end reads "not yet"; any other missing
    value (a recovery without a drawdown too) "n/a".
    """
    rows = {}
    fell = stats.get("max_drawdown", 0.0) < 0
    for name, value in stats.items():
        known = STATISTICS.get(name)
        label, kind = (known.label, known.kind) if known is not None else (str(name), "float")
        # Nothing to recover from without a drawdown.
        rows[label] = text(value, kind if fell or kind != "recovery" else "date")
    return pd.Series(rows, dtype=object, name="value")
