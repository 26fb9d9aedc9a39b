"""One self-contained HTML report of a sweep: the best runs and their equity curves, a heat
map of the metric over two parameters, the spread of Sharpe ratios and the overfitting
measures with what they were computed from. Styles inline, the charts base64 PNGs (each
drawn twice: for a wide screen and for a phone); it opens offline, and two renders of one
result are the same bytes unless a time stamp is asked for.
"""

from __future__ import annotations

import html
import warnings
import math
import os
import pathlib
from datetime import datetime, timezone
from typing import Any, Callable, Optional, Union

import numpy as np
import pandas as pd

from orvane._checks import Bounds, check_flag, check_text, check_whole
from orvane.plotting import LINE_COLOR, LOSS_COLOR, figure_kit, house_style
from orvane._html import CSS, heat_color, png, write_html
from orvane.report import register_words
from orvane.stats import (STATISTICS, SWEEP_COLUMNS, format_summary, metric_direction,
                          periods_per_year)

__all__ = ["render_sweep_report", "write_sweep_report"]

# Narrow screens: wide tables scroll inside their box, never the page.
NARROW_CSS = """
.scroll { overflow-x:auto; -webkit-overflow-scrolling:touch; }
.figures { display:flex; flex-wrap:wrap; gap:24px; }
.figures > div { flex:1 1 220px; }
.big { margin:6px 0 0; font-size:26px; font-weight:600; font-variant-numeric:tabular-nums; }
p.read { margin:6px 0 0; }
table.heat { width:auto; } .heat td { min-width:64px; }
.figures h3 { margin:0 0 4px; font-size:14px; font-weight:600; }
img.chart { max-width:760px; }
.figures .wide { flex-basis:100%; }
@media (max-width: 640px) {
  header { padding:18px 16px 14px; } header h1 { font-size:20px; }
  main { padding:14px 10px 32px; } section { padding:14px 12px; }
}
"""


# A chart is shown up to 760 px wide on a wide screen and about 380 px on a phone: drawn
# once for each width (inches at the page's DPI), its text reads at 12-14 px on both.
WIDE_INCHES = 7.0
NARROW_INCHES = 4.2
# Below this viewport width the page shows the narrow drawing.
NARROW_MEDIA = "(max-width: 640px)"
# Equity curves on one chart: more lines than this no legend keeps apart (matplotlib's
# ten-colour cycle, made to tell lines apart, has one colour each).
MAX_CURVES = 8
TAB_COLORS = ("blue", "orange", "green", "red", "purple", "brown", "pink", "gray")


def _label(value: Any) -> str:
    return html.escape(str(value))


def _value_text(value: Any) -> str:
    # From the exact values: the table's index reads None among numbers as NaN.
    text = value if isinstance(value, str) else repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _labels(result: Any) -> pd.DataFrame:
    """Each run's parameter values as text, runs x the table's parameter names."""
    index = result.table.index
    names = [] if isinstance(index, pd.RangeIndex) else [str(n) for n in index.names]
    return pd.DataFrame([[_value_text(p.get(n)) for n in names] for p in result.params],
                        columns=names, dtype=object)


def _formatter(metric: str) -> Any:
    kind = STATISTICS[metric].kind
    if kind == "pct":
        return lambda v: "" if pd.isna(v) else f"{v:.1%}"
    if kind == "int":
        return lambda v: "" if pd.isna(v) else f"{v:,.0f}"
    return lambda v: "" if pd.isna(v) else f"{v:.2f}"


def _numbers(table: pd.DataFrame, metric: str) -> pd.Series:
    values = pd.to_numeric(table[metric], errors="coerce").astype(np.float64)
    return values.where(table["error"].isna())


def _swept(labels: pd.DataFrame) -> list[str]:
    return [name for name in labels if labels[name].nunique() > 1]


def _ranked(table: pd.DataFrame, metric: str, better: bool) -> np.ndarray:
    """Positions of the runs with a ``metric``, best first (ties in grid order)."""
    values = _numbers(table, metric).to_numpy()
    live = np.flatnonzero(~np.isnan(values))
    return live[np.argsort(-values[live] if better else values[live], kind="stable")]


def _chart(draw: Callable[[Any, bool], None], alt: str, height: float,
           narrow_height: float) -> str:
    """A chart as a ``<picture>``: ``draw(fig, narrow)`` fills a wide figure for the
    ``<img>`` and a narrow one for phones."""
    Figure, _ = figure_kit()
    sources = []
    for narrow, size in ((True, (NARROW_INCHES, narrow_height)),
                         (False, (WIDE_INCHES, height))):
        fig = Figure(figsize=size, layout="constrained")
        draw(fig, narrow)
        sources.append(png(fig))
    return (f'<picture><source media="{NARROW_MEDIA}" srcset="{sources[0]}">'
            f'<img class="chart" alt="{_label(alt)}" src="{sources[1]}"></picture>')


