"""A sweep's store: one SQLite file (the standard library's) holding each finished run as it
finishes, with one durable commit per run, so a sweep that dies (a reboot, an OOM kill,
Ctrl-C) resumes where it stopped.  A fingerprint of the market, the grid, the settings and
the strategy keeps a store from being resumed by another sweep.
"""

import hashlib
import os
import pickle
import sqlite3
from collections.abc import Iterable, Mapping
from typing import Any, Optional

import numpy as np
import pandas as pd

from orvane.sweep.runner import Payload

__all__ = ["RunStore", "fingerprint"]

_FORMAT = "orvane sweep store 1"


def _digest(*parts: Any) -> str:
    h = hashlib.blake2b(digest_size=16)
    for part in parts:
        _feed(h, part)
    return h.hexdigest()


def _feed(h: Any, value: Any) -> None:
    """Hash content, not identity: arrays by their bytes, frames by index, columns and
    values, containers item by item, anything else by its pickle."""
    if isinstance(value, np.ndarray):
        h.update(f"array {value.dtype} {value.shape}".encode())
        data = np.ascontiguousarray(value)
        h.update(data.view(np.uint8) if data.dtype != object else pickle.dumps(data.tolist(), 4))
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
        h.update(f"index {value.dtype}".encode())
        h.update(pickle.dumps(value.tolist(), 4))
    elif isinstance(value, Mapping):
        h.update(b"mapping")
        for key in value:
            _feed(h, key)
            _feed(h, value[key])
    elif isinstance(value, (list, tuple)):
        h.update(f"{type(value).__name__} {len(value)}".encode())
        for item in value:
            _feed(h, item)
    else:
        try:
            h.update(pickle.dumps(value, 4))
        except Exception:
            h.update(repr(value).encode())


def _strategy_id(strategy: Any) -> Any:
    if strategy is None:
        return None
    code = getattr(strategy, "__code__", None)
    return (getattr(strategy, "__module__", None), getattr(strategy, "__qualname__", repr(strategy)),
            code.co_code if code is not None else None, getattr(strategy, "__defaults__", None))


def fingerprint(prices: Any, weights: Optional[pd.DataFrame], strategy: Any,
                runs: Iterable[Mapping[str, Any]], keep: Iterable[str]) -> dict[str, str]:
    """What a store was written for, part by part, so a refusal can say which differs."""
    from orvane import __version__

    return {
        "market": _digest(prices.dates, prices.tickers, prices.arrays),
        "weights": _digest(weights),
        "strategy": _digest(_strategy_id(strategy)),
        "grid": _digest([sorted(run.items()) for run in runs]),
        "settings": _digest(sorted(keep), __version__),
    }


class RunStore:
    """The runs of one sweep in a SQLite file: ``done()`` gives those already there,
    ``put()`` adds one with its own commit."""

    def __init__(self, path: Any, prints: dict[str, str]) -> None:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"store must be a path to a SQLite file, got {type(path).__name__}")
        self.path = os.fspath(path)
        try:
            self.db = sqlite3.connect(self.path, isolation_level=None)
            # Write-ahead log, synced at every commit: a finished run survives a crash.
            self.db.execute("PRAGMA journal_mode=WAL")
            self.db.execute("PRAGMA synchronous=FULL")
            self.db.execute("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT)")
            self.db.execute("CREATE TABLE IF NOT EXISTS runs (run INTEGER PRIMARY KEY, "
                            "payload BLOB NOT NULL)")
            known = dict(self.db.execute("SELECT key, value FROM meta"))
        except sqlite3.DatabaseError as exc:
            raise ValueError(f"store {self.path!r} is not a sweep store this version can "
                             f"read ({exc})") from None
        if not known:
            with self.db:
                self.db.executemany("INSERT INTO meta VALUES (?, ?)",
                                    [("format", _FORMAT), *prints.items()])
            return
        if known.get("format") != _FORMAT:
            self.close()
            raise ValueError(f"store {self.path!r} was not written by an orvane sweep "
                             f"(format {known.get('format')!r})")
        differ = [part for part, value in prints.items() if known.get(part) != value]
        if differ:
            self.close()
            raise ValueError(
                f"store {self.path!r} holds runs of another sweep: its {', '.join(differ)} "
                f"differ{'s' if len(differ) == 1 else ''} from this one's; resume with the same "
                "market, weights, strategy, grid and keep, or name a new store")

    def done(self) -> dict[int, Payload]:
        return {run: pickle.loads(blob)
                for run, blob in self.db.execute("SELECT run, payload FROM runs")}

    def put(self, run: int, payload: Payload) -> None:
        blob = pickle.dumps(payload, protocol=5)
        with self.db:
            self.db.execute("INSERT OR REPLACE INTO runs VALUES (?, ?)", (run, blob))

    def close(self) -> None:
        self.db.close()
