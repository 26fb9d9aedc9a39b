"""What a sweep's store was written for: digests of the market, the weights, the grid,
the settings and the strategy.  A strategy is known by everything that decides its weights
and can be read (code, constants, defaults, closure values, module-level data it reads,
the user's own functions it calls); what cannot be read is named so the caller can be told.
"""

import builtins
import datetime
import decimal
import dis
import enum
import fractions
import functools
import hashlib
import json
import os
import sys
import sysconfig
import types
from collections.abc import Iterable, Mapping
from typing import Any, Optional

import numpy as np
import pandas as pd

__all__ = ["fingerprint", "strategy_change", "strategy_parts"]


def _digest(*parts: Any) -> str:
    h = hashlib.blake2b(digest_size=16)
    for part in parts:
        _feed(h, part)
    return h.hexdigest()


def _feed(h: Any, value: Any) -> None:
    """Hash content, not identity: arrays by their bytes, frames by index, columns and
    values, containers item by item (sets in an order that does not depend on the hash
    seed), anything else by its repr of plain values."""
    if isinstance(value, np.ndarray):
        h.update(f"array {value.dtype} {value.shape}".encode())
        if value.dtype == object:
            for item in value.ravel().tolist():
                _feed(h, item)
        else:
            h.update(np.ascontiguousarray(value).view(np.uint8))
    elif isinstance(value, (pd.DataFrame, pd.Series)):
        h.update(type(value).__name__.encode())
        _feed(h, value.index)
        if isinstance(value, pd.DataFrame):
            _feed(h, value.columns)
            for column in range(value.shape[1]):
                _feed(h, value.iloc[:, column].to_numpy())
        else:
            _feed(h, value.to_numpy())
    elif isinstance(value, pd.Index):
        h.update(f"index {value.dtype} {len(value)}".encode())
        for item in value.tolist():
            _feed(h, item)
    elif isinstance(value, Mapping):
        h.update(f"mapping {len(value)}".encode())
        for key in value:
            _feed(h, key)
            _feed(h, value[key])
    elif isinstance(value, (list, tuple)):
        h.update(f"{type(value).__name__} {len(value)}".encode())
        for item in value:
            _feed(h, item)
    elif isinstance(value, (set, frozenset)):
        h.update(f"set {len(value)}".encode())
        for item in sorted(_digest(item) for item in value):
            h.update(item.encode())
    elif isinstance(value, types.CodeType):
        _feed_code(h, value)
    elif isinstance(value, float):
        # repr tells -0.0 from 0.0 and keeps every bit; NaN is one value.
        h.update(f"float {value!r}".encode())
    else:
        h.update(f"{type(value).__module__}.{type(value).__qualname__} {value!r}".encode())


def _feed_code(h: Any, code: types.CodeType) -> None:
    """What a code object does, without where it sits in its file (line numbers), so moving
    a function does not change it and editing any constant, name or instruction does."""
    h.update(b"code")
    for field in ("co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_flags"):
        h.update(f"{field} {getattr(code, field, 0)}".encode())
    h.update(code.co_code)
    h.update(getattr(code, "co_exceptiontable", b""))
    for names in (code.co_names, code.co_varnames, code.co_freevars, code.co_cellvars):
        _feed(h, names)
    _feed(h, code.co_consts)


_PLAIN_SCALARS = (type(None), bool, int, float, complex, str, bytes, datetime.date,
                  datetime.time, datetime.timedelta, decimal.Decimal, fractions.Fraction,
                  np.generic, pd.Timedelta, pd.Period, range, slice, enum.Enum)


def _plain(value: Any, depth: int = 0) -> bool:
    """Data whose content the fingerprint can read: numbers, text, times, arrays, pandas
    objects and containers of them."""
    if depth > 20:
        return False
    if isinstance(value, _PLAIN_SCALARS) or value is pd.NaT:
        return True
    if isinstance(value, np.ndarray):
        return value.dtype != object or all(_plain(v, depth + 1) for v in value.ravel().tolist())
    if isinstance(value, (pd.DataFrame, pd.Series, pd.Index)):
        return True
    if isinstance(value, (list, tuple, set, frozenset)):
        return all(_plain(v, depth + 1) for v in value)
    if isinstance(value, dict):
        return all(_plain(k, depth + 1) and _plain(v, depth + 1) for k, v in value.items())
    return False


