"""One self-contained HTML page of a reconciliation, live against backtest: the two P&Ls and
their gap, the waterfall of its causes, the gap rebalance by rebalance, the names and the
pieces of fills that make most of it, and the warnings.  Styles inline, charts base64 PNGs
drawn for a wide screen and a phone; two renders of one result are the same bytes.
"""

from __future__ import annotations

import html
import os
import pathlib
from typing import Any, Callable, Dict, Tuple, Union

import numpy as np
import pandas as pd

from orvane import plotting
from orvane._checks import check_text
from orvane._common import day, money
from orvane._html import CSS, write_html
from orvane._causes import CAUSES, TRADE_CAUSES, signed_money as _money_text
from orvane.plotting import _money_label
from orvane.report import _card, _figure, _num_class, _scroll, _section, _signed, _table

__all__ = ["REPORT_NAME", "render_reconciliation_report", "write_reconciliation_report"]

# The file a page gets inside a folder given as its path.
REPORT_NAME = "orvane-reconciliation.html"
# The pieces of fills listed, the largest first.
PIECES_SHOWN = 25
NAMES_SHOWN = 10

Formats = Dict[str, Tuple[str, Callable[[Any], str]]]


def _cents(frame: pd.DataFrame, columns: Any) -> pd.DataFrame:
    """Money to the cent: float dust reads 0 and takes no colour."""
    frame = frame.copy()
    frame[list(columns)] = frame[list(columns)].round(2) + 0.0
    return frame


def _when(value: Any) -> str:
    """A date, with its time of day when it has one (intraday bars, a fill's time)."""
    return "" if pd.isna(value) else html.escape(day(value))


def _money_cell(value: Any) -> str:
    # Blank where a cause does not apply (a missed piece has no price cause).
    return "" if pd.isna(value) else _money_text(value)


def _causes_formats(columns: Any) -> Formats:
    return {c: (c.capitalize(), _money_cell) for c in columns}


def _summary_section(rec: Any) -> str:
    totals = rec.totals.round(2) + 0.0
    largest = str(totals.abs().idxmax()) if totals.abs().max() > 0 else ""
    gap = round(rec.gap, 2) + 0.0
    cards = [_card("Backtest P&L", _money_label(rec.backtest_pnl),
                   _num_class(round(rec.backtest_pnl, 2))),
             _card("Live P&L", _money_label(rec.live_pnl), _num_class(round(rec.live_pnl, 2))),
             _card("Gap", _money_label(gap, signed=True), _num_class(gap)),
             _card("Gap of capital", _signed(gap / rec.capital), _num_class(gap)),
             _card(f"Largest cause: {largest}" if largest else "Largest cause",
                   _money_label(totals[largest], signed=True) if largest else "none",
                   _num_class(totals[largest]) if largest else "")]
    note = ('<p class="note">Gap = live P&amp;L - backtest P&amp;L, both at the run\'s capital '
            f"({money(rec.capital)}) and marked at the run's last close of each ticker on "
            f"{day(rec.end)}; its causes below add up to it.</p>")
    return _section("summary", "Summary", f'<div class="cards">{"".join(cards)}</div>{note}')


def _causes_table(rec: Any) -> str:
    frame = rec.to_frame()
    frame.insert(0, "cause", frame.index)
    frame = _cents(frame, ["money"])
    formats: Formats = {"cause": ("Cause", html.escape), "money": ("Money", _money_text),
                        "of_capital": ("Of capital", _signed),
                        "what": ("What it is", html.escape)}
    return _scroll(_table(frame, formats, left=("cause", "what"), signed=("money",),
                          wrap=("what",), key="money"))


def _waterfall_section(rec: Any) -> str:
    note = ("from the backtest's P&amp;L through each cause to the live P&amp;L; green a gain "
            "of the book against the run, red a loss")
    chart = _figure("causes", "Causes of the gap", note,
                    lambda size: plotting.plot_reconciliation(rec, title=None, figsize=size),
                    3.6, "Waterfall from backtest P&L through each cause to live P&L", 4.0)
    return chart.replace("</section>", _causes_table(rec) + "</section>")


def _rebalances_section(rec: Any) -> str:
    table = rec.rebalances
    note = ("the trade causes of the pieces of fills after each rebalance, up to the next; "
            "carry is not made trade by trade and is not in it")
    chart = _figure("rebalances", "Gap by rebalance", note,
                    lambda size: plotting.plot_reconciliation_gap(rec, title=None, figsize=size),
                    3.2, "Gap of each rebalance and its running sum over time", 3.4)
    if not len(table):
        return chart.replace("</section>", "<p>No fills on either side.</p></section>")
    frame = _cents(table.reset_index(), [*TRADE_CAUSES, "total", "cumulative"])
    # The rebalance's gap and the running sum first: a phone shows them before it scrolls.
    formats: Formats = {"rebalance": ("Rebalance", _when), "total": ("Gap", _money_text),
                        "cumulative": ("Running sum", _money_text),
                        **_causes_formats(TRADE_CAUSES)}
    body = _scroll(_table(frame, formats, left=("rebalance",),
                          signed=("total", "cumulative", *TRADE_CAUSES), key="total"))
    return chart.replace("</section>", body + "</section>")


