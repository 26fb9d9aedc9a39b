"""A trial register: every backtest a researcher tried, appended to one SQLite file, so
that the number of trials a deflated Sharpe ratio is deflated for is counted, not typed.

Each trial is one row: when it was recorded, fingerprints of its strategy and market, its
parameters as JSON, its span and headline figures, and its bar returns (float32 values and
int64 nanosecond dates, each zlib-compressed), enough to rebuild every trial's per-bar
Sharpe ratio, skewness and kurtosis and the correlation between trials.

The file holds data only (numbers, text and blobs of typed arrays) and its reader never
runs code.  It is append-only: rows are inserted, never changed, and triggers refuse an
UPDATE or DELETE made by other tools.  It is written in SQLite's write-ahead-log mode with
a full sync at each commit, one transaction per ``record`` call, so a process killed
mid-append leaves the trials of every finished call and none of the unfinished one; two
processes appending at once wait for each other (SQLite's lock, with a retry while it is
held).  A file that is not a register, or is one of a newer layout, is refused and left as
it was.

Examples
--------
>>> from orvane import trials
>>> with trials.open("trials.sqlite") as register:  # doctest: +SKIP
...     register.record([trials.Trial.of(equity, strategy="momentum-3", params={"top": 3},
...                                      market="sp500-2010")])
...     trials.deflated_best(register).value
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import random
import sqlite3
import threading
import time
import urllib.parse
import zlib
from contextlib import closing
from dataclasses import dataclass, field
from typing import (Any, Callable, Dict, Iterable, List, Literal, Mapping, Optional,
                    Sequence, Tuple, TypeVar, Union)

import numpy as np
import pandas as pd

from orvane._checks import Bounds, check_choice, check_path, check_real, check_whole
from orvane.stats import (cagr, equity_returns, max_drawdown, periods_per_year, sharpe_ratio,
                          total_return)
from orvane.stats.overfit import Deflation, deflation

__all__ = ["Trial", "TrialRegister", "RegisterError", "Summary", "open", "activate", "active",
           "deactivate", "effective_trials", "deflated_best", "summary", "record_runs", "said",
           "market_fingerprint", "weights_fingerprint", "ENVIRONMENT"]

FORMAT = "orvane trial register"
VERSION = 1
# The variable that names a register for every process that reads it.
ENVIRONMENT = "ORVANE_TRIALS"

_COLUMNS = ["trial", "recorded", "strategy", "params", "market", "start", "end", "bars",
            "sharpe", "cagr", "total_return", "max_drawdown", "periods", "dates", "returns"]
_SCHEMA = [
    "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    # The blobs last: reading the other columns never touches their overflow pages.
    "CREATE TABLE trials (trial INTEGER PRIMARY KEY, recorded TEXT NOT NULL, "
    "strategy TEXT NOT NULL, params TEXT NOT NULL, market TEXT NOT NULL, start INTEGER, "
    "end INTEGER, bars INTEGER NOT NULL, sharpe REAL, cagr REAL, total_return REAL, "
    "max_drawdown REAL, periods REAL, dates BLOB NOT NULL, returns BLOB NOT NULL)",
    "CREATE TRIGGER trials_kept BEFORE DELETE ON trials "
    "BEGIN SELECT RAISE(ABORT, 'a trial register is append-only'); END",
    "CREATE TRIGGER trials_fixed BEFORE UPDATE ON trials "
    "BEGIN SELECT RAISE(ABORT, 'a trial register is append-only'); END",
]
_LAYOUT = {("table", "meta"), ("table", "trials"), ("trigger", "trials_kept"),
           ("trigger", "trials_fixed")}
_INSERT = f"INSERT INTO trials ({', '.join(_COLUMNS[1:])}) VALUES ({', '.join('?' * 14)})"
_FIGURES = ["sharpe", "cagr", "total_return", "max_drawdown", "periods"]
_RECORDED = "%Y-%m-%dT%H:%M:%S.%fZ"
_SIDECARS = ("-wal", "-shm", "-journal")
# SQLite's own wait for a writer, then ours: appends are short, so a held lock for this
# long means a stuck process, not a busy one.
_BUSY_SECONDS = 10.0
_PATIENCE_SECONDS = 60.0
# Rows per IN (...) list: below SQLite's oldest limit on bound variables (999).
_CHUNK = 500

T = TypeVar("T")


class RegisterError(ValueError):
    """A trial register that cannot be used: not a register, of a newer layout, damaged,
    closed or unwritable."""


# -- a trial ------------------------------------------------------------------------------

def _plain(value: Any) -> Any:
    """A parameter as JSON holds it: numbers, text, flags, None, lists and objects; NumPy
    scalars as their Python value; anything else (and NaN or infinity, which JSON has not)
    as its repr."""
    if isinstance(value, np.generic) and isinstance(value.item(), (bool, int, float, str)):
        value = value.item()
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return float(value) if math.isfinite(value) else repr(value)
    if isinstance(value, Mapping):
        return {k if isinstance(k, str) else repr(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return repr(value)


def _params_text(params: Union[Mapping[str, Any], str]) -> str:
    if isinstance(params, str):
        try:
            json.loads(params)
        except ValueError:
            raise ValueError(f"params must be a mapping or its JSON text, got text that is "
                             f"not JSON: {params[:80]!r}") from None
        return params
    if not isinstance(params, Mapping):
        raise TypeError(f"params must be a mapping of the run's parameters, got "
                        f"{type(params).__name__}")
    return json.dumps(_plain(params), allow_nan=False)


def _wall_ns(index: pd.DatetimeIndex) -> np.ndarray:
    """Dates as int64 nanoseconds of their wall-clock time: a zoned index and a naive one
    of the same bars share their dates."""
    if index.tz is not None:
        index = index.tz_localize(None)
    return np.ascontiguousarray(index.values.astype("datetime64[ns]").view(np.int64))


def _stamp(value: Any, name: str) -> Optional[pd.Timestamp]:
    if value is None or value is pd.NaT:
        return None
    try:
        stamp = pd.Timestamp(value)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name} must be a time, got {value!r} ({exc})") from None
    return None if stamp is pd.NaT else stamp


def _text(value: Any, name: str) -> str:
    if not isinstance(value, str) or not value:
        raise TypeError(f"{name} must be a fingerprint or label (non-empty text), got "
                        f"{type(value).__name__} {str(value)[:60]!r}")
    return value


@dataclass(frozen=True, eq=False)
class Trial:
    """One backtest as the register keeps it.

    ``Trial.of(equity, ...)`` makes one from an equity curve; the fields can also be given
    directly (the arrays are copied, read-only).

    Attributes
    ----------
    strategy, market : str
        Fingerprints (or labels) of the strategy and of the market it ran on.
    params : str
        The run's parameters as JSON text (a mapping given here is converted; values JSON
        cannot hold are kept as their repr).
    start, end : Timestamp or None
        The run's first and last live bar (wall-clock time, the zone dropped).
    bars : int
        The number of bar returns.
    sharpe, cagr, total_return, max_drawdown : float
        Headline figures, the Sharpe ratio annualised by ``periods`` bars a year.
    periods : float
        Bars a year used to annualise.
    returns : ndarray of float32
        The bar returns.
    dates : ndarray of int64
        Their dates, nanoseconds since 1970 in wall-clock time.
    recorded : Timestamp or None
        When it was recorded (UTC); None until ``TrialRegister.record`` stamps it.
    """

    strategy: str
    params: str
    market: str
    start: Optional[pd.Timestamp]
    end: Optional[pd.Timestamp]
    bars: int
    sharpe: float
    cagr: float
    total_return: float
    max_drawdown: float
    periods: float
    returns: np.ndarray = field(repr=False)
    dates: np.ndarray = field(repr=False)
    recorded: Optional[pd.Timestamp] = None

    def __post_init__(self) -> None:
        set_ = object.__setattr__
        set_(self, "strategy", _text(self.strategy, "strategy"))
        set_(self, "market", _text(self.market, "market"))
        set_(self, "params", _params_text(self.params))
        set_(self, "start", _stamp(self.start, "start"))
        set_(self, "end", _stamp(self.end, "end"))
        recorded = _stamp(self.recorded, "recorded")
        if recorded is not None:
            recorded = recorded.tz_localize("UTC") if recorded.tz is None \
                else recorded.tz_convert("UTC")
        set_(self, "recorded", recorded)
        for name in _FIGURES:
            value = getattr(self, name)
            set_(self, name, math.nan if value is None or _is_nan(value)
                 else check_real(value, name, infinite=True))
        returns = np.array(self.returns, dtype=np.float32).ravel()
        dates = np.array(self.dates).ravel()
        if dates.dtype.kind == "M":
            dates = dates.astype("datetime64[ns]").view(np.int64)
        if dates.dtype.kind not in "iu" or len(dates) != len(returns):
            raise ValueError(f"dates must be one int64 nanosecond date per return: got "
                             f"{len(dates)} of {dates.dtype} for {len(returns)} returns")
        dates = dates.astype(np.int64)
        if check_whole(self.bars, "bars", Bounds(0)) != len(returns):
            raise ValueError(f"bars must be the number of returns, {len(returns)}, got "
                             f"{self.bars}")
        for name, values in (("returns", returns), ("dates", dates)):
            values.setflags(write=False)
            set_(self, name, values)
        set_(self, "bars", int(self.bars))

    @classmethod
    def of(cls, equity: pd.Series, *, strategy: str, params: Mapping[str, Any],
           market: str) -> Trial:
        """A trial from an equity curve, measured as a run's ``stats()`` measures it.

        Parameters
        ----------
        equity : Series
            The run's live equity on a DatetimeIndex (NaN bars are dropped).
        strategy, market : str
            Fingerprints or labels of the strategy and the market.
        params : mapping
            The run's parameters.

        Returns
        -------
        Trial
            Its bar returns (equity to equity, from the second live bar), the Sharpe ratio
            annualised by ``periods_per_year`` of the dates, CAGR, total return and max
            drawdown, as ``orvane.stats`` computes them.
        """
        if not isinstance(equity, pd.Series) or not isinstance(equity.index, pd.DatetimeIndex):
            where = f" on {type(equity.index).__name__}" if isinstance(equity, pd.Series) else ""
            raise TypeError("equity must be a pandas Series of equity on a DatetimeIndex, got "
                            f"{type(equity).__name__}{where}")
        live = equity.astype(np.float64).dropna()
        returns = equity_returns(live)
        periods = periods_per_year(live.index)
        empty = not len(live)
        return cls(strategy=strategy, params=_params_text(params), market=market,
                   start=None if empty else live.index[0],
                   end=None if empty else live.index[-1], bars=len(returns),
                   sharpe=sharpe_ratio(returns, periods), cagr=cagr(live),
                   total_return=total_return(live), max_drawdown=max_drawdown(live)[0],
                   periods=periods, returns=returns.to_numpy(dtype=np.float32),
                   dates=_wall_ns(pd.DatetimeIndex(returns.index)))


def _is_nan(value: Any) -> bool:
    return isinstance(value, (float, np.floating)) and math.isnan(value)


def _ns(stamp: Optional[pd.Timestamp]) -> Optional[int]:
    if stamp is None:
        return None
    if stamp.tz is not None:
        stamp = stamp.tz_localize(None)
    return int(stamp.value)


def _number(value: float) -> Optional[float]:
    # SQLite keeps NaN as NULL anyway; said here so that reading maps NULL back to NaN.
    return None if math.isnan(value) else float(value)


def _row(trial: Trial, now: pd.Timestamp) -> Tuple[Any, ...]:
    recorded = trial.recorded if trial.recorded is not None else now
    # The dates as steps from the one before: regular bars compress to almost nothing.
    steps = np.diff(trial.dates, prepend=np.int64(0)).astype("<i8")
    return (recorded.strftime(_RECORDED), trial.strategy, trial.params, trial.market,
            _ns(trial.start), _ns(trial.end), trial.bars,
            *(_number(getattr(trial, name)) for name in _FIGURES),
            zlib.compress(steps.tobytes()), zlib.compress(trial.returns.astype("<f4").tobytes()))


class _Damaged(Exception):
    pass


def _unpack(blob: Any, dtype: str, count: int) -> np.ndarray:
    """``count`` values of ``dtype`` from a compressed blob, never inflating more than
    they take (a crafted blob cannot fill the memory)."""
    if not isinstance(blob, bytes):
        raise _Damaged(f"its arrays are a {type(blob).__name__}, not bytes")
    size = np.dtype(dtype).itemsize * count
    inflate = zlib.decompressobj()
    try:
        data = inflate.decompress(blob, size + 1)
    except zlib.error as exc:
        raise _Damaged(f"its arrays do not decompress ({exc})") from None
    if len(data) != size or not inflate.eof:
        raise _Damaged(f"its arrays hold other than {count} values")
    return np.frombuffer(data, dtype=dtype).copy()


def _decode(bars: Any, dates: Any, returns: Any) -> Tuple[np.ndarray, np.ndarray]:
    if type(bars) is not int or not 0 <= bars < 2**40:
        raise _Damaged(f"its bar count {str(bars)[:20]!r} is not a count")
    steps = _unpack(dates, "<i8", bars)
    with np.errstate(over="ignore"):
        return np.cumsum(steps), _unpack(returns, "<f4", bars)


# -- the file -----------------------------------------------------------------------------

def _read_only(path: str) -> sqlite3.Connection:
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
    return sqlite3.connect(uri, uri=True, isolation_level=None)


def _locked(exc: sqlite3.Error) -> bool:
    return isinstance(exc, sqlite3.OperationalError) and (
        "locked" in str(exc) or "busy" in str(exc))


# Connections inherited over a fork: never used nor closed in the child (closing one would
# act on the parent's locks), only kept from being finalised.
_INHERITED: List[sqlite3.Connection] = []


class TrialRegister:
    """The trials recorded in one SQLite file, appended to by ``record``.

    Opening it (``trials.open(path)``) creates the register where no file (or an empty
    one) is; an existing file that is not a register, or a register of a newer layout, is
    refused with a ``RegisterError`` and left unchanged.  One connection is kept open until
    ``close`` (or the end of a ``with`` block); it may be shared by threads.

    Parameters
    ----------
    path : str or os.PathLike
        The register's file.
    """

    def __init__(self, path: Union[str, os.PathLike]) -> None:
        self.path = check_path(path, "path", what="a path to a trial register (a SQLite "
                               "file)", empty="name the register's file")
        if os.path.isdir(self.path):
            raise RegisterError(f"trial register {self.path!r} is a folder: name a file in "
                                f"it, such as {os.path.join(self.path, 'trials.sqlite')!r}")
        self._lock = threading.RLock()
        self._db: Optional[sqlite3.Connection] = None
        self._pid = os.getpid()
        self._closed = False
        try:
            if os.path.exists(self.path) and os.path.getsize(self.path) > 0:
                self._check_as_is()
            self._retrying(self._set_up)
        except BaseException:
            self.close()
            raise

    def _refuse(self, what: str) -> RegisterError:
        return RegisterError(f"trial register {self.path!r} {what}")

    # Opening and checking.

    def _check_as_is(self) -> None:
        """Refuses a file that is neither a register nor an empty database, read without
        writing to it; a refused file's folder is left as it was, too."""
        beside = {end for end in _SIDECARS if os.path.exists(self.path + end)}
        refused = True
        try:
            with closing(_read_only(self.path)) as db:
                self._inspect(db)
            refused = False
        except sqlite3.Error as exc:
            raise self._refuse(f"cannot be read as a SQLite database ({exc}); it was left as "
                               "it was: name another file for the register") from None
        finally:
            # A read-only look at a database in WAL mode leaves an empty log beside it.
            if refused:
                for end in set(_SIDECARS) - beside:
                    made = self.path + end
                    if os.path.exists(made) and (end == "-shm" or os.path.getsize(made) == 0):
                        os.remove(made)

    def _inspect(self, db: sqlite3.Connection) -> bool:
        """True for an empty database, False for a register this version reads; refuses
        anything else."""
        found = {(kind, name) for kind, name in db.execute(
            "SELECT type, name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'")}
        if not found:
            return True
        meta: Dict[Any, Any] = {}
        if ("table", "meta") in found:
            columns = [c[1] for c in db.execute("PRAGMA table_info('meta')")]
            if columns == ["key", "value"]:
                meta = dict(db.execute("SELECT key, value FROM meta"))
        if meta.get("format") != FORMAT:
            tables = sorted(name for kind, name in found if kind == "table")
            raise self._refuse(f"is a SQLite database but not a trial register (its tables: "
                               f"{', '.join(tables[:5]) or 'none'}); it was left as it was: "
                               "name another file for the register")
        version = meta.get("version")
        if not (isinstance(version, str) and version.isdigit()):
            raise self._refuse(f"has no layout version ({str(version)[:20]!r}); it was left "
                               "as it was")
        if int(version) > VERSION:
            raise self._refuse(f"was written by a newer orvane (register layout {version}, "
                               f"this one reads layout {VERSION}); it was left as it was: "
                               "upgrade orvane to read it")
        columns = [c[1] for c in db.execute("PRAGMA table_info('trials')")]
        if found != _LAYOUT or columns != _COLUMNS:
            raise self._refuse("is damaged: its tables are not a register's; it was left as "
                               "it was")
        return False

    def _set_up(self, db: sqlite3.Connection) -> None:
        # Set after the check: turning the log on writes to the file's header.
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=FULL")
        db.execute("BEGIN IMMEDIATE")
        try:
            # Checked again under the write lock: another process may have made it since.
            if self._inspect(db):
                for statement in _SCHEMA:
                    db.execute(statement)
                db.executemany("INSERT INTO meta VALUES (?, ?)",
                               [("format", FORMAT), ("version", str(VERSION))])
            db.execute("COMMIT")
        finally:
            if db.in_transaction:
                db.execute("ROLLBACK")

    def _connection(self) -> sqlite3.Connection:
        if self._closed:
            raise RegisterError(f"trial register {self.path!r} is closed: open it again")
        if self._db is not None and self._pid != os.getpid():
            _INHERITED.append(self._db)
            self._db = None
        if self._db is None:
            self._db = sqlite3.connect(self.path, isolation_level=None, timeout=_BUSY_SECONDS,
                                       check_same_thread=False)
            self._pid = os.getpid()
        return self._db

    def _retrying(self, work: Callable[[sqlite3.Connection], T]) -> T:
        """``work`` on the connection, again while another process holds the lock."""
        deadline = time.monotonic() + _PATIENCE_SECONDS
        while True:
            try:
                with self._lock:
                    return work(self._connection())
            except RegisterError:
                raise
            except sqlite3.Error as exc:
                if not _locked(exc) or time.monotonic() > deadline:
                    raise self._refuse(f"cannot be used ({exc}): check the file's and its "
                                       "folder's permissions and free space") from None
            time.sleep(0.02 + 0.05 * random.random())

    # Writing.

    def record(self, trials: Union[Trial, Iterable[Trial]]) -> int:
        """Append trials in one transaction: all of them are kept, or none.

        Parameters
        ----------
        trials : Trial or iterable of Trial
            Those without a ``recorded`` time are stamped with the time of this call.

        Returns
        -------
        int
            How many were recorded.
        """
        items = [trials] if isinstance(trials, Trial) else list(trials)
        for at, item in enumerate(items):
            if not isinstance(item, Trial):
                raise TypeError(f"trials must be Trial objects (Trial.of(equity, ...) makes "
                                f"one), got {type(item).__name__} at position {at}")
        if not items:
            return 0
        now = pd.Timestamp.now(tz="UTC")
        rows = [_row(item, now) for item in items]

        def append(db: sqlite3.Connection) -> int:
            db.execute("BEGIN IMMEDIATE")
            try:
                db.executemany(_INSERT, rows)
                db.execute("COMMIT")
            finally:
                if db.in_transaction:
                    db.execute("ROLLBACK")
            return len(rows)

        return self._retrying(append)

    # Reading.

    def __len__(self) -> int:
        return int(self._retrying(
            lambda db: db.execute("SELECT count(*) FROM trials").fetchone()[0]))

    def since(self) -> Optional[pd.Timestamp]:
        """When the first trial was recorded (UTC), None for an empty register."""
        text = self._retrying(lambda db: db.execute(
            "SELECT recorded FROM trials ORDER BY trial LIMIT 1").fetchone())
        return None if text is None else self._times([text[0]])[0]

    def _times(self, texts: Sequence[Any]) -> pd.DatetimeIndex:
        try:
            return pd.DatetimeIndex(pd.to_datetime(list(texts), format=_RECORDED, utc=True))
        except (TypeError, ValueError) as exc:
            raise self._refuse(f"holds a damaged recording time ({exc})") from None

    def frame(self) -> pd.DataFrame:
        """The trials without their returns, one row each in recording order.

        Returns
        -------
        DataFrame
            Columns ``trial`` (the id, rising in recording order), ``recorded`` (UTC),
            ``strategy``, ``params`` (JSON text), ``market``, ``start``, ``end``, ``bars``,
            ``sharpe``, ``cagr``, ``total_return``, ``max_drawdown`` and ``periods``.
        """
        names = _COLUMNS[:-2]
        rows = self._retrying(lambda db: db.execute(
            f"SELECT {', '.join(names)} FROM trials ORDER BY trial").fetchall())
        columns = list(zip(*rows)) if rows else [()] * len(names)
        data: Dict[str, Any] = dict(zip(names, columns))
        try:
            out = pd.DataFrame({
                "trial": np.array(data["trial"], dtype=np.int64),
                "recorded": self._times(data["recorded"]),
                **{name: _texts(data[name]) for name in ("strategy", "params", "market")},
                **{name: pd.to_datetime(np.array(
                    [np.iinfo(np.int64).min if v is None else v for v in data[name]],
                    dtype=np.int64).view("datetime64[ns]")) for name in ("start", "end")},
                "bars": np.array(data["bars"], dtype=np.int64),
                **{name: np.array([math.nan if v is None else v for v in data[name]],
                                  dtype=np.float64) for name in _FIGURES}})
        except (TypeError, ValueError, OverflowError) as exc:
            raise self._refuse(f"holds a damaged trial ({exc})") from None
        return out

    def returns(self, ids: Optional[Iterable[int]] = None) -> pd.DataFrame:
        """The trials' bar returns side by side.

        Parameters
        ----------
        ids : iterable of int, optional
            The trials (``frame()["trial"]``); by default all, in recording order.

        Returns
        -------
        DataFrame
            Dates (every trial's, sorted) x trial ids, float64, NaN where a trial has no
            bar.
        """
        chosen = None if ids is None else [int(i) for i in ids]
        if chosen is None:
            rows = self._retrying(lambda db: db.execute(
                "SELECT trial, bars, dates, returns FROM trials ORDER BY trial").fetchall())
        else:
            rows = []
            for at in range(0, len(chosen), _CHUNK):
                part = chosen[at:at + _CHUNK]
                query = ("SELECT trial, bars, dates, returns FROM trials WHERE trial IN "
                         f"({', '.join('?' * len(part))})")
                rows += self._retrying(lambda db: db.execute(query, part).fetchall())
            found = {row[0]: row for row in rows}
            missing = [i for i in chosen if i not in found]
            if missing:
                raise KeyError(f"no trial {missing[0]} in {self.path!r} "
                               f"({len(missing)} ids not recorded)")
            rows = [found[i] for i in chosen]
        series = []
        for trial, bars, dates, values in rows:
            try:
                series.append(_decode(bars, dates, values))
            except _Damaged as exc:
                raise self._refuse(f"holds a damaged trial {trial}: {exc}") from None
        return _aligned([row[0] for row in rows], series)

    def effective(self, method: Literal["clusters", "eigen"] = "clusters",
                  threshold: float = 0.7, min_bars: int = 60) -> float:
        """The effective number of independent trials recorded: ``effective_trials`` of
        ``returns()``."""
        return effective_trials(self.returns(), method=method, threshold=threshold,
                                min_bars=min_bars)

    def close(self) -> None:
        """Close the connection; the register is then unusable (open it again)."""
        with self._lock:
            if self._db is not None:
                if self._pid == os.getpid():
                    self._db.close()
                else:
                    _INHERITED.append(self._db)
            self._db = None
            self._closed = True

    def __enter__(self) -> TrialRegister:
        # Within ``with trials.open(path):`` the runs record here, as after ``activate``.
        global _ACTIVE, _OWNED
        with _STATE:
            self._before = (_ACTIVE, _OWNED)
            _ACTIVE, _OWNED = self, False
        return self

    def __exit__(self, *exc: Any) -> None:
        global _ACTIVE, _OWNED
        with _STATE:
            if _ACTIVE is self:
                _ACTIVE, _OWNED = getattr(self, "_before", (None, False))
        self.close()

    def __repr__(self) -> str:
        return f"TrialRegister({self.path!r}{', closed' if self._closed else ''})"


