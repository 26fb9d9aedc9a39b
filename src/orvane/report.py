"""One self-contained HTML report of a backtest result.

Everything is inside the file: CSS inline, charts as base64 PNG, the monthly
heat map as a coloured table. It opens offline and can be mailed as it is. The
layout is fluid: cards and statistic groups flow into as many columns as fit,
charts scale to the width, and only inherently wide tables (the heat map, the
trades, drawdowns and actions) scroll sideways inside their own box, so the page
itself never does, down to phone widths.
"""

from __future__ import annotations

import html
import os
import pathlib
from datetime import datetime, timezone
from typing import Optional, Any, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from orvane import _benchmark, _params, plotting
from orvane._records import action_tag, ordered_actions, to_act_on
from orvane._checks import Bounds, check_flag, check_text, check_whole
from orvane._common import money
from orvane._html import CSS, heat_color, png, write_html
from orvane.stats._table import text
from orvane.stats import (CARDS, NOTEBOOK, STATISTICS, check_rate, drawdown_periods,
                          equity_returns, format_summary, grouped, live_equity, monthly_table,
                          summary, trailing_returns, yearly_table)

__all__ = ["REPORT_NAME", "write_report", "render_report", "headline_html"]

# The file a report gets inside a folder given as its path.
REPORT_NAME = "orvane-report.html"

MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
# An equity curve spanning more than this factor is drawn on a log scale: on a linear one
# the early years flatten into a line.
LOG_SPAN = 10.0
DRAWDOWNS_SHOWN = 5
ROLLING_WINDOW = 126
def _num_class(value: Any) -> str:
    if isinstance(value, (int, float, np.number)) and np.isfinite(value) and value != 0:
        return "pos" if value > 0 else "neg"
    return ""


def _pct(value: Any, digits: int = 2) -> str:
    if pd.isna(value):
        return ""
    if not np.isfinite(value) or abs(value) >= 1e4:
        return text(value, "pct")  # beyond a million percent, as the statistics read
    # Rounding first, then + 0.0, keeps a tiny loss from reading "-0.0%".
    return f"{round(value, digits + 2) + 0.0:,.{digits}%}"


def _signed(value: Any, digits: int = 2) -> str:
    """A signed percentage: "+1.20%", "-0.40%", and "+0%" for what rounds to zero."""
    if pd.isna(value):
        return ""
    return f"{round(float(value), digits + 2) + 0.0:+,.{digits}%}"


def _day(value: Any) -> str:
    return "" if pd.isna(value) else pd.Timestamp(value).strftime("%Y-%m-%d")


def _scroll(table: str) -> str:
    """A table too wide for a phone scrolls inside its own box, never the page."""
    return f'<div class="scroll">{table}</div>'


def _table(frame: pd.DataFrame, formats: dict, left: tuple = (), signed: tuple = ("return",),
           wrap: tuple = (), key: str = "") -> str:
    """HTML table; ``formats`` maps column -> (header, formatter), ``left`` aligns text
    columns, ``signed`` colours by sign, ``wrap`` lets long text break; ``key`` names the
    column a reader looks for first, which a phone must show without scrolling."""
    def th_class(column: str) -> str:
        return " ".join(filter(None, ("l" if column in left else "",
                                      "key" if column == key else "")))
    head = "".join(
        f'<th class="{th_class(c)}">{h if "&" in h else html.escape(h)}</th>'
        for c, (h, _) in formats.items()
    )
    rows = []
    for _, row in frame.iterrows():
        cells = []
        for column, (_, fmt) in formats.items():
            value = row[column]
            css = " ".join(filter(None, (
                "l" if column in left else _num_class(value) if column in signed else "",
                "wrap" if column in wrap else "")))
            cells.append(f'<td class="{css}">{fmt(value)}</td>')
        rows.append("<tr>" + "".join(cells) + "</tr>")
    return f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(rows)}</tbody></table>"


