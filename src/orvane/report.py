"""One self-contained HTML report of a backtest result.

Everything is inside the file: CSS inline, charts as base64 PNG, the monthly
heat map as a coloured table. It opens offline and can be mailed as it is.
"""

from __future__ import annotations

import base64
import html
import io
import os
import pathlib
from datetime import datetime, timezone
from typing import Any, Union

import numpy as np
import pandas as pd

from orvane import _params, plotting
from orvane._records import ordered_actions, to_act_on
from orvane.stats import format_summary, live_equity, summary

__all__ = ["write_report", "render_report"]

MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
HEADLINE = ("total_return", "cagr", "sharpe", "max_drawdown", "annual_volatility", "win_rate")

CSS = """
:root { --ink:#1c2630; --muted:#5f6b77; --line:#e3e6ea; --bg:#f5f7fa; --card:#fff;
        --accent:#1f4e79; --pos:#1a7f4b; --neg:#c0392b; }
* { box-sizing: border-box; }
body { margin:0; background:var(--bg); color:var(--ink);
       font:14px/1.45 -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif; }
header { background:var(--accent); color:#fff; padding:28px 40px 22px; }
header h1 { margin:0 0 4px; font-size:24px; font-weight:600; }
header p { margin:0; opacity:.85; }
main { max-width:1200px; margin:0 auto; padding:24px 40px 48px; }
section { background:var(--card); border:1px solid var(--line); border-radius:8px;
          padding:20px 24px; margin:0 0 20px; }
h2 { margin:0 0 14px; font-size:17px; font-weight:600; }
h2 small { font-weight:400; color:var(--muted); font-size:13px; margin-left:8px; }
.cards { display:grid; grid-template-columns:repeat(6, 1fr); gap:12px; margin-bottom:18px; }
.card { border:1px solid var(--line); border-radius:6px; padding:12px 14px; }
.card .k { color:var(--muted); font-size:12px; text-transform:uppercase; letter-spacing:.04em; }
.card .v { font-size:22px; font-weight:600; margin-top:2px; font-variant-numeric:tabular-nums; }
.cols { columns:2; column-gap:40px; }
table { border-collapse:collapse; width:100%; font-variant-numeric:tabular-nums; }
th, td { padding:5px 8px; border-bottom:1px solid var(--line); text-align:right; white-space:nowrap; }
th { color:var(--muted); font-weight:600; font-size:12px; background:#fafbfc; }
th:first-child, td:first-child, td.l, th.l { text-align:left; }
.kv td { border-bottom:1px dotted var(--line); }
.kv { break-inside:avoid; }
tbody tr:nth-child(even) td { background:#fbfcfd; }
.pos { color:var(--pos); } .neg { color:var(--neg); }
img { width:100%; height:auto; display:block; }
.heat td { font-size:12px; padding:6px 4px; text-align:center; border:1px solid #fff; }
.heat th { text-align:center; }
.heat td.y { font-weight:600; background:#fafbfc; }
.tag { display:inline-block; padding:1px 8px; border-radius:10px; font-size:12px; background:#eef1f4; }
.tag.enter { background:#e3f3ea; color:var(--pos); } .tag.exit { background:#fbe9e7; color:var(--neg); }
.tag.rule { background:#fff3d6; color:#8a5a00; }
.note { color:var(--muted); font-size:12px; margin:8px 0 0; }
ul.warn { margin:0; padding-left:20px; color:#8a5a00; }
.alert { margin:0; color:var(--neg); font-weight:600; }
footer { color:var(--muted); font-size:12px; text-align:center; padding:0 0 24px; }
"""


def _png(fig: Any) -> str:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=144, facecolor="white")
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def _num_class(value: Any) -> str:
    if isinstance(value, (int, float, np.number)) and np.isfinite(value) and value != 0:
        return "pos" if value > 0 else "neg"
    return ""


def _pct(value: Any, digits: int = 2) -> str:
    # Rounding first, then + 0.0, keeps a tiny loss from reading "-0.0%".
    return "" if pd.isna(value) else f"{round(value, digits + 2) + 0.0:.{digits}%}"


def _day(value: Any) -> str:
    return "" if pd.isna(value) else pd.Timestamp(value).strftime("%Y-%m-%d")


def _table(frame: pd.DataFrame, formats: dict, left: tuple = ()) -> str:
    """HTML table; ``formats`` maps column -> (header, formatter), ``left`` aligns text columns."""
    head = "".join(
        f'<th class="{"l" if c in left else ""}">{html.escape(h)}</th>' for c, (h, _) in formats.items()
    )
    rows = []
    for _, row in frame.iterrows():
        cells = []
        for column, (_, fmt) in formats.items():
            value = row[column]
            css = "l" if column in left else _num_class(value) if column in ("return",) else ""
            cells.append(f'<td class="{css}">{fmt(value)}</td>')
        rows.append("<tr>" + "".join(cells) + "</tr>")
    return f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(rows)}</tbody></table>"