def _texts(values: Sequence[Any]) -> np.ndarray:
    if not all(isinstance(v, str) for v in values):
        raise TypeError("a fingerprint or the parameters are not text")
    return np.array(values, dtype=object)


def _aligned(ids: List[int], series: List[Tuple[np.ndarray, np.ndarray]]) -> pd.DataFrame:
    """Returns of each trial on the union of their dates, NaN where a trial has no bar."""
    columns = pd.Index(ids, dtype=np.int64, name="trial")
    if not series:
        return pd.DataFrame(index=pd.DatetimeIndex([], name="date"), columns=columns,
                            dtype=np.float64)
    first = series[0][0]
    if all(len(d) == len(first) and np.array_equal(d, first) for d, _ in series):
        dates, values = first, np.column_stack([v for _, v in series]).astype(np.float64)
    else:
        dates, where = np.unique(np.concatenate([d for d, _ in series]), return_inverse=True)
        values = np.full((len(dates), len(series)), np.nan)
        at = 0
        for column, (d, v) in enumerate(series):
            values[where[at:at + len(d)], column] = v
            at += len(d)
    index = pd.DatetimeIndex(dates.view("datetime64[ns]"), name="date")
    return pd.DataFrame(values, index=index, columns=columns)


# -- effective trials ---------------------------------------------------------------------