def _section(name: str, heading: str, body: str, note: str = "") -> str:
    small = f"<small>{note}</small>" if note else ""
    return f'<section id="{name}"><h2>{heading}{small}</h2>{body}</section>'


# Charts are drawn twice: wide for desktops, narrow (same text sizes) for phones, where
# the wide one would be scaled down until its text is unreadable.  The narrow drawing is
# the same figure resized, which keeps its ticks and saves building it again.
WIDE, NARROW = 9.0, 4.0
NARROW_MEDIA = "(max-width: 640px)"


def _figure(name: str, heading: str, note: str, draw: Any, height: float, alt: str,
            narrow_height: float = 0.0) -> str:
    """One chart section: heading, note, and ``draw(figsize)`` as embedded PNGs, wide and
    narrow, the browser picking by the screen's width."""
    fig = draw((WIDE, height))
    wide = png(fig)
    narrow = png(plotting.resize(fig, (NARROW, narrow_height or height)))
    body = (f'<picture><source media="{NARROW_MEDIA}" srcset="{narrow}">'
            f'<img alt="{html.escape(alt)}" src="{wide}"></picture>')
    return _section(name, heading, body, note)


def _card_class(name: str, value: Any) -> str:
    # Coloured by sign only where higher is better.  A win rate says nothing by itself (a
    # book of rare big wins is good below one half), so it is not coloured.
    if STATISTICS[name].better is not True or name == "win_rate":
        return ""
    return _num_class(value)


def _kv(rows: Sequence[Tuple[str, str]]) -> str:
    return ('<table class="kv"><tbody>'
            + "".join(f"<tr><td>{html.escape(k)}</td><td>{html.escape(v)}</td></tr>" for k, v in rows)
            + "</tbody></table>")


# Above this average gross a book is levered, and its headline says so.
LEVERED = 1.0 + 1e-9


def _card(key: str, value: str, css: str = "") -> str:
    return (f'<div class="card"><div class="k">{html.escape(key)}</div>'
            f'<div class="v {css}">{html.escape(value)}</div></div>')


def _run_cards(stats: pd.Series, flows: Optional[pd.DataFrame]) -> str:
    """The headline cards this run needs beyond the fixed ones: its average gross when it
    is levered, and financing's share of its return when it is financed."""
    out = ""
    gross = stats.get("avg_gross_exposure")
    if gross is not None and np.isfinite(gross) and gross > LEVERED:
        out += _card("Average gross", _pct(gross, 0))
    if flows is not None and len(flows):
        paid = float(flows["total"].sum())
        whole = float(stats.get("total_return", np.nan))
        out += _card("Financing, net", _signed(paid), _num_class(paid))
        share = paid / whole if np.isfinite(whole) and whole != 0 else np.nan
        out += _card("Financing of the return", _pct(share, 0) if np.isfinite(share) else "n/a")
    return out


def _stats_section(stats: pd.Series, flows: Optional[pd.DataFrame] = None) -> str:
    text = format_summary(stats)
    by_name = dict(zip(stats.index, zip(text.index, text)))
    cards = "".join(_card(by_name[k][0], by_name[k][1], _card_class(k, stats[k]))
                    for k in CARDS) + _run_cards(stats, flows)
    blocks = "".join(
        f'<div><h3>{heading}{f" <small>({note})</small>" if note else ""}</h3>'
        f"{_kv([by_name[n] for n in names])}</div>"
        for heading, note, names in grouped(stats.index)
    )
    return (f'<section id="summary"><h2>Summary</h2><div class="cards">{cards}</div>'
            f'<div class="grid">{blocks}</div></section>')


def _leading_flat_blank(monthly: pd.DataFrame) -> pd.DataFrame:
    """Months before the book first moved (a start between rebalances) read blank, not 0.0 %."""
    values = monthly.to_numpy(dtype=float).ravel().copy()
    for k, v in enumerate(values):
        if np.isnan(v):
            continue
        if v != 0.0:
            break
        values[k] = np.nan
    return pd.DataFrame(values.reshape(monthly.shape), index=monthly.index, columns=monthly.columns)


