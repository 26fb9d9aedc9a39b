"""Charts of a backtest result as matplotlib Figures.

Figures are built from ``matplotlib.figure.Figure`` directly, not through pyplot:
no GUI backend is needed (headless servers, CI), nothing is kept in pyplot's
global figure list, and Jupyter still shows a returned Figure inline.
matplotlib is an optional extra and is imported only when a chart is drawn.
"""

from __future__ import annotations

import math
import sys
import warnings
from typing import Any, Dict, Optional, Tuple

import numpy as np
import pandas as pd

from orvane import _benchmark
from orvane._checks import Bounds, check_flag, check_real, check_text, shown
from orvane._common import money
from orvane.stats import (calendar_returns, conditional_value_at_risk, drawdown, drawdown_periods,
                          equity_returns, live_equity, periods_per_year, rolling_stats,
                          sharpe_ratio, value_at_risk)

__all__ = ["plot_equity", "plot_trades", "plot_rolling", "plot_exposure", "plot_distribution",
           "plot_financing", "plot_capacity", "plot_reconciliation", "plot_reconciliation_gap",
           "resize", "percent_axis"]

WIN_COLOR = "#1a7f4b"
LOSS_COLOR = "#c0392b"
LINE_COLOR = "#1f4e79"
BENCHMARK_COLOR = "#8a94a0"
# Drawdowns shaded on the equity chart: the report's table of the worst lists as many.
DRAWDOWNS_SHADED = 5
# Inches between side-by-side panels.
PANEL_GAP = 0.4
# Tick labels' size in points, and the width of one of their digits in points.
TICK_SIZE = 9
CHAR_ROOM = 0.65 * TICK_SIZE


def figure_kit():
    """matplotlib's Figure and PercentFormatter, or an ImportError naming the extra."""
    try:
        import matplotlib  # noqa: F401
        from matplotlib.figure import Figure
        from matplotlib.ticker import PercentFormatter
    except ImportError as exc:
        raise ImportError(
            "charts and reports need matplotlib, an optional extra: pip install 'orvane[plot]'"
        ) from exc
    return Figure, PercentFormatter


def _margins(fig: Any, *, top: float = 0.2, bottom: float = 0.4, hspace: float = 0.12,
             left: float = 0.8) -> None:
    """Fixed margins, in inches: a layout engine would cost a third of each chart's time,
    and the tick labels here (dates, short numbers, percentages) have known sizes."""
    # Kept on the figure so that ``resize`` can redraw it at another size.
    fig._orvane_margins = {"top": top, "bottom": bottom, "hspace": hspace, "left": left}
    width, height = fig.get_size_inches()
    right = 0.2
    if width > left + right + 1.0 and height > top + bottom + 1.0:
        # Side-by-side panels (never more than two) keep a gap in inches too: the end
        # labels of neighbouring x axes must not run into each other on a narrow drawing.
        inner = width - left - right
        fig.subplots_adjust(left=left / width, right=1 - right / width, top=1 - top / height,
                            bottom=bottom / height, hspace=hspace,
                            wspace=2 * PANEL_GAP / (inner - PANEL_GAP))


def resize(fig: Any, figsize: Tuple[float, float]) -> Any:
    """``fig``, one of this module's charts, set to ``figsize`` inches with its margins kept
    in inches: the text keeps its size, so a narrow copy for phones stays readable, at the
    cost of one more drawing instead of a second chart built from the data."""
    fig.set_size_inches(*_figsize(figsize, fig.dpi))
    _margins(fig, **getattr(fig, "_orvane_margins", {}))
    return fig


def _figsize(value: Any, dpi: Optional[float] = None) -> Tuple[float, float]:
    """A figure's (width, height) in inches: two positive finite numbers, each at least a
    pixel at ``dpi`` (the figures' default when None), or nothing could be drawn or saved."""
    if not isinstance(value, (tuple, list)) or len(value) != 2:
        raise TypeError(f"figsize must be (width, height) in inches, got {shown(value)}")
    width, height = (check_real(v, "figsize", Bounds(0.0, 1000.0, low_open=True),
                                what="a size in inches") for v in value)
    if dpi is None:
        # The figures' default, read only where matplotlib is loaded already: the other
        # arguments are checked before the extra is needed.
        loaded = sys.modules.get("matplotlib")
        dpi = float(loaded.rcParams["figure.dpi"]) if loaded is not None else 100.0
    if min(width, height) * dpi < 1.0:
        raise ValueError(f"figsize must be at least one pixel ({1.0 / dpi:g} inches at {dpi:g} "
                         f"dpi), got {min(width, height)!r}")
    return width, height