def _correlations(values: np.ndarray, min_bars: int) -> Tuple[np.ndarray, np.ndarray]:
    """Pairwise correlations of the columns on their common bars (NaN where a pair shares
    fewer than ``min_bars``), and the common bars of each pair."""
    live = ~np.isnan(values)
    count = live.sum(axis=0)
    # Each column less its own mean first, so that the one-pass sums below do not cancel.
    x = np.where(live, values, 0.0)
    x -= x.sum(axis=0) / np.maximum(count, 1)
    x[~live] = 0.0
    with np.errstate(all="ignore"):
        if live.all():
            common = np.full((values.shape[1],) * 2, float(len(values)))
            cov = x.T @ x
            spread = np.diag(cov).copy()
            corr = cov / np.sqrt(np.outer(spread, spread))
        else:
            m = live.astype(np.float64)
            common = m.T @ m
            # sums[i, j]: the sum of column i over the bars where j is live, too.
            sums = x.T @ m
            spread = (x * x).T @ m
            spread -= sums * sums / common
            cov = x.T @ x
            cov -= sums * sums.T / common
            corr = cov / np.sqrt(spread * spread.T)
    corr[(common < min_bars) | ~np.isfinite(corr)] = np.nan
    np.fill_diagonal(corr, 1.0)
    return np.clip(corr, -1.0, 1.0), common


