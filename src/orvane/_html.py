"""The page kit both reports use (styles, embedded charts, colours) and the one way the
front writes a file the user named: a path checked before anything is computed, and a
failed write that names the path and its cause.
"""

from __future__ import annotations

import base64
import io
import os
import pathlib
from typing import Any, Callable, Union

import pandas as pd

from orvane._checks import check_path

__all__ = ["CSS", "DPI", "cannot_write", "heat_color", "png", "writable_path", "write_html"]

# Charts are drawn at this resolution and scaled down by the page.
DPI = 130

CSS = """
:root { --ink:#1c2630; --muted:#5f6b77; --line:#e3e6ea; --bg:#f5f7fa; --card:#fff;
        --accent:#1f4e79; --pos:#1a7f4b; --neg:#c0392b; }
* { box-sizing: border-box; }
html { -webkit-text-size-adjust: 100%; }
body { margin:0; background:var(--bg); color:var(--ink);
       font:14px/1.45 -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif; }
header { background:var(--accent); color:#fff; padding:28px 40px 22px; }
header h1 { margin:0 0 4px; font-size:24px; font-weight:600; overflow-wrap:anywhere; }
header p { margin:0; opacity:.85; }
main { max-width:1200px; margin:0 auto; padding:24px 40px 48px; }
section { background:var(--card); border:1px solid var(--line); border-radius:8px;
          padding:20px 24px; margin:0 0 20px; min-width:0; }
h2 { margin:0 0 14px; font-size:17px; font-weight:600; }
h2 small { font-weight:400; color:var(--muted); font-size:13px; margin-left:8px; }
h3 { margin:0 0 6px; font-size:13px; font-weight:600; color:var(--muted);
     text-transform:uppercase; letter-spacing:.04em; }
h3 small { text-transform:none; letter-spacing:0; font-weight:400; }
.cards { display:grid; grid-template-columns:repeat(auto-fill, minmax(min(100%, 150px), 1fr));
         gap:12px; margin-bottom:18px; }
.card { border:1px solid var(--line); border-radius:6px; padding:12px 14px; min-width:0; }
.card .k { color:var(--muted); font-size:12px; text-transform:uppercase; letter-spacing:.04em; }
.card .v { font-size:22px; font-weight:600; margin-top:2px; font-variant-numeric:tabular-nums; }
.grid { display:grid; grid-template-columns:repeat(auto-fit, minmax(min(100%, 320px), 1fr));
        gap:14px 40px; align-items:start; }
.pair { display:grid; grid-template-columns:repeat(auto-fit, minmax(min(100%, 440px), 1fr));
        gap:0 20px; align-items:start; }
.pair > * { min-width:0; }
.grid > * { min-width:0; }
.scroll { overflow-x:auto; max-width:100%; }
/* A wide table scrolls under its first column, which stays in view. */
.scroll th:first-child, .scroll td:first-child { position:sticky; left:0; z-index:1;
  background:var(--card); box-shadow:1px 0 0 var(--line); }
.scroll th:first-child { background:#fafbfc; }
.scroll tbody tr:nth-child(even) td:first-child { background:#fbfcfd; }
table { border-collapse:collapse; width:100%; font-variant-numeric:tabular-nums; }
th, td { padding:5px 8px; border-bottom:1px solid var(--line); text-align:right; white-space:nowrap; }
th { color:var(--muted); font-weight:600; font-size:12px; background:#fafbfc; }
th:first-child, td:first-child, td.l, th.l { text-align:left; }
.kv td { border-bottom:1px dotted var(--line); }
.kv td:first-child { white-space:normal; overflow-wrap:anywhere; }
/* A long setting (rates per ticker) wraps rather than squeeze the names beside it. */
.kv td:last-child { white-space:normal; overflow-wrap:break-word; }
td.wrap { white-space:normal; }
tbody tr:nth-child(even) td { background:#fbfcfd; }
.pos { color:var(--pos); } .neg { color:var(--neg); }
img { max-width:100%; width:100%; height:auto; display:block; }
.heat td { font-size:12px; padding:6px 4px; text-align:center; border:1px solid #fff; }
.heat th { text-align:center; }
.heat td.y { font-weight:600; background:#fafbfc; }
.tag { display:inline-block; padding:1px 8px; border-radius:10px; font-size:12px; background:#eef1f4; }
.tag.enter { background:#e3f3ea; color:var(--pos); } .tag.exit { background:#fbe9e7; color:var(--neg); }
.tag.rule { background:#fff3d6; color:#8a5a00; }
.note { color:var(--muted); font-size:12px; margin:8px 0 0; }
ul.warn { margin:0; padding-left:20px; color:#8a5a00; overflow-wrap:anywhere; }
.alert { margin:0; color:var(--neg); font-weight:600; }
footer { color:var(--muted); font-size:12px; text-align:center; padding:0 0 24px; }
@media (max-width: 640px) {
  header { padding:18px 16px 14px; }
  header h1 { font-size:20px; }
  main { padding:12px 10px 32px; }
  section { padding:14px 12px; margin-bottom:12px; }
  h2 small { display:block; margin:2px 0 0; }
  .cards { gap:8px; }
  .card { padding:8px 10px; }
  .card .v { font-size:18px; }
  table { font-size:12px; }
  th, td { padding:4px 5px; }
}
"""


def png(fig: Any) -> str:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=DPI, facecolor="white")
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def heat_color(value: float, scale: float) -> str:
    if pd.isna(value) or scale <= 0:
        return "#ffffff"
    strength = min(abs(value) / scale, 1.0) * 0.75
    rgb = (26, 127, 75) if value >= 0 else (192, 57, 43)
    return f"rgba({rgb[0]},{rgb[1]},{rgb[2]},{strength:.3f})"


def writable_path(path: Any, name: str) -> pathlib.Path:
    return pathlib.Path(check_path(path, name, empty='pass "." to write into the working folder'))


def cannot_write(path: pathlib.Path, exc: OSError) -> OSError:
    """The OS error of a write, naming the path the caller gave and the cause."""
    reason = exc.strerror or str(exc)
    where = f" ({exc.filename})" if exc.filename and str(exc.filename) != str(path) else ""
    return type(exc)(exc.errno, f"cannot write {path}: {reason}{where}") if exc.errno \
        else OSError(f"cannot write {path}: {reason}{where}")


def write_html(path: Union[str, os.PathLike], name: str, render: Callable[[], str]) -> pathlib.Path:
    """Write ``render()`` to ``path`` (a folder gets ``name`` inside it); a failed write
    names the path and its cause."""
    target = writable_path(path, "path")
    try:
        if target.is_dir():
            target = target / name
    except OSError as exc:  # a name too long, a folder that cannot be searched
        raise cannot_write(target, exc) from None
    text = render()
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text, encoding="utf-8")
    except OSError as exc:
        raise cannot_write(target, exc) from None
    return target
