"""Performance statistics of a backtest, as small pure functions over pandas objects.

Every function takes plain Series/DataFrames (an equity curve, its returns, the
trade table), so each can be used on its own; ``summary`` puts them together for
a result. All values are fractions (0.05 = 5 %), never percent.

Conventions shared by the functions below:

- Returns are simple bar-to-bar returns of the equity curve.
- Annualisation uses ``periods_per_year`` of the equity index; the risk-free rate
  is 0 unless given.
- A statistic whose formula is undefined is NaN (for example the Sharpe ratio of
  a flat curve, or the win rate without trades); a ratio whose denominator is
  zero while its numerator is positive is +inf (the profit factor when every
  trade won, the Sortino ratio without a losing bar).
"""

from __future__ import annotations

import functools
import math
import re
import warnings
from typing import Any, Callable, TypeVar, cast

import numpy as np
import pandas as pd

from orvane._calendar import FREQUENCIES

__all__ = [
    "periods_per_year",
    "total_return",
    "cagr",
    "annual_volatility",
    "sharpe_ratio",
    "sortino_ratio",
    "drawdown",
    "max_drawdown",
    "calmar_ratio",
    "trade_stats",
    "turnover",
    "exposure",
    "live_equity",
    "summary",
    "format_summary",
    "LABELS",
]

_DAYS_PER_YEAR = 365.25

F = TypeVar("F", bound=Callable[..., Any])


def _quiet(func: F) -> F:
    """Extreme curves (a ruined book, overflowing prices) give inf or NaN statistics, as
    documented, never NumPy's floating-point warnings."""
    @functools.wraps(func)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        with np.errstate(all="ignore"):
            return func(*args, **kwargs)
    return cast(F, wrapper)


@_quiet
def periods_per_year(index: pd.DatetimeIndex) -> float:
    """Number of bars in a year for a DatetimeIndex.

    A frequency pandas can infer decides: business days 252, calendar days 365,
    weeks 52, months 12, quarters 4, years 1. Otherwise the median spacing of
    the dates decides: a median of one day (between 0.5 and 1.5 days) is taken
    as trading days, 252, because daily stock data skips weekends and holidays
    and then has no regular frequency; any other spacing gives
    365.25 days / median spacing. Fewer than two dates give NaN.
    """
    index = pd.DatetimeIndex(index)
    if len(index) < 2:
        return float("nan")
    freq = None
    if len(index) >= 3:
        try:
            # pandas 3 warns that this will return an offset; both forms work.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                freq = pd.infer_freq(index)
        except (TypeError, ValueError):
            freq = None
        freq = getattr(freq, "freqstr", freq)
    if freq:
        match = re.fullmatch(r"(\d*)(\w+?)(?:-\w+)?", freq)
        step, prefix = match.groups() if match else ("", "")
        if prefix in FREQUENCIES:
            return FREQUENCIES[prefix][1] / int(step or 1)
    spacing = pd.Series(index).diff().dropna().median()
    days = spacing / pd.Timedelta(days=1)
    if days <= 0 or not np.isfinite(days):
        return float("nan")
    if 0.5 <= days <= 1.5:
        return 252.0
    return _DAYS_PER_YEAR / days


@_quiet
def total_return(equity: pd.Series) -> float:
    """Last value / first value - 1; NaN for an empty curve."""
    values = equity.dropna()
    if values.empty:
        return float("nan")
    return float(values.iloc[-1] / values.iloc[0] - 1.0)


@_quiet
def cagr(equity: pd.Series) -> float:
    """Compound annual growth rate: (last / first) ** (1 / years) - 1.

    Years are calendar time between the first and the last date
    (days / 365.25), so the result does not depend on the bar frequency.
    NaN with fewer than two dates; -1 when the curve ends at or below zero.
    """
    values = equity.dropna()
    if len(values) < 2:
        return float("nan")
    years = (values.index[-1] - values.index[0]) / pd.Timedelta(days=_DAYS_PER_YEAR)
    if years <= 0:
        return float("nan")
    growth = values.iloc[-1] / values.iloc[0]
    if growth <= 0:
        return -1.0
    return float(growth ** (1.0 / years) - 1.0)


@_quiet
def annual_volatility(returns: pd.Series, periods: float) -> float:
    """Sample standard deviation of the returns (ddof=1) times sqrt(periods per year)."""
    values = returns.dropna()
    if len(values) < 2:
        return float("nan")
    return float(values.std(ddof=1) * math.sqrt(periods))


@_quiet
def sharpe_ratio(returns: pd.Series, periods: float, risk_free: float = 0.0) -> float:
    """Annualised Sharpe ratio: mean(r - rf) / std(r - rf, ddof=1) * sqrt(periods).

    ``risk_free`` is an annual rate, spread evenly over the periods. NaN when the
    excess returns do not vary (a flat curve) or there are fewer than two.
    """
    excess = returns.dropna() - risk_free / periods
    if len(excess) < 2:
        return float("nan")
    std = excess.std(ddof=1)
    if not std > 0:
        return float("nan")
    return float(excess.mean() / std * math.sqrt(periods))