def _average_linkage(similar: np.ndarray, threshold: float) -> int:
    """Clusters of average linkage cut at ``threshold``, by the nearest-neighbour chain:
    O(n^2) steps in all, each one a NumPy row operation."""
    n = len(similar)
    s = similar.copy()
    np.fill_diagonal(s, -np.inf)
    size = np.ones(n)
    open_ = list(range(n - 1, -1, -1))
    done = np.zeros(n, dtype=bool)
    clusters = n
    chain: List[int] = []

    def retire(k: int) -> None:
        done[k] = True
        s[k, :] = -np.inf
        s[:, k] = -np.inf

    while True:
        if not chain:
            while open_ and done[open_[-1]]:
                open_.pop()
            if not open_:
                return clusters
            chain.append(open_[-1])
        a = chain[-1]
        b = int(np.argmax(s[a]))
        best = s[a, b]
        if not best > threshold:
            # Nothing is this close to it, and merging others cannot bring it closer
            # (an average never exceeds its largest part): a cluster of the cut.
            retire(a)
            chain.pop()
            continue
        if len(chain) > 1 and s[a, chain[-2]] >= best:
            b = chain[-2]
            del chain[-2:]
            row = (size[a] * s[a] + size[b] * s[b]) / (size[a] + size[b])
            s[a, :] = row
            s[:, a] = row
            s[a, a] = -np.inf
            size[a] += size[b]
            retire(b)
            clusters -= 1
            continue
        chain.append(b)