def _card_class(name: str, value: Any) -> str:
    # Volatility has no good side; a win rate is good above one half, not above zero.
    if name == "annual_volatility":
        return ""
    if name == "win_rate":
        return _num_class(value - 0.5) if isinstance(value, (int, float, np.number)) else ""
    return _num_class(value)


def _stats_section(stats: pd.Series) -> str:
    text = format_summary(stats)
    by_name = dict(zip(stats.index, zip(text.index, text)))
    cards = "".join(
        f'<div class="card"><div class="k">{html.escape(by_name[k][0])}</div>'
        f'<div class="v {_card_class(k, stats[k])}">'
        f"{html.escape(by_name[k][1])}</div></div>"
        for k in HEADLINE
    )
    half = (len(text) + 1) // 2
    tables = "".join(
        '<table class="kv"><tbody>'
        + "".join(f"<tr><td>{html.escape(k)}</td><td>{html.escape(v)}</td></tr>" for k, v in part.items())
        + "</tbody></table>"
        for part in (text.iloc[:half], text.iloc[half:])
    )
    return (f'<section id="summary"><h2>Summary</h2><div class="cards">{cards}</div>'
            f'<div class="cols">{tables}</div></section>')


def _heat_color(value: float, scale: float) -> str:
    if pd.isna(value) or scale <= 0:
        return "#ffffff"
    strength = min(abs(value) / scale, 1.0) * 0.75
    rgb = (26, 127, 75) if value >= 0 else (192, 57, 43)
    return f"rgba({rgb[0]},{rgb[1]},{rgb[2]},{strength:.3f})"


def _monthly_section(result: Any) -> str:
    monthly = result.monthly_returns()
    monthly = monthly.reindex(columns=range(1, 13))
    # Full-year figure compounds the months that exist.
    yearly = (1.0 + monthly.fillna(0.0)).prod(axis=1) - 1.0
    yearly[monthly.isna().all(axis=1)] = np.nan
    finite = monthly.to_numpy(dtype=float)
    finite = finite[np.isfinite(finite)]
    scale = float(np.quantile(np.abs(finite), 0.95)) if finite.size else 0.0
    head = '<th class="l">Year</th>' + "".join(f"<th>{m}</th>" for m in MONTHS) + "<th>Year</th>"
    rows = []
    for year, row in monthly.iterrows():
        cells = "".join(
            f'<td style="background:{_heat_color(v, scale)}">{_pct(v, 1)}</td>' for v in row
        )
        rows.append(f'<tr><td class="y l">{year}</td>{cells}'
                    f'<td class="y {_num_class(yearly[year])}">{_pct(yearly[year], 1)}</td></tr>')
    return (f'<section id="monthly"><h2>Monthly returns<small>compounded within each month</small></h2>'
            f'<table class="heat"><thead><tr>{head}</tr></thead><tbody>{"".join(rows)}</tbody>'
            "</table></section>")


def _trades_section(trades: pd.DataFrame, last: int) -> str:
    shown = trades.sort_values("entry_date", kind="stable").tail(last).iloc[::-1]
    formats = {
        "ticker": ("Ticker", html.escape),
        "side": ("Side", html.escape),
        "entry_date": ("Entry", _day),
        "exit_date": ("Exit", lambda v: "open" if pd.isna(v) else _day(v)),
        "weight": ("Weight", lambda v: _pct(v, 2)),
        "bars_held": ("Bars", lambda v: "" if pd.isna(v) else f"{int(v)}"),
        "return": ("Return", _pct),
        "mae": ("MAE", _pct),
        "gmfe": ("MFE", _pct),
        "exit_reason": ("Exit reason", lambda v: html.escape(str(v)).replace("_", " ")),
    }
    body = _table(shown, formats, left=("ticker", "side", "exit_reason")) if len(shown) else "<p>No trades.</p>"
    reasons = trades["exit_reason"].astype(str).str.replace("_", " ").value_counts()
    mix = " &middot; ".join(f"{html.escape(r)} {n:,}" for r, n in reasons.items())
    note = f'<p class="note">All {len(trades):,} trades by how they ended: {mix}</p>' if len(trades) else ""
    return (f'<section id="trades"><h2>Last trades<small>{len(shown)} of {len(trades):,}, '
            f"latest entry first</small></h2>{body}{note}</section>")


def _tag(code: str, words: str) -> str:
    kind = "enter" if code == "enter" else "exit" if code == "exit" else "rule" if code not in ("", "hold") else ""
    return f'<span class="tag {kind}">{html.escape(words)}</span>'