@_quiet
def sortino_ratio(returns: pd.Series, periods: float, risk_free: float = 0.0) -> float:
    """Annualised Sortino ratio: mean(r - rf) / downside deviation * sqrt(periods).

    The downside deviation is sqrt(mean(min(r - rf, 0) ** 2)) over all periods
    (target 0). Without a negative excess return it is +inf for a positive
    mean, NaN otherwise.
    """
    excess = returns.dropna() - risk_free / periods
    if len(excess) < 2:
        return float("nan")
    downside = math.sqrt(float((excess.clip(upper=0.0) ** 2).mean()))
    mean = float(excess.mean())
    if downside == 0.0:
        return float("inf") if mean > 0 else float("nan")
    return mean / downside * math.sqrt(periods)


@_quiet
def drawdown(equity: pd.Series) -> pd.Series:
    """Equity / running maximum - 1: zero at every new high, negative below it."""
    return equity / equity.cummax() - 1.0


@_quiet
def max_drawdown(equity: pd.Series) -> tuple[float, pd.Timestamp, pd.Timestamp, pd.Timestamp]:
    """Deepest drawdown and its dates: (depth, peak, trough, recovery).

    depth is the minimum of ``drawdown`` (0 or negative). peak is the date of the
    high before the trough, trough the date of the lowest point, recovery the
    first date after the trough on which the curve is back at or above the
    peak's value; NaT when it never gets back there. A curve that never falls
    below an earlier high has depth 0 and NaT for all three dates.
    """
    values = equity.dropna()
    if values.empty:
        return float("nan"), pd.NaT, pd.NaT, pd.NaT
    dd = drawdown(values)
    depth = float(dd.min())
    if not depth < 0:
        return 0.0, pd.NaT, pd.NaT, pd.NaT
    trough_at = int(np.argmin(dd.to_numpy()))
    peak_at = int(np.argmax(values.to_numpy()[: trough_at + 1]))
    peak_value = values.iloc[peak_at]
    after = values.iloc[trough_at + 1:]
    recovered = after.index[after.to_numpy() >= peak_value]
    recovery = recovered[0] if len(recovered) else pd.NaT
    return depth, values.index[peak_at], values.index[trough_at], recovery


@_quiet
def calmar_ratio(cagr_value: float, max_drawdown_value: float) -> float:
    """CAGR / |max drawdown|; NaN without a drawdown."""
    if not max_drawdown_value < 0:
        return float("nan")
    return float(cagr_value / abs(max_drawdown_value))


@_quiet
def trade_stats(trades: pd.DataFrame) -> dict:
    """Statistics of the trade table (one row per trade, open ones included).

    Open trades count with their return marked at the last bar. A winner has a
    return above 0, a loser a return of 0 or below, so the win rate and the
    share of losers add up to 1. Returns are per-trade fractions and every
    trade counts equally, whatever its size:

    - win_rate = winners / trades with a known return
    - profit_factor = sum of winners' returns / |sum of losers' returns|
      (+inf when no trade lost and some won; NaN without trades)
    - avg_win, avg_loss = mean return of winners, of losers (avg_loss <= 0)
    - avg_bars_held = mean bars held
    - avg_mae_*, avg_mfe_* = mean worst (mae) and best (gmfe) excursion of
      winners and of losers, fractions of the entry value
    """
    n = len(trades)
    ret = trades["return"].astype(float) if n else pd.Series(dtype=float)
    known = ret.notna()
    win = known & (ret > 0)
    loss = known & (ret <= 0)
    gains = float(ret[win].sum())
    losses = float(-ret[loss].sum())
    if not known.any():
        profit_factor = float("nan")
    elif losses > 0:
        profit_factor = gains / losses
    else:
        profit_factor = float("inf") if gains > 0 else float("nan")

    def mean(column, mask):
        return float(trades.loc[mask, column].astype(float).mean()) if mask.any() else float("nan")

    everyone = pd.Series(True, index=trades.index)
    return {
        "trades": n,
        "win_rate": float(win.sum() / known.sum()) if known.any() else float("nan"),
        "profit_factor": profit_factor,
        "avg_win": mean("return", win),
        "avg_loss": mean("return", loss),
        "avg_bars_held": mean("bars_held", everyone) if n else float("nan"),
        "avg_mae_winners": mean("mae", win),
        "avg_mfe_winners": mean("gmfe", win),
        "avg_mae_losers": mean("mae", loss),
        "avg_mfe_losers": mean("gmfe", loss),
    }


@_quiet
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
    ordered = trades.sort_values(["ticker", "entry_date"], kind="stable")
    previous = ordered.groupby("ticker", sort=False)[["exit_date", "side"]].shift()
    continued = ((previous["exit_date"] == ordered["entry_date"])
                 & (previous["side"] == ordered["side"]))
    return float(ordered.loc[~continued, "weight"].astype(float).abs().sum() / years)


