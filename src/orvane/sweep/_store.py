"""A sweep's store: one SQLite file (the standard library's) holding each finished run as it
finishes, with one durable commit per run, so a sweep that dies (a reboot, an OOM kill,
Ctrl-C) resumes where it stopped.

A store holds data only and its reader never runs code: each run is a JSON record (the
row's numbers and labels, warnings as text) and one blob of little-endian arrays of plain
numeric types that the record places by offset.  Store files get shared like any result
file, so a damaged or crafted one is refused, naming what is wrong, never executed.

A fingerprint of the market, the weights, the grid, the settings and the strategy
(``_fingerprint``) keeps a store from being resumed by another sweep.
"""

import builtins
import json
import math
import os
import sqlite3
import time
import urllib.parse
from contextlib import closing
from typing import Any, Optional

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None  # type: ignore[assignment]

import numpy as np
import pandas as pd

from orvane._checks import check_path
from orvane.stats import RENAMED
from orvane.sweep._fingerprint import strategy_change
from orvane.sweep._runner import Payload

__all__ = ["RunStore", "StoreError"]

FORMAT = "orvane sweep store 2"
# The pickled layout of the first version: never read (unpickling runs code).
_PICKLED_FORMATS = {"orvane sweep store 1"}
_PARTS = ("market", "weights", "strategy", "grid", "settings")
_META_COLUMNS = ["key", "value"]
_RUN_COLUMNS = ["run", "record", "arrays"]
# The only array types a store holds: numbers, flags and times, little-endian.
_DTYPES = frozenset(
    [f"<f{n}" for n in (2, 4, 8)] + [f"<{k}{n}" for k in "iu" for n in (2, 4, 8)]
    + ["|i1", "|u1", "|b1"]
    + [f"<{k}8[{u}]" for k in "Mm" for u in ("s", "ms", "us", "ns")])


class StoreError(ValueError):
    """A store that this sweep cannot use: foreign, damaged, of another sweep or
    unwritable."""


# -- the record of a run: JSON and typed arrays ---------------------------------------

class _Damaged(Exception):
    """A stored run that does not decode; the store names it."""


class _Writer:
    def __init__(self) -> None:
        self.chunks: list[bytes] = []
        self.size = 0

    def array(self, values: np.ndarray) -> dict[str, Any]:
        values = np.ascontiguousarray(values)
        dtype = values.dtype.newbyteorder("<") if values.dtype.byteorder == ">" else values.dtype
        if dtype.str not in _DTYPES:
            raise TypeError(f"an array of {values.dtype}")
        data = values.astype(dtype, copy=False).tobytes()
        place = {"dtype": dtype.str, "offset": self.size, "count": int(values.size)}
        self.chunks.append(data)
        self.size += len(data)
        return place

    def blob(self) -> bytes:
        return b"".join(self.chunks)


class _Reader:
    def __init__(self, blob: Any) -> None:
        if not isinstance(blob, bytes):
            raise _Damaged(f"its arrays are a {type(blob).__name__}, not bytes")
        self.blob = blob

    def array(self, place: Any) -> np.ndarray:
        if not isinstance(place, dict) or set(place) != {"dtype", "offset", "count"}:
            raise _Damaged("an array's place is malformed")
        dtype, offset, count = place["dtype"], place["offset"], place["count"]
        if dtype not in _DTYPES or not all(type(n) is int and n >= 0 for n in (offset, count)):
            raise _Damaged(f"an array has type {dtype!r} or place {offset!r}+{count!r}")
        size = np.dtype(dtype).itemsize * count
        if offset + size > len(self.blob):
            raise _Damaged("an array runs past the end of the stored bytes")
        return np.frombuffer(self.blob, dtype=dtype, count=count, offset=offset).copy()


