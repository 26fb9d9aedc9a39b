"""When the engine trades each weight row, by its timing rules: a weight row dated D is in
force from the first bar after D, and a rebalance calendar picks the rows that trade.
Read by the input checks (which rows to align and report) and by the records.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["Schedule", "schedule"]


@dataclass(frozen=True)
class Schedule:
    """When the engine trades each weight row, by its timing rules.

    ``decision``: rows whose end sets a rebalance for the next bar; ``weight_row``: the weight
    row in force there; ``bar``: the bar that executes it (``n_rows`` for one still pending
    after the last bar).
    """

    decision: np.ndarray
    weight_row: np.ndarray
    bar: np.ndarray
    first_bar: int


def schedule(price_index: np.ndarray, pos_index: np.ndarray, resample: np.ndarray) -> Schedule:
    n = len(price_index)
    # Rows dated before the first weight row are not simulated.
    first = int(np.searchsorted(price_index, pos_index[0], side="left"))
    marked = np.unique(np.clip(np.searchsorted(price_index, resample, side="right") - 1, 0, n - 1))
    marked = marked[marked >= first]
    # Weight row in force at the end of row d: the last one dated before the next bar.
    nxt = np.append(price_index[1:], np.iinfo(np.int64).max)[marked]
    in_force = np.searchsorted(pos_index, nxt, side="left") - 1
    in_force = np.maximum(in_force, 0)
    prev = np.concatenate(([-1], in_force[:-1]))
    fires = in_force != prev
    decision = marked[fires]
    return Schedule(decision, in_force[fires], decision + 1, first)