def _x(dates: Any) -> Any:
    """Dates as matplotlib draws them fastest: wall-clock datetime64 (a DatetimeIndex would be
    turned into one Python object per bar); a single date as a naive Timestamp."""
    if isinstance(dates, pd.DatetimeIndex):
        return (dates.tz_localize(None) if dates.tz is not None else dates).to_numpy()
    stamp = pd.Timestamp(dates)
    return stamp.tz_localize(None) if stamp.tz is not None else stamp


def _WideLabels() -> Any:
    """A tick locator for percents along an x axis: labels such as "-0.75%" are wider than
    the room matplotlib counts per tick, so two thirds as many ticks, in steps of 1, 2 or
    5 (whose labels need fewer decimals than 2.5's)."""
    from matplotlib.ticker import MaxNLocator

    class WideLabels(MaxNLocator):
        def __call__(self) -> Any:
            axis: Any = self.axis
            self.set_params(nbins=max(3, min(9, axis.get_tick_space() * 2 // 3)))
            return super().__call__()

    return WideLabels(steps=[1, 2, 5, 10])


def percent_axis(axis: Any) -> None:
    """Percent tick labels with as many decimals as the tick step needs (0.5 % steps read
    "3.5%", whole steps "3%"), so no two ticks read alike."""
    from matplotlib.ticker import Formatter

    class Percent(Formatter):
        decimals = 0

        def format_ticks(self, values: Any) -> Any:
            # The fewest decimals that write every tick exactly: a 0.25 % step reads
            # "0.75%", never "0.8%" beside a "0.5%".
            shown = np.asarray(values, dtype=float) * 100
            shown = shown[np.isfinite(shown)]
            for self.decimals in range(7):
                if np.all(np.abs(np.round(shown, self.decimals) - shown)
                          <= 1e-9 * np.maximum(1.0, np.abs(shown))):
                    break
            return [self(v) for v in values]

        def __call__(self, x: float, pos: Optional[int] = None) -> str:
            # + 0.0: a tick at -0.0 reads "0%".
            return f"{round(x * 100, self.decimals) + 0.0:,.{self.decimals}f}%"

    axis.set_major_formatter(Percent())
    if axis.axis_name == "x":
        axis.set_major_locator(_WideLabels())


def money_axis(axis: Any) -> None:
    """Tick labels as sums of money read in a label: "250k", "1.5M"."""
    from matplotlib.ticker import FuncFormatter

    axis.set_major_formatter(FuncFormatter(lambda x, _: money(x)))


def house_style(ax):
    """The grid, spines and ticks every chart of the package shares."""
    ax.grid(True, color="#e3e6ea", linewidth=0.8)
    ax.set_axisbelow(True)
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    for side in ("left", "bottom"):
        ax.spines[side].set_color("#9aa3ad")
    ax.tick_params(colors="#39424e", labelsize=TICK_SIZE)


def date_axis(axis: Any) -> None:
    """Date ticks as many as fit the axis's drawn length, counted at each drawing: a figure
    resized for a phone shows every other year rather than years run together."""
    from matplotlib import dates

    # Characters of a label by the unit ticked (the default formats: "2014", "2014-05",
    # "2014-05-15", "09:30", ...).
    chars = {dates.YEARLY: 4, dates.MONTHLY: 7, dates.DAILY: 10, dates.HOURLY: 5,
             dates.MINUTELY: 5, dates.SECONDLY: 8, dates.MICROSECONDLY: 12}

    class Fitting(dates.AutoDateLocator):
        maxticks: Dict[int, int]

        def __init__(self) -> None:
            super().__init__()
            self.most = dict(self.maxticks)

        def __call__(self) -> Any:
            axis: Any = self.axis
            points = axis.axes.bbox.width / axis.figure.dpi * 72
            self.maxticks = {freq: max(2, min(most, int(points // (chars.get(freq, 12) * CHAR_ROOM
                                                                     + TICK_SIZE))))
                             for freq, most in self.most.items()}
            # Down to one unit, the coarsest unit the span holds that many of: a few months
            # of a narrow axis in months, not in half-months that would not fit.
            low, high = sorted(axis.get_view_interval())
            for self.minticks in (5, 3, 1):
                with warnings.catch_warnings(record=True) as crowded:
                    warnings.simplefilter("always")
                    ticks = super().__call__()
                # Half-months are exempt from matplotlib's own check: count them.
                shown = np.count_nonzero((np.asarray(ticks) >= low) & (np.asarray(ticks) <= high))
                if not crowded and shown <= self.maxticks[self._freq]:
                    return ticks
            # No unit fits that few (a span of days): matplotlib's own count.
            self.minticks, self.maxticks = 5, dict(self.most)
            return super().__call__()

    locator = Fitting()
    axis.set_major_locator(locator)
    axis.set_major_formatter(dates.AutoDateFormatter(locator))


def _finish(fig: Any, axes: Any, dates: pd.Index) -> Any:
    """House style on every axis, and the shared date axis spanning the data."""
    for ax in axes:
        house_style(ax)
    date_axis(axes[-1].xaxis)
    if len(dates) > 1:
        axes[-1].set_xlim(_x(dates[0]), _x(dates[-1]))
    return fig


def plot_equity(result: Any, *, title: Optional[str] = "Equity", log: bool = False,
                figsize: Tuple[float, float] = (10.0, 6.0),
                benchmark: _benchmark.Benchmark = None) -> Any:
    """Equity curve (top) and drawdown (bottom) on a shared date axis.

    The five deepest drawdowns are shaded from peak to recovery (or to the end when not
    recovered), the deepest darkest and labelled. ``log=True`` draws the equity on a log scale.
    With a benchmark (the run's, or ``benchmark`` as ``result.stats`` takes it) the
    benchmark is drawn in grey and a middle panel shows the excess return,
    equity / benchmark - 1 (both 1.0 on the benchmark's first bar).  ``title`` is drawn
    as written (a ``$`` is a dollar sign, not maths); None draws none.
    Returns the matplotlib Figure; save it with ``fig.savefig(path)``.
    """
    # The arguments first: a mistake is named whether or not matplotlib is installed.
    title = check_text(title, "title", optional=True)
    figsize, log = _figsize(figsize), check_flag(log, "log")
    Figure, _ = figure_kit()
    equity = live_equity(result)
    curve = _benchmark.resolve(result, benchmark)
    dd = drawdown(equity)
    fig = Figure(figsize=figsize)
    _margins(fig, top=0.4 if title else 0.15, bottom=0.35)
    if curve is None:
        top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    else:
        top, middle, bottom = fig.subplots(3, 1, sharex=True,
                                           gridspec_kw={"height_ratios": [3, 1.1, 1]})
    # A single bar would draw no line: show it as a dot.
    top.plot(_x(equity.index), equity.to_numpy(), color=LINE_COLOR, linewidth=1.3,
             marker="o" if len(equity) == 1 else None, label="strategy")
    top.axhline(1.0, color="#9aa3ad", linewidth=0.8, linestyle="--")
    if curve is not None:
        # On the benchmark's own dates: a sparser calendar draws straight between them.
        curve = curve.reindex(equity.index).dropna()
        first = curve.first_valid_index()
        # On the strategy's scale: both curves meet where the benchmark begins.
        shown = curve * equity.loc[first] if first is not None else curve
        top.plot(_x(shown.index), shown.to_numpy(), color=BENCHMARK_COLOR, linewidth=1.0,
                 label="benchmark")
        top.legend(loc="upper left", fontsize=8, frameon=False)
        with np.errstate(all="ignore"):
            excess = equity.reindex(shown.index) / shown - 1.0
        middle.fill_between(_x(excess.index), excess.to_numpy(), 0.0, color=LINE_COLOR, alpha=0.15,
                            linewidth=0)
        middle.plot(_x(excess.index), excess.to_numpy(), color=LINE_COLOR, linewidth=0.9)
        middle.axhline(0.0, color="#9aa3ad", linewidth=0.8)
        percent_axis(middle.yaxis)
        middle.set_ylabel("Excess", fontsize=9)
        house_style(middle)
    if log:
        top.set_yscale("log")
    top.set_ylabel("Value (start = 1)", fontsize=9)
    if title:
        # The user's text as written: a "$" is a dollar, not the start of a formula.
        top.set_title(title, loc="left", fontsize=12, fontweight="bold", color="#1c2630",
                      parse_math=False, usetex=False)
    worst = drawdown_periods(equity, top=DRAWDOWNS_SHADED)
    # Every one of the worst drawdowns, peak to recovery (or the end), the deepest darkest.
    for k, row in enumerate(worst.itertuples(index=False)):
        end = row.recovery if not pd.isna(row.recovery) else equity.index[-1]
        for ax in (top, bottom):
            ax.axvspan(_x(row.peak), _x(end), color=LOSS_COLOR, alpha=0.09 if k == 0 else 0.045,
                       linewidth=0)
    if len(worst):
        depth, trough = float(worst["depth"].iloc[0]), worst["trough"].iloc[0]
        # Label on the side of the trough that has room.
        right_half = trough > equity.index[len(equity) // 2]
        bottom.annotate(f"max {depth:.1%}", (_x(trough), depth), xytext=(-6 if right_half else 6, 0),
                        textcoords="offset points", fontsize=8, color=LOSS_COLOR,
                        ha="right" if right_half else "left", va="center")
        bottom.set_ylim(depth * 1.15, -depth * 0.05)
    bottom.fill_between(_x(dd.index), dd.to_numpy(), 0.0, color=LOSS_COLOR, alpha=0.35, linewidth=0)
    bottom.plot(_x(dd.index), dd.to_numpy(), color=LOSS_COLOR, linewidth=0.8)
    percent_axis(bottom.yaxis)
    bottom.set_ylabel("Drawdown", fontsize=9)
    return _finish(fig, (top, bottom), equity.index)


def plot_rolling(result: Any, *, window: int = 126, risk_free: float = 0.0,
                 figsize: Tuple[float, float] = (10.0, 4.0),
                 benchmark: _benchmark.Benchmark = None) -> Any:
    """Trailing ``window``-bar Sharpe and Sortino ratios (top, with the whole run's Sharpe
    as a dashed line), annualised volatility, and with a benchmark (the run's, or
    ``benchmark`` as ``result.stats`` takes it) the rolling beta against it (bottom), as
    ``result.rolling`` gives them. Returns the Figure."""
    figsize = _figsize(figsize)
    Figure, _ = figure_kit()
    equity = live_equity(result)
    returns = equity_returns(equity)
    periods = periods_per_year(equity.index)
    curve = _benchmark.resolve(result, benchmark)
    theirs = None if curve is None else equity_returns(curve.ffill()).reindex(returns.index)
    table = rolling_stats(returns, window, periods, risk_free, theirs)
    fig = Figure(figsize=figsize)
    _margins(fig, top=0.3, bottom=0.35)
    panels = fig.subplots(3 if theirs is not None else 2, 1, sharex=True)
    top, middle = panels[0], panels[1]
    sortino = table["sortino"].to_numpy()
    # A window without a loss has an infinite Sortino ratio: left out of the line.
    top.plot(_x(table.index), np.where(np.isfinite(sortino), sortino, np.nan), color="#2e8b8b",
             linewidth=0.9, label="Sortino")
    top.plot(_x(table.index), table["sharpe"].to_numpy(), color=LINE_COLOR, linewidth=1.0,
             label="Sharpe")
    top.axhline(0.0, color="#9aa3ad", linewidth=0.8)
    whole = sharpe_ratio(returns, periods, risk_free)
    if math.isfinite(whole):
        top.axhline(whole, color=LINE_COLOR, linewidth=0.8, linestyle="--")
    top.set_ylabel(f"{window} bars", fontsize=9)
    top.legend(loc="lower left", bbox_to_anchor=(0.0, 0.98), ncol=2, fontsize=8, frameon=False,
               borderaxespad=0.0)
    middle.plot(_x(table.index), table["volatility"].to_numpy(), color="#7a4e9c", linewidth=1.0)
    percent_axis(middle.yaxis)
    middle.set_ylabel("Volatility", fontsize=9)
    if theirs is not None:
        beta = panels[2]
        beta.plot(_x(table.index), table["beta"].to_numpy(), color=BENCHMARK_COLOR, linewidth=1.0)
        beta.axhline(0.0, color="#9aa3ad", linewidth=0.8)
        beta.set_ylabel("Beta", fontsize=9)
    return _finish(fig, panels, table.index)


def plot_exposure(result: Any, *, figsize: Tuple[float, float] = (10.0, 3.6)) -> Any:
    """Exposure over time from ``result.exposure``: long (up) and short (down) as shaded
    areas, gross and net as lines, fractions of equity. Returns the Figure."""
    figsize = _figsize(figsize)
    Figure, _ = figure_kit()
    book = result.exposure
    fig = Figure(figsize=figsize)
    _margins(fig, top=0.3, bottom=0.35)
    ax = fig.subplots()
    index = book.index
    dates = _x(index)
    ax.fill_between(dates, book["long"].to_numpy(), 0.0, color=WIN_COLOR, alpha=0.25,
                    linewidth=0, label="long")
    ax.fill_between(dates, book["short"].to_numpy(), 0.0, color=LOSS_COLOR, alpha=0.25,
                    linewidth=0, label="short")
    ax.plot(dates, book["gross"].to_numpy(), color=LINE_COLOR, linewidth=1.0, label="gross")
    ax.plot(dates, book["net"].to_numpy(), color="#7a4e9c", linewidth=1.0, label="net")
    return _fractions_over_time(fig, ax, index, "Of equity", 4)


def _fractions_over_time(fig: Any, ax: Any, index: pd.Index, ylabel: str, ncol: int) -> Any:
    """The finish of a chart of fractions over the run's dates: a zero line, percent
    ticks, the legend above the axes (inside, it would sit on the lines)."""
    ax.axhline(0.0, color="#9aa3ad", linewidth=0.8)
    percent_axis(ax.yaxis)
    ax.set_ylabel(ylabel, fontsize=9)
    ax.legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), fontsize=8, ncol=ncol, frameon=False,
              borderaxespad=0.0)
    house_style(ax)
    date_axis(ax.xaxis)
    if len(index) > 1:
        ax.set_xlim(_x(index[0]), _x(index[-1]))
    return fig


# The financing flows as the chart draws them: money into the book, signed.
FLOW_COLORS = (("interest", "interest", LINE_COLOR), ("borrow", "borrow fees", LOSS_COLOR),
               ("received", "dividends received", WIN_COLOR),
               ("paid", "dividends paid", "#d9a441"))


def plot_financing(result: Any, *, figsize: Tuple[float, float] = (10.0, 3.4)) -> Any:
    """Financing over time from ``result.cash_flows``: the cumulative interest, borrow
    fees, dividends received by longs and paid by shorts, each signed as money into the
    book, and their net, in units of the starting capital (the equity's scale).  Returns
    the Figure."""
    figsize = _figsize(figsize)
    Figure, _ = figure_kit()
    flows = result.cash_flows
    index = flows.index
    dates = _x(index)
    fig = Figure(figsize=figsize)
    _margins(fig, top=0.5, bottom=0.35)
    ax = fig.subplots()
    shorts = flows["dividends_paid"].to_numpy()
    series = {"interest": flows["interest"].to_numpy(), "borrow": flows["borrow"].to_numpy(),
              "received": flows["dividends"].to_numpy() - shorts, "paid": shorts}
    for key, label, color in FLOW_COLORS:
        ax.plot(dates, np.cumsum(np.nan_to_num(series[key])), color=color, linewidth=1.0,
                label=label)
    ax.plot(dates, np.cumsum(np.nan_to_num(flows["total"].to_numpy())), color="#1c2630",
            linewidth=1.6, label="net")
    return _fractions_over_time(fig, ax, index, "Of capital", 3)


# Costs by kind on the capacity chart, in the order they stack.
COST_COLORS = (("fees and tax", "#9aa3ad"), ("slippage_paid", "#d9a441"),
               ("spread_paid", "#7a4e9c"), ("impact_paid", LOSS_COLOR))


def plot_capacity(capacity: Any, *, title: Optional[str] = "Capacity",
                  figsize: Tuple[float, float] = (8.0, 5.0)) -> Any:
    """The capacity curve of ``orvane.capacity``: net CAGR against capital (log scale) with
    the capitals at which it halves and reaches 0 marked, over the costs paid by kind
    (fractions of the starting capital, stacked).  Returns the Figure."""
    figsize = _figsize(figsize)
    title = check_text(title, "title", optional=True)
    Figure, _ = figure_kit()
    table = capacity.table
    capital = table.index.to_numpy(dtype=float)
    fig = Figure(figsize=figsize)
    _margins(fig, top=0.75 if title else 0.45, bottom=0.45, hspace=0.45)
    top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 2]})
    cagr = table["cagr"].to_numpy(dtype=float)
    top.plot(capital, cagr, color=LINE_COLOR, linewidth=1.4, marker="o", markersize=3.5,
             label="net CAGR")
    top.axhline(0.0, color="#9aa3ad", linewidth=0.8)
    for value, words, color in ((capacity.halves_at, "halves", "#d9a441"),
                                (capacity.zero_at, "0", LOSS_COLOR)):
        if value is not None:
            top.axvline(value, color=color, linewidth=1.0, linestyle="--",
                        label=f"{words} at {money(value)}")
    top.set_xscale("log")
    percent_axis(top.yaxis)
    top.set_ylabel("Net CAGR", fontsize=9)
    top.legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), fontsize=8, ncol=2, frameon=False,
               borderaxespad=0.0)
    paid = {"fees and tax": table["total_costs"].to_numpy(dtype=float)}
    for name, _ in COST_COLORS[1:]:
        if name in table:
            values = np.nan_to_num(table[name].to_numpy(dtype=float))
            paid[name] = values
            paid["fees and tax"] = paid["fees and tax"] - values
    base = np.zeros(len(capital))
    for name, color in COST_COLORS:
        if name in paid:
            values = np.nan_to_num(paid[name])
            label = name.replace("_paid", "").replace(" and ", " + ")
            bottom.fill_between(capital, base, base + values, color=color, alpha=0.7,
                                linewidth=0, label=label)
            base = base + values
    bottom.set_xscale("log")
    money_axis(bottom.xaxis)
    percent_axis(bottom.yaxis)
    bottom.set_ylabel("Costs paid", fontsize=9)
    bottom.set_xlabel("Capital", fontsize=9)
    # Two columns: four entries in a row would run off a phone's copy.
    bottom.legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), fontsize=8, ncol=2,
                  frameon=False, borderaxespad=0.0)
    for ax in (top, bottom):
        house_style(ax)
    if len(capital) > 1:
        bottom.set_xlim(capital[0], capital[-1])
    if title:
        top.set_title(title, loc="left", fontsize=12, fontweight="bold", color="#1c2630",
                      pad=22)
    return fig


