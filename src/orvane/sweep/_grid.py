"""The grid: expansion into runs, each run split into strategy parameters and backtest
options, and the hashable labels that index the result table.
"""

import difflib
import inspect
import itertools
import math
from collections import OrderedDict
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Optional, Union

import numpy as np
import pandas as pd

from orvane import _params

__all__ = ["Grid", "Strategy", "Task", "expand_grid", "backtest_option_names",
           "split_runs", "index_for"]

# Parameter -> values (swept as a cartesian product), or one dict per run.
Grid = Union[Mapping[str, Any], Sequence[Mapping[str, Any]]]
# strategy(market, **params) -> weights
Strategy = Callable[..., pd.DataFrame]
# One run as a worker receives it: (strategy parameters, backtest options).
Task = tuple[dict[str, Any], dict[str, Any]]


# Beyond this the runs' parameters alone would fill the memory of most machines.
MAX_RUNS = 10_000_000


def _values(name: str, value: Any) -> Union[list[Any], range, np.ndarray]:
    """The values a grid entry sweeps; strings, scalars, mappings and pandas objects
    are one fixed value.  Ranges and arrays stay as they are until the grid's size is
    known to be sensible."""
    if isinstance(value, (str, bytes, Mapping, pd.Series, pd.DataFrame, pd.Index)):
        return [value]
    if isinstance(value, np.ndarray):
        if value.ndim != 1:
            raise ValueError(f"grid[{name!r}] must be a 1-D array of values, got shape "
                             f"{value.shape}")
        return value
    if isinstance(value, range):
        return value
    try:
        return list(value)
    except TypeError:
        return [value]