def effective_trials(returns: pd.DataFrame, *, method: Literal["clusters", "eigen"] = "clusters",
                     threshold: float = 0.7, min_bars: int = 60) -> float:
    """The effective number of independent trials among correlated ones: 200 trials of
    one idea are not 200 ideas.

    Correlations are Pearson's, pairwise on the bars two trials share; a pair sharing
    fewer than ``min_bars`` counts as uncorrelated.  Trials without a Sharpe ratio (fewer
    than 2 returns, or flat) are not counted: they cannot be the best of a search.

    Parameters
    ----------
    returns : DataFrame
        Bar returns, dates x trials, NaN where a trial has no bar.
    method : {"clusters", "eigen"}
        ``"clusters"``: the number of clusters of average-linkage (UPGMA) agglomerative
        clustering on the correlation, cut where the average correlation between two
        clusters is no longer above ``threshold``; an int.  A trial sharing too few bars
        with every other is a cluster of its own.
        ``"eigen"``: ``sum(min(l, 1))`` over the eigenvalues l of the correlation matrix:
        each eigenvalue is a direction the trials vary in, counted as one independent
        trial at most (a continuous form of Li and Ji's count, 2005).  n copies of one
        idea give about 1, n independent trials about n, one idea tried 200 times beside
        10 others about 11.  (The participation ratio ``(sum l)**2 / sum l**2`` is not
        used: one large cluster swamps it, 200 copies beside 10 others give 1.1.)  Each
        correlation r on m common bars is first shrunk by its sampling noise, its square
        to ``r**2 - (1 - r**2) / (m - 2)`` (0 if less), so that chance correlations of
        independent trials do not count as likeness.  A float in [0, n].
    threshold : float
        The correlation above which trials are one idea (``"clusters"``), in (0, 1).
    min_bars : int
        The fewest common bars on which a correlation is measured, at least 3.

    Returns
    -------
    float
        The effective number (0 without any trial with a Sharpe ratio).
    """
    check_choice(method, "method", ("clusters", "eigen"))
    threshold = check_real(threshold, "threshold", Bounds(0.0, 1.0, True, True))
    bars = check_whole(min_bars, "min_bars", Bounds(3))
    if not isinstance(returns, pd.DataFrame):
        raise TypeError(f"returns must be a DataFrame of bar returns (dates x trials), got "
                        f"{type(returns).__name__}")
    values = returns.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    values[~np.isfinite(values)] = np.nan
    live = ~np.isnan(values)
    varies = (live.sum(axis=0) >= 2) & (
        np.where(live, values, -np.inf).max(axis=0, initial=-np.inf)
        > np.where(live, values, np.inf).min(axis=0, initial=np.inf))
    values = values[:, varies]
    n = values.shape[1]
    if n <= 1:
        return n
    corr, common = _correlations(values, bars)
    if method == "clusters":
        return _average_linkage(np.nan_to_num(corr, nan=0.0), threshold)
    with np.errstate(all="ignore"):
        square = corr * corr
        square -= (1.0 - square) / (common - 2.0)
    square[~(square > 0.0)] = 0.0
    denoised = np.sign(np.nan_to_num(corr)) * np.sqrt(square)
    np.fill_diagonal(denoised, 1.0)
    spread = np.linalg.eigvalsh(denoised)
    return float(np.clip(spread, 0.0, 1.0).sum())


