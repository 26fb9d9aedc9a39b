"""The one door to stateless native code: the front's own kernels (``orvane._kernels``:
price scans, record sums, byte compares) and the names the engine publishes (its ledger
columns, money flows and book-control slots).  Runs go through ``engine.py`` alone.
"""

from typing import Any

from orvane._kernels import (RECORD_STATS, bars_hold, bars_with_open, group_records,
                             has_jumps, holding_sums, positive_finite, record_stats, same_bytes,
                             scan_prices)

__all__ = ["bars_hold", "bars_with_open", "group_records", "has_jumps", "holding_sums",
           "positive_finite", "record_stats", "same_bytes", "scan_prices",
           "BOOK_CONTROLS", "COST_KINDS", "EXECUTION", "EXECUTION_EVENTS", "FLOWS", "LEDGER_FILLS",
           "LEDGER_ROWS",
           "LEDGER_TRADES", "RECORD_STATS"]

# The names the native side publishes for what its results hold:
# LEDGER_ROWS, LEDGER_TRADES: the ledger's columns per price row and per trade record;
# FLOWS: the row columns of money financing pays into cash (their sum is the total);
# BOOK_CONTROLS: the slots of a run's book controls; RECORD_STATS: record_stats' fields;
# EXECUTION: the keys of a run's execution switch; COST_KINDS: its costs by kind (ledger row
# columns); EXECUTION_EVENTS: the ledger's keys of its events (shortfall, stalled, carried);
# LEDGER_FILLS: the ledger's keys of every trade the run made.

# whole_lots is the engine's own rounding to whole lots, for orders sized as it trades.
_ENGINE_NAMES = ("BOOK_CONTROLS", "COST_KINDS", "EXECUTION", "EXECUTION_EVENTS", "FLOWS", "LEDGER_FILLS",
                 "LEDGER_ROWS", "LEDGER_TRADES", "whole_lots")


def __getattr__(name: str) -> Any:
    # Read from the engine on first use: importing the package does not load the engine
    # (which binds the analytics' entry table when it loads).
    if name in _ENGINE_NAMES:
        from orvane.core import tradeloom

        value = getattr(tradeloom, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