def _actions_section(actions: pd.DataFrame) -> str:
    frame = ordered_actions(actions)
    changes = int(to_act_on(frame).sum())
    rows = "".join(
        f'<tr><td class="l">{html.escape(str(ticker))}</td><td>{_pct(r.weight)}</td>'
        f'<td>{_pct(r.next_weight)}</td><td class="l">{_tag(r.code, str(r.action))}</td>'
        f'<td class="l"><code>{html.escape(r.code)}</code></td></tr>'
        for ticker, r in zip(frame.index, frame.itertuples(index=False))
    )
    body = (
        '<table><thead><tr><th class="l">Ticker</th><th>Weight now</th><th>Next weight</th>'
        f'<th class="l">Action</th><th class="l">Code</th></tr></thead><tbody>{rows}</tbody></table>'
        if len(frame) else "<p>Nothing held and nothing to do.</p>"
    )
    return (f'<section id="actions"><h2>Next actions<small>{changes} to act on, '
            f"{len(frame)} tickers listed</small></h2>{body}</section>")


def _settings_section(result: Any) -> str:
    settings = list((getattr(result, "settings", {}) or {}).items())
    half = (len(settings) + 1) // 2
    tables = "".join(
        '<table class="kv"><tbody>'
        + "".join(f"<tr><td>{html.escape(str(k))}</td><td>{html.escape(_params.setting_text(str(k), v))}</td></tr>"
                  for k, v in part)
        + "</tbody></table>"
        for part in (settings[:half], settings[half:])
    )
    warnings = getattr(result, "warnings", ()) or ()
    warn = ('<h2 style="margin-top:18px">Warnings</h2><ul class="warn">'
            + "".join(f"<li>{html.escape(str(w))}</li>" for w in warnings) + "</ul>") if warnings else ""
    return f'<section id="settings"><h2>Settings</h2><div class="cols">{tables}</div>{warn}</section>'


def _ruin_note(result: Any) -> str:
    if not getattr(result, "ruined", False):
        return ""
    return ('<section id="ruin"><p class="alert">The equity reached 0 or below on '
            f"{_day(result.end)}: the result ends there (a book worth nothing cannot hold "
            "positions as fractions of itself).</p></section>")


def render_report(result: Any, *, title: str = "Backtest report", last_trades: int = 25) -> str:
    """The report as one HTML string (see ``write_report``)."""
    stats = summary(result)
    equity = live_equity(result)
    equity_fig = plotting.plot_equity(result, title=None, figsize=(11.0, 5.2))
    trades_fig = plotting.plot_trades(result, figsize=(11.0, 4.2))
    trades_fig.suptitle("")
    period = f"{_day(stats['start'])} to {_day(stats['end'])}"
    final = f"{equity.iloc[-1]:.4f}" if len(equity) else "n/a"
    made = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{html.escape(title)}</title><style>{CSS}</style></head><body>",
        f"<header><h1>{html.escape(title)}</h1><p>{period} &middot; {len(equity):,} "
        f"bar{'s' if len(equity) != 1 else ''} &middot; "
        f"final value {final} (start 1.0) &middot; {len(result.trades):,} trades</p></header><main>",
        _ruin_note(result),
        _stats_section(stats),
        f'<section id="equity"><h2>Equity and drawdown<small>shaded: the deepest drawdown, '
        f'peak to recovery</small></h2><img alt="Equity curve and drawdown" src="{_png(equity_fig)}">'
        "</section>",
        _monthly_section(result),
        f'<section id="excursions"><h2>Trade excursions<small>worst (MAE) and best (MFE) move '
        f'of each trade against its return; green won, red lost</small></h2>'
        f'<img alt="MAE and MFE against trade return" src="{_png(trades_fig)}"></section>',
        _trades_section(result.trades, last_trades),
        _actions_section(result.actions),
        _settings_section(result),
        f"</main><footer>orvane &middot; written {made}</footer></body></html>",
    ]
    return "\n".join(parts)


def write_report(result: Any, path: Union[str, os.PathLike], *, title: str = "Backtest report", last_trades: int = 25) -> pathlib.Path:
    """Write the report of ``result`` to ``path`` (an .html file) and return the path.

    Sections: summary statistics, equity and drawdown chart, monthly returns
    heat map, trade excursion scatter, the last ``last_trades`` trades, the next
    actions, the settings and warnings. The file needs no network: styles are
    inline and charts are embedded PNG images. A directory as ``path`` gets
    ``orvane-report.html`` inside it. Needs matplotlib (``pip install 'orvane[plot]'``).
    """
    from orvane.result import _writable_path, cannot_write

    path = _writable_path(path, "path")
    if path.is_dir():
        path = path / "orvane-report.html"
    text = render_report(result, title=title, last_trades=last_trades)
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
    except OSError as exc:
        raise cannot_write(path, exc) from None
    return path