# -- the deflated Sharpe ratio of the best trial -----------------------------------------

def deflated_best(register: TrialRegister, trials: Optional[int] = None,
                  effective: Union[bool, Literal["clusters", "eigen"]] = False) -> Deflation:
    """The deflated Sharpe ratio of the best trial recorded, against every trial recorded.

    The best trial is the one of the highest Sharpe ratio per bar (the highest annualised
    one when all trials share a bar frequency).  As ``orvane.stats.overfit.deflation`` on
    ``register.returns()``: V is the variance of the trials' per-bar Sharpe ratios, SR0
    ``expected_max_sharpe(N, V)``, and the value the best trial's ``probabilistic_sharpe``
    against SR0, by its own bars, skewness and kurtosis.

    Parameters
    ----------
    register : TrialRegister
    trials : int, optional
        N; by default every trial recorded (flat and failed ones too: they were tried).
    effective : bool, "clusters" or "eigen"
        N is the effective number of independent trials instead (``effective_trials``,
        True meaning "clusters"; an eigen number rounded, at least 1).

    Returns
    -------
    Deflation
        ``.value``, ``.trials`` (N), ``.sharpe_variance`` (V), ``.expected_max_sharpe``,
        ``.best`` (the best trial's id), its per-bar ``.sharpe`` and ``.bars``.
    """
    if not isinstance(register, TrialRegister):
        raise TypeError(f"register must be a TrialRegister (trials.open(path)), got "
                        f"{type(register).__name__}")
    returns = register.returns()
    if effective is not False:
        if trials is not None:
            raise ValueError("give trials= or effective=, not both")
        method: Literal["clusters", "eigen"] = "eigen" if check_choice(
            "clusters" if effective is True else effective, "effective",
            ("clusters", "eigen")) == "eigen" else "clusters"
        trials = max(1, int(round(effective_trials(returns, method=method))))
    elif trials is None:
        trials = returns.shape[1]
    return deflation(returns, trials=trials)