def plot_distribution(result: Any, *, figsize: Tuple[float, float] = (10.0, 3.4)) -> Any:
    """Histograms of the bar returns (left, with the 95 % VaR and CVaR as lines) and of the
    monthly returns (right), each with the normal density of the same mean and standard
    deviation. Returns the Figure."""
    figsize = _figsize(figsize)
    Figure, _ = figure_kit()
    returns = equity_returns(live_equity(result)).dropna()
    monthly = calendar_returns(returns, "month").dropna()
    fig = Figure(figsize=figsize)
    _margins(fig, top=0.3, bottom=0.45)
    axes = fig.subplots(1, 2)
    for ax, values, label in ((axes[0], returns, "Bar returns"), (axes[1], monthly, "Monthly returns")):
        house_style(ax)
        ax.set_xlabel(label, fontsize=9)
        percent_axis(ax.xaxis)
        ax.set_yticks([])
        x = values.to_numpy(dtype=float)
        if len(x) < 2:
            ax.text(0.5, 0.5, "too few returns", transform=ax.transAxes, ha="center",
                    va="center", color="#6b7580")
            continue
        ax.hist(x, bins=min(60, max(8, len(x) // 8)), density=True, color=LINE_COLOR, alpha=0.55,
                linewidth=0)
        mean, std = float(x.mean()), float(x.std(ddof=1))
        if std > 0:
            grid = np.linspace(x.min(), x.max(), 200)
            density = np.exp(-0.5 * ((grid - mean) / std) ** 2) / (std * math.sqrt(2 * math.pi))
            ax.plot(grid, density, color="#39424e", linewidth=1.0, label="normal")
    var, cvar = value_at_risk(returns), conditional_value_at_risk(returns)
    if math.isfinite(var) and len(returns) >= 2:
        axes[0].axvline(var, color=LOSS_COLOR, linewidth=1.0, label=f"VaR {var:.2%}")
        axes[0].axvline(cvar, color=LOSS_COLOR, linewidth=1.0, linestyle="--",
                        label=f"CVaR {cvar:.2%}")
        # Three short entries fit above the left panel even on a phone's drawing.
        axes[0].legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), ncol=3, fontsize=8,
                       frameon=False, borderaxespad=0.0, handlelength=1.2, columnspacing=0.8)
    return fig