def _scalar_out(value: Any) -> Any:
    """A statistic or label as JSON: numbers and text as they are, times tagged."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (int, np.integer)) and not isinstance(value, np.bool_):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value)
    if value is pd.NaT:
        return {"nat": None}
    if isinstance(value, pd.Timestamp):
        return {"time": value.isoformat(), "unit": getattr(value, "unit", "ns"),
                "tz": None if value.tz is None else str(value.tz)}
    if isinstance(value, pd.Timedelta):
        return {"span": int(value.value)}
    if isinstance(value, np.bool_):
        return bool(value)
    raise TypeError(f"a {type(value).__name__}")


def _scalar_in(value: Any) -> Any:
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, dict) and set(value) == {"nat"}:
        return pd.NaT
    if isinstance(value, dict) and set(value) == {"time", "unit", "tz"}:
        return _time_in(value["time"], value["unit"], value["tz"])
    if isinstance(value, dict) and set(value) == {"span"} and type(value["span"]) is int:
        # A Timedelta counts nanoseconds in an int64 (its smallest value is NaT).
        if not -2**63 < value["span"] < 2**63:
            raise _Damaged(f"a span of {str(value['span'])[:40]} ns is beyond any span")
        return pd.Timedelta(value["span"], unit="ns")
    raise _Damaged(f"a value {str(value)[:40]!r} is not a number, text or time")


_UNITS = ("s", "ms", "us", "ns")


def _time_in(text: Any, unit: Any, zone: Any) -> pd.Timestamp:
    """A time as ``_scalar_out`` wrote it: ISO text with its offset exactly when it has a
    zone, in one of pandas' units."""
    if not isinstance(text, str) or unit not in _UNITS or not (zone is None or isinstance(zone, str)):
        raise _Damaged(f"a time {str(text)[:40]!r} ({str(unit)[:10]!r}, zone {str(zone)[:40]!r}) "
                       "is malformed")
    try:
        stamp = pd.Timestamp(text)
        if stamp is pd.NaT or (stamp.tz is None) != (zone is None):
            raise ValueError("its offset and its zone disagree" if stamp is not pd.NaT
                             else "not a time")
        if zone is not None:
            stamp = stamp.tz_convert(zone)
        # pandas before 2.0 has nanoseconds only.
        return stamp.as_unit(unit) if hasattr(stamp, "as_unit") else stamp
    # Parse errors and out-of-range dates are ValueErrors; an unknown zone is a KeyError.
    except (ValueError, TypeError, OverflowError, KeyError) as exc:
        where = "no zone" if zone is None else f"zone {zone[:40]!r}"
        raise _Damaged(f"a time {text[:40]!r} ({where}) cannot be read ({str(exc)[:80]})") from None


def _column_out(values: Any, out: _Writer) -> dict[str, Any]:
    """One column or index as a typed array (or a list of text), with its pandas type."""
    dtype = values.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return {"kind": "category", "codes": out.array(np.asarray(pd.Categorical(values).codes)),
                "categories": _column_out(dtype.categories, out), "ordered": bool(dtype.ordered)}
    if isinstance(dtype, pd.DatetimeTZDtype):
        naive = pd.DatetimeIndex(values).tz_convert(None)
        return {"kind": "datetime_tz", "tz": str(dtype.tz), "naive": _column_out(naive, out)}
    if isinstance(dtype, np.dtype) and dtype.kind in "fiubMm":
        return {"kind": "array", "values": out.array(np.asarray(values))}
    if dtype == object or pd.api.types.is_string_dtype(dtype):
        # None and NaN stay apart in an object column (NaN as JSON's NaN); pd.NA is None.
        texts = [None if v is pd.NA else v for v in list(values)]
        if not all(v is None or isinstance(v, str) or _is_nan(v) for v in texts):
            raise TypeError("a column of mixed objects")
        return {"kind": "text", "dtype": str(dtype), "values": texts}
    raise TypeError(f"a column of {dtype}")


def _is_nan(value: Any) -> bool:
    return isinstance(value, float) and value != value


_TEXT_TYPES = ("object", "str", "string", "string[python]", "string[pyarrow]")


def _column_in(layout: Any, data: _Reader) -> Any:
    """What ``_column_out`` wrote, as an array pandas takes as a column or an index."""
    if not isinstance(layout, dict):
        raise _Damaged("a column is malformed")
    kind = layout.get("kind")
    if kind == "array":
        return data.array(layout.get("values"))
    if kind == "datetime_tz":
        naive = _column_in(layout.get("naive"), data)
        if not isinstance(naive, np.ndarray) or naive.dtype.kind != "M":
            raise _Damaged("a column of times holds other values")
        try:
            return pd.DatetimeIndex(naive).tz_localize("UTC").tz_convert(str(layout.get("tz"))).array
        except Exception as exc:  # an unknown zone name raises the zone library's own error
            raise _Damaged(f"a column of times has zone {layout.get('tz')!r} ({exc})") from None
    if kind == "text":
        texts, dtype = layout.get("values"), layout.get("dtype")
        if not isinstance(texts, list) or not all(
                v is None or isinstance(v, str) or _is_nan(v) for v in texts):
            raise _Damaged("a text column holds other than text")
        if dtype not in _TEXT_TYPES:
            raise _Damaged(f"a text column has type {dtype!r}")
        if dtype == "object":
            return np.array(texts, dtype=object)
        return pd.array(texts, dtype=dtype)
    if kind == "category":
        codes = data.array(layout.get("codes"))
        categories = _column_in(layout.get("categories"), data)
        if codes.dtype.kind != "i" or (len(codes) and (
                codes.max() >= len(categories) or codes.min() < -1)):
            raise _Damaged("a category column's codes are out of range")
        try:
            return pd.Categorical.from_codes(codes, categories=pd.Index(categories),
                                             ordered=bool(layout.get("ordered")))
        except ValueError as exc:  # repeated categories
            raise _Damaged(f"a category column is malformed ({exc})") from None
    raise _Damaged(f"a column of kind {kind!r}")