# -- a summary ----------------------------------------------------------------------------

@dataclass(frozen=True, eq=False)
class Summary:
    """What a register holds, by strategy, week and market, and how its best trial holds
    up against all of them (``summary(path)``).

    Attributes
    ----------
    path : str
    trials : int
        Trials recorded.
    since, last : Timestamp or None
        When the first and the last were recorded (UTC).
    strategies : DataFrame
        By strategy fingerprint, in order of first recording: ``trials``, ``first`` and
        ``last`` recorded, ``best_sharpe`` (annualised).
    weeks : Series
        Trials recorded per ISO week (``"2025-W09"``), in order.
    markets : Series
        Trials per market fingerprint, most first.
    best : int or None
        The best trial's id (as ``deflated_best`` picks it), with its annualised
        ``best_sharpe`` and ``best_params`` (a dict).
    effective : float
        The effective number of independent trials (clusters).
    deflated, deflated_effective : Deflation or None
        The best trial's deflated Sharpe ratio with N every trial, and with N the
        effective trials; None with fewer than 2 trials that have a Sharpe ratio.
    """

    path: str
    trials: int
    since: Optional[pd.Timestamp]
    last: Optional[pd.Timestamp]
    strategies: pd.DataFrame
    weeks: pd.Series
    markets: pd.Series
    best: Optional[int]
    best_sharpe: float
    best_params: Optional[Dict[str, Any]]
    effective: float
    deflated: Optional[Deflation]
    deflated_effective: Optional[Deflation]

    def text(self) -> str:
        """The summary as lines of text (what ``python -m orvane trials FILE`` prints)."""
        when = "" if self.since is None else (f" from {self.since:%Y-%m-%d %H:%M} to "
                                              f"{self.last:%Y-%m-%d %H:%M} UTC")
        lines = [f"{self.path}: {self.trials:,} trials{when}, {self.effective:,.0f} effective "
                 "(clusters of correlated returns)"]
        if self.best is not None:
            lines.append(f"best Sharpe ratio recorded: {self.best_sharpe:.2f} (trial "
                         f"{self.best}, {json.dumps(self.best_params, sort_keys=True)})")
        for label, found in (("every trial", self.deflated),
                             ("the effective trials", self.deflated_effective)):
            if found is not None:
                lines.append(f"  deflated Sharpe against {label} (N = {found.trials:,}): "
                             f"{found.value:.3f}")
        if len(self.strategies):
            lines += ["", "by strategy:", _indented(self.strategies.to_string())]
        if len(self.markets):
            lines += ["", "by market:", _indented(self.markets.to_string())]
        if len(self.weeks):
            lines += ["", "by week:", _indented(self.weeks.to_string())]
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.text()


def _indented(text: str) -> str:
    return "  " + text.replace("\n", "\n  ")


def summary(path: Union[str, os.PathLike, TrialRegister]) -> Summary:
    """A register's trials by strategy, ISO week and market, its best trial and that
    trial's deflated Sharpe ratio against everything recorded.

    Parameters
    ----------
    path : str, os.PathLike or TrialRegister
        An existing register (a path that names no file is refused, not created).
    """
    if isinstance(path, TrialRegister):
        return _summary(path)
    text = check_path(path, "path", empty="name the register's file")
    if not os.path.exists(text):
        raise RegisterError(f"trial register {text!r} does not exist")
    with TrialRegister(text) as register:
        return _summary(register)