def plot_trades(result: Any, *, title: Optional[str] = "Trade excursions",
                figsize: Tuple[float, float] = (10.0, 4.5)) -> Any:
    """Excursions against the trade's return: MAE (left) and MFE (right).

    One dot per trade, green for winners (return > 0) and red for the others.
    On the right the dashed diagonal is return = MFE: a dot far below it gave
    back most of its best gain before the exit. ``title`` is drawn as written; None
    draws none. Returns the matplotlib Figure.
    """
    title = check_text(title, "title", optional=True)
    figsize = _figsize(figsize)
    Figure, _ = figure_kit()
    trades = result.trades
    fig = Figure(figsize=figsize)
    _margins(fig, top=0.45 if title else 0.15, bottom=0.55)
    axes = fig.subplots(1, 2, sharey=True)
    ret = trades["return"].astype(float).to_numpy() if len(trades) else np.empty(0)
    panels = (("mae", "MAE: worst excursion"), ("gmfe", "MFE: best excursion"))
    for ax, (column, label) in zip(axes, panels):
        house_style(ax)
        ax.axhline(0.0, color="#9aa3ad", linewidth=0.8)
        ax.axvline(0.0, color="#9aa3ad", linewidth=0.8)
        ax.set_xlabel(label, fontsize=9)
        percent_axis(ax.xaxis)
        if not len(trades):
            ax.text(0.5, 0.5, "no trades", transform=ax.transAxes, ha="center",
                    va="center", color="#6b7580")
            continue
        x = trades[column].astype(float).to_numpy()
        # One marker line per colour: thousands of markers draw far faster than a
        # scatter's per-point collection, and look the same.
        for won, color in ((False, LOSS_COLOR), (True, WIN_COLOR)):
            pick = (ret > 0) == won
            ax.plot(x[pick], ret[pick], linestyle="none", marker="o", markersize=3.2,
                    markeredgewidth=0, color=color, alpha=0.55)
        if column == "gmfe":
            finite = np.concatenate([x[np.isfinite(x)], ret[np.isfinite(ret)]])
            if finite.size:
                lo, hi = float(finite.min()), float(finite.max())
                ax.plot([lo, hi], [lo, hi], color="#6b7580", linewidth=0.8, linestyle="--")
    axes[0].set_ylabel("Trade return", fontsize=9)
    percent_axis(axes[0].yaxis)
    if title:
        fig.suptitle(title, x=0.01, ha="left", fontsize=12, fontweight="bold", color="#1c2630",
                     parse_math=False, usetex=False)
    return fig