def _index_out(index: pd.Index, out: _Writer) -> dict[str, Any]:
    if isinstance(index, pd.MultiIndex):
        raise TypeError("a MultiIndex")
    if isinstance(index, pd.RangeIndex):
        return {"range": [int(index.start), int(index.stop), int(index.step)],
                "name": _scalar_out(index.name)}
    layout = {"values": _column_out(index, out), "name": _scalar_out(index.name)}
    freq = getattr(index, "freqstr", None)
    if freq is not None:
        layout["freq"] = freq
    return layout


def _index_in(layout: Any, data: _Reader) -> pd.Index:
    if isinstance(layout, dict) and "range" in layout:
        bounds = layout["range"]
        if not (isinstance(bounds, list) and len(bounds) == 3
                and all(type(n) is int for n in bounds) and bounds[2] != 0):
            raise _Damaged("a range index is malformed")
        return pd.RangeIndex(*bounds, name=_scalar_in(layout.get("name")))
    if not isinstance(layout, dict) or "values" not in layout:
        raise _Damaged("an index is malformed")
    index = pd.Index(_column_in(layout["values"], data), name=_scalar_in(layout.get("name")))
    if layout.get("freq") is not None:
        try:
            index = pd.DatetimeIndex(index, freq=str(layout["freq"]))
        except (TypeError, ValueError) as exc:
            raise _Damaged(f"an index does not fit its frequency ({exc})") from None
    return index


def _frame_out(frame: pd.DataFrame, out: _Writer) -> dict[str, Any]:
    if frame.columns.nlevels != 1 or not all(isinstance(c, str) for c in frame.columns) \
            or frame.columns.has_duplicates:
        raise TypeError("a table whose column names are not distinct texts")
    return {"index": _index_out(frame.index, out), "columns": [
        [name, _column_out(frame[name], out)] for name in frame.columns]}


def _frame_in(layout: Any, data: _Reader) -> pd.DataFrame:
    if not isinstance(layout, dict) or not isinstance(layout.get("columns"), list):
        raise _Damaged("a table is malformed")
    index = _index_in(layout.get("index"), data)
    columns: dict[str, Any] = {}
    for item in layout["columns"]:
        if not (isinstance(item, list) and len(item) == 2 and isinstance(item[0], str)):
            raise _Damaged("a table's column is malformed")
        values = _column_in(item[1], data)
        if len(values) != len(index):
            raise _Damaged(f"column {item[0]!r} has {len(values)} values for {len(index)} rows")
        columns[item[0]] = values
    return pd.DataFrame(columns, index=index) if columns else pd.DataFrame(index=index)


def _warning_class(name: Any) -> type:
    """A warning's category by its name, among the built-in ones only: a store never makes
    the reader import anything."""
    found = getattr(builtins, str(name), None)
    return found if isinstance(found, type) and issubclass(found, Warning) else UserWarning


def encode(payload: Payload) -> tuple[str, bytes]:
    """A run's payload as (JSON record, array bytes); the exception object is never kept."""
    out = _Writer()
    record: dict[str, Any] = {
        "worker": payload.worker, "error": payload.error, "traceback": payload.traceback,
        "started": float(payload.started), "seconds": float(payload.seconds),
        "cpu": float(payload.cpu),
        "warnings": [[getattr(c, "__name__", "UserWarning"), str(m)]
                     for c, m in payload.warnings]}
    if payload.stats is not None:
        record["stats"] = [[str(k), _scalar_out(v)] for k, v in payload.stats.items()]
    if payload.equity is not None:
        key, values = payload.equity
        if payload.equity_index is None:
            raise TypeError("an equity curve without its dates")
        record["equity"] = {"key": key.hex(), "values": out.array(np.asarray(values, np.float64)),
                            "index": _index_out(payload.equity_index, out)}
    if payload.trades is not None:
        record["trades"] = _frame_out(payload.trades, out)
    return json.dumps(record, allow_nan=True), out.blob()


