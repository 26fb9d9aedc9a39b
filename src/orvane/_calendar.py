"""Calendar frequencies: one table of the pandas aliases the package understands, read by the
rebalance calendar (which period an alias groups by) and by the statistics (how many bars
a year it means).
"""

from __future__ import annotations

from typing import Dict, Tuple

import numpy as np
import pandas as pd

__all__ = ["FREQUENCIES", "period_ends"]

# alias -> (period code accepted by to_period on every supported pandas, bars per year).
# Stocks trade on business days, hence 252 rather than 365 for "B"/"C".  The "end" spellings
# of pandas 2.2+ ("ME", "QE", "YE") and the old annual "A" map onto the same periods.
FREQUENCIES: Dict[str, Tuple[str, float]] = {
    "B": ("D", 252.0), "C": ("D", 252.0), "D": ("D", 365.0), "W": ("W", 52.0),
    "SM": ("M", 24.0), "SMS": ("M", 24.0),
    "M": ("M", 12.0), "ME": ("M", 12.0), "BM": ("M", 12.0), "BME": ("M", 12.0),
    "MS": ("M", 12.0), "BMS": ("M", 12.0),
    "Q": ("Q", 4.0), "QE": ("Q", 4.0), "BQ": ("Q", 4.0), "BQE": ("Q", 4.0), "QS": ("Q", 4.0),
    "BQS": ("Q", 4.0),
    "Y": ("Y", 1.0), "YE": ("Y", 1.0), "A": ("Y", 1.0), "BA": ("Y", 1.0), "BY": ("Y", 1.0),
    "BYE": ("Y", 1.0), "AS": ("Y", 1.0), "YS": ("Y", 1.0), "BAS": ("Y", 1.0), "BYS": ("Y", 1.0),
}


def period_ends(dates: pd.DatetimeIndex, freq: str) -> np.ndarray:
    """Boolean mask of the last date of each calendar period ('W', 'M', 'Q', 'Y' ...)."""
    known = FREQUENCIES.get(str(freq).upper())
    alias = known[0] if known else freq
    naive = dates.tz_localize(None) if dates.tz is not None else dates
    try:
        # None would fall back on the index's own frequency: never a calendar asked for.
        if not isinstance(freq, str):
            raise TypeError(freq)
        ordinals = np.asarray(naive.to_period(alias).asi8)
    except (ValueError, TypeError, AttributeError):
        raise ValueError(f"rebalance must be None, a frequency such as 'W', 'M', 'Q' or 'Y', "
                         f"or a list of dates; got {freq!r}, which is not a calendar "
                         "frequency") from None
    last = np.ones(len(ordinals), dtype=bool)
    last[:-1] = ordinals[1:] != ordinals[:-1]
    return last