def _monthly_section(monthly: pd.DataFrame, yearly: pd.DataFrame) -> str:
    monthly = _leading_flat_blank(monthly)
    finite = monthly.to_numpy(dtype=float)
    finite = finite[np.isfinite(finite)]
    scale = float(np.quantile(np.abs(finite), 0.95)) if finite.size else 0.0
    # The year's whole return right after the year: on a phone both stay in view while the
    # months scroll.
    head = ('<th class="l">Year</th><th class="key">Whole</th>'
            + "".join(f"<th>{m}</th>" for m in MONTHS))
    rows = []
    for year, row in monthly.iterrows():
        whole = yearly["return"].get(year, np.nan)
        cells = "".join(
            f'<td style="background:{heat_color(v, scale)}">{_pct(v, 1)}</td>' for v in row
        )
        rows.append(f'<tr><td class="y l">{year}</td>'
                    f'<td class="y {_num_class(whole)}">{_pct(whole, 1)}</td>{cells}</tr>')
    table = f'<table class="heat"><thead><tr>{head}</tr></thead><tbody>{"".join(rows)}</tbody></table>'
    return _section("monthly", "Monthly returns", _scroll(table), "compounded within each month")


def _yearly_financing(equity: pd.Series, flows: pd.DataFrame) -> pd.Series:
    """Each calendar year's net financing over the equity it started from (the return's
    own scale)."""
    flows = flows["total"].reindex(equity.index).fillna(0.0)
    years = equity.index.year
    start = equity.groupby(years).first()
    # The year's first bar's flows accrued on the equity before it: the previous close.
    before = equity.shift(1).groupby(years).first().fillna(start)
    return flows.groupby(years).sum() / before


def _yearly_section(yearly: pd.DataFrame, financing: Optional[pd.Series] = None) -> str:
    formats = {"year": ("Year", lambda v: f"{int(v)}"), "return": ("Return", _pct)}
    if financing is not None:
        yearly = yearly.assign(financing=financing.reindex(yearly.index))
        formats["financing"] = ("Financing", _pct)
    if "benchmark" in yearly:
        formats.update({"benchmark": ("Benchmark", _pct), "excess": ("Excess", _pct)})
    table = _table(yearly.reset_index(), formats, left=("year",),
                   signed=("return", "excess", "financing"))
    note = "calendar years, first and last partial" + (
        "; excess = return - benchmark" if "benchmark" in yearly else "") + (
        "; financing: the year's net flows over its starting equity, in the return"
        if financing is not None else "")
    return _section("yearly", "Yearly returns", table, note)


def _trailing_section(equity: pd.Series, curve: Any) -> str:
    table = trailing_returns(equity, curve)
    formats = {"window": ("Window", html.escape), "strategy": ("Strategy", _pct)}
    if "benchmark" in table:
        formats["benchmark"] = ("Benchmark", _pct)
    body = _table(table.reset_index(), formats, left=("window",), signed=("strategy", "benchmark"))
    return _section("trailing", "Trailing returns", body,
                    "to the last bar; 3Y and longer annualised; blank: the run is shorter")


def _drawdowns_section(equity: pd.Series) -> str:
    worst = drawdown_periods(equity, top=DRAWDOWNS_SHOWN)
    formats = {
        "peak": ("Peak", _day),
        "depth": ("Depth", _pct),
        "trough": ("Trough", _day),
        "recovery": ("Recovery", lambda v: "not yet" if pd.isna(v) else _day(v)),
        "bars": ("Bars", lambda v: f"{int(v):,}"),
        "days": ("Days", lambda v: f"{v:,.0f}"),
    }
    body = (_scroll(_table(worst, formats, left=("peak",), signed=("depth",), key="depth"))
            if len(worst)
            else "<p>The equity never fell below an earlier high.</p>")
    return _section("drawdowns", "Worst drawdowns", body,
                    "peak to recovery, or to the end while not recovered")