def _axes(fig: Any, narrow: bool) -> tuple[Any, float]:
    """The chart's one axes in the house style, and its text size in points: the narrow
    drawing is scaled down less, so it needs only a little more."""
    size = 10.0 if narrow else 9.0
    ax = fig.subplots()
    house_style(ax)
    ax.tick_params(labelsize=size)
    return ax, size


def _runs_section(table: pd.DataFrame, labels: pd.DataFrame, metric: str, better: bool,
                  top: int) -> str:
    shown = _ranked(table, metric, better)[:top]
    # What varied, then the ranking metric: on a phone both stay in view, where the
    # parameters every run shares would push the metric off the screen.
    names = _swept(labels)
    fixed = [n for n in labels if n not in names]
    columns = [metric, *(c for c in SWEEP_COLUMNS if c != metric and c in table)]
    head = ("<th>#</th>" + "".join(f'<th class="l">{_label(n)}</th>' for n in names)
            + "".join(('<th class="key">' if c == metric else "<th>")
                      + f"{_label(STATISTICS[c].label)}</th>" for c in columns))
    body = []
    for rank, pos in enumerate(shown, start=1):
        cells = "".join(f'<td class="l">{_label(v)}</td>' for v in labels.iloc[pos][names])
        text = format_summary(table.iloc[pos][columns])
        body.append(f"<tr><td>{rank}</td>{cells}"
                    + "".join(f"<td>{_label(t)}</td>" for t in text) + "</tr>")
    failed = int(table["error"].notna().sum())
    note = (f'<p class="note">{failed} of {len(table)} runs failed and are left out; their '
            "errors are in the table's error column.</p>") if failed else ""
    if fixed:
        same = ", ".join(f"{_label(n)}={_label(labels[n].iloc[0])}" for n in fixed)
        note += f'<p class="note">The same in every run: {same}.</p>'
    way = "highest" if better else "lowest"
    return (f'<section id="runs"><h2>Best runs<small>{len(body)} of {len(table)}, '
            f"best {_label(STATISTICS[metric].label)} first ({way})</small></h2>"
            f'<div class="scroll"><table><thead><tr>{head}</tr></thead>'
            f'<tbody>{"".join(body)}</tbody></table></div>{note}</section>')


def _heat_section(table: pd.DataFrame, labels: pd.DataFrame, metric: str, better: bool,
                  x: Optional[str], y: Optional[str]) -> str:
    swept = _swept(labels)
    names = list(labels)
    for axis, name in (("x", x), ("y", y)):
        if name is not None and name not in names:
            raise ValueError(f"{axis} must be a parameter of the sweep "
                             f"({', '.join(names) or 'none'}), got {name!r}")
    if x is None:
        x = next((n for n in swept if n != y), None)
    if y is None:
        y = next((n for n in swept if n != x), None)
    if x is None:
        return ('<section id="heat"><h2>Heat map</h2><p>No parameter takes more than one '
                "value: there is nothing to map.</p></section>")
    values = _numbers(table, metric)
    frame = pd.DataFrame({"x": labels[x], "value": values.to_numpy(),
                          "y": labels[y] if y is not None else STATISTICS[metric].label})
    keys = ["y", "x"]
    grid = frame.groupby(keys, sort=False)["value"].mean().unstack("x")
    per_cell = len(table) // max(1, frame.groupby(keys, sort=False).ngroups)
    # Only what varied is averaged over; fixed values are the same in every cell.
    others = [n for n in swept if n not in (x, y)]
    finite = grid.to_numpy(dtype=np.float64)
    finite = finite[np.isfinite(finite)]
    centre = float(np.median(finite)) if finite.size else 0.0
    scale = float(np.max(np.abs(finite - centre))) if finite.size else 0.0
    fmt = _formatter(metric)
    sign = 1.0 if better else -1.0
    head = (f'<th class="l">{_label(y) if y else ""} \\ {_label(x)}</th>'
            + "".join(f"<th>{_label(c)}</th>" for c in grid.columns))
    body = "".join(
        f'<tr><td class="y l">{_label(row)}</td>'
        + "".join(f'<td style="background:{heat_color(sign * (v - centre), scale)}">'
                  f"{fmt(v)}</td>" for v in grid.loc[row]) + "</tr>"
        for row in grid.index)
    if others:
        how = (f"each cell the mean over {per_cell} runs of the other parameters "
               f"({', '.join(map(_label, others))}); failed runs left out")
    else:
        how = "one run per cell"
    return (f'<section id="heat"><h2>{_label(STATISTICS[metric].label)} by {_label(x)}'
            f"{' and ' + _label(y) if y else ''}<small>{how}; green better, red worse "
            "than the median cell</small></h2>"
            f'<div class="scroll"><table class="heat"><thead><tr>{head}</tr></thead>'
            f"<tbody>{body}</tbody></table></div></section>")