def _size(values: Union[list[Any], range, np.ndarray]) -> int:
    if isinstance(values, range):
        # len() of a range stops at sys.maxsize.
        ahead = values.step > 0
        return max(0, (values.stop - values.start + values.step - (1 if ahead else -1)) // values.step)
    return len(values)


def expand_grid(grid: Grid) -> tuple[list[str], list[dict[str, Any]]]:
    """(parameter names, one dict per run) from a mapping of values or a list of dicts."""
    if isinstance(grid, Mapping):
        if not grid:
            raise ValueError("grid must name at least one parameter, got an empty mapping; "
                             "to run one backtest, call orvane.backtest")
        names = list(grid)
        columns = [_values(name, grid[name]) for name in names]
        sizes = [_size(column) for column in columns]
        empty = [name for name, size in zip(names, sizes) if not size]
        if empty:
            raise ValueError("grid entries must hold at least one value, got no values "
                             f"for {', '.join(map(repr, empty))}")
        total = math.prod(sizes)
        if total > MAX_RUNS:
            counts = ", ".join(f"{name!r} {size:,}" for name, size in zip(names, sizes))
            raise ValueError(f"grid must expand to at most {MAX_RUNS:,} runs, got {total:,} "
                             f"(values per parameter: {counts}); sweep fewer values (a coarser "
                             "step), or split the grid into several sweeps")
        lists = [c.tolist() if isinstance(c, np.ndarray) else c for c in columns]
        runs = [dict(zip(names, combo)) for combo in itertools.product(*lists)]
    elif isinstance(grid, (list, tuple)):
        bad = [i for i, run in enumerate(grid) if not isinstance(run, Mapping)]
        if bad:
            raise TypeError("grid as a list must hold only dicts, got a list whose item "
                            f"{bad[0]} is {type(grid[bad[0]]).__name__}")
        if len(grid) > MAX_RUNS:
            raise ValueError(f"grid must hold at most {MAX_RUNS:,} runs, got {len(grid):,}; "
                             "split it into several sweeps")
        names = list(OrderedDict.fromkeys(name for run in grid for name in run))
        runs = [dict(run) for run in grid]
        if not runs:
            raise ValueError("grid must hold at least one run, got an empty list")
    else:
        raise TypeError("grid must be a mapping of parameter -> values or a list of "
                        f"dicts, got {type(grid).__name__}")
    not_strings = [name for name in names if not isinstance(name, str)]
    if not_strings:
        raise TypeError(f"grid parameter names must be strings, got {not_strings[0]!r}")
    return names, runs


def backtest_option_names() -> list[str]:
    """The options ``orvane.backtest`` takes after weights and prices, in its order."""
    return list(_params.option_names())


def _strategy_signature(strategy: Strategy) -> tuple[list[str], list[str], bool]:
    """(accepted names, required names, takes ``**kwargs``) of
    ``strategy(market, **params)``."""
    try:
        params = list(inspect.signature(strategy).parameters.values())
    except (TypeError, ValueError):
        return [], [], True
    if not params or params[0].kind not in (params[0].POSITIONAL_ONLY,
                                            params[0].POSITIONAL_OR_KEYWORD):
        raise TypeError("strategy must be a callable strategy(market, **params), got "
                        f"{strategy!r} with signature {inspect.signature(strategy)}")
    rest = [p for p in params[1:] if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]
    return ([p.name for p in rest],
            [p.name for p in rest if p.default is p.empty],
            any(p.kind == p.VAR_KEYWORD for p in params))


def split_runs(names: list[str], runs: list[dict[str, Any]],
               strategy: Optional[Strategy]) -> list[Task]:
    """Each run as (strategy params, backtest options); a name both accept goes to both."""
    options = backtest_option_names()
    accepted, required, any_name = ([], [], False) if strategy is None else \
        _strategy_signature(strategy)
    unknown = [n for n in names if n not in options and n not in accepted and not any_name]
    if unknown:
        hints = []
        for name in unknown:
            close = difflib.get_close_matches(name, options + accepted, n=1)
            hints.append(repr(name) + (f" (did you mean {close[0]!r}?)" if close else ""))
        where = "backtest options" + ("" if strategy is None else " or strategy parameters")
        known = options + [a for a in accepted if a not in options]
        raise ValueError(f"grid names must be {where}, got unknown "
                         f"parameter{'s' if len(unknown) > 1 else ''} {', '.join(hints)}; "
                         f"the {where} are: {', '.join(known)}")
    for i, run in enumerate(runs):
        missing = [name for name in required if name not in run]
        if missing:
            raise ValueError("grid runs must set strategy parameter "
                             f"{', '.join(map(repr, missing))} (no default), got run {i} "
                             "without it")
    tasks = []
    for run in runs:
        to_strategy = {k: v for k, v in run.items()
                       if strategy is not None and (k in accepted or
                                                    (any_name and k not in options))}
        tasks.append((to_strategy, {k: v for k, v in run.items() if k in options}))
    return tasks


def _label(value: Any, depth: int = 0) -> Any:
    """A hashable index label for a parameter value (the value itself when it can be)."""
    try:
        hash(value)
        return value
    except TypeError:
        pass
    # A list that holds itself has no end: past a few levels it is labelled by its text.
    if isinstance(value, (list, tuple, np.ndarray, pd.Index)) and depth < 8:
        return tuple(_label(v, depth + 1) for v in value)
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def index_for(names: list[str], runs: list[dict[str, Any]]) -> pd.Index:
    """The result table's index: one level per parameter, a RangeIndex ``"run"`` for
    none."""
    if not names:
        return pd.RangeIndex(len(runs), name="run")
    levels = [_level([_label(run.get(name)) for run in runs]) for name in names]
    if len(names) == 1:
        return levels[0].rename(names[0])
    if not any(_mixed(level) for level in levels):
        return pd.MultiIndex.from_arrays(levels, names=names)
    # Labels of several kinds (tuples beside text) cannot be sorted: keep them in grid order.
    coded = [pd.factorize(level.to_numpy(dtype=object), sort=False) for level in levels]
    return pd.MultiIndex(levels=[pd.Index(uniques, dtype=object, tupleize_cols=False)
                                 for _, uniques in coded],
                         codes=[codes for codes, _ in coded], names=names)


def _level(labels: list[Any]) -> pd.Index:
    try:
        return pd.Index(labels, tupleize_cols=False)
    except OverflowError:
        # pandas 1.5 cannot fit an integer beyond any float into a number column.
        return pd.Index(labels, dtype=object, tupleize_cols=False)


def _mixed(level: pd.Index) -> bool:
    return level.dtype == object and (len({type(v) for v in level}) > 1
                                      or any(isinstance(v, tuple) for v in level))