def _trades_section(trades: pd.DataFrame, last: int) -> str:
    shown = trades.sort_values("entry_date", kind="stable").tail(last).iloc[::-1]
    # The key figures first after the ticker, so a phone shows them before it scrolls.
    formats = {
        "ticker": ("Ticker", html.escape),
        "return": ("Return", _pct),
        "pnl": ("P&amp;L", _pct),
        "financing": ("Financing", _pct),
        "exit_reason": ("Exit reason", lambda v: html.escape(str(v)).replace("_", " ")),
        "side": ("Side", html.escape),
        "entry_date": ("Entry", _day),
        "exit_date": ("Exit", lambda v: "open" if pd.isna(v) else _day(v)),
        "weight": ("Weight", lambda v: _pct(v, 2)),
        "bars_held": ("Bars", lambda v: "" if pd.isna(v) else f"{int(v)}"),
        "mae": ("MAE", _pct),
        "gmfe": ("MFE", _pct),
    }
    formats = {k: v for k, v in formats.items() if k in trades}
    body = (_scroll(_table(shown, formats, left=("ticker", "side", "exit_reason"),
                           signed=("return", "pnl", "financing"), key="return")) if len(shown)
            else "<p>No trades.</p>")
    reasons = trades["exit_reason"].astype(str).str.replace("_", " ").value_counts()
    mix = " &middot; ".join(f"{html.escape(r)} {n:,}" for r, n in reasons.items())
    money = (" P&amp;L is the record's money in units of the starting capital, its costs and "
             "financing included; return is its price move after fee and tax."
             if "pnl" in trades else "")
    note = (f'<p class="note">All {len(trades):,} trade records by how they ended: {mix}. '
            f"A record is one position over one rebalance segment.{money}</p>"
            if len(trades) else "")
    return _section("trades", "Last trades", body + note,
                    f"{len(shown)} of {len(trades):,}, latest entry first")


def _tag(code: str, words: str) -> str:
    return f'<span class="tag {action_tag(code)}">{html.escape(words)}</span>'


def _actions_section(actions: pd.DataFrame) -> str:
    frame = ordered_actions(actions)
    changes = int(to_act_on(frame).sum())
    target = frame["target"] if "target" in frame else frame["weight"]
    rows = "".join(
        f'<tr><td class="l">{html.escape(str(ticker))}</td><td>{_pct(r.weight)}</td>'
        f'<td>{_pct(t)}</td><td>{_pct(r.next_weight)}</td>'
        f'<td class="l wrap">{_tag(r.code, str(r.action))}</td>'
        f'<td class="l"><code>{html.escape(r.code)}</code></td></tr>'
        for ticker, t, r in zip(frame.index, target, frame.itertuples(index=False))
    )
    body = (
        _scroll('<table><thead><tr><th class="l">Ticker</th><th>Weight now</th><th>Target</th>'
                '<th class="key">Next weight</th><th class="l">Action</th><th class="l">Code</th>'
                f'</tr></thead><tbody>{rows}</tbody></table>')
        if len(frame) else "<p>Nothing held and nothing to do.</p>"
    )
    return _section("actions", "Next actions", body, f"{changes} to act on, {len(frame)} tickers listed")


def _settings_section(result: Any) -> str:
    settings = [(str(k), _params.setting_text(str(k), v))
                for k, v in (getattr(result, "settings", {}) or {}).items()]
    half = (len(settings) + 1) // 2
    tables = "".join(f"<div>{_kv(part)}</div>" for part in (settings[:half], settings[half:]))
    warnings = getattr(result, "warnings", ()) or ()
    warn = ('<h2 style="margin-top:18px">Warnings</h2><ul class="warn">'
            + "".join(f"<li>{html.escape(str(w))}</li>" for w in warnings) + "</ul>") if warnings else ""
    return f'<section id="settings"><h2>Settings</h2><div class="grid">{tables}</div>{warn}</section>'


