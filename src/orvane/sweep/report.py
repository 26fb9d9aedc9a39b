"""One self-contained HTML report of a sweep: the best runs, a heat map of the metric over
two parameters, the spread of Sharpe ratios and the overfitting measures. Styles inline,
the chart a base64 PNG; it opens offline and reads on a phone.
"""

from __future__ import annotations

import html
import os
import pathlib
from datetime import datetime, timezone
from typing import Any, Optional, Union

import numpy as np
import pandas as pd

from orvane._checks import Bounds, check_text, check_whole
from orvane.plotting import LINE_COLOR, LOSS_COLOR, figure_kit, house_style
from orvane._html import CSS, heat_color, png, write_html
from orvane.stats import STATISTICS, SWEEP_COLUMNS, format_summary, metric_direction

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
@media (max-width: 640px) {
  header { padding:18px 16px 14px; } header h1 { font-size:20px; }
  main { padding:14px 10px 32px; } section { padding:14px 12px; }
}
"""


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


def _runs_section(table: pd.DataFrame, labels: pd.DataFrame, metric: str, better: bool,
                  top: int) -> str:
    values = _numbers(table, metric).to_numpy()
    live = np.flatnonzero(~np.isnan(values))
    shown = live[np.argsort(-values[live] if better else values[live], kind="stable")][:top]
    names = list(labels)
    columns = [metric, *(c for c in SWEEP_COLUMNS if c != metric and c in table)]
    head = ("<th>#</th>" + "".join(f'<th class="l">{_label(n)}</th>' for n in names)
            + "".join(f"<th>{_label(STATISTICS[c].label)}</th>" for c in columns))
    body = []
    for rank, pos in enumerate(shown, start=1):
        cells = "".join(f'<td class="l">{_label(v)}</td>' for v in labels.iloc[pos])
        text = format_summary(table.iloc[pos][columns])
        body.append(f"<tr><td>{rank}</td>{cells}"
                    + "".join(f"<td>{_label(t)}</td>" for t in text) + "</tr>")
    failed = int(table["error"].notna().sum())
    note = (f'<p class="note">{failed} of {len(table)} runs failed and are left out; their '
            "errors are in the table's error column.</p>") if failed else ""
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
    others = [n for n in names if n not in (x, y)]
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
    Figure, _ = figure_kit()
    from matplotlib.ticker import MaxNLocator

    sharpe = _numbers(table, "sharpe").to_numpy()
    sharpe = sharpe[np.isfinite(sharpe)]
    fig = Figure(figsize=(7.0, 3.0), layout="constrained")
    ax = fig.subplots()
    house_style(ax)
    if sharpe.size:
        ax.hist(sharpe, bins=min(40, max(5, sharpe.size // 3)), color=LINE_COLOR, alpha=0.8)
        ax.axvline(0.0, color="#9aa3ad", linewidth=0.8)
        ax.axvline(float(sharpe.max()), color=LOSS_COLOR, linewidth=1.0, linestyle="--")
    ax.set_xlabel("Sharpe ratio (annualised)", fontsize=9)
    ax.set_ylabel("Runs", fontsize=9)
    ax.yaxis.set_major_locator(MaxNLocator(integer=True))
    summary = (f"{sharpe.size} runs with a Sharpe ratio: median {np.median(sharpe):.2f}, "
               f"best {sharpe.max():.2f} (dashed)") if sharpe.size else "no run has one"
    return (f'<section id="sharpe"><h2>Sharpe ratios<small>{summary}</small></h2>'
            f'<img class="chart" alt="Histogram of the runs\' Sharpe ratios" '
            f'src="{png(fig)}"></section>')


def _overfit_section(result: Any) -> str:
    if "equity" not in result.keep:
        return ('<section id="overfit"><h2>Overfitting</h2><p>The deflated Sharpe ratio and '
                "the probability of backtest overfitting need every run's equity curve, which "
                "this sweep did not keep: sweep with <code>keep=(\"stats\", \"equity\")</code>."
                "</p></section>")
    parts = []
    try:
        dsr = result.deflated_sharpe()
        value = f"{dsr:.3f}" if np.isfinite(dsr) else "n/a"
    except ValueError as exc:
        value = f"not available: {exc}"
    parts.append(
        f'<div><h3>Deflated Sharpe ratio</h3><p class="big">{_label(value)}</p><p class="read">'
        "The probability that the best run's true Sharpe ratio beats the best that this many "
        "runs without skill would show; below 0.95 the best Sharpe is within what the search "
        "alone produces.</p></div>")
    try:
        found = result.pbo()
        value = f"{found.pbo:.2f}"
        detail = f" over {found.combinations:,} splits of {found.bars:,} bars"
    except ValueError as exc:
        value, detail = f"not available: {exc}", ""
    parts.append(
        f'<div><h3>Probability of backtest overfitting</h3><p class="big">{_label(value)}</p>'
        f'<p class="read">How often the run that wins on half of the bars ranks in the lower '
        f"half on the other half{detail}: near 0.5 the winner is no better than a coin flip "
        "out of sample, near 0 it keeps winning.</p></div>")
    return (f'<section id="overfit"><h2>Overfitting</h2><div class="figures">{"".join(parts)}'
            "</div></section>")


def render_sweep_report(result: Any, *, metric: str = "sharpe",
                        x: Optional[str] = None, y: Optional[str] = None, top: int = 20,
                        title: str = "Sweep report") -> str:
    """The report as one HTML string (see ``write_sweep_report``)."""
    if not all(hasattr(result, name) for name in ("table", "params", "pbo", "deflated_sharpe")):
        raise TypeError(f"result must be a SweepResult, got {type(result).__name__}")
    title = check_text(title, "title")
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
    made = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    failed = int(table["error"].notna().sum())
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{_label(title)}</title><style>{CSS}{NARROW_CSS}</style></head><body>",
        f"<header><h1>{_label(title)}</h1><p>{len(table):,} runs &middot; {failed:,} failed "
        f"&middot; swept: {_label(', '.join(swept) or 'nothing')} &middot; kept: "
        f"{_label(', '.join(result.keep) or 'nothing')}</p></header><main>",
        _runs_section(table, labels, metric, better, int(top)),
        _heat_section(table, labels, metric, better, x, y),
        _sharpe_section(table),
        _overfit_section(result),
        f"</main><footer>orvane &middot; written {made}</footer></body></html>",
    ]
    return "\n".join(parts)


def write_sweep_report(result: Any, path: Union[str, os.PathLike], *,
                       metric: str = "sharpe", x: Optional[str] = None, y: Optional[str] = None,
                       top: int = 20, title: str = "Sweep report") -> pathlib.Path:
    """Write the report of a sweep to ``path`` (an .html file) and return the path.

    Sections: the ``top`` runs by ``metric`` (a numeric column of the table, best first by
    its better side in ``orvane.stats.STATISTICS``; highest first for a statistic with
    none), a heat map of ``metric`` over the
    parameters ``x`` and ``y`` (default: the first two that take more than one value;
    each cell the mean over the other parameters), the distribution of the runs' Sharpe
    ratios, and the deflated Sharpe ratio and probability of backtest overfitting (when
    the sweep kept equity; otherwise the report says what to keep). A directory as
    ``path`` gets ``orvane-sweep-report.html`` inside it. Needs matplotlib
    (``pip install 'orvane[plot]'``).
    """
    return write_html(path, "orvane-sweep-report.html", lambda: render_sweep_report(
        result, metric=metric, x=x, y=y, top=top, title=title))