def _money_label(value: float, signed: bool = False) -> str:
    """Money on a bar: "+1.2k", "-350"; float dust below a cent reads 0."""
    if abs(value) < 0.005:
        return "0"
    return ("+" if signed and value > 0 else "") + money(value)


def plot_reconciliation(rec: Any, *, title: Optional[str] = "Live against backtest",
                        figsize: Tuple[float, float] = (8.0, 4.5)) -> Any:
    """A waterfall of ``orvane.reconcile``'s result: the backtest's P&L, each cause floating
    from where the one before ended (green a gain, red a loss), and the live P&L, each
    labelled in money.  One row per bar, so the causes' names stay readable on a phone's
    copy.  Returns the Figure."""
    title = check_text(title, "title", optional=True)
    figsize = _figsize(figsize)
    Figure, _ = figure_kit()
    totals = rec.totals
    values = totals.to_numpy(dtype=float)
    ends = rec.backtest_pnl + np.cumsum(values)
    names = ["backtest P&L", *(str(c) for c in totals.index), "live P&L"]
    lefts = np.concatenate([[0.0], ends - values, [0.0]])
    widths = np.concatenate([[rec.backtest_pnl], values, [rec.live_pnl]])
    colors = [LINE_COLOR, *(WIN_COLOR if v > 0 else LOSS_COLOR for v in values), LINE_COLOR]
    fig = Figure(figsize=figsize)
    # Room for the longest row name at the tick labels' size.
    _margins(fig, top=0.4 if title else 0.15, bottom=0.35,
             left=max(len(n) for n in names) * CHAR_ROOM / 72 + 0.3)
    ax = fig.subplots()
    rows = np.arange(len(names))
    ax.barh(rows, widths, left=lefts, height=0.62, color=colors)
    # Dotted steps from each bar's end to where the next begins.
    for k, x in enumerate(np.concatenate([[rec.backtest_pnl], ends])):
        ax.plot([x, x], [k + 0.31, k + 0.69], color="#9aa3ad", linewidth=0.8, linestyle=":")
    for k, (left, width) in enumerate(zip(lefts, widths)):
        end_row = k in (0, len(names) - 1)
        ax.annotate(_money_label(width, signed=not end_row), (max(left, left + width), k),
                    xytext=(4, 0), textcoords="offset points", ha="left", va="center",
                    fontsize=8, fontweight="bold" if end_row else "normal",
                    color="#1c2630" if end_row or abs(width) < 0.005 else colors[k])
    reach = np.concatenate([[0.0], lefts, lefts + widths])
    low, high = float(reach.min()), float(reach.max())
    span = high - low or 1.0
    # The labels stand right of the bars: a quarter of the span keeps them inside.
    ax.set_xlim(low - 0.03 * span, high + 0.25 * span)
    ax.axvline(0.0, color="#9aa3ad", linewidth=0.8)
    ax.set_yticks(rows, names)
    ax.set_ylim(len(names) - 0.5, -0.5)
    money_axis(ax.xaxis)
    ax.xaxis.set_major_locator(_WideLabels())
    house_style(ax)
    ax.grid(False, axis="y")
    ax.tick_params(axis="y", length=0)
    if title:
        ax.set_title(title, loc="left", fontsize=12, fontweight="bold", color="#1c2630",
                     parse_math=False, usetex=False)
    return fig