def _sharpe_section(table: pd.DataFrame) -> str:
    if "sharpe" not in table:
        return ('<section id="sharpe"><h2>Sharpe ratios</h2><p>No run has a Sharpe ratio.'
                "</p></section>")
    sharpe = _numbers(table, "sharpe").to_numpy()
    sharpe = sharpe[np.isfinite(sharpe)]
    if not sharpe.size:
        return ('<section id="sharpe"><h2>Sharpe ratios</h2><p>No run has a Sharpe ratio: '
                "every run failed or stayed flat.</p></section>")
    summary = (f"{sharpe.size} runs with a Sharpe ratio: median {np.median(sharpe):.2f}, "
               f"best {sharpe.max():.2f} (dashed)")
    chart = _chart(lambda fig, narrow: _draw_sharpe(fig, narrow, sharpe),
                   "Histogram of the runs' Sharpe ratios", 3.0, 3.2)
    return f'<section id="sharpe"><h2>Sharpe ratios<small>{summary}</small></h2>{chart}</section>'


def _draw_sharpe(fig: Any, narrow: bool, sharpe: np.ndarray) -> None:
    from matplotlib.ticker import MaxNLocator

    ax, size = _axes(fig, narrow)
    ax.hist(sharpe, bins=min(40, max(5, sharpe.size // 3)), color=LINE_COLOR, alpha=0.8)
    ax.axvline(0.0, color="#9aa3ad", linewidth=0.8)
    ax.axvline(float(sharpe.max()), color=LOSS_COLOR, linewidth=1.0, linestyle="--")
    ax.set_xlabel("Sharpe ratio (annualised)", fontsize=size)
    ax.set_ylabel("Runs", fontsize=size)
    ax.yaxis.set_major_locator(MaxNLocator(integer=True))


def _curve_label(labels: pd.DataFrame, swept: list[str], pos: int, rank: int) -> str:
    values = ", ".join(f"{name} {labels.iloc[pos][name]}" for name in swept)
    return f"#{rank} {values or f'run {pos}'}"


def _curves_section(result: Any, labels: pd.DataFrame, metric: str, better: bool,
                    top: int) -> str:
    name = _label(STATISTICS[metric].label)
    if "equity" not in result.keep:
        return ('<section id="curves"><h2>Best runs\' equity</h2><p>The equity curves were '
                "not kept: sweep with <code>keep=(\"stats\", \"equity\")</code> to see "
                "them here.</p></section>")
    equity = result.equity
    swept = _swept(labels)
    curves = []
    for rank, pos in enumerate(_ranked(result.table, metric, better)[:top], start=1):
        curve = equity.iloc[:, pos].dropna()
        curve = curve[np.isfinite(curve.to_numpy())]
        if len(curve) and curve.iloc[0] > 0:
            curves.append((_curve_label(labels, swept, pos, rank), curve / curve.iloc[0]))
        if len(curves) == MAX_CURVES:
            break
    if not curves:
        return (f'<section id="curves"><h2>Best runs\' equity</h2><p>No run with a {name} '
                "has an equity curve to draw.</p></section>")
    rows = -(-len(curves) // 2)
    chart = _chart(lambda fig, narrow: _draw_curves(fig, narrow, curves),
                   f"Equity curves of the {len(curves)} best runs by {name}",
                   3.4 + 0.22 * rows, 3.2 + 0.24 * len(curves))
    return (f'<section id="curves"><h2>Best runs\' equity<small>the {len(curves)} best by '
            f"{name}, numbered as in the table; each rebased to 1.0 on its first live bar"
            f"</small></h2>{chart}</section>")


def _draw_curves(fig: Any, narrow: bool, curves: list[tuple[str, pd.Series]]) -> None:
    ax, size = _axes(fig, narrow)
    ax.axhline(1.0, color="#9aa3ad", linewidth=0.8, linestyle="--")
    # The best drawn last, on top, and a little heavier.
    for k in reversed(range(len(curves))):
        text, curve = curves[k]
        ax.plot(curve.index, curve.to_numpy(), color=f"tab:{TAB_COLORS[k]}",
                linewidth=1.6 if k == 0 else 1.0, label=text, zorder=3 + len(curves) - k)
    ax.set_ylabel("Value (start = 1)", fontsize=size)
    if narrow:
        # Fewer date labels: at most five fit across a phone without touching.
        from matplotlib.dates import DateFormatter, MonthLocator, YearLocator

        first = min(curve.index[0] for _, curve in curves)
        last = max(curve.index[-1] for _, curve in curves)
        years = (last - first).days / 365.25
        if years >= 2:
            ax.xaxis.set_major_locator(YearLocator(max(1, math.ceil(years / 4))))
            ax.xaxis.set_major_formatter(DateFormatter("%Y"))
        else:
            # Year and month on every label: a concise axis repeats "Jul" across years.
            # Steps of whole months, four labels at most (a date locator told to keep to
            # four gives up on some spans, with a warning).
            months = max(1, round(years * 12))
            ax.xaxis.set_major_locator(MonthLocator(interval=max(1, math.ceil(months / 4))))
            ax.xaxis.set_major_formatter(DateFormatter("%Y-%m"))
    handles, texts = ax.get_legend_handles_labels()
    # Legend below the chart, best first: it never covers a line.
    legend = fig.legend(handles[::-1], texts[::-1], loc="outside lower left", fontsize=size,
                        ncols=1 if narrow else 2, frameon=False, handlelength=1.6)
    # Thick keys: a hairline's colour is hard to match with its curve.
    for line in legend.get_lines():
        line.set_linewidth(3.0)


def _overfit_section(result: Any) -> str:
    if "equity" not in result.keep:
        return ('<section id="overfit"><h2>Overfitting</h2><p>The deflated Sharpe ratio and '
                "the probability of backtest overfitting need every run's equity curve, which "
                "this sweep did not keep: sweep with <code>keep=(\"stats\", \"equity\")</code>."
                "</p></section>")
    return (f'<section id="overfit"><h2>Overfitting</h2><div class="figures">'
            f"{_deflated_part(result)}{_pbo_part(result)}</div></section>")


def _deflated_part(result: Any) -> str:
    from orvane import trials

    register = trials.active()
    try:
        with warnings.catch_warnings():
            # The text below says where the count of trials comes from.
            warnings.simplefilter("ignore", UserWarning)
            found = result.deflation()
    except ValueError as exc:
        value, used = f"not available: {exc}", ""
    else:
        value = f"{found.value:.3f}" if np.isfinite(found.value) else "n/a"
        # The table's Sharpe ratios are annualised: so are the figures beside them.
        periods = periods_per_year(result.equity.index)
        counted = ("every trial recorded in the register, this sweep's runs among them"
                   if register is not None and len(register) > 1 else "the runs with a Sharpe ratio")
        used = (f'<p class="read">Deflated for <b>{found.trials:,} trials</b> ({counted}); '
                f"this sweep's runs' per-bar Sharpe ratios have a <b>variance of "
                f"{found.sharpe_variance:.3g}</b> (a standard deviation of "
                f"{np.sqrt(found.sharpe_variance * periods):.2f} annualised). The best of that "
                "many runs without skill would show a Sharpe ratio of "
                f"{found.expected_max_sharpe * np.sqrt(periods):.2f}; the best run's is "
                f"{found.sharpe * np.sqrt(periods):.2f} over {found.bars:,} bars.</p>")
    return (f'<div><h3>Deflated Sharpe ratio</h3><p class="big">{_label(value)}</p>{used}'
            '<p class="read">The probability that the best run\'s true Sharpe ratio beats the '
            "best that this many runs without skill would show; below 0.95 the best Sharpe "
            "is within what the search alone produces.</p></div>")


def _pbo_part(result: Any) -> str:
    try:
        found = result.pbo()
    except ValueError as exc:
        return ('<div><h3>Probability of backtest overfitting</h3><p class="big">'
                f"{_label(f'not available: {exc}')}</p><p class=\"read\">No histogram of "
                "logits: the split could not be made.</p></div>")
    chart = _chart(lambda fig, narrow: _draw_logits(fig, narrow, found.logits),
                   "Histogram of the logits of the in-sample winners' out-of-sample ranks",
                   3.0, 3.2)
    return (f'<div class="wide"><h3>Probability of backtest overfitting</h3>'
            f'<p class="big">{found.pbo:.2f}</p><p class="read">How often the run that wins on '
            f"half of the bars ranks in the lower half on the other half, over "
            f"{found.combinations:,} splits of {found.bars:,} bars: near 0.5 the winner is no "
            "better than a coin flip out of sample, near 0 it keeps winning.</p>"
            f"{chart}<p class=\"note\">Each split's logit of the winner's out-of-sample rank: "
            f"left of the dashed 0 line (red) it ranked in the lower half; PBO "
            f"{found.pbo:.2f} is the share of splits there.</p></div>")


def _draw_logits(fig: Any, narrow: bool, logits: np.ndarray) -> None:
    from matplotlib.ticker import MaxNLocator

    ax, size = _axes(fig, narrow)
    reach = float(np.max(np.abs(logits))) if logits.size else 0.0
    reach = reach * 1.0001 if reach > 0 else 1.0
    # 0 is an edge, nudged right: a logit of exactly 0 counts as overfit, so it falls left.
    edges = np.linspace(-reach, reach, 2 * 12 + 1) + reach * 1e-9
    counts, _, patches = ax.hist(logits, bins=edges, color=LINE_COLOR, alpha=0.85)
    for patch, left in zip(patches, edges[:-1]):
        if left < 0:
            patch.set_facecolor(LOSS_COLOR)
    ax.axvline(0.0, color="#39424e", linewidth=1.0, linestyle="--")
    ax.set_xlabel("Logit of the winner's out-of-sample rank", fontsize=size)
    ax.set_ylabel("Splits", fontsize=size)
    ax.yaxis.set_major_locator(MaxNLocator(integer=True))


def render_sweep_report(result: Any, *, metric: str = "sharpe",
                        x: Optional[str] = None, y: Optional[str] = None, top: int = 20,
                        title: str = "Sweep report", stamp: bool = False) -> str:
    """The report as one HTML string (see ``write_sweep_report``)."""
    if not all(hasattr(result, name) for name in ("table", "params", "pbo", "deflation")):
        raise TypeError(f"result must be a SweepResult, got {type(result).__name__}")
    title = check_text(title, "title")
    stamp = check_flag(stamp, "stamp")
    # The report only orders the runs: a metric without a better side lists its highest first.
    known = STATISTICS.get(metric)
    better = metric_direction(metric, True if known is not None and known.better is None
                              else None)
    check_whole(top, "top", Bounds(1), unit="runs")
    table = result.table
    if metric not in table:
        raise ValueError(f"the report must have the runs' {metric}, got a sweep without it "
                         "(every run failed, or statistics were not kept): sweep with "
                         "keep=(\"stats\", ...)")
    figure_kit()
    labels = _labels(result)
    swept = _swept(labels)
    made = (" &middot; written " + datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
            if stamp else "")
    failed = int(table["error"].notna().sum())
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{_label(title)}</title><style>{CSS}{NARROW_CSS}</style></head><body>",
        f"<header><h1>{_label(title)}</h1><p>{len(table):,} runs &middot; {failed:,} failed "
        f"&middot; swept: {_label(', '.join(swept) or 'nothing')} &middot; kept: "
        f"{_label(', '.join(result.keep) or 'nothing')}{register_words()}</p></header><main>",
        _runs_section(table, labels, metric, better, int(top)),
        _curves_section(result, labels, metric, better, int(top)),
        _heat_section(table, labels, metric, better, x, y),
        _sharpe_section(table),
        _overfit_section(result),
        f"</main><footer>orvane{made}</footer></body></html>",
    ]
    return "\n".join(parts)


def write_sweep_report(result: Any, path: Union[str, os.PathLike], *,
                       metric: str = "sharpe", x: Optional[str] = None, y: Optional[str] = None,
                       top: int = 20, title: str = "Sweep report",
                       stamp: bool = False) -> pathlib.Path:
    """Write the report of a sweep to ``path`` (an .html file) and return the path.

    Sections: the ``top`` runs by ``metric`` (a numeric column of the table, best first by
    its better side in ``orvane.stats.STATISTICS``; highest first for a statistic with
    none), the equity curves of the best of them (at most 8, each rebased to 1.0; when
    the sweep kept equity), a heat map of ``metric`` over the
    parameters ``x`` and ``y`` (default: the first two that take more than one value;
    each cell the mean over the other parameters), the distribution of the runs' Sharpe
    ratios, and the deflated Sharpe ratio, with the number of trials and the variance of
    their Sharpe ratios it used, and the probability of backtest overfitting with the
    histogram of its logits (when the sweep kept equity; otherwise the report says what
    to keep). The page is the same bytes for the same result; ``stamp=True`` adds the time
    it was written to the footer. A directory as ``path`` gets
    ``orvane-sweep-report.html`` inside it. Needs matplotlib (``pip install 'orvane[plot]'``).
    """
    return write_html(path, "orvane-sweep-report.html", lambda: render_sweep_report(
        result, metric=metric, x=x, y=y, top=top, title=title, stamp=stamp))
