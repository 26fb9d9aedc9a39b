"""One self-contained HTML report of a walk-forward: the out-of-sample headline and the
walk-forward efficiency, the windows on a time line, the parameters each window chose and
how stable they were, the stitched equity beside each window's in-sample and
out-of-sample metric, the out-of-sample statistics, each choice's deflated Sharpe ratio
and the warnings. Styles inline, charts base64 PNGs drawn for a wide screen and a phone;
it opens offline, and two renders of one result are the same bytes unless stamped.
"""

from __future__ import annotations

import html
import math
import os
import pathlib
from collections import Counter
from datetime import datetime, timezone
from typing import Any, NamedTuple, Optional, Union

import numpy as np
import pandas as pd

from orvane._checks import check_flag, check_text
from orvane._html import CSS, write_html
from orvane.plotting import (BENCHMARK_COLOR, LINE_COLOR, _margins, _x, date_axis, figure_kit,
                             house_style, percent_axis)
from orvane.report import (_card, _card_class, _day, _figure, _kv, _log_scale, _num_class,
                           _pct, _ruin_note, _scroll, _section, _table)
from orvane.stats import STATISTICS, check_rate, format_summary, grouped, periods_per_year
from orvane.sweep.report import _formatter, _value_text

__all__ = ["REPORT_NAME", "Efficiency", "efficiency", "render_walk_forward_report",
           "write_walk_forward_report"]

# The file a report gets inside a folder given as its path.
REPORT_NAME = "orvane-walk-forward-report.html"

TRAIN_COLOR = "#b9c6d4"
# Every other test window is shaded on the equity chart, so neighbours stay apart.
SHADE_COLOR = "#eef1f5"
# Window numbers fit above the equity curve up to this many windows, even on a phone.
NUMBERED = 16


class Efficiency(NamedTuple):
    """The walk-forward efficiency: ``out_of_sample / in_sample`` (NaN, with ``reason``,
    when it would mean nothing)."""

    value: float
    # The stitched out-of-sample equity's CAGR.
    out_of_sample: float
    # The mean over windows of the chosen run's CAGR on its train window.
    in_sample: float
    reason: str


def _chosen(result: Any) -> list[int]:
    """Each window's chosen run: its position in the train sweep's table."""
    return list(result.chosen())


def _number(value: Any) -> float:
    """A statistic as a float, NaN for a missing or infinite one."""
    value = pd.to_numeric(pd.Series([value]), errors="coerce").iloc[0]
    return float(value) if np.isfinite(value) else math.nan


def _cell(table: pd.DataFrame, column: str, pos: int) -> float:
    return _number(table[column].iloc[pos]) if column in table else math.nan


def efficiency(result: Any, picks: Optional[list[int]] = None) -> Efficiency:
    """Out-of-sample annualised return over in-sample annualised return: the CAGR of the
    stitched out-of-sample equity divided by the mean, over windows, of the CAGR the
    chosen run made on its train window. 1.0 keeps in the test windows what the train
    windows promised, 0 earns nothing out of sample, below 0 loses. NaN when the
    in-sample figure is 0 or negative (a ratio to a loss reads backwards) or either is
    missing."""
    picks = _chosen(result) if picks is None else picks
    oos = _number(result.stats().get("cagr"))
    train = [_cell(found.table, "cagr", pos) for found, pos in zip(result.sweeps, picks)]
    ins = float(np.mean(train)) if train and not np.isnan(train).any() else math.nan
    if math.isnan(ins) or math.isnan(oos):
        return Efficiency(math.nan, oos, ins, "a CAGR is missing")
    if ins <= 0:
        return Efficiency(math.nan, oos, ins, "the in-sample CAGR is not above 0")
    return Efficiency(oos / ins, oos, ins, "")


def _params(result: Any) -> tuple[list[str], list[str]]:
    """The grid's parameters: those it sweeps and those fixed in every run."""
    columns = list(result.windows.columns)
    names = columns[columns.index("test_bars") + 1:columns.index(f"train_{result.metric}")]
    runs = result.sweeps[0].params
    swept = [n for n in names if len({_value_text(p.get(n)) for p in runs}) > 1]
    return swept, [n for n in names if n not in swept]


def _test_metric(result: Any) -> list[float]:
    """The metric chosen by, measured on each test window's own run."""
    return [_number(run.stats().get(result.metric)) for run in result.results]


def _short(metric: str) -> str:
    # "Turnover (per year, ...)" -> "Turnover": a chart's axis has room for a word or two.
    return STATISTICS[metric].label.split(" (")[0]


