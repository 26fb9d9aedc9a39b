"""Performance statistics of a backtest, as small pure functions over pandas objects.

Every function takes plain Series/DataFrames (an equity curve, its returns, the
trade table), so each can be used on its own; ``summary`` puts them together for
a result. All values are fractions (0.05 = 5 %), never percent. ``STATISTICS``
holds one row per statistic of ``summary``: its label, report group, text form,
better side and what it needs.

Conventions shared by the functions below:

- Returns are simple bar-to-bar returns of the equity curve, one per bar after the
  first (``equity_returns``): the first bar has no bar before it, so it has no
  return, and none is invented.
- Annualisation uses ``periods_per_year`` of the equity index; the risk-free rate
  is 0 unless given.
- Relative statistics pair the strategy's and the benchmark's bar returns on the
  bars where both are known; a benchmark with no value on some bars inside its span
  (a sparser calendar) is paired on its own dates, the strategy's returns compounded
  between them and annualised by ``periods_per_year`` of those dates.
- A trade wins or loses by its money (``pnl``) where the table has it.
- A statistic whose formula is undefined is NaN (for example the Sharpe ratio of
  a flat curve, or the win rate without trades); a ratio whose denominator is
  zero while its numerator is positive is +inf (the profit factor when every
  trade won, the Sortino ratio without a losing bar).
"""

from __future__ import annotations

from orvane.stats._calendar import (PERIODS, TRAILING, calendar_returns, monthly_table,
                                    rolling_stats, trailing_returns,
                                    yearly_table)
from orvane.stats._drawdowns import (DRAWDOWN_COLUMNS, calmar_ratio, drawdown, drawdown_periods,
                                     max_drawdown)
from orvane.stats._relative import (alpha, benchmark_stats, beta, capture_ratio, correlation,
                                    information_ratio, tracking_error)
from orvane.stats._returns import (annual_volatility, bar_returns, cagr, check_rate,
                                   conditional_value_at_risk, equity_returns, kurtosis,
                                   probabilistic_sharpe_ratio, psr,
                                   periods_per_year, sharpe_ratio, skewness, sortino_ratio,
                                   total_return, value_at_risk)
from orvane.stats._summary import (RunFigures, Statistics, figures_summary, format_summary,
                                   live_equity, result_figures, run_figures, summary)
from orvane.stats._table import (BENCHMARK_NAMES, BOOK_NAMES, CARDS, LABELS, NOTEBOOK, NUMERIC,
                                 RENAMED, STATISTICS, SWEEP_COLUMNS, TABLE, Statistic, grouped,
                                 metric_direction)
from orvane.stats._trades import (NAT, TradeFigures, exposure, group_order, round_trips,
                                  time_in_market, trade_figures, trade_stats, turnover)

__all__ = [
    "metric_direction",
    "periods_per_year",
    "total_return",
    "cagr",
    "annual_volatility",
    "sharpe_ratio",
    "sortino_ratio",
    "probabilistic_sharpe_ratio",
    "drawdown",
    "max_drawdown",
    "drawdown_periods",
    "calmar_ratio",
    "skewness",
    "kurtosis",
    "value_at_risk",
    "conditional_value_at_risk",
    "calendar_returns",
    "monthly_table",
    "yearly_table",
    "rolling_stats",
    "trailing_returns",
    "bar_returns",
    "equity_returns",
    "beta",
    "alpha",
    "correlation",
    "tracking_error",
    "information_ratio",
    "capture_ratio",
    "benchmark_stats",
    "check_rate",
    "trade_stats",
    "turnover",
    "round_trips",
    "time_in_market",
    "exposure",
    "live_equity",
    "summary",
    "Statistics",
    "format_summary",
    "STATISTICS",
    "Statistic",
    "LABELS",
    "BENCHMARK_NAMES",
    "BOOK_NAMES",
]