def _ruin_note(result: Any) -> str:
    if not getattr(result, "ruined", False):
        return ""
    return ('<section id="ruin"><p class="alert">The equity reached 0 or below on '
            f"{_day(result.end)}: the result ends there (a book worth nothing cannot hold "
            "positions as fractions of itself).</p></section>")


def _log_scale(equity: pd.Series) -> bool:
    if not len(equity):
        return False
    low, high = float(equity.min()), float(equity.max())
    return low > 0 and high / low > LOG_SPAN


def _exposure_section(result: Any) -> str:
    """Exposure over time and the costs paid, when the result holds the engine's book."""
    try:
        book, costs = result.exposure, result.costs
    except (AttributeError, ValueError):
        return ""
    paid = float(costs["total"].sum())
    note = (f"fractions of equity at each close; average gross {_pct(book['gross'].mean(), 0)}, "
            f"net {_signed(book['net'].mean(), 0)}; costs paid {paid:.2%} of the starting capital "
            f"(fees {costs['fees'].sum():.2%}, tax {costs['tax'].sum():.2%}"
            f"{_execution_words(costs)})"
            f"{_financing_words(result)}")
    return _figure("exposure", "Exposure", note,
                   lambda size: plotting.plot_exposure(result, figsize=size), 3.0,
                   "Long, short, gross and net exposure", 3.4)


def register_words() -> str:
    """The active trial register's count, for the header ("" without one)."""
    from orvane import trials

    register = trials.active()
    return "" if register is None else f" &middot; {html.escape(trials.said(register))}"


def _cash_flows(result: Any) -> Optional[pd.DataFrame]:
    try:
        return result.cash_flows
    except (AttributeError, ValueError):
        return None


def _financing_section(result: Any, flows: Optional[pd.DataFrame]) -> str:
    """The financing flows over time, for a run that had them."""
    if flows is None:
        return ""
    note = ("cumulative, money into the book in units of the starting capital (the equity's "
            "scale): interest on cash, borrow fees on shorts, dividends received by longs and "
            "paid by shorts" + _financing_words(result).replace("; financing", "; in all"))
    return _figure("financing", "Financing", note,
                   lambda size: plotting.plot_financing(result, figsize=size), 3.0,
                   "Cumulative interest, borrow fees and dividends", 3.4)


def _execution_words(costs: pd.DataFrame) -> str:
    """The execution costs beside fees and tax, for a run that had them."""
    if "impact" not in costs:
        return ""
    return (f", slippage {costs['slippage'].sum():.2%}, spread {costs['spread'].sum():.2%}, "
            f"impact {costs['impact'].sum():.2%}")


def _capacity_section(capacity: Any) -> str:
    """The capacity curve (``orvane.capacity``): its chart and table."""
    if capacity is None:
        return ""
    table = capacity.table.reset_index()
    pct = lambda v: _pct(v)  # noqa: E731
    formats = {"capital": ("Capital", lambda v: f"{v:,.0f}"),
               "cagr": ("Net CAGR", pct), "sharpe": ("Sharpe", lambda v: f"{v:.2f}"),
               "total_costs": ("Costs", pct), "slippage_paid": ("Slippage", pct),
               "spread_paid": ("Spread", pct), "impact_paid": ("Impact", pct),
               "avg_participation": ("Mean part.", pct),
               "p95_participation": ("95th part.", pct),
               "capped_trades": ("Capped", lambda v: "n/a" if pd.isna(v) else f"{v:,.0f}"),
               "avg_shortfall": ("Shortfall", pct)}
    formats = {k: v for k, v in formats.items() if k in table}
    note = (f"the same weights at each capital; net CAGR {capacity.reference_cagr:.2%} at "
            f"{money(capacity.table.index[0])} halves at {money(capacity.halves_at)} and "
            f"reaches 0 at {money(capacity.zero_at)}; costs in units of the starting capital, "
            "participation per trade record; stress estimates: impact coefficients are "
            "academic fits, realised costs are often lower")
    chart = _figure("capacity", "Capacity", note,
                    lambda size: plotting.plot_capacity(capacity, title=None, figsize=size),
                    4.2, "Net CAGR and costs against capital", 4.6)
    return chart.replace("</section>", _scroll(_table(table, formats, signed=("cagr",),
                                                      key="cagr")) + "</section>")