def _headline_section(result: Any, stats: pd.Series, found: Efficiency) -> str:
    text = format_summary(stats)
    cards = []
    for name in ("total_return", "cagr", "sharpe", "max_drawdown"):
        label = STATISTICS[name].label
        cards.append(_card(label, text[label], _card_class(name, stats[name])))
    value = "n/a" if math.isnan(found.value) else f"{found.value:.2f}"
    cards.append(_card("Walk-forward efficiency", value, _num_class(found.value)))
    why = f" Here n/a: {found.reason}." if found.reason else ""
    note = (f'<p class="note">Walk-forward efficiency = out-of-sample CAGR '
            f"({_pct(found.out_of_sample)}, the stitched test windows) / in-sample CAGR "
            f"({_pct(found.in_sample)}, the mean over the {len(result.windows)} windows of the "
            "chosen run's CAGR on its train window). 1.00 keeps out of sample the return the "
            "train windows promised; near 0 or below, the choice did not carry over. It is "
            f"n/a when the in-sample CAGR is 0 or negative.{why}</p>")
    return _section("headline", "Out of sample", f'<div class="cards">{"".join(cards)}</div>'
                    + note, "the test windows stitched into one run")


def _timeline_height(windows: int) -> float:
    # A row per window: beyond 20 the rows get thinner rather than the chart taller.
    return 1.1 + 0.26 * min(windows, 20) + 0.12 * max(0, windows - 20)


def _draw_windows(result: Any, figsize: tuple[float, float]) -> Any:
    from matplotlib.dates import date2num
    from matplotlib.ticker import MaxNLocator

    Figure, _ = figure_kit()
    table = result.windows
    rows = np.arange(len(table))
    spans = {name: date2num(_x(pd.DatetimeIndex(table[name])))
             for name in ("train_start", "test_start", "test_end")}
    # Train up to the first test bar, test through a day past its last: the spans meet
    # and a one-bar test window still shows.
    fig = Figure(figsize=figsize)
    _margins(fig, top=0.35, bottom=0.35)
    ax = fig.subplots()
    ax.barh(rows, spans["test_start"] - spans["train_start"], left=spans["train_start"],
            height=0.62, color=TRAIN_COLOR, label="train (in sample)")
    ax.barh(rows, spans["test_end"] + 1.0 - spans["test_start"], left=spans["test_start"],
            height=0.62, color=LINE_COLOR, label="test (out of sample)")
    ax.set_ylim(len(table) - 0.5, -0.5)
    ax.yaxis.set_major_locator(MaxNLocator(integer=True, nbins=min(len(table), 12)))
    ax.set_ylabel("Window", fontsize=9)
    ax.legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), ncol=2, fontsize=8, frameon=False,
              borderaxespad=0.0)
    house_style(ax)
    ax.grid(False, axis="y")
    date_axis(ax.xaxis)
    ax.set_xlim(spans["train_start"].min(), spans["test_end"].max() + 1.0)
    return fig


def _draw_equity(result: Any, tested: list[float], figsize: tuple[float, float]) -> Any:
    from matplotlib.dates import date2num
    from matplotlib.transforms import blended_transform_factory

    Figure, _ = figure_kit()
    table = result.windows
    equity = result.equity
    fig = Figure(figsize=figsize)
    _margins(fig, top=0.3, bottom=0.35, hspace=0.3)
    top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 2]})
    days = date2num(_x(equity.index))
    # Window k runs from its first test bar to the next window's (the boundary bar
    # compounds both); the last to the end.
    starts = date2num(_x(pd.DatetimeIndex(table["test_start"])))
    ends = np.append(starts[1:], days[-1])
    for k, (a, b) in enumerate(zip(starts, ends)):
        if k % 2:
            for ax in (top, bottom):
                ax.axvspan(a, b, color=SHADE_COLOR, linewidth=0, zorder=0)
    if len(table) <= NUMBERED:
        where = blended_transform_factory(top.transData, top.transAxes)
        for k, (a, b) in enumerate(zip(starts, ends)):
            # Above the axes: inside, a number would sit on the curve's highs.
            top.text((a + b) / 2, 1.02, str(k), transform=where, ha="center", va="bottom",
                     fontsize=8, color="#5f6b77")
    top.plot(days, equity.to_numpy(), color=LINE_COLOR, linewidth=1.3,
             marker="o" if len(equity) == 1 else None)
    top.axhline(1.0, color="#9aa3ad", linewidth=0.8, linestyle="--")
    if _log_scale(equity):
        top.set_yscale("log")
    top.set_ylabel("Value (start = 1)", fontsize=9)
    # Two bars inside each window's span: in sample left, out of sample right.
    width = (ends - starts) * 0.42
    trained = pd.to_numeric(table[f"train_{result.metric}"], errors="coerce").to_numpy(float)
    bottom.bar(starts + (ends - starts) * 0.06, trained, width=width, align="edge",
               color=BENCHMARK_COLOR, label="in sample (train)")
    bottom.bar(starts + (ends - starts) * 0.52, tested, width=width, align="edge",
               color=LINE_COLOR, label="out of sample (test)")
    bottom.axhline(0.0, color="#9aa3ad", linewidth=0.8)
    if STATISTICS[result.metric].kind == "pct":
        percent_axis(bottom.yaxis)
    bottom.set_ylabel(_short(result.metric), fontsize=9)
    bottom.legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), ncol=2, fontsize=8,
                  frameon=False, borderaxespad=0.0)
    for ax in (top, bottom):
        house_style(ax)
    date_axis(bottom.xaxis)
    if len(days) > 1:
        bottom.set_xlim(days[0], days[-1])
    return fig