def _library_roots() -> tuple[str, ...]:
    paths = sysconfig.get_paths()
    roots = {os.path.realpath(paths[key]) for key in ("stdlib", "platstdlib", "purelib",
                                                     "platlib") if key in paths}
    roots |= {os.path.realpath(p) for p in sys.path if p.endswith(("site-packages",
                                                                   "dist-packages"))}
    return tuple(sorted(roots))


def _is_library(module_name: Optional[str]) -> bool:
    """Installed code (the standard library, site-packages, orvane itself) is taken as
    fixed: its version is part of the environment, not of the strategy."""
    if not module_name or module_name == "__main__":
        return False
    if module_name.split(".")[0] in ("orvane", "builtins"):
        return True
    module = sys.modules.get(module_name)
    if module is None:
        return False
    path = getattr(module, "__file__", None)
    if path is None:
        return True
    path = os.path.realpath(path)
    return any(path.startswith(root + os.sep) for root in _library_roots())


class _StrategyReader:
    """Walks a strategy: its code, constants, defaults, closure values and the
    module-level names it reads, into named digests; what it cannot read is listed."""

    def __init__(self) -> None:
        self.parts: dict[str, str] = {}
        self.unseen: list[str] = []
        self._seen_code: set[int] = set()

    def callable(self, func: Any, name: str) -> None:
        if isinstance(func, functools.partial):
            self.callable(func.func, name)
            self.value(f"{name} partial arguments", (func.args, func.keywords))
        elif isinstance(func, types.MethodType):
            self.callable(func.__func__, name)
            self.value(f"{name} bound object", getattr(func.__self__, "__dict__", func.__self__))
        elif isinstance(func, types.FunctionType):
            self.function(func, name)
        elif isinstance(func, (types.BuiltinFunctionType, type)) \
                or _is_library(getattr(type(func), "__module__", None)):
            self.parts[name] = _digest(getattr(func, "__module__", None),
                                       getattr(func, "__qualname__", type(func).__qualname__))
        elif callable(func):
            # An object with __call__: its method and its attributes.
            call = type(func).__call__
            self.callable(call, f"{name}.__call__")
            self.value(f"{name} attributes", getattr(func, "__dict__", None))

    def function(self, func: types.FunctionType, name: str) -> None:
        code = func.__code__
        if id(code) in self._seen_code:
            return
        self._seen_code.add(id(code))
        prefix = "" if name == "strategy" else f"{name}: "
        self.parts[f"{prefix}code and constants"] = _digest(func.__module__, func.__qualname__,
                                                               code)
        self.value(f"{prefix}defaults", (func.__defaults__, func.__kwdefaults__))
        for var, cell in zip(code.co_freevars, func.__closure__ or ()):
            try:
                content = cell.cell_contents
            except ValueError:  # a cell not filled yet
                continue
            self.value(f"{prefix}closure value {var}", content)
        namespace = func.__globals__
        for global_name, attrs in _globals_read(code).items():
            if global_name in namespace:
                value = namespace[global_name]
                if isinstance(value, types.ModuleType) and not _is_library(value.__name__) \
                        and attrs is not None:
                    # config.LOOKBACK: read the names taken from the user's module.
                    for attr in sorted(attrs):
                        if hasattr(value, attr):
                            self.value(f"{prefix}module-level {global_name}.{attr}",
                                       getattr(value, attr))
                    continue
                self.value(f"{prefix}module-level {global_name}", value)
            elif not hasattr(builtins, global_name):
                # Not defined yet (the run would fail); an absence is also a fact.
                self.parts[f"{prefix}module-level {global_name}"] = _digest("undefined")

    def value(self, name: str, value: Any) -> None:
        if _plain(value):
            self.parts[name] = _digest(value)
        elif isinstance(value, types.ModuleType):
            if _is_library(value.__name__):
                self.parts[name] = _digest("module", value.__name__)
            else:
                self.unseen.append(f"{name} (the module {value.__name__})")
        elif isinstance(value, (types.FunctionType, functools.partial, types.MethodType)):
            module = getattr(value, "__module__", None) if not isinstance(
                value, functools.partial) else getattr(value.func, "__module__", None)
            if _is_library(module) and not isinstance(value, functools.partial):
                self.parts[name] = _digest(module, getattr(value, "__qualname__", None))
            else:
                self.callable(value, name)
        elif isinstance(value, (types.BuiltinFunctionType, np.ufunc)):
            self.parts[name] = _digest(getattr(value, "__module__", None),
                                       getattr(value, "__name__", None))
        elif isinstance(value, type) and _is_library(value.__module__):
            self.parts[name] = _digest(value.__module__, value.__qualname__)
        else:
            self.unseen.append(f"{name} (a {type(value).__name__})")