def plot_reconciliation_gap(rec: Any, *, title: Optional[str] = None,
                            figsize: Tuple[float, float] = (8.0, 3.4)) -> Any:
    """The gap between live and backtest by rebalance (``rec.rebalances``): each
    rebalance's trade causes as a bar over its segment, green or red, and their running
    sum as a step.  Carry is not made trade by trade and is left out.  Returns the Figure."""
    from matplotlib.dates import date2num

    title = check_text(title, "title", optional=True)
    figsize = _figsize(figsize)
    Figure, _ = figure_kit()
    table = rec.rebalances
    fig = Figure(figsize=figsize)
    _margins(fig, top=0.55 if title else 0.3, bottom=0.35)
    ax = fig.subplots()
    house_style(ax)
    money_axis(ax.yaxis)
    ax.axhline(0.0, color="#9aa3ad", linewidth=0.8)
    ax.set_ylabel("Gap", fontsize=9)
    start, end = (float(date2num(_x(d))) for d in (rec.start, rec.end))
    if len(table):
        when = date2num(_x(pd.DatetimeIndex(table.index)))
        # Each rebalance owns the bars up to the next one (the last, up to the end).
        edges = np.append(when, max(end, when[-1]))
        segment = np.diff(edges)
        segment = np.where(segment > 0, segment, segment[segment > 0].min(initial=1.0))
        each = table["total"].to_numpy(dtype=float)
        ax.bar(when + segment * 0.2, each, width=segment * 0.6, align="edge", linewidth=0,
               color=[WIN_COLOR if v > 0 else LOSS_COLOR for v in each], alpha=0.55)
        running = table["cumulative"].to_numpy(dtype=float)
        line = ax.step(np.concatenate([[start], edges]),
                       np.concatenate([[0.0], running, running[-1:]]), where="post",
                       color=LINE_COLOR, linewidth=1.4)[0]
        # The bars' two colours each get an entry: one labelled bar would show one colour.
        from matplotlib.patches import Patch

        keys = [line, *(Patch(color=c, alpha=0.55) for c in (WIN_COLOR, LOSS_COLOR))]
        ax.legend(keys, ["running sum", "a rebalance's gain", "loss"], loc="lower left",
                  bbox_to_anchor=(0.0, 1.0), ncol=3, fontsize=8, frameon=False,
                  borderaxespad=0.0, handlelength=1.4, columnspacing=1.0)
    else:
        ax.text(0.5, 0.5, "no trades", transform=ax.transAxes, ha="center", va="center",
                color="#6b7580")
    date_axis(ax.xaxis)
    if end > start:
        ax.set_xlim(start, end)
    if title:
        ax.set_title(title, loc="left", fontsize=12, fontweight="bold", color="#1c2630",
                     parse_math=False, usetex=False, pad=22)
    return fig