def _shares(value: Any) -> str:
    if pd.isna(value):
        return ""
    if value == 0:
        return "0"
    return f"{value:+,.0f}" if float(value).is_integer() else f"{value:+,.4f}".rstrip("0")


def _names_section(rec: Any) -> str:
    top = rec.top(NAMES_SHOWN)
    frame = _cents(top.reset_index(), [*CAUSES, "total"])
    formats: Formats = {"ticker": ("Ticker", html.escape), "total": ("Gap", _money_text),
                        **_causes_formats(CAUSES), "run_shares": ("Run holds", _shares),
                        "live_shares": ("Book holds", _shares)}
    body = (_scroll(_table(frame, formats, left=("ticker",), signed=("total", *CAUSES),
                           key="total")) if len(frame) else "<p>No ticker traded or held.</p>")
    note = (f"the {len(frame)} of {len(rec.names):,} tickers whose causes move the gap most; "
            "shares held at the end")
    return _section("names", "Largest by name", body, note)


def _price(value: Any) -> str:
    return "" if pd.isna(value) else f"{value:,.4g}" if abs(value) >= 1e6 else f"{value:,.2f}"


def _kind(value: Any) -> str:
    kind = str(value)
    css = "tag" if kind == "matched" else "tag rule"
    return f'<span class="{css}">{html.escape(kind)}</span>'


def _fills_section(rec: Any) -> str:
    pieces = rec.fills
    counts = pieces["kind"].value_counts()
    mix = ", ".join(f"{int(counts.get(k, 0)):,} {k}" for k in ("matched", "missed", "unplanned"))
    order = np.argsort(-pieces["total"].abs().to_numpy(), kind="stable")
    frame = _cents(pieces.iloc[order[:PIECES_SHOWN]], ["price", "timing", "costs", "total"])
    frame.loc[frame["kind"] != "matched", ["price", "timing", "costs"]] = np.nan
    formats: Formats = {
        "ticker": ("Ticker", html.escape), "total": ("Gap", _money_text),
        "kind": ("Kind", _kind), "shares": ("Shares", _shares),
        "run_date": ("Run date", _when), "run_price": ("Run price", _price),
        "live_date": ("Live date", _when),
        "live_price": ("Live price", _price), "bar_price": ("Bar price", _price),
        **_causes_formats(("price", "timing", "costs")),
    }
    body = (_scroll(_table(frame, formats, left=("ticker", "kind"),
                           signed=("total", "price", "timing", "costs"), key="total"))
            if len(frame) else "<p>No fills on either side.</p>")
    note = ('<p class="note">A piece is a live fill matched with the run\'s on the same ticker '
            "and side, or the part of either left over: missed (the run traded, the book did "
            "not) or unplanned (the book traded, the run did not), whose gap is all its own "
            "cause. A matched piece's gap is price, timing and costs; the bar price is the "
            "run's trading price on the live fill's bar.</p>")
    return _section("fills", "Largest pieces of fills", body + note,
                    f"{len(frame)} of {len(pieces):,}: {mix}")


def _warnings_section(rec: Any) -> str:
    if not rec.warnings:
        return _section("warnings", "Warnings", "<p>None.</p>")
    items = "".join(f"<li>{html.escape(str(w))}</li>" for w in rec.warnings)
    return _section("warnings", "Warnings", f'<ul class="warn">{items}</ul>')


def render_reconciliation_report(rec: Any, *,
                                 title: str = "Live against backtest") -> str:
    """The page as one HTML string (see ``write_reconciliation_report``)."""
    if not all(hasattr(rec, n) for n in ("totals", "rebalances", "names", "fills", "capital")):
        raise TypeError(f"rec must be what orvane.reconcile returns, got {type(rec).__name__}")
    title = check_text(title, "title")
    plotting.figure_kit()
    header = (f"{day(rec.start)} to {day(rec.end)} &middot; capital {money(rec.capital)} "
              f"&middot; gap {html.escape(_money_text(rec.gap))} "
              f"({_signed(rec.gap / rec.capital)} of capital)")
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{html.escape(title)}</title><style>{CSS}</style></head><body>",
        f"<header><h1>{html.escape(title)}</h1><p>{header}</p></header><main>",
        _summary_section(rec),
        _waterfall_section(rec),
        _rebalances_section(rec),
        _names_section(rec),
        _fills_section(rec),
        _warnings_section(rec),
        "</main><footer>orvane</footer></body></html>",
    ]
    return "\n".join(parts)


def write_reconciliation_report(rec: Any, path: Union[str, os.PathLike], *,
                                title: str = "Live against backtest") -> pathlib.Path:
    """Write the page of ``rec`` to ``path`` (an .html file; a folder gets
    ``orvane-reconciliation.html`` inside it) and return the path.

    Sections: the backtest and live P&L and their gap, in money and of the capital, with
    its largest cause; the waterfall through the causes with a table of each cause's money
    and what it is; the gap of each rebalance and its running sum, charted and tabled by
    cause; the ``top(10)`` tickers; the 25 largest pieces of fills; the warnings.  The same
    result gives the same bytes.  Needs matplotlib (``pip install 'orvane[plot]'``).
    """
    return write_html(path, REPORT_NAME, lambda: render_reconciliation_report(rec, title=title))