def _choices_section(result: Any, picks: list[int], tested: list[float]) -> str:
    table = result.windows
    metric = result.metric
    swept, fixed = _params(result)
    label = _short(metric)
    fmt = _formatter(metric)
    # The choice and its outcome first, the dates after: a phone shows what was chosen
    # and how it did before the table scrolls.
    frame = pd.DataFrame({"window": range(len(table))})
    columns: dict[str, Any] = {"window": ("Window", lambda v: f"{int(v)}")}
    for k, name in enumerate(swept):
        # The exact values the sweep ran: the table's column may hold them as NumPy scalars.
        frame[f"param {k}"] = [_value_text(found.params[pos].get(name))
                               for found, pos in zip(result.sweeps, picks)]
        columns[f"param {k}"] = (name, html.escape)
    frame["test_return"] = table["test_return"].to_numpy()
    columns["test_return"] = ("Test return", _pct)
    frame["train_metric"] = table[f"train_{metric}"].to_numpy()
    columns["train_metric"] = (f"Train {label}", fmt)
    frame["test_metric"] = tested
    columns["test_metric"] = (f"Test {label}", fmt)
    if metric != "cagr":
        frame["train_cagr"] = [_cell(found.table, "cagr", pos)
                               for found, pos in zip(result.sweeps, picks)]
        columns["train_cagr"] = ("Train CAGR", _pct)
    dates = {"test_start": "Test from", "test_end": "Test to", "train_start": "Train from",
             "train_end": "Train to"}
    for name, header in dates.items():
        frame[name] = table[name].to_numpy()
        columns[name] = (header, _day)
    frame["test_bars"] = table["test_bars"].to_numpy()
    columns["test_bars"] = ("Test bars", lambda v: f"{int(v):,}")
    windows = _scroll(_table(frame, columns, left=tuple(f"param {k}" for k in range(len(swept))),
                             signed=("test_return",), key="test_return"))
    way = "highest" if result.maximize else "lowest"
    note = (f'<p class="note">Each window runs the {way} {html.escape(label)} of its train '
            "sweep on its test window; train figures are the chosen run's on the train window, "
            "test figures the same parameters' on the test window (its sale on the next bar "
            "included).")
    if fixed:
        runs = result.sweeps[0].params
        note += " The same in every run: " + ", ".join(
            f"{html.escape(n)} {html.escape(_value_text(runs[0].get(n)))}" for n in fixed) + "."
    return _section("choices", "Parameters chosen", windows + note + "</p>"
                    + _stability(result, swept, picks), f"{len(table)} windows")


def _stability(result: Any, swept: list[str], picks: list[int]) -> str:
    table = result.windows
    n = len(table)
    if not swept:
        return '<p class="note">The grid sweeps no parameter: every window ran the same.</p>'
    rows = []
    runs = [found.params[pos] for found, pos in zip(result.sweeps, picks)]
    for name in swept:
        chosen = [_value_text(run.get(name)) for run in runs]
        grid = {_value_text(p.get(name)) for p in result.sweeps[0].params}
        # Ties go to the value chosen first.
        value, times = Counter(chosen).most_common(1)[0]
        changes = sum(a != b for a, b in zip(chosen, chosen[1:]))
        rows.append({"name": name, "grid": len(grid), "distinct": len(set(chosen)),
                     "value": value, "times": f"{times} of {n}",
                     "changes": f"{changes} of {n - 1}"})
    sets = [tuple(_value_text(run.get(name)) for name in swept) for run in runs]
    moved = sum(a != b for a, b in zip(sets, sets[1:]))
    whole = (f"The whole choice changed {moved} times in {n - 1} steps: a choice that keeps "
             "moving is fitting noise more than a lasting edge." if n > 1
             else "One window: there is no change to count.")
    formats = {"name": ("Parameter", html.escape),
               "value": ("Most chosen", html.escape),
               "times": ("Windows", html.escape),
               "changes": ("Changes", html.escape),
               "distinct": ("Values chosen", lambda v: f"{v}"),
               "grid": ("Values in the grid", lambda v: f"{v}")}
    return ('<h3 style="margin-top:18px">How stable the choice is</h3>'
            + _scroll(_table(pd.DataFrame(rows), formats, left=("name", "value"), key="times"))
            + '<p class="note">Windows: how many chose the most chosen value; changes: how '
              f"often the value differs from the window before. {whole}</p>")


