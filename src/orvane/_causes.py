"""The causes a live book's gap to its backtest is split into, and their words: read by
the reconciliation, its page and its chart alike."""

from __future__ import annotations

__all__ = ["CAUSES", "TRADE_CAUSES", "CAUSE_WORDS", "KINDS", "signed_money"]

# In the order they are shown; the first five arise trade by trade.
CAUSES = ("price", "timing", "missed", "unplanned", "costs", "carry")
TRADE_CAUSES = CAUSES[:5]
# What each cause is, in the words of the page and the command line.
CAUSE_WORDS = {
    "price": "fill prices against the bar's trading price",
    "timing": "shares filled on another bar than the run's",
    "missed": "what the run traded and the book did not (its costs saved)",
    "unplanned": "what the book traded and the run did not (its costs paid)",
    "costs": "fees and taxes paid against the run's costs",
    "carry": "positions held from before, and income the fills do not show",
}
# What a piece of the fills is: both sides, or the part of one left over.
KINDS = ("matched", "missed", "unplanned")


def signed_money(value: float) -> str:
    """Money to the unit, signed; float dust below a cent reads 0."""
    return "0" if abs(value) < 0.005 else f"{value:+,.0f}" if abs(value) >= 0.5 else f"{value:+.2f}"