def _text_or_none(record: dict[str, Any], key: str) -> Optional[str]:
    value = record.get(key)
    if value is not None and not isinstance(value, str):
        raise _Damaged(f"its {key} is not text")
    return value


def _number(record: dict[str, Any], key: str) -> float:
    value = record.get(key, math.nan)
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise _Damaged(f"its {key} is not a number")
    try:
        return float(value)
    except OverflowError:
        raise _Damaged(f"its {key} is not a number a float can hold") from None


def decode(text: Any, blob: Any) -> Payload:
    """A stored run back as a payload; ``_Damaged`` for anything but what ``encode`` wrote."""
    if not isinstance(text, str):
        raise _Damaged(f"its record is a {type(text).__name__}, not text")
    try:
        record = json.loads(text)
    except ValueError as exc:
        raise _Damaged(f"its record is not JSON ({exc})") from None
    except RecursionError:
        raise _Damaged("its record is nested too deep for a run's record") from None
    if not isinstance(record, dict):
        raise _Damaged("its record is not an object")
    data = _Reader(blob)
    warned = record.get("warnings")
    if not isinstance(warned, list) or not all(
            isinstance(w, list) and len(w) == 2 and all(isinstance(t, str) for t in w)
            for w in warned):
        raise _Damaged("its warnings are not a list of texts")
    payload = Payload(worker=_text_or_none(record, "worker"),
                      error=_text_or_none(record, "error"),
                      traceback=_text_or_none(record, "traceback"),
                      started=_number(record, "started"), seconds=_number(record, "seconds"),
                      cpu=_number(record, "cpu"),
                      warnings=[(_warning_class(c), m) for c, m in warned])
    if "stats" in record:
        stats = record["stats"]
        if not isinstance(stats, list) or not all(
                isinstance(s, list) and len(s) == 2 and isinstance(s[0], str) for s in stats):
            raise _Damaged("its statistics are malformed")
        # Runs stored before a statistic was renamed fill its column under today's name.
        payload.stats = {RENAMED.get(name, name): _scalar_in(value) for name, value in stats}
    if "equity" in record:
        equity = record["equity"]
        if not isinstance(equity, dict) or not isinstance(equity.get("key"), str):
            raise _Damaged("its equity is malformed")
        values = data.array(equity.get("values"))
        index = _index_in(equity.get("index"), data)
        if values.dtype != np.float64 or len(values) != len(index):
            raise _Damaged(f"its equity has {len(values)} values of {values.dtype} for "
                           f"{len(index)} dates")
        try:
            index_key = bytes.fromhex(equity["key"])
        except ValueError:
            raise _Damaged("its equity's key is not hexadecimal") from None
        payload.equity = (index_key, values)
        payload.equity_index = index
    if "trades" in record:
        payload.trades = _frame_in(record["trades"], data)
    if payload.error is None and payload.stats is None and payload.equity is None \
            and payload.trades is None:
        raise _Damaged("it holds neither a result nor an error")
    return payload


# -- the file -------------------------------------------------------------------------

_SIDECARS = ("-wal", "-shm", "-journal")
# How long opening waits for another process that holds the file for a moment.
_BUSY_SECONDS = 5.0


def _read_only(path: str) -> sqlite3.Connection:
    """A connection that cannot write. Without a write-ahead log beside the file everything
    is in the file, so it is opened as immutable and SQLite makes no file beside it."""
    still = "" if os.path.exists(path + "-wal") else "&immutable=1"
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro" + still
    return sqlite3.connect(uri, uri=True, isolation_level=None)


def store_path(path: Any) -> str:
    """The store's file name, checked before any work: a path, not empty, not a folder."""
    # SQLite opens a private temporary file for "": nothing would be kept to resume.
    text = check_path(path, "store", what="a path to a SQLite file",
                      empty="name the SQLite file to keep the runs in")
    if os.path.isdir(text):
        raise StoreError(f"store {text!r} is a folder: name a file in it, such as "
                         f"{os.path.join(text, 'runs.sqlite')!r}")
    return text


