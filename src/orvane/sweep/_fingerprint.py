"""What a sweep's store was written for: digests of the market, the weights, the grid,
the settings and the strategy.  A strategy is known by everything that decides its weights
and can be read (code, constants, defaults, closure values, module-level data it reads,
the user's own functions it calls); what cannot be read is named so the caller can be told.
"""

import bisect
import builtins
import datetime
import decimal
import dis
import enum
import fractions
import functools
import hashlib
import inspect
import json
import os
import sys
import sysconfig
import types
from collections.abc import Iterable, Mapping
from typing import Any, Optional

import numpy as np
import pandas as pd

__all__ = ["fingerprint", "strategy_change", "strategy_fingerprint", "strategy_parts"]


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


# Instruction sets by name, so that a Python without one of them (LOAD_METHOD went in
# 3.12, PRECALL came and went with 3.11) just has none to match.
def _opcodes(*names: str) -> frozenset[int]:
    return frozenset(dis.opmap[name] for name in names if name in dis.opmap)


# Fillers a compiler adds or drops without changing what the code does: line-number
# placeholders, the prefix of a wide argument (dis folds it into the next instruction),
# inline caches.
_FILLER = _opcodes("NOP", "EXTENDED_ARG", "CACHE")
_JUMPS = frozenset(dis.hasjrel) | frozenset(dis.hasjabs) | frozenset(getattr(dis, "hasjump", ()))
# Arguments that index the code's own tables: dis gives the entry itself (a name, a
# constant, a local), which does not move when a compiler lays the tables out otherwise.
_CONSTANTS = frozenset(dis.hasconst)
_TABLES = _JUMPS | _CONSTANTS | frozenset(dis.hasname) | frozenset(dis.haslocal) \
    | frozenset(dis.hasfree)
# Flags that change what calling the code does; the others say how the frame is stored.
_CALL_FLAGS = (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS | inspect.CO_GENERATOR
               | inspect.CO_COROUTINE | inspect.CO_ITERABLE_COROUTINE
               | inspect.CO_ASYNC_GENERATOR)
_GLOBAL_READS = _opcodes("LOAD_GLOBAL", "LOAD_NAME")
_ATTRIBUTE_READS = _opcodes("LOAD_ATTR", "LOAD_METHOD")
# What may sit between a global's load and the attribute read off it.
_PASSED = _FILLER | _opcodes("PRECALL")


def _jump_target(ins: dis.Instruction) -> Optional[int]:
    target = getattr(ins, "jump_target", None)  # 3.13 names it
    if target is None and ins.opcode in _JUMPS and isinstance(ins.argval, int):
        target = ins.argval
    return target


def _feed_code(h: Any, code: types.CodeType) -> None:
    """What a code object does, not how it is laid out: its signature, then its
    operations in order, each with what it uses (the name, constant or local itself,
    not its index in a table; a jump as a position among the operations) and the
    exception handlers so placed.  Line numbers, byte offsets, fillers and docstrings
    are left out, so the same source gives the same digest wherever it sits in its file
    and on every patch release of one Python (whose instruction set is fixed), and an
    edit to any operation, name or constant changes it."""
    h.update(b"code")
    flags = code.co_flags & _CALL_FLAGS
    for field in ("co_argcount", "co_posonlyargcount", "co_kwonlyargcount"):
        h.update(f" {field} {getattr(code, field, 0)}".encode())
    h.update(f" flags {flags}".encode())
    given = (code.co_argcount + code.co_kwonlyargcount
             + bool(flags & inspect.CO_VARARGS) + bool(flags & inspect.CO_VARKEYWORDS))
    for names in (code.co_varnames[:given], code.co_freevars, code.co_cellvars):
        _feed(h, names)
    # Every global and attribute name, in case dis reads some instruction's name wrongly.
    _feed(h, sorted(set(code.co_names)))
    operations = [ins for ins in dis.get_instructions(code) if ins.opcode not in _FILLER]
    offsets = [ins.offset for ins in operations]
    h.update(f" operations {len(operations)}".encode())
    for ins in operations:
        h.update(f"\n{ins.opname}".encode())
        target = _jump_target(ins)
        if target is not None:
            h.update(f" to {bisect.bisect_left(offsets, target)}".encode())
        elif ins.opcode in _CONSTANTS and ins.arg is not None \
                and 0 <= ins.arg < len(code.co_consts):
            # Looked up here: 3.11's dis leaves KW_NAMES (the keywords of a call) unread.
            _feed(h, code.co_consts[ins.arg])
        elif ins.arg is not None:
            if ins.opcode not in _TABLES:  # flags dis leaves out of argval (3.13's bool())
                h.update(f" {ins.arg}".encode())
            _feed(h, ins.argval)
    for entry in getattr(dis.Bytecode(code), "exception_entries", ()):  # 3.11 on
        span = (bisect.bisect_left(offsets, offset)
                for offset in (entry.start, entry.end, entry.target))
        h.update(f"\nhandler {' '.join(map(str, span))} {entry.depth} {entry.lasti}".encode())


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
            if ins.opcode in _GLOBAL_READS:
                if previous is not None:  # f(cfg, top): the name before is passed whole
                    found[previous] = None
                name = str(ins.argval)
                previous = name
                found.setdefault(name, set())
                continue
            if previous is not None:
                attrs = found[previous]
                if ins.opcode in _ATTRIBUTE_READS and attrs is not None:
                    attrs.add(str(ins.argval))
                elif ins.opcode in _PASSED:
                    continue
                else:
                    found[previous] = None
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


def strategy_fingerprint(strategy: Any) -> str:
    """A strategy's name and a digest of what decides its weights, as a store keys it:
    how a trial register knows the trials of one strategy."""
    parts, _ = strategy_parts(strategy)
    name = getattr(strategy, "__qualname__", type(strategy).__name__)
    return f"{name}:{_digest(json.dumps(parts, sort_keys=True))[:12]}"


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
        old, new = json.loads(stored), json.loads(current)
    except ValueError:
        return ""
    if not isinstance(old, dict) or not isinstance(new, dict):  # an older store's one digest
        return ""
    changed = sorted(k for k in old.keys() | new.keys() if old.get(k) != new.get(k))
    return f" ({', '.join(changed[:4])}{', ...' if len(changed) > 4 else ''})" if changed else ""