@_quiet
def exposure(trades: pd.DataFrame, index: pd.DatetimeIndex) -> float:
    """Share of the bars of ``index`` on which at least one trade is open.

    A trade is open from its entry bar up to, not including, its exit bar;
    trades without an exit date are open to the end.
    """
    n = len(index)
    if n == 0:
        return float("nan")
    if trades.empty:
        return 0.0
    start = index.searchsorted(pd.DatetimeIndex(trades["entry_date"]))
    exit_dates = pd.DatetimeIndex(trades["exit_date"])
    stop = np.where(exit_dates.isna(), n, index.searchsorted(exit_dates))
    open_count = np.zeros(n + 1, dtype=np.int64)
    np.add.at(open_count, start, 1)
    np.add.at(open_count, stop, -1)
    return float(np.count_nonzero(np.cumsum(open_count[:n]) > 0) / n)


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


@_quiet
def summary(result: Any, risk_free: float = 0.0) -> pd.Series:
    """Every statistic of a backtest result as one Series (object dtype).

    Computed on ``live_equity(result)`` and the trade table. See the functions of
    this module for each formula. The index names are the keys of ``LABELS``.
    """
    equity = live_equity(result)
    returns = equity.pct_change().iloc[1:]
    periods = periods_per_year(equity.index)
    depth, peak, trough, recovery = max_drawdown(equity)
    growth = cagr(equity)
    years = (
        (equity.index[-1] - equity.index[0]) / pd.Timedelta(days=_DAYS_PER_YEAR)
        if len(equity) > 1 else float("nan")
    )
    trades = result.trades
    values = {
        "start": equity.index[0] if len(equity) else pd.NaT,
        "end": equity.index[-1] if len(equity) else pd.NaT,
        "total_return": total_return(equity),
        "cagr": growth,
        "annual_volatility": annual_volatility(returns, periods),
        "sharpe": sharpe_ratio(returns, periods, risk_free),
        "sortino": sortino_ratio(returns, periods, risk_free),
        "max_drawdown": depth,
        "max_drawdown_peak": peak,
        "max_drawdown_trough": trough,
        "max_drawdown_recovery": recovery,
        "calmar": calmar_ratio(growth, depth),
    }
    values.update(trade_stats(trades))
    values["turnover"] = turnover(trades, years)
    values["exposure"] = exposure(trades, equity.index)
    names = list(LABELS)
    if getattr(result, "ruined", False):
        values["ruined_on"] = equity.index[-1]
    else:
        names.remove("ruined_on")
    return pd.Series(values, index=names, dtype=object, name="stats")


# name -> (label, kind); kind picks the text form in format_summary.
LABELS = {
    "start": ("Start", "date"),
    "end": ("End", "date"),
    "total_return": ("Total return", "pct"),
    "cagr": ("CAGR", "pct"),
    "annual_volatility": ("Annual volatility", "pct"),
    "sharpe": ("Sharpe ratio", "ratio"),
    "sortino": ("Sortino ratio", "ratio"),
    "max_drawdown": ("Max drawdown", "pct"),
    "max_drawdown_peak": ("Max drawdown peak", "date"),
    "max_drawdown_trough": ("Max drawdown trough", "date"),
    "max_drawdown_recovery": ("Max drawdown recovery", "recovery"),
    "calmar": ("Calmar ratio", "ratio"),
    "trades": ("Trades", "int"),
    "win_rate": ("Win rate", "pct"),
    "profit_factor": ("Profit factor", "ratio"),
    "avg_win": ("Average win", "pct"),
    "avg_loss": ("Average loss", "pct"),
    "avg_bars_held": ("Average bars held", "float"),
    "turnover": ("Turnover (per year)", "times"),
    "exposure": ("Exposure (time in market)", "pct"),
    "avg_mae_winners": ("Average MAE, winners", "pct"),
    "avg_mfe_winners": ("Average MFE, winners", "pct"),
    "avg_mae_losers": ("Average MAE, losers", "pct"),
    "avg_mfe_losers": ("Average MFE, losers", "pct"),
    # Only when it happened: the result ends on that bar.
    "ruined_on": ("Equity reached 0 on", "date"),
}


def _text(value: Any, kind: str) -> str:
    if value is None or (not isinstance(value, str) and pd.isna(value)):
        return "not yet" if kind == "recovery" else "n/a"
    if kind in ("date", "recovery"):
        return pd.Timestamp(value).strftime("%Y-%m-%d")
    if kind == "int":
        return f"{int(value):,}"
    value = float(value)
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if kind == "pct":
        return f"{value:.2%}"
    if kind == "times":
        return f"{value:.2f}x"
    if kind == "float":
        return f"{value:.1f}"
    return f"{value:.2f}"


def format_summary(stats: pd.Series) -> pd.Series:
    """The summary as readable text, indexed by label: percentages, dates, ratios.

    A drawdown not recovered by the end reads "not yet"; any other missing
    value (a recovery without a drawdown too) "n/a".
    """
    rows = {}
    fell = stats.get("max_drawdown", 0.0) < 0
    for name, value in stats.items():
        label, kind = LABELS.get(name, (str(name), "float"))
        # Nothing to recover from without a drawdown.
        rows[label] = _text(value, kind if fell or kind != "recovery" else "date")
    return pd.Series(rows, dtype=object, name="value")