def _globals_read(code: types.CodeType) -> dict[str, Optional[set[str]]]:
    """The global names a code object (and the code nested in it) reads, each with the
    attributes read right off it, or None where the name itself is used."""
    found: dict[str, Optional[set[str]]] = {}
    for instructions in _all_code(code):
        previous: Optional[str] = None
        for ins in instructions:
            if ins.opname in ("LOAD_GLOBAL", "LOAD_NAME"):
                if previous is not None:  # f(cfg, top): the name before is passed whole
                    found[previous] = None
                name = str(ins.argval)
                previous = name
                found.setdefault(name, set())
                continue
            if previous is not None:
                attrs = found[previous]
                if ins.opname in ("LOAD_ATTR", "LOAD_METHOD") and attrs is not None:
                    attrs.add(str(ins.argval))
                elif ins.opname not in ("CACHE", "PRECALL", "EXTENDED_ARG"):
                    found[previous] = None
                else:
                    continue
            previous = None
        if previous is not None:
            found[previous] = None
    return found


def _all_code(code: types.CodeType) -> Iterable[list[dis.Instruction]]:
    yield list(dis.get_instructions(code))
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            yield from _all_code(const)


def strategy_parts(strategy: Any) -> tuple[dict[str, str], list[str]]:
    """Digests of what decides a strategy's weights, by name (its code, constants,
    defaults, closure values, and the module-level names it reads when they are plain
    data, following the functions of the user's own modules it calls), and the names it
    reads that cannot be fingerprinted (objects, the user's modules read whole)."""
    if strategy is None:
        return {}, []
    reader = _StrategyReader()
    reader.callable(strategy, "strategy")
    return reader.parts, list(dict.fromkeys(reader.unseen))


def fingerprint(prices: Any, weights: Optional[pd.DataFrame], strategy: Any,
                runs: Iterable[Mapping[str, Any]], keep: Iterable[str]) -> dict[str, str]:
    """What a store was written for, part by part, so a refusal can say which differs.
    The strategy's part is a JSON object of its own parts' digests."""
    from orvane import __version__

    parts, _ = strategy_parts(strategy)
    return {
        "market": _digest(prices.dates, prices.tickers, prices.arrays),
        "weights": _digest(weights),
        "strategy": json.dumps(parts, sort_keys=True),
        "grid": _digest([sorted(run.items()) for run in runs]),
        "settings": _digest(sorted(keep), __version__),
    }


def strategy_change(stored: str, current: str) -> str:
    try:
        old = json.loads(stored)
        new = json.loads(current)
        assert isinstance(old, dict) and isinstance(new, dict)
    except (ValueError, AssertionError):
        return ""
    changed = sorted(k for k in old.keys() | new.keys() if old.get(k) != new.get(k))
    return f" ({', '.join(changed[:4])}{', ...' if len(changed) > 4 else ''})" if changed else ""