def _financing_words(result: Any) -> str:
    """The financing flows beside the costs, for a run that had them."""
    try:
        flows = result.cash_flows
    except (AttributeError, ValueError):
        return ""
    # Money paid reads as the statistics read it: a positive amount that is "paid".
    shorts = -flows["dividends_paid"].sum()
    longs = flows["dividends"].sum() + shorts
    return (f"; financing {_signed(flows['total'].sum())} net (interest earned "
            f"{_signed(flows['interest'].sum())}, borrow paid {_pct(-flows['borrow'].sum())}, "
            f"dividends received {_pct(longs)}, paid {_pct(shorts)})")


def render_report(result: Any, *, title: str = "Backtest report", last_trades: int = 25,
                  benchmark: _benchmark.Benchmark = None, risk_free: float = 0.0,
                  stamp: bool = False, capacity: Any = None) -> str:
    """The report as one HTML string (see ``write_report``)."""
    title = check_text(title, "title")
    last_trades = check_whole(last_trades, "last_trades", Bounds(0), unit="trades")
    risk_free = check_rate(risk_free)
    stamp = check_flag(stamp, "stamp")
    if capacity is not None and not hasattr(capacity, "halves_at"):
        raise TypeError(f"capacity must be what orvane.capacity returns, got "
                        f"{type(capacity).__name__}")
    curve = _benchmark.resolve(result, benchmark)
    aligned = _benchmark.Aligned(curve)
    stats = summary(result, risk_free=risk_free, benchmark=curve)
    equity = live_equity(result)
    flows = _cash_flows(result)
    returns = equity_returns(equity)
    yearly = yearly_table(returns, curve)
    log = _log_scale(equity)
    period = f"{_day(stats['start'])} to {_day(stats['end'])}"
    final = f"{equity.iloc[-1]:,.4f}" if len(equity) else "n/a"
    against = _params.setting_text("benchmark", (getattr(result, "settings", {}) or {}).get("benchmark")
                                   if benchmark is None else benchmark)
    equity_note = "shaded: the five deepest drawdowns, peak to recovery, the deepest darkest"
    if log:
        equity_note = f"log scale (the equity spans more than {LOG_SPAN:g}x); " + equity_note
    if curve is not None:
        equity_note += "; grey: the benchmark, middle: excess return, equity / benchmark - 1"
    rolling_note = (f"trailing {ROLLING_WINDOW} bars, annualised; dashed: the whole run's "
                    "Sharpe ratio" + ("; bottom: beta against the benchmark" if curve is not None
                                      else ""))
    footer = "orvane" + (f" &middot; written {datetime.now(timezone.utc):%Y-%m-%d %H:%M UTC}"
                         if stamp else "")
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{html.escape(title)}</title><style>{CSS}</style></head><body>",
        f"<header><h1>{html.escape(title)}</h1><p>{period} &middot; {len(equity):,} "
        f"bar{'s' if len(equity) != 1 else ''} &middot; "
        f"final value {final} (start 1.0) &middot; {len(result.trades):,} trades"
        + (f" &middot; benchmark {html.escape(against)}" if curve is not None else "")
        + register_words() + "</p></header><main>",
        _ruin_note(result),
        _stats_section(stats, flows),
        _figure("equity", "Equity and drawdown", equity_note,
                lambda size: plotting.plot_equity(result, title=None, log=log, benchmark=aligned,
                                                  figsize=size),
                4.6 if curve is None else 5.6, "Equity curve and drawdown",
                5.2 if curve is None else 6.4),
        f'<div class="pair"><div>{_drawdowns_section(equity)}{_trailing_section(equity, curve)}'
        f'</div>{_yearly_section(yearly, None if flows is None else _yearly_financing(equity, flows))}'
        '</div>',
        _figure("distribution", "Return distribution",
                "bar and monthly returns with the normal density of the same mean and "
                "deviation; red: the 95 % VaR (solid) and CVaR (dashed) of one bar",
                lambda size: plotting.plot_distribution(result, figsize=size), 3.0,
                "Histograms of bar and monthly returns", 3.2),
        _figure("rolling", "Rolling Sharpe, Sortino and volatility", rolling_note,
                lambda size: plotting.plot_rolling(result, window=ROLLING_WINDOW,
                                                   risk_free=risk_free, benchmark=aligned,
                                                   figsize=size),
                3.6 if curve is None else 4.8, "Rolling Sharpe ratio, Sortino ratio and volatility",
                4.2 if curve is None else 5.4),
        _exposure_section(result),
        _financing_section(result, flows),
        _capacity_section(capacity),
        _monthly_section(monthly_table(returns), yearly),
        _figure("excursions", "Trade excursions",
                "worst (MAE) and best (MFE) move of each trade record against its return; "
                "green won, red lost",
                lambda size: plotting.plot_trades(result, title=None, figsize=size), 3.5,
                "MAE and MFE against trade return", 3.6),
        _trades_section(result.trades, last_trades),
        _actions_section(result.actions),
        _settings_section(result),
        f"</main><footer>{footer}</footer></body></html>",
    ]
    return "\n".join(parts)