def _deflated_section(result: Any, picks: list[int]) -> str:
    heading = "Deflated Sharpe ratio per window"
    if any("equity" not in found.keep for found in result.sweeps):
        return _section("deflated", heading,
                        "<p>The deflated Sharpe ratio needs every train run's equity curve, "
                        "which these sweeps did not keep: pass <code>keep=(\"stats\", "
                        "\"equity\")</code> to <code>walk_forward</code>.</p>")
    rows: list[dict[str, Any]] = []
    missing: dict[str, list[str]] = {}
    for k, (found, pos) in enumerate(zip(result.sweeps, picks)):
        row = {"window": k, "trials": math.nan, "sharpe": _cell(found.table, "sharpe", pos),
               "expected": math.nan, "value": math.nan}
        try:
            # Against the window's own trials, whatever a trial register holds.
            own = int(pd.to_numeric(found.table["sharpe"], errors="coerce").notna().sum())
            count = own if own >= 2 else None
            deflation = found.deflation(trials=count)
            each = found.deflated_sharpe(each=True, trials=count)
        except ValueError as exc:
            missing.setdefault(str(exc), []).append(str(k))
        else:
            # The table's Sharpe ratios are annualised: so is the benchmark beside them.
            scale = math.sqrt(periods_per_year(found.equity.index))
            row.update(trials=deflation.trials, expected=deflation.expected_max_sharpe * scale,
                       value=float(each.iloc[pos]))
        rows.append(row)
    frame = pd.DataFrame(rows)
    ratio = lambda v: "n/a" if pd.isna(v) else f"{v:.2f}"  # noqa: E731
    # The answer first: on a phone it stays in view beside the window number.
    formats = {"window": ("Window", lambda v: f"{int(v)}"),
               "value": ("Deflated Sharpe", lambda v: "n/a" if pd.isna(v) else f"{v:.3f}"),
               "sharpe": ("Chosen Sharpe", ratio),
               "expected": ("No-skill best", ratio),
               "trials": ("Trials", lambda v: "n/a" if pd.isna(v) else f"{int(v):,}")}
    values = frame["value"].to_numpy(float)
    found = int(np.isfinite(values).sum())
    small = (f"{int(np.sum(values >= 0.95))} of {found} windows at 0.95 or above" if found
             else "not available in any window")
    note = ('<p class="note">Deflated Sharpe: the probability that the chosen run\'s true '
            "Sharpe ratio is above 0 once the search is accounted for, that is above the "
            "no-skill best: the Sharpe ratio the best of that many trials (the train sweep's "
            "runs with a Sharpe ratio) would show without any skill, given how widely their "
            "Sharpe ratios spread. Below 0.95 the chosen Sharpe is within what the search "
            "alone produces. Chosen Sharpe: on the train window; Sharpe ratios annualised.</p>")
    if missing:
        # One line per reason: a grid too small fails every window alike.
        note += ('<ul class="warn">' + "".join(
            f"<li>n/a in window{'s' if len(ks) > 1 else ''} {', '.join(ks)}: "
            f"{html.escape(reason)}</li>" for reason, ks in missing.items()) + "</ul>")
    return _section("deflated", heading, _scroll(_table(frame, formats, key="value")) + note,
                    small)


def _summary_section(stats: pd.Series) -> str:
    text = format_summary(stats)
    pairs = dict(zip(stats.index, zip(text.index, text)))
    blocks = []
    for heading, note, names in grouped(stats.index):
        small = f" <small>({note})</small>" if note else ""
        blocks.append(f"<div><h3>{heading}{small}</h3>{_kv([pairs[n] for n in names])}</div>")
    return _section("summary", "Out-of-sample statistics", f'<div class="grid">{"".join(blocks)}'
                    "</div>", "of the stitched equity and every window's trades")