def _summary(register: TrialRegister) -> Summary:
    table = register.frame()
    returns = register.returns()
    strategies = table.groupby("strategy", sort=False).agg(
        trials=("trial", "size"), first=("recorded", "min"), last=("recorded", "max"),
        best_sharpe=("sharpe", "max")).sort_values("first", kind="stable")
    week = table["recorded"].dt.isocalendar()
    labels = [f"{y}-W{w:02d}" for y, w in zip(week["year"], week["week"])]
    weeks = pd.Series(labels, dtype=object).value_counts().sort_index().rename("trials")
    markets = table["market"].value_counts().rename("trials")
    effective = effective_trials(returns)
    deflated = deflated_effective = None
    try:
        deflated = deflation(returns, trials=max(1, len(table)))
        deflated_effective = deflation(returns, trials=max(1, int(round(effective))))
    except ValueError:  # fewer than 2 trials with a Sharpe ratio: no variance to deflate by
        pass
    best: Optional[int] = None
    if deflated is not None and deflated.best is not None:
        best = int(deflated.best)  # type: ignore[call-overload]
    elif table["sharpe"].notna().any():
        best = int(table.loc[table["sharpe"].idxmax(), "trial"])
    row = table[table["trial"] == best]
    return Summary(
        path=register.path, trials=len(table),
        since=table["recorded"].iloc[0] if len(table) else None,
        last=table["recorded"].iloc[-1] if len(table) else None,
        strategies=strategies, weeks=weeks, markets=markets, best=best,
        best_sharpe=float(row["sharpe"].iloc[0]) if len(row) else math.nan,
        best_params=json.loads(row["params"].iloc[0]) if len(row) else None,
        effective=effective, deflated=deflated, deflated_effective=deflated_effective)


# -- the register of this process ---------------------------------------------------------

_STATE = threading.Lock()
_ACTIVE: Optional[TrialRegister] = None
# Whether ``activate`` opened the active register (and so closes it).
_OWNED = False
_FROM_ENVIRONMENT: Optional[TrialRegister] = None


def open(path: Union[str, os.PathLike]) -> TrialRegister:
    """Open the register at ``path``, creating it where no file is.

    Raises
    ------
    RegisterError
        The file is not a register, or one of a newer layout (it is left unchanged).
    """
    return TrialRegister(path)


def activate(register: Union[str, os.PathLike, TrialRegister]) -> TrialRegister:
    """Make ``register`` (a register, or the path of one to open) the one this process
    records its trials in, in place of any activated before."""
    global _ACTIVE, _OWNED
    opened = register if isinstance(register, TrialRegister) else TrialRegister(register)
    with _STATE:
        previous, owned = _ACTIVE, _OWNED
        _ACTIVE, _OWNED = opened, not isinstance(register, TrialRegister)
    if owned and previous is not None and previous is not opened:
        previous.close()
    return opened


def deactivate() -> None:
    """Undo ``activate``: ``active()`` is again the register ``ORVANE_TRIALS`` names, or
    None.  A register activated by its path is closed."""
    global _ACTIVE, _OWNED
    with _STATE:
        previous, owned = _ACTIVE, _OWNED
        _ACTIVE, _OWNED = None, False
    if owned and previous is not None:
        previous.close()


def active() -> Optional[TrialRegister]:
    """The register this process records in: the one activated, else the one the
    ``ORVANE_TRIALS`` environment variable names (opened, or created, at the first ask),
    else None, and then nothing is recorded."""
    global _FROM_ENVIRONMENT
    with _STATE:
        if _ACTIVE is not None:
            return _ACTIVE
        where = os.environ.get(ENVIRONMENT, "")
        if not where:
            return None
        kept = _FROM_ENVIRONMENT
        if kept is not None and kept.path == where and not kept._closed:
            return kept
        _FROM_ENVIRONMENT = TrialRegister(where)
        if kept is not None:
            kept.close()
        return _FROM_ENVIRONMENT


# ---------------------------------------------------------------- what the runs record

def resolve(register: Any) -> Tuple[Optional[TrialRegister], bool]:
    """The register a call records in, and whether the call opened it (and so closes
    it): ``register=`` as given (a register or a path), else the active one; ``False``
    records nothing even with one active."""
    if register is False:
        return None, False
    if register is None:
        return active(), False
    if isinstance(register, TrialRegister):
        return register, False
    return TrialRegister(register), True


def market_fingerprint(dates: pd.DatetimeIndex, tickers: Any, close: np.ndarray) -> str:
    """A market's fingerprint: its dates, tickers and closes, so a sweep and a backtest of
    the same prices name it alike whatever other fields they read."""
    h = hashlib.blake2b(digest_size=8)
    h.update(np.ascontiguousarray(pd.DatetimeIndex(dates).asi8).tobytes())
    h.update("\0".join(str(t) for t in tickers).encode("utf-8", "surrogatepass"))
    h.update(np.ascontiguousarray(close, dtype=np.float64).tobytes())
    return h.hexdigest()


def weights_fingerprint(weights: pd.DataFrame) -> str:
    """Fixed weights' fingerprint: a digest of the frame's dates, tickers and values."""
    h = hashlib.blake2b(digest_size=6)
    frame = pd.DataFrame(weights)
    h.update(pd.util.hash_pandas_object(frame, index=True).to_numpy().tobytes())
    h.update("\0".join(map(str, frame.columns)).encode("utf-8", "surrogatepass"))
    return f"weights:{h.hexdigest()}"


def record_runs(register: TrialRegister, equity: pd.DataFrame,
                params: Sequence[Mapping[str, Any]], *, strategy: str, market: str) -> int:
    """Record each run of a sweep (a column of ``equity``, with its parameters) that has
    an equity curve; returns how many were recorded."""
    trials = [Trial.of(equity.iloc[:, k], strategy=strategy, params=params[k], market=market)
              for k in range(equity.shape[1]) if equity.iloc[:, k].notna().any()]
    return register.record(trials) if trials else 0


def said(register: TrialRegister) -> str:
    """The register's count as a report states it: "137 trials recorded since 2026-12-01
    (41 effective)"."""
    count = len(register)
    since = register.since()
    when = f" since {since:%Y-%m-%d}" if since is not None else ""
    effective = register.effective() if count > 1 else float(count)
    return (f"{count:,} trial{'s' if count != 1 else ''} recorded{when} "
            f"({effective:,.0f} effective)")