class RunStore:
    """The runs of one sweep in a SQLite file: ``done()`` gives those already there,
    ``put()`` adds one with its own commit.  Opening it checks, before any run: that the
    file is a store (a foreign or damaged file is refused and left as it was), that it
    was written for this sweep, and that it can be written."""

    def __init__(self, path: Any, prints: dict[str, str]) -> None:
        self.path = store_path(path)
        self.prints = prints
        self.db: Optional[sqlite3.Connection] = None
        self._lock: Optional[int] = None
        existed = os.path.exists(self.path)
        held = False
        try:
            held = self._hold()
            fresh = not existed or os.path.getsize(self.path) == 0
            if not fresh:
                fresh = self._check_existing_as_is()
            self._open(fresh)
        except BaseException:
            self.close()
            if held and not existed and os.path.exists(self.path) \
                    and os.path.getsize(self.path) == 0:
                # Made here only to hold it: a refusal leaves the folder as it was.
                os.remove(self.path)
            raise

    def _hold(self) -> bool:
        """Take the store for this sweep: a second sweep on the same file, started while
        this one runs, is refused instead of running every missing run again.  Whether
        the store is held (False where the platform has no advisory locks)."""
        try:
            try:
                self._lock = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o666)
            except PermissionError:
                # A read-only file is refused by the checks that follow, naming why.
                self._lock = os.open(self.path, os.O_RDONLY)
        except OSError as exc:
            raise self._refuse(f"cannot be written ({exc.strerror}): check the file's and "
                               "its folder's permissions, or name another store") from None
        if fcntl is None:
            return False  # no advisory locks here: sweeps on one store are not told apart
        try:
            # An flock, not a POSIX lock: SQLite's own locks on the file stay apart from
            # it. The kernel drops it when this process ends, however it ends.
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise self._refuse(
                "is being written by another sweep running now (in this or another "
                "process): wait for it to finish and call again (its runs are then read, "
                "not run again), or name another store") from None
        return True

    def _check_existing_as_is(self) -> bool:
        beside = {end for end in _SIDECARS if os.path.exists(self.path + end)}
        try:
            return self._check_existing()
        finally:
            # A refused file is left as it was: so is its folder.
            for end in set(_SIDECARS) - beside:
                if os.path.exists(self.path + end):
                    os.remove(self.path + end)

    def _refuse(self, what: str) -> "StoreError":
        return StoreError(f"store {self.path!r} {what}")

    def _check_existing(self) -> bool:
        """Reads the file without writing to it: whether it is an empty database (True), or
        this sweep's store (False); anything else is refused."""
        try:
            with closing(_read_only(self.path)) as db:
                tables = {name: [c[1] for c in db.execute(f"PRAGMA table_info('{name}')")]
                          for (name,) in db.execute(
                              "SELECT name FROM sqlite_master WHERE type = 'table' "
                              "AND name NOT LIKE 'sqlite_%'")}
                if not tables:
                    return True
                if set(tables) != {"meta", "runs"} or tables["meta"] != _META_COLUMNS:
                    raise self._refuse(
                        f"is a database but not an orvane sweep store (its tables: "
                        f"{', '.join(sorted(tables)[:5])}); it was left as it was: name a new "
                        "file for the store")
                meta = dict(db.execute("SELECT key, value FROM meta"))
        except sqlite3.Error as exc:
            raise self._refuse(f"cannot be read as a sweep store ({exc}); it was left as it "
                               "was: name a new file for the store") from None
        fmt = meta.get("format")
        if fmt in _PICKLED_FORMATS:
            raise self._refuse(
                "was written by an earlier orvane in a format that runs code when read, so "
                "it is not read: start a new store (delete the file or name another)")
        if fmt != FORMAT or tables["runs"] != _RUN_COLUMNS:
            raise self._refuse(f"is not a sweep store this version can read (format "
                               f"{fmt!r}): start a new store")
        missing = [part for part in _PARTS if not isinstance(meta.get(part), str)]
        if missing:
            raise self._refuse(
                f"has no fingerprint ({', '.join(missing)} missing), so its runs could be "
                "another sweep's: start a new store")
        differ = [part for part in _PARTS if meta[part] != self.prints[part]]
        if differ:
            detail = strategy_change(meta["strategy"], self.prints["strategy"]) \
                if "strategy" in differ else ""
            raise self._refuse(
                f"holds runs of another sweep: its {', '.join(differ)} "
                f"differ{'s' if len(differ) == 1 else ''} from this one's{detail}; resume with "
                "the same market, weights, strategy, grid and keep, or name a new store "
                "(values to vary belong in the grid)")
        return False

    def _open(self, fresh: bool) -> None:
        # Another process setting the store up at the same instant (where no lock told
        # sweeps apart) holds it for a moment: wait for it as SQLite waits for a writer.
        deadline = time.monotonic() + _BUSY_SECONDS
        while True:
            try:
                return self._open_once(fresh)
            except sqlite3.OperationalError as exc:
                if "locked" not in str(exc) or time.monotonic() > deadline:
                    self.close()
                    raise self._refuse(f"cannot be written ({exc}): check the file's and "
                                       "its folder's permissions, or name another "
                                       "store") from None
                if self.db is not None:
                    self.db.close()
                    self.db = None
                time.sleep(0.05)

    def _open_once(self, fresh: bool) -> None:
        try:
            self.db = sqlite3.connect(self.path, isolation_level=None,
                                      timeout=_BUSY_SECONDS)
            # Write-ahead log, synced at every commit: a finished run survives a crash.
            self.db.execute("PRAGMA journal_mode=WAL")
            self.db.execute("PRAGMA synchronous=FULL")
            self.db.execute("BEGIN IMMEDIATE")
            if fresh and self.db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
                # Written since it was found empty (where no lock told sweeps apart):
                # checked as any existing store, inside the write lock.
                self.db.execute("ROLLBACK")
                self.db.close()
                self.db = None
                self._check_existing()
                return self._open_once(False)
            if fresh:
                self.db.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT)")
                self.db.execute("CREATE TABLE runs (run INTEGER PRIMARY KEY, "
                                "record TEXT NOT NULL, arrays BLOB NOT NULL)")
                self.db.executemany("INSERT INTO meta VALUES (?, ?)",
                                    [("format", FORMAT), *self.prints.items()])
                self.db.execute("COMMIT")
            else:
                # A write that changes nothing proves, before any run, that runs can be saved.
                self.db.execute("UPDATE meta SET value = value WHERE key = 'format'")
                self.db.execute("ROLLBACK")
        except sqlite3.OperationalError:
            raise
        except sqlite3.Error as exc:
            self.close()
            raise self._refuse(f"cannot be written ({exc}): check the file's and its "
                               "folder's permissions, or name another store") from None

    def done(self, runs: int) -> dict[int, Payload]:
        """The runs already stored, by position in a grid of ``runs``."""
        assert self.db is not None
        try:
            rows = self.db.execute("SELECT run, record, arrays FROM runs").fetchall()
        except sqlite3.Error as exc:
            raise self._refuse(f"cannot be read ({exc}): start a new store") from None
        found: dict[int, Payload] = {}
        for run, text, blob in rows:
            if not isinstance(run, int) or not 0 <= run < runs:
                raise self._refuse(f"holds a run numbered {run!r}, not one of this grid's {runs}: "
                                   "start a new store")
            try:
                found[run] = decode(text, blob)
            except _Damaged as exc:
                raise self._refuse(f"holds a damaged run {run}: {exc}; start a new "
                                   "store") from None
        return found

    def put(self, run: int, payload: Payload) -> None:
        assert self.db is not None
        try:
            text, blob = encode(payload)
        except TypeError as exc:
            raise TypeError(f"a sweep store keeps numbers, text and times; run {run} returned "
                            f"{exc}, which it cannot keep") from None
        try:
            with self.db:
                self.db.execute("INSERT OR REPLACE INTO runs VALUES (?, ?, ?)",
                                (run, text, blob))
        except sqlite3.Error as exc:
            kept = self._count()
            held = "" if kept is None else f"; the {kept} runs stored so far are safe"
            if isinstance(exc, sqlite3.OperationalError) and "full" in str(exc):
                raise self._refuse(
                    f"could not take run {run}: the disk is full ({exc}){held}: free "
                    "space and call the same sweep again to resume from them") from None
            raise self._refuse(f"could not take run {run} ({exc}){held}: call the same "
                               "sweep again to resume from them") from None

    def _count(self) -> Optional[int]:
        try:
            assert self.db is not None
            return int(self.db.execute("SELECT count(*) FROM runs").fetchone()[0])
        except (sqlite3.Error, AssertionError):
            return None

    def close(self) -> None:
        if self.db is not None:
            self.db.close()
            self.db = None
        # Closed after the connection: closing a descriptor of the file drops every
        # POSIX lock this process holds on it, SQLite's included.
        if self._lock is not None:
            os.close(self._lock)
            self._lock = None