def _warnings_section(result: Any) -> str:
    if not result.warnings:
        return _section("warnings", "Warnings", "<p>None: no window warned.</p>")
    items = "".join(f"<li>{html.escape(str(w))}</li>" for w in result.warnings)
    return _section("warnings", "Warnings", f'<ul class="warn">{items}</ul>',
                    f"{len(result.warnings)}, each with its window")


def render_walk_forward_report(result: Any, *, title: str = "Walk-forward report",
                               risk_free: float = 0.0, stamp: bool = False) -> str:
    """The report as one HTML string (see ``write_walk_forward_report``)."""
    if not all(hasattr(result, n) for n in ("windows", "sweeps", "results", "equity")):
        raise TypeError(f"result must be a WalkForwardResult, got {type(result).__name__}")
    title = check_text(title, "title")
    risk_free = check_rate(risk_free)
    stamp = check_flag(stamp, "stamp")
    figure_kit()
    table = result.windows
    stats = result.stats(risk_free=risk_free)
    picks = _chosen(result)
    tested = _test_metric(result)
    found = efficiency(result, picks)
    n = len(table)
    way = "highest" if result.maximize else "lowest"
    kind = ("anchored: every train window from the first bar" if result.anchored
            else "rolling train windows")
    footer = "orvane" + (f" &middot; written {datetime.now(timezone.utc):%Y-%m-%d %H:%M UTC}"
                         if stamp else "")
    label = html.escape(STATISTICS[result.metric].label)
    timeline_note = ("one row per window, numbered as in the tables: its train span (in sample, "
                     "where the sweep chose) and then its test span (out of sample, where the "
                     "choice ran)")
    equity_note = (f"top: the test windows stitched, 1.0 on the last bar of the first train "
                   f"window; every other window shaded{', numbered' if n <= NUMBERED else ''}. "
                   f"Bottom: the {label} each window chose by, on its train window (grey) "
                   "beside the same parameters' on its test window (blue)")
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{html.escape(title)}</title><style>{CSS}</style></head><body>",
        f"<header><h1>{html.escape(title)}</h1><p>{_day(table['train_start'].iloc[0])} to "
        f"{_day(result.end)}, out of sample from {_day(result.start)} &middot; {n} "
        f"window{'s' if n != 1 else ''}, {kind} &middot; chosen by {way} {label}</p>"
        "</header><main>",
        _ruin_note(result),
        _headline_section(result, stats, found),
        _figure("windows", "Windows", timeline_note,
                lambda size: _draw_windows(result, size), _timeline_height(n),
                "Train and test span of each window on a time line", _timeline_height(n) + 0.2),
        _choices_section(result, picks, tested),
        _figure("equity", "Out-of-sample equity", equity_note,
                lambda size: _draw_equity(result, tested, size), 4.8,
                f"Stitched out-of-sample equity, and each window's {label} in and out of "
                "sample", 5.6),
        _summary_section(stats),
        _deflated_section(result, picks),
        _warnings_section(result),
        f"</main><footer>{footer}</footer></body></html>",
    ]
    return "\n".join(parts)


def write_walk_forward_report(result: Any, path: Union[str, os.PathLike], *,
                              title: str = "Walk-forward report", risk_free: float = 0.0,
                              stamp: bool = False) -> pathlib.Path:
    """Write the report of a walk-forward to ``path`` (an .html file) and return the path.

    Sections: the out-of-sample headline (total return, CAGR, Sharpe ratio, max drawdown of
    the stitched equity) with the walk-forward efficiency, the out-of-sample CAGR over the
    in-sample one (the mean over windows of the chosen run's CAGR on its train window;
    n/a when that is 0 or negative, see ``efficiency``); the windows' train and test spans
    on a time line; each window's dates, chosen parameters, train and test metric, train
    CAGR and test return, with how stable the choices were (the most chosen value of each
    swept parameter and how often the choice changed); the stitched equity with the test
    windows marked over each window's metric in and out of sample; the grouped
    out-of-sample statistics (``risk_free``, an annual rate, as ``result.stats`` takes
    it); the deflated Sharpe ratio of each window's chosen run against the runs of its own
    train sweep (when the sweeps kept equity: ``walk_forward(..., keep=("stats",
    "equity"))``); the warnings. The page is the same bytes for the same result;
    ``stamp=True`` adds the time it was written to the footer. A directory as ``path``
    gets ``orvane-walk-forward-report.html`` inside it. Needs matplotlib
    (``pip install 'orvane[plot]'``).
    """
    return write_html(path, REPORT_NAME, lambda: render_walk_forward_report(
        result, title=title, risk_free=risk_free, stamp=stamp))
