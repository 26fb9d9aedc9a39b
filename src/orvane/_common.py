"""What the readers of user data (``io`` and ``inputs``) share: how offending values are
shown in a message, what counts as a missing label, and the dates the engine's clock holds."""

from __future__ import annotations

from typing import Any, Iterable, Optional

import pandas as pd
from pandas.api import types as ptypes

__all__ = ["SHOWN", "show", "day", "is_missing", "CLOCK_FIRST", "CLOCK_LAST"]

SHOWN = 5  # offending values shown in a message

# The engine's clock counts nanoseconds in 64 bits.
CLOCK_FIRST, CLOCK_LAST = pd.Timestamp("1677-09-22"), pd.Timestamp("2262-04-11")


def show(values: Iterable[Any], limit: int = SHOWN, total: Optional[int] = None) -> str:
    """The first ``limit`` values as ``[a, b, ... (n in all)]``."""
    values = list(values)
    total = len(values) if total is None else total
    text = ", ".join(str(v) for v in values[:limit])
    if total > limit:
        text += f", ... ({total} in all)"
    return "[" + text + "]"


def day(value: Any) -> str:
    """A date as a message shows it: the day alone when it has no time of day."""
    try:
        ts = pd.Timestamp(value)
    except (TypeError, ValueError, OverflowError):
        return str(value)
    if ts is pd.NaT:
        return "NaT"
    return str(ts.date()) if ts == ts.normalize() and ts.tz is None else str(ts)


def is_missing(value: Any) -> bool:
    """None, NaN, NaT, NA or the empty string: no label at all."""
    return value is None or (ptypes.is_scalar(value) and bool(pd.isna(value))) or value == ""