def write_report(result: Any, path: Union[str, os.PathLike], *, title: str = "Backtest report",
                 last_trades: int = 25, benchmark: _benchmark.Benchmark = None,
                 risk_free: float = 0.0, stamp: bool = False,
                 capacity: Any = None) -> pathlib.Path:
    """Write the report of ``result`` to ``path`` (an .html file) and return the path.

    Sections: summary statistics (grouped: returns, risk, the benchmark's, trade
    records, holdings and book, financing), equity and drawdown chart (the five worst
    drawdowns shaded; on a log scale when the equity spans more than 10x; with a
    benchmark, its line and the excess-return panel), the worst drawdowns, the yearly
    returns, the trailing returns, the distribution of bar and monthly returns, rolling
    Sharpe, Sortino, volatility (and beta, with a benchmark), exposure and costs, the
    monthly returns heat map, trade excursion scatter, the last ``last_trades`` trades,
    the next actions, the settings and warnings; with ``capacity`` (what
    ``orvane.capacity`` returns for this book), the capacity curve and its table after the
    exposure. ``benchmark`` (the run's by default)
    and ``risk_free`` (annual rate, a fraction) are those of ``result.stats``.  The
    same result gives the same bytes; ``stamp=True`` adds the time of writing.

    The file needs no network: styles are inline and charts are embedded PNG
    images; the layout reflows down to phone widths. A directory as ``path`` gets
    ``orvane-report.html`` inside it. Needs matplotlib (``pip install 'orvane[plot]'``).
    """
    return write_html(path, REPORT_NAME, lambda: render_report(
        result, title=title, last_trades=last_trades, benchmark=benchmark, risk_free=risk_free,
        stamp=stamp, capacity=capacity))


def headline_html(result: Any) -> str:
    """The headline figures as one small HTML table (a notebook's view of a result)."""
    stats = summary(result)
    text = format_summary(stats)
    labels = dict(zip(stats.index, text.index))
    equity = live_equity(result)
    rows = [("Period", f"{_day(stats['start'])} to {_day(stats['end'])} ({len(equity):,} bars)"),
            ("Final value", f"{equity.iloc[-1]:.4f} (start 1.0)" if len(equity) else "n/a")]
    rows += [(labels[k], text[labels[k]]) for k in NOTEBOOK if k in labels]
    body = "".join(f'<tr><th style="text-align:left">{html.escape(k)}</th>'
                   f'<td style="text-align:right">{html.escape(v)}</td></tr>' for k, v in rows)
    return f"<table><caption>BacktestResult</caption><tbody>{body}</tbody></table>"
